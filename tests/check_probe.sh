#!/bin/sh
# The configure step on interpreters it cannot take: one whose first start
# fails is probed again and built; one that never answers fails the step
# when named in ADDONGATE_PYTHONS, with its own words, and, fetched
# (ADDONGATE_EXTRA_PYTHONS), is written to not_tested.txt with them while the
# others are built. The sanitizer and memcheck runs follow the builds made:
# the default cp311 is Debian's python3.11 where no other 3.11 is built, and
# a tag named for them but not built is written to not_tested.txt.
#   check_probe.sh SOURCE_DIR CMAKE PYTHON
set -eu
src=$1 cmake=$2 python=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#!/bin/sh\nif [ ! -e "%s/started" ]; then touch "%s/started"; exit 1; fi\nexec "%s" "$@"\n' \
  "$work" "$work" "$python" >"$work/flaky"
printf '#!/bin/sh\necho "boom: no interpreter here" >&2\nexit 3\n' >"$work/broken"
chmod +x "$work/flaky" "$work/broken"

# configure PASS|FAIL ARGS...: the configure step must end that way; no
# sanitizer or memcheck run unless $runs is set (then the tags' defaults).
runs=
configure() {
  want=$1
  shift
  rm -rf "$work/build"
  set -- -DADDONGATE_VARIANTS=OFF -DADDONGATE_UNIT_TESTS=OFF "$@"
  [ -n "$runs" ] || set -- -DADDONGATE_SANITIZE_TAGS= -DADDONGATE_MEMCHECK_TAGS= "$@"
  if "$cmake" -S "$src" -B "$work/build" "$@" >"$work/log" 2>&1; then
    got=PASS
  else
    got=FAIL
  fi
  [ "$got" = "$want" ] || { cat "$work/log"; echo "configure: $got, not $want, with $*"; exit 1; }
}
# expect TEXT FILE: FILE holds TEXT, however CMake wrapped its lines.
expect() {
  tr -s ' \n' '  ' <"$2" | grep -qF -- "$1" || { cat "$work/log"; echo "no $1 in $2"; exit 1; }
}

configure PASS "-DADDONGATE_PYTHONS=$work/flaky"
[ "$(wc -l <"$work/build/interpreters.tsv")" = 1 ] || { cat "$work/log"; exit 1; }
echo "an interpreter whose first start fails is probed again and built"

configure FAIL "-DADDONGATE_PYTHONS=$python;$work/broken"
expect "cannot build for $work/broken, named in ADDONGATE_PYTHONS" "$work/log"
expect "boom: no interpreter here" "$work/log"
echo "a named interpreter that never answers fails the configure step, with its error"

PYENV_ROOT="$work/none" ADDONGATE_EXTRA_PYTHONS="$work/broken" configure PASS
expect "$work/broken: its probe failed twice (boom: no interpreter here)" "$work/build/not_tested.txt"
expect "$work/broken" "$work/build/fetched.txt"
[ -s "$work/build/interpreters.tsv" ] || { cat "$work/log"; exit 1; }
echo "a fetched interpreter that never answers is named in not_tested.txt, the others built"

# tests_named: the tests registered in the build, one a line.
case $cmake in */*) ctest=${cmake%/*}/ctest ;; *) ctest=ctest ;; esac
tests_named() {
  (cd "$work/build" && "$ctest" -N) | sed -n 's/^ *Test *#[0-9]*: //p' >"$work/tests"
}
# registered YES|NO TEST...
registered() {
  want=$1
  shift
  for t in "$@"; do
    if grep -qxF "$t" "$work/tests"; then got=YES; else got=NO; fi
    [ "$got" = "$want" ] || { cat "$work/tests"; echo "$t registered: $got, not $want"; exit 1; }
  done
}

runs=1
system=/usr/bin/python3.11
configure PASS "-DADDONGATE_PYTHONS=$system;${system}d"
tests_named
registered YES module_cp311-system_asan memcheck_cp311-system
registered NO module_cp311d_asan memcheck_cp311d
[ ! -s "$work/build/not_tested.txt" ] || { cat "$work/build/not_tested.txt"; exit 1; }
echo "without pyenv, the default sanitizer and memcheck runs are Debian's python3.11's"

# A 3.11 of its own prefix (a venv with its own copy of the binary) is
# tagged cp311 and keeps the runs, whatever the order of the list.
"$system" -m venv --copies --without-pip "$work/venv"
configure PASS "-DADDONGATE_PYTHONS=$system;$work/venv/bin/python"
tests_named
registered YES module_cp311_asan memcheck_cp311
registered NO module_cp311-system_asan memcheck_cp311-system
echo "where a cp311 build is made, cp311 names it and not Debian's"

configure PASS "-DADDONGATE_PYTHONS=$system;${system}d" -DADDONGATE_SANITIZE_TAGS=cp311d \
  "-DADDONGATE_MEMCHECK_TAGS=cp311-system;cp39"
tests_named
registered YES module_cp311d_asan memcheck_cp311-system
registered NO module_cp311-system_asan memcheck_cp311d
expect "memcheck_cp39: no build is tagged cp39 (built: cp311-system cp311d)" \
  "$work/build/not_tested.txt"
echo "a tag named for the runs but not built is named in not_tested.txt"
