#!/bin/sh
# tests/check_exports.sh FILE MACHINE GLIBC
# The built module must be an ELF file for MACHINE (as readelf -h names it),
# export its entry point and nothing else, and need no glibc symbol version
# newer than GLIBC, the level its wheel is tagged for. readelf reads every
# architecture's files, so this checks cross-built ones too.
set -e
# readelf's dynamic symbols, one a line, without the bracketed notes some
# machines put after the visibility (ppc64le's "[<localentry>: 8]"), which
# would shift the columns.
dyn_syms() {
  readelf --dyn-syms -W "$1" | sed 's/ \[[^]]*\]//'
}
machine=$(readelf -h "$1" | sed -n 's/^ *Machine: *//p')
if [ "$machine" != "$2" ]; then
  echo "$1 is for '$machine', not '$2'"
  exit 1
fi
exported=$(dyn_syms "$1" |
  awk '($5 == "GLOBAL" || $5 == "WEAK") && $7 != "UND" { print $8 }')
if [ "$exported" != "PyInit_addonGate" ]; then
  echo "unexpected exports of $1:"
  echo "$exported"
  exit 1
fi
newest=$(readelf -V -W "$1" | sed -n 's/.*Name: GLIBC_\([0-9.]*\).*/\1/p' | sort -V | tail -n1)
if [ "$(printf '%s\n%s\n' "$newest" "$3" | sort -V | tail -n1)" != "$3" ]; then
  echo "$1 needs GLIBC_$newest, newer than GLIBC_$3:"
  dyn_syms "$1" | awk -v v="@GLIBC_$newest" 'index($8, v) { print "  " $8 }'
  exit 1
fi
echo "$(basename "$1"): $machine, exports PyInit_addonGate, needs GLIBC_$newest at most"
