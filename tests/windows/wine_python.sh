#!/usr/bin/env bash
# Runs a Windows CPython under Wine as the tests' interpreter:
#   wine_python.sh RUNTIME_DIR [python arguments...]
#   wine_python.sh RUNTIME_DIR --exe PROGRAM [arguments...]
# The second form runs a program that embeds that interpreter; the runtime
# folder is on its DLL search path. PYTHONPATH, PYTHONHOME and
# ADDONGATE_BUILD_DIR are given as Linux paths, like the Linux tests take
# them, and reach the program as Windows paths. Wine wants a real stdin and
# pipes (not files) for the interpreter's streams.
set -euo pipefail
# shellcheck disable=SC1091 # checked on its own
. "$(dirname "$0")/wine_loader.sh"
runtime=$1
shift
program="$runtime/python.exe"
if [ "${1:-}" = "--exe" ]; then
  program=$2
  shift 2
fi
to_windows() {  # a:b:c -> Z:\a;Z:\b;Z:\c
  printf '%s' "$1" | awk -v RS=: -v ORS=';' '{ p = $0; gsub("/", "\\", p); print "Z:" p }' |
    sed 's/;$//'
}
for var in PYTHONPATH PYTHONHOME ADDONGATE_BUILD_DIR; do
  if [ -n "${!var:-}" ]; then
    export "$var=$(to_windows "${!var}")"
  fi
done
WINEPATH=$(to_windows "$runtime")
export WINEPATH WINEDEBUG=-all
"$(tests_wine_loader "$program")" "$program" "$@" </dev/null 2>&1 | cat
