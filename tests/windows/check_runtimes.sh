#!/bin/sh
# tools/matrix.py windows on runtime folders that are not all Windows
# CPythons: each bad one is named with its reason and it fails; without one
# of the shipped ones it stops with one line. A new Windows row without its
# compiler, or without a runtime folder, is named as not tested and the
# other rows are still built. One file's build whose suites cannot run here
# registers its file's check alone and says why; for the emulated machine,
# its suites carry that machine's label but for the kinds left out there.
#   check_runtimes.sh SOURCE_DIR RUNTIMES_DIR PYTHON CMAKE CTEST
set -eu
src=$1 runtimes=$2 python=$3 cmake=$4 ctest=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fake="$work/runtimes"
mkdir -p "$fake"
# The folders the Windows rows of cmake/platforms.tsv require.
required=""
for arch in $("$src/tools/platforms.sh" windows); do
  machine=$("$src/tools/platforms.sh" "$arch" machine)
  for v in $("$src/tools/platforms.sh" "$arch" versions); do
    required="$required py$(echo "$v" | tr -d .)-$machine"
  done
done
for folder in $required; do ln -s "$runtimes/$folder" "$fake/$folder"; done
# A 64-bit interpreter under a 32-bit name, a DLL of another version, no
# header, a file that is no PE file, and a name that is no runtime's.
mkdir -p "$fake/py38-win32/include" "$fake/py39-amd64/include" "$fake/py311-amd64" \
         "$fake/py312-amd64/include" "$fake/py3-arm64" "$fake/notes"
cp "$runtimes/py38-amd64/python.exe" "$runtimes/py38-amd64/python38.dll" "$fake/py38-win32/"
cp "$runtimes/py38-amd64/python.exe" "$runtimes/py38-amd64/python38.dll" "$fake/py39-amd64/"
cp "$runtimes/py38-amd64/python.exe" "$fake/py311-amd64/"
touch "$fake/py38-win32/include/Python.h" "$fake/py39-amd64/include/Python.h" \
      "$fake/py311-amd64/python311.dll" "$fake/py312-amd64/include/Python.h" \
      "$fake/py312-amd64/python.exe" "$fake/py312-amd64/python312.dll"

plan() {  # plan TREE RUNTIMES: the driver's plan, in $work/log
  "$python" "$1/tools/matrix.py" windows --plan --runtimes "$2" >"$work/log" 2>&1
}
expect() {
  grep -qxF -- "$1" "$work/log" || { cat "$work/log"; echo "missing line: $1"; exit 1; }
}
if plan "$src" "$fake"; then cat "$work/log"; echo "the plan passed with $(ls "$fake")"; exit 1; fi
expect "  py38-win32: python.exe is amd64, the folder name says win32"
expect "  py39-amd64: holds python38.dll, not python39.dll"
expect "  py311-amd64: no include/Python.h"
expect "  py312-amd64: python.exe is no PE file"
expect "  py3-arm64: not named py3X-amd64 or py3X-win32"
if grep -q notes "$work/log"; then cat "$work/log"; echo "notes/ was taken for a runtime"; exit 1; fi

# (Each required folder is named in the hint.)
last=${required##* }
rm "$fake/$last"
if plan "$src" "$fake"; then cat "$work/log"; echo "the plan passed without $last"; exit 1; fi
grep -F "$fake/$last/python.exe is missing: set ADDONGATE_WIN_RUNTIMES to a folder with " \
  "$work/log" >"$work/hint" || { cat "$work/log"; echo "no hint for $last"; exit 1; }
for folder in $required; do
  grep -qF " $folder/ " "$work/hint" || { cat "$work/log"; echo "the hint names no $folder/"; exit 1; }
done

# A new Windows row is all a new architecture needs.
tree="$work/tree"
mkdir -p "$tree"
cp -r "$src/cmake" "$src/tests" "$src/tools" "$tree/"
row() { printf '%s\twindows\t%s\tcp@-%s.pyd\t%s\tPE32+ x 0\t-\t%s\twine\t-\t3.11\t3.11\t%s\t-\n' \
  "$1" "$2" "$1" "$3" "$1" "$1"; }
{ row win_nocc no-such-w64-mingw32 nocc; row win_nofolder x86_64-w64-mingw32 nofolder; } \
  >>"$tree/cmake/platforms.tsv"
plan "$tree" "$runtimes" || { cat "$work/log"; echo "the plan failed with the new rows"; exit 1; }
expect "== NOT TESTED: win_nocc: no no-such-w64-mingw32-g++ here (tools/setup.sh win_nocc), so no file of it is built"
expect "== NOT TESTED: win_nofolder: no runtime folder py3X-nofolder in $runtimes"
if grep -q "win_no.*pyd" "$work/log" || ! grep -q "^build	cp38-win_amd64	" "$work/log"; then
  cat "$work/log"; echo "the builds are not the old rows' alone"; exit 1
fi

# tests CTEST_ARGS -DVAR=VALUE...: the tests a build of the first Windows
# row's first shipped file registers (those CTEST_ARGS select), one line.
arch=$("$src/tools/platforms.sh" windows | head -n1)
v=$("$src/tools/platforms.sh" "$arch" versions | cut -d' ' -f1 | tr -d .)
tag=$("$src/tools/platforms.sh" "$arch" file | sed "s/@/3${v#3}/; s/\.[^.]*$//")
tests() {
  select=$1
  shift
  rm -rf "$work/build"
  "$cmake" -S "$src" -B "$work/build" "-DCMAKE_TOOLCHAIN_FILE=$src/cmake/toolchains/mingw-w64.cmake" \
    "-DADDONGATE_WIN_ARCH=$arch" "-DADDONGATE_WIN_RUNTIME=$runtimes/py$v-$("$src/tools/platforms.sh" "$arch" machine)" \
    "$@" >"$work/log" 2>&1 || { cat "$work/log"; echo "the $tag build did not configure"; exit 1; }
  # shellcheck disable=SC2086 # $select is a list of ctest's arguments
  "$ctest" --test-dir "$work/build" -N $select | sed -n 's/^ *Test *#[0-9]*: //p' | tr '\n' ' '
}
got=$(tests "" "-DADDONGATE_NOT_RUN=$tag under Wine (no 32-bit Wine)")
[ "$got" = "pe_$tag " ] || { echo "a build that cannot run its suites registers: $got"; exit 1; }
grep -qxF "$tag under Wine (no 32-bit Wine)" "$work/build/not_tested.txt" ||
  { echo "its not_tested.txt does not say why"; exit 1; }
got=$(tests "-L ^win32_vm$" -DADDONGATE_EMULATED=ON "-DADDONGATE_WIN32_VM_SKIP=fuzz;host")
[ "$got" = "module_$tag stress_$tag restart_$tag " ] ||
  { echo "the emulated machine's tests are: $got"; exit 1; }
[ "$(grep -c "kind of ADDONGATE_WIN32_VM_SKIP" "$work/build/not_tested.txt")" = 2 ] ||
  { cat "$work/build/not_tested.txt"; echo "the kinds left out are not named"; exit 1; }
echo "bad runtime folders are named and fail the plan; rows that cannot be built here are named as not tested; a file's build registers the tests that can run where they run"
