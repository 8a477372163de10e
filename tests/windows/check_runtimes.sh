#!/bin/sh
# The windows preset's configure step on runtime folders that are not all
# Windows CPythons: each bad one is named with its reason and the step fails;
# without one of the shipped pair it stops with one line.
#   check_runtimes.sh SOURCE_DIR RUNTIMES_DIR CMAKE
set -eu
src=$1 runtimes=$2 cmake=$3
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

configure() {
  rm -rf "$work/build"
  if "$cmake" -S "$src" -B "$work/build" -DADDONGATE_WINDOWS=ON \
       "-DADDONGATE_WIN_RUNTIMES=$fake" >"$work/log" 2>&1; then
    echo "configure passed with $(ls "$fake")"; exit 1
  fi
}
expect() {
  grep -qxF -- "$1" "$work/log" || { cat "$work/log"; echo "missing line: $1"; exit 1; }
}
configure
expect "   py38-win32: python.exe is amd64, the folder name says win32"
expect "   py39-amd64: holds python38.dll, not python39.dll"
expect "   py311-amd64: no include/Python.h"
expect "   py312-amd64: python.exe is no PE file"
expect "   py3-arm64: not named py3X-amd64 or py3X-win32"
grep -q "notes is no runtime folder" "$work/log" || { cat "$work/log"; exit 1; }

# (Each required folder is named in the hint.)
last=${required##* }
rm "$fake/$last"
configure
grep -F "   $fake/$last/python.exe is missing: set ADDONGATE_WIN_RUNTIMES to a folder with " \
  "$work/log" >"$work/hint" || { cat "$work/log"; echo "no hint for $last"; exit 1; }
for folder in $required; do
  grep -qF " $folder/ " "$work/hint" || { cat "$work/log"; echo "the hint names no $folder/"; exit 1; }
done
echo "bad runtime folders are named and fail the configure step"
