#!/bin/sh
# Runs inside tools/vm-run.sh's machine, in one boot: makes the Wine prefix
# the -win32 tests use there, then runs those tests (the label win32_vm)
# with their record in JUNIT.
#   vm_suites.sh PREFIX JUNIT CTEST BUILD_DIR
# The prefix is made in the machine because its 32-bit half can only be made
# where 32-bit programs run; PREFIX is meant to lie on the machine's own
# tmpfs, where it is made in about half the time it takes on the 9p files.
set -eu
prefix=$1 junit=$2 ctest=$3 out=$4
# shellcheck disable=SC1091 # checked on its own
. "$(dirname "$0")/wine_loader.sh"
rm -rf "$prefix" "$junit"
started=$(date +%s)
if ! WINEPREFIX=$prefix WINEDEBUG=-all tests_wineboot </dev/null >"$out/wineboot-vm.log" 2>&1; then
  cat "$out/wineboot-vm.log"
  echo "vm_suites: the Wine prefix could not be made"
  exit 1
fi
echo "vm_suites: the Wine prefix took $(($(date +%s) - started)) s"
exec "$ctest" --test-dir "$out" -L '^win32_vm$' --fixture-exclude-any '.*' -j2 \
  --output-on-failure --output-junit "$junit"
