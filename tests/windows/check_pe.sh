#!/bin/sh
# What a Windows file is: check_pe.sh OBJDUMP FILE MAGIC ARCH PYTHON_DLL
#   MAGIC PE32 or PE32+, ARCH as objdump names it (i386, i386:x86-64).
# It must export PyInit_addonGate alone and import only the interpreter's DLL,
# KERNEL32.dll and the universal C runtime: no DLL of the toolchain's.
set -eu
objdump=$1 file=$2 magic=$3 arch=$4 python_dll=$5
headers=$("$objdump" -p "$file")
fail() { echo "$(basename "$file"): $*"; exit 1; }

got_magic=$(printf '%s\n' "$headers" | awk '$1 == "Magic" { print $3 }')
[ "$got_magic" = "($magic)" ] || fail "magic $got_magic, expected ($magic)"
got_arch=$("$objdump" -f "$file" | awk '$1 == "architecture:" { sub(",", "", $2); print $2 }')
[ "$got_arch" = "$arch" ] || fail "architecture $got_arch, expected $arch"

exports=$(printf '%s\n' "$headers" |
  awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF == 0 { on = 0 } on { print $NF }')
[ "$exports" = "PyInit_addonGate" ] || fail "exports: $exports"

imports=$(printf '%s\n' "$headers" | awk '$1 == "DLL" && $2 == "Name:" { print $3 }')
printf '%s\n' "$imports" | grep -qx "$python_dll" || fail "does not import $python_dll"
printf '%s\n' "$imports" | grep -qx "KERNEL32.dll" || fail "does not import KERNEL32.dll"
others=$(printf '%s\n' "$imports" | grep -vx -e "$python_dll" -e "KERNEL32.dll" -e 'api-ms-win-crt-.*\.dll' || true)
[ -z "$others" ] || fail "unexpected imports: $(printf '%s' "$others" | tr '\n' ' ')"

echo "$(basename "$file"): $magic $arch, exports PyInit_addonGate, imports $(printf '%s' "$imports" | tr '\n' ' ')"
