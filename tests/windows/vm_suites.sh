#!/bin/sh
# Runs inside tools/vm-run.sh's machine, in one boot: makes the Wine prefix
# the -win32 tests use there, then runs each build's tests of the label
# win32_vm, with their record in BUILD_DIR/junit-vm.xml.
#   vm_suites.sh PREFIX CTEST BUILD_DIR...
# The prefix is made in the machine because its 32-bit half can only be made
# where 32-bit programs run; PREFIX is meant to lie on the machine's own
# tmpfs, where it is made in about half the time it takes on the 9p files.
set -eu
prefix=$1 ctest=$2
shift 2
# shellcheck disable=SC1091 # checked on its own
. "$(dirname "$0")/wine_loader.sh"
rm -rf "$prefix"
started=$(date +%s)
if ! WINEPREFIX=$prefix WINEDEBUG=-all tests_wineboot </dev/null >"$1/wineboot-vm.log" 2>&1; then
  cat "$1/wineboot-vm.log"
  echo "vm_suites: the Wine prefix could not be made"
  exit 1
fi
echo "vm_suites: the Wine prefix took $(($(date +%s) - started)) s"
status=0
for build in "$@"; do
  rm -f "$build/junit-vm.xml"
  "$ctest" --test-dir "$build" -L '^win32_vm$' -j2 --timeout 3600 --output-on-failure \
    --output-junit "$build/junit-vm.xml" || status=1
done
exit "$status"
