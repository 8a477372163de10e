#!/usr/bin/env bash
# Runs a Windows CPython under Wine as the tests' interpreter:
#   wine_python.sh RUNTIME_DIR [python arguments...]
# PYTHONPATH and ADDONGATE_BUILD_DIR are given as Linux paths, like the
# Linux tests take them, and reach the interpreter as Windows paths. Wine
# wants a real stdin and pipes (not files) for the interpreter's streams.
set -euo pipefail
. "$(dirname "$0")/wine_loader.sh"
runtime=$1
shift
to_windows() {  # a:b:c -> Z:\a;Z:\b;Z:\c
  printf '%s' "$1" | awk -v RS=: -v ORS=';' '{ p = $0; gsub("/", "\\", p); print "Z:" p }' |
    sed 's/;$//'
}
[ -n "${PYTHONPATH:-}" ] && PYTHONPATH=$(to_windows "$PYTHONPATH") && export PYTHONPATH
[ -n "${ADDONGATE_BUILD_DIR:-}" ] && ADDONGATE_BUILD_DIR=$(to_windows "$ADDONGATE_BUILD_DIR") &&
  export ADDONGATE_BUILD_DIR
export WINEDEBUG=-all
"$(tests_wine_loader "$runtime/python.exe")" "$runtime/python.exe" "$@" </dev/null 2>&1 | cat
