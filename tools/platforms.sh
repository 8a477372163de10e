#!/usr/bin/env bash
# tools/platforms.sh [KIND]        the rows of KIND (linux, the default, or
#                                  windows), one a line, but this machine's
#                                  own: the machines cross-built for
# tools/platforms.sh ARCH COLUMN   that row's value in COLUMN
# tools/platforms.sh --here COLUMN this machine's (its row's machine is
#                                  uname -m)
#
# Reads cmake/platforms.tsv, which says what each column holds; a column is
# found by its name in the table's "#arch" line. Exits 1 when ARCH has no
# row or the table no such column.
set -euo pipefail
table="$(dirname "$0")/../cmake/platforms.tsv"
here=$(uname -m)
if [ $# -eq 0 ] || { [ $# -eq 1 ] && [[ $1 == linux || $1 == windows ]]; }; then
  awk -F'\t' -v here="$here" -v kind="${1:-linux}" '
    /^#arch\t/ { for (i = 1; i <= NF; i++) column[$i] = i; next }
    /^#/ || $1 == "" || $column["machine"] == here || $column["kind"] != kind { next }
    { print $1 }' "$table"
  exit 0
fi
if [ $# -ne 2 ]; then
  echo "usage: $0 [KIND | ARCH COLUMN | --here COLUMN]" >&2
  exit 2
fi
awk -F'\t' -v arch="$1" -v name="$2" -v here="$here" '
  /^#arch\t/ { sub(/^#/, ""); for (i = 1; i <= NF; i++) column[$i] = i; next }
  /^#/ || (arch == "--here" ? $column["machine"] != here : $1 != arch) { next }
  { found = 1; if (name in column) { print $column[name]; status = 0 } else status = 1; exit }
  END {
    if (!found) print "tools/platforms.sh: no row for \"" (arch == "--here" ? here : arch) "\" in cmake/platforms.tsv" > "/dev/stderr"
    else if (status) print "tools/platforms.sh: cmake/platforms.tsv has no column \"" name "\"" > "/dev/stderr"
    exit !found || status
  }' "$table"
