#!/usr/bin/env bash
# Gathers the files a host would ship into dist/: every module file whose
# suites passed on it, byte for byte as they ran, from the test builds (the
# Linux one in build/, tools/matrix.py's Windows ones in build/windows, one per machine of
# cmake/platforms.tsv in build/<arch>), each with its debug information
# (<file>.debug) and again as a wheel that pip installs, the type stub, the source distribution, SHA256SUMS, and TESTED:
# each module's SHA-256 with the tests that passed on it. Nothing is compiled
# here: a build folder without its test record (junit.xml) has its workflow
# run first, build and tests. A module whose suite did not run (a -win32 one
# where this machine runs no 32-bit program, say) is named as NOT TESTED and
# not shipped; one whose tests failed is named as not made.
#
#   ADDONGATE_WIN_RUNTIMES=../shared/windows tools/release.sh [PLATFORM...]
#
# PLATFORMs (default: all) are linux, windows and the machines of
# cmake/platforms.tsv (arm64, ...); the others are neither gathered nor named.
# Exits 0 when every module was shipped or named as NOT TESTED, 2 when some
# were left out, 1 on error.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dist="$root/dist"
platforms=("$@")
# shellcheck disable=SC2207
[ $# -gt 0 ] || platforms=(linux windows $(tools/platforms.sh))
wanted() { [[ " ${platforms[*]} " == *" $1 "* ]]; }
made=()
modules=()
missing=()
untested=()
tested=()
# Reads the test records and packs the wheels: Debian's own, with python3-wheel.
wheel_python=${ADDONGATE_WHEEL_PYTHON:-/usr/bin/python3}

rm -rf "$dist"
mkdir -p "$dist" "$root/build"

note_missing() { missing+=("$1: $2"); }

# gather DIR COMMAND...: the modules of the test build in DIR whose suites
# passed, after running COMMAND (its workflow) where DIR has no test record.
gather() {
  local dir=$1 status path rest file sum tests
  shift
  echo "== ${dir#"$root"/}"
  if [ ! -f "$dir/junit.xml" ] && [ ! -f "$dir/windows_builds.tsv" ]; then
    echo "   no test record: $* (log: ${dir#"$root"/}.workflow.log)"
    mkdir -p "$dir"
    # Failing tests still leave the record; their files are not gathered.
    "$@" >"$dir.workflow.log" 2>&1 || true
  fi
  if [ ! -f "$dir/junit.xml" ] && [ ! -f "$dir/windows_builds.tsv" ]; then
    note_missing "${dir#"$root"/}" "its workflow left no test record, see ${dir#"$root"/}.workflow.log"
    return
  fi
  while IFS=$'\t' read -r status path rest; do
    file=$(basename "$path")
    case $status in
      passed)
        sum=${rest%%$'\t'*}
        tests=${rest#*$'\t'}
        if [ -e "$dist/$file" ]; then
          echo "   $file: already gathered from an interpreter with the same ABI"
          continue
        fi
        cp "$path" "$dist/"
        modules+=("$file")
        # Its debug information, for reading a user's crash report.
        if [ -f "$path.debug" ]; then
          cp "$path.debug" "$dist/"
          made+=("$file.debug")
        fi
        tested+=("$sum  $file  ${dir#"$root"/}: $tests")
        echo "   $file"
        ;;
      not-tested) untested+=("$file: not shipped: $rest") ;;
      *) note_missing "$file" "$rest" ;;
    esac
  done < <("$wheel_python" tools/tested_files.py "$dir")
}

if wanted linux; then
  gather "$root/build" cmake --workflow --preset default
fi
if wanted windows; then
  if [ -z "${ADDONGATE_WIN_RUNTIMES:-}" ] && [ ! -f "$root/build/windows/windows_builds.tsv" ]; then
    note_missing "Windows files" "ADDONGATE_WIN_RUNTIMES is not set (a folder of py3X-<machine>/ runtimes for the Windows rows of cmake/platforms.tsv)"
  else
    gather "$root/build/windows" "$wheel_python" tools/matrix.py windows
  fi
fi
for arch in $(tools/platforms.sh); do
  wanted "$arch" || continue
  if ! lacking=$(tools/setup.sh --check "$(tools/platforms.sh "$arch" setup)"); then
    note_missing "$arch modules" "$lacking"
    continue
  fi
  gather "$root/build/$arch" env ADDONGATE_DEB_ARCH="$arch" cmake --workflow --preset cross
done
made+=("${modules[@]}")

# ---- one wheel per module file ----------------------------------------------
# Packed by the wheel package's own tool (Debian's python3-wheel), with the
# tags read from each file; SOURCE_DATE_EPOCH keeps these archives and the
# source distribution the same from run to run.
echo "== wheels"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}
version=$(cat "$root/build/version.txt" "$root"/build/*/version.txt 2>/dev/null | head -n1 || true)
if [ -z "$version" ]; then
  for file in "${modules[@]}"; do note_missing "wheel of $file" "no build wrote version.txt"; done
elif ! "$wheel_python" -c 'import wheel' 2>/dev/null; then
  for file in "${modules[@]}"; do
    note_missing "wheel of $file" "$wheel_python has no wheel package (tools/setup.sh core)"
  done
else
  for file in "${modules[@]}"; do
    if wheel=$("$wheel_python" tools/make_wheel.py "$dist/$file" class/addonGate.pyi "$version" \
                 "$dist" 2>&1); then
      made+=("$(basename "$wheel")")
    else
      note_missing "wheel of $file" "${wheel##*$'\n'}"
    fi
  done
fi

# ---- the source distribution ------------------------------------------------
# What `pip install addongate-<version>.tar.gz` builds from on a platform with
# no file here: made by the standard front end (Debian's python3-build) with
# the project's build backend, which pyproject.toml tells what to include.
# Offline, the backend comes from the wheel folder ADDONGATE_WHEELHOUSE, else
# ../shared/wheelhouse, when there is one.
echo "== source distribution"
wheelhouse=${ADDONGATE_WHEELHOUSE:-$root/../shared/wheelhouse}
offline=()
if [ -d "$wheelhouse" ]; then
  offline=(PIP_NO_INDEX=1 PIP_FIND_LINKS="$(cd "$wheelhouse" && pwd)")
fi
if ! "$wheel_python" -I -c 'import build' 2>/dev/null; then
  note_missing "source distribution" "$wheel_python has no build package (tools/setup.sh core)"
elif env "${offline[@]}" "$wheel_python" -I -m build --sdist --outdir "$dist" . \
       >"$root/build/sdist.log" 2>&1 && sdist=$(ls "$dist"/addongate-*.tar.gz 2>/dev/null); then
  made+=("$(basename "$sdist")")
else
  note_missing "source distribution" "python3 -m build --sdist failed, see build/sdist.log"
fi

# ---- the stub and the sums --------------------------------------------------
cp class/addonGate.pyi "$dist/"
made+=(addonGate.pyi)
: >"$dist/TESTED"
for line in "${tested[@]}"; do echo "$line" >>"$dist/TESTED"; done
made+=(TESTED)
(cd "$dist" && sha256sum -- "${made[@]}" >SHA256SUMS)

echo "== dist/ (checked with: cd dist && sha256sum -c SHA256SUMS)"
for file in "${made[@]}"; do echo "   $file"; done
for line in "${untested[@]}"; do echo "== NOT TESTED: $line"; done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "== not made:"
  for line in "${missing[@]}"; do echo "   $line"; done
  exit 2
fi
