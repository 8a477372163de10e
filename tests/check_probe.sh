#!/bin/sh
# The configure step on interpreters it cannot take: one whose first start
# fails is probed again and built; one that never answers fails the step
# when named in ADDONGATE_PYTHONS, with its own words, and, fetched
# (ADDONGATE_EXTRA_PYTHONS), is written to not_tested.txt with them while the
# others are built.
#   check_probe.sh SOURCE_DIR CMAKE PYTHON
set -eu
src=$1 cmake=$2 python=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#!/bin/sh\nif [ ! -e "%s/started" ]; then touch "%s/started"; exit 1; fi\nexec "%s" "$@"\n' \
  "$work" "$work" "$python" >"$work/flaky"
printf '#!/bin/sh\necho "boom: no interpreter here" >&2\nexit 3\n' >"$work/broken"
chmod +x "$work/flaky" "$work/broken"

# configure PASS|FAIL ARGS...: the configure step must end that way.
configure() {
  want=$1
  shift
  rm -rf "$work/build"
  if "$cmake" -S "$src" -B "$work/build" -DADDONGATE_VARIANTS=OFF -DADDONGATE_UNIT_TESTS=OFF \
       -DADDONGATE_SANITIZE_TAGS= -DADDONGATE_MEMCHECK_TAGS= "$@" >"$work/log" 2>&1; then
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
