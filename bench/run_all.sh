#!/usr/bin/env bash
# Benchmark every interpreter the build covers (build/interpreters.tsv).
#
#   bash bench/run_all.sh                 # timings + import time, all interpreters
#   bash bench/run_all.sh --quick         # a short run, for development
#   bash bench/run_all.sh --callgrind     # also instruction counts (slow: minutes per interpreter)
#   bash bench/run_all.sh --check         # only: do native and pure-Python facades agree?
#   bash bench/run_all.sh --only cp38 --only cp313 ...   # some interpreters only
#
# Other options go to bench.py as they are (e.g. --repeat 31, --strict).
# Figures land in bench/results/<tag>.json (and <tag>.callgrind.json); a
# summary over all interpreters is printed at the end.
# Exit status: 0 when every run worked; 3 when the build or its interpreter
# list is missing; otherwise the first failing run's status.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${ADDONGATE_BUILD:-$root/build}"
tsv="$build/interpreters.tsv"
out="$here/results"

callgrind=0
check=0
tags=()
pass=()
# Of bench.py's options, only --quick goes on to callgrind.py.
quick=()
while [ $# -gt 0 ]; do
    case "$1" in
        --callgrind) callgrind=1 ;;
        --check) check=1 ;;
        --only) tags+=("$2"); shift ;;
        --quick) pass+=("--quick"); quick=(--quick) ;;
        *) pass+=("$1") ;;
    esac
    shift
done

if [ ! -f "$tsv" ]; then
    echo "no $tsv: build the module first:" >&2
    echo "  cmake -S $root -B $build && cmake --build $build -j2" >&2
    exit 3
fi
mkdir -p "$out"

status=0
ran=()
while IFS=$'\t' read -r tag py _rest; do
    case "$tag" in ''|'#'*) continue ;; esac
    if [ ${#tags[@]} -gt 0 ]; then
        want=0
        for t in "${tags[@]}"; do [ "$t" = "$tag" ] && want=1; done
        [ $want = 1 ] || continue
    fi
    echo "=================================================================== $tag"
    if [ ! -x "$py" ]; then
        echo "interpreter $py is missing: skipped"
        [ $status = 0 ] && status=3
        continue
    fi
    if [ $check = 1 ]; then
        "$py" "$here/bench.py" --check --module-dir "$build/$tag" --tag "$tag"
        rc=$?
    else
        rm -f "$out/$tag.json" "$out/$tag.callgrind.json"
        "$py" "$here/bench.py" --module-dir "$build/$tag" --tag "$tag" \
            --json "$out/$tag.json" ${pass[@]+"${pass[@]}"}
        rc=$?
        if [ $rc = 0 ] && [ $callgrind = 1 ]; then
            echo
            "$py" "$here/callgrind.py" --module-dir "$build/$tag" --tag "$tag" \
                --json "$out/$tag.callgrind.json" \
                ${quick[@]+"${quick[@]}"}
            rc=$?
        fi
    fi
    [ $rc != 0 ] && [ $status = 0 ] && status=$rc
    ran+=("$tag")
    echo
done < "$tsv"

if [ $check = 0 ] && [ ${#ran[@]} -gt 0 ]; then
    files=()
    for t in "${ran[@]}"; do
        [ -f "$out/$t.json" ] && files+=("$out/$t.json")
        [ $callgrind = 1 ] && [ -f "$out/$t.callgrind.json" ] && files+=("$out/$t.callgrind.json")
    done
    [ ${#files[@]} -gt 0 ] && python3 "$here/summary.py" "${files[@]}"
fi
exit $status
