#!/usr/bin/env bash
# Gathers the files a host would ship into dist/: the module for each Linux
# interpreter found (as the default build finds them) and for each
# interpreter of another Linux machine the cross builds fetch (every version
# of each row of cmake/platforms.tsv), one Windows file per runtime folder in
# ADDONGATE_WIN_RUNTIMES and the type stub, with a SHA256SUMS file, each
# module again as a wheel that pip installs, and the source distribution.
# Each module is imported in its own interpreter first (the other machines'
# under qemu-user or natively, the Windows ones under Wine); a file that
# cannot be made or does not import is left out and named, with the reason,
# at the end. A file whose interpreter this machine cannot run (a -win32 one
# without the 32-bit Wine) is not shipped either: it is named as NOT TESTED.
#
#   ADDONGATE_WIN_RUNTIMES=../shared/windows tools/release.sh [PLATFORM...]
#
# PLATFORMs (default: all) are linux, windows and the machines of
# cmake/platforms.tsv (arm64, ...); the others are neither built nor named.
# Exits 0 when every file asked for was made or named as NOT TESTED, 2 when
# some were left out, 1 on error.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dist="$root/dist"
linux="$root/build/release"
windows="$root/build/release-windows"
platforms=("$@")
# shellcheck disable=SC2207
[ $# -gt 0 ] || platforms=(linux windows $(tools/platforms.sh))
wanted() { [[ " ${platforms[*]} " == *" $1 "* ]]; }
made=()
missing=()
untested=()
. tests/windows/wine_loader.sh

rm -rf "$dist"
# (build/ holds the builds' logs, also in a fresh checkout.)
mkdir -p "$dist" "$root/build"

note_missing() { missing+=("$1: $2"); }

# An import from a file's own folder, with the reference host's modules.
check_import='import addonGate, os, sys; sys.exit(os.path.basename(addonGate.__file__) != sys.argv[1])'

# ---- Linux: one release build per interpreter ------------------------------
# linux_modules DIR [CMAKE_ARGS...]: configures and builds DIR, then gathers
# each interpreter's module that imports in that interpreter.
linux_modules() {
  local dir=$1 tag exe file out
  shift
  if cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DADDONGATE_TESTS=OFF -DADDONGATE_VARIANTS=OFF \
       -DADDONGATE_UNIT_TESTS=OFF -DADDONGATE_SANITIZE_TAGS= -DADDONGATE_MEMCHECK_TAGS= "$@" \
       >"$dir.configure.log" 2>&1 &&
     cmake --build "$dir" -j2 >"$dir.build.log" 2>&1; then
    sed -n 's/^-- addonGate: skipping \(.*\) (\(.*\))$/\1|\2/p' "$dir.configure.log" |
      while IFS='|' read -r python why; do echo "skipped $python: $why"; done
    while IFS=$'\t' read -r tag exe; do
      file=$(cd "$dir/$tag" && ls addonGate*.so 2>/dev/null | head -n1 || true)
      if [ -z "$file" ]; then
        note_missing "$tag" "the build left no module in ${dir#$root/}/$tag"
      elif [ -e "$dist/$file" ]; then
        echo "$tag: $file already gathered from an interpreter with the same ABI"
      elif out=$(PYTHONPATH="$dir/$tag:$root/host" "$exe" -c "$check_import" "$file" 2>&1); then
        cp "$dir/$tag/$file" "$dist/"
        made+=("$file")
      else
        note_missing "$file" "does not import in $exe: ${out##*$'\n'}"
      fi
    done <"$dir/interpreters.tsv"
    # Interpreters the build was given but could not take.
    while IFS= read -r line; do note_missing "${dir#$root/build/}" "$line"; done \
      <"$dir/not_tested.txt"
  else
    note_missing "${dir#$root/}" "the build failed, see ${dir#$root/}.configure.log and .build.log"
  fi
}

if wanted linux; then
  echo "== Linux modules (build/release)"
  linux_modules "$linux"
fi

# ---- Linux on other machines: cross-built, imported in their interpreters --
# One build per row of cmake/platforms.tsv, its interpreters fetched as the
# cross preset fetches them.
for arch in $(tools/platforms.sh); do
  wanted "$arch" || continue
  dir="$root/build/release-$arch"
  echo "== Linux $arch modules (build/release-$arch)"
  if ! lacking=$(tools/setup.sh --check "$arch"); then
    note_missing "$arch modules" "$lacking"
    continue
  fi
  linux_modules "$dir" --toolchain cmake/toolchains/linux-cross.cmake -DADDONGATE_DEB_ARCH="$arch"
done

# ---- Windows: cross-built, imported under Wine ------------------------------
# One file per runtime folder the windows build finds (windows_builds.tsv);
# the shipped pair is named even when the build cannot say more.
# shellcheck disable=SC2207
required=($(sed -n -e 's/^py\(3[0-9]*\)-win32$/addonGate.cp\1-win32.pyd/p' \
  -e 's/^py\(3[0-9]*\)-amd64$/addonGate.cp\1-win_amd64.pyd/p' cmake/windows-required.txt))
runtimes=${ADDONGATE_WIN_RUNTIMES:-}
why=""
if ! wanted windows; then
  required=()
  why="not asked for"
elif [ -z "$runtimes" ]; then
  why="ADDONGATE_WIN_RUNTIMES is not set (a folder of py3X-amd64/ and py3X-win32/ runtimes, with those of cmake/windows-required.txt)"
elif ! command -v i686-w64-mingw32-g++ >/dev/null || ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  why="the mingw-w64 cross-compilers are missing (g++-mingw-w64-i686, g++-mingw-w64-x86-64)"
elif ! command -v wine >/dev/null || ! command -v wineboot >/dev/null; then
  why="Wine is missing, so the files cannot be checked (wine, wine64, wine32:i386)"
elif ! cmake -S . -B "$windows" -DADDONGATE_WINDOWS=ON -DADDONGATE_VARIANTS=OFF \
       -DADDONGATE_WIN_RUNTIMES="$runtimes" >"$windows.configure.log" 2>&1; then
  why="the configure step failed, see ${windows#$root/}.configure.log"
fi
if [ -z "$why" ]; then
  echo "== Windows modules (build/release-windows)"
  export WINEPREFIX="$windows/wineprefix"
  if [ ! -d "$WINEPREFIX" ]; then
    WINEDEBUG=-all tests_wineboot </dev/null >/dev/null 2>&1 || true
  fi
  : >"$windows.build.log"
  wine32_gap=$(tests_wine_32bit_gap)
  while IFS=$'\t' read -r tag file runtime; do
    if ! cmake --build "$windows" -j2 --target "addonGate_$tag" </dev/null >>"$windows.build.log" 2>&1; then
      note_missing "$file" "the build failed, see ${windows#$root/}.build.log"
    elif [ ! -f "$windows/$file" ]; then
      note_missing "$file" "the build left no file in build/release-windows"
    elif [[ "$file" == *-win32.pyd ]] && [ -n "$wine32_gap" ]; then
      # Built and cross-checked, but never imported: no 32-bit interpreter
      # runs here, so it is not shipped.
      untested+=("$file: not shipped, it cannot be imported here: $wine32_gap")
    elif out=$(PYTHONPATH="$windows:$root/host" tests/windows/wine_python.sh "$runtime" \
                 -c "$check_import" "$file" 2>&1); then
      cp "$windows/$file" "$dist/"
      made+=("$file")
    else
      note_missing "$file" "does not import under Wine: ${out##*$'\n'}"
    fi
  done <"$windows/windows_builds.tsv"
else
  for file in "${required[@]}"; do note_missing "$file" "$why"; done
fi

# ---- one wheel per module file ----------------------------------------------
# Packed by the wheel package's own tool (Debian's python3-wheel), with the
# tags read from each file; SOURCE_DATE_EPOCH keeps these archives and the
# source distribution the same from run to run.
echo "== wheels"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}
wheel_python=${ADDONGATE_WHEEL_PYTHON:-/usr/bin/python3}
version=$(cat "$root"/build/release*/version.txt 2>/dev/null | head -n1 || true)
modules=("${made[@]}")
if [ -z "$version" ]; then
  for file in "${modules[@]}"; do note_missing "wheel of $file" "no build wrote version.txt"; done
elif ! "$wheel_python" -c 'import wheel' 2>/dev/null; then
  for file in "${modules[@]}"; do
    note_missing "wheel of $file" "$wheel_python has no wheel package (python3-wheel)"
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
# no file here, made by the build backend itself (tools/make_sdist.py; offline
# from ADDONGATE_WHEELHOUSE or ../shared/wheelhouse when there is one).
echo "== source distribution"
if sdist=$("$wheel_python" tools/make_sdist.py "$dist" 2>"$root/build/sdist.log"); then
  made+=("$(basename "$sdist")")
else
  note_missing "source distribution" "tools/make_sdist.py failed, see build/sdist.log"
fi

# ---- the stub and the sums --------------------------------------------------
cp class/addonGate.pyi "$dist/"
made+=(addonGate.pyi)
(cd "$dist" && sha256sum -- "${made[@]}" >SHA256SUMS)

echo "== dist/ (checked with: cd dist && sha256sum -c SHA256SUMS)"
for file in "${made[@]}"; do echo "   $file"; done
for line in "${untested[@]}"; do echo "== NOT TESTED: $line"; done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "== not made:"
  for line in "${missing[@]}"; do echo "   $line"; done
  exit 2
fi
