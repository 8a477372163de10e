#!/usr/bin/env bash
# tools/newer-pythons.sh [--arch ARCH] DIR [VERSION...]
#
# Fetches the newest CPython of each version its machine's row of
# cmake/platforms.tsv names (or of the VERSIONs given) that Debian's newer
# suites serve, release and debug interpreters with their headers, unpacks
# them under DIR together with the newer shared libraries they need, and
# prints one interpreter path a line (DIR/bin/python3.X and DIR/bin/python3.Xd).
# A version the machine's own release serves (3.11 on Debian 12) comes from
# that release, with its updates.
#
# --arch ARCH fetches the packages of another Debian architecture, one of
# cmake/platforms.tsv. Its interpreters run under the qemu-user program the
# table names for it (from qemu-user-static), with the unpacked tree as
# their root for absolute paths; one this machine runs itself (32-bit x86 on
# a kernel that allows it) runs without. No binfmt_misc entry is needed:
# sys.executable names the wrapper, which starts qemu itself.
#
# Nothing is installed: apt runs with its own configuration, sources, lists,
# cache and state under DIR/apt, the mirror taken from the machine's own
# sources with only the suite changed, and the packages are unpacked with
# dpkg-deb -x. Each interpreter runs through a wrapper that starts it with its
# own dynamic loader and library folder, so the system's libraries stay
# untouched and no LD_LIBRARY_PATH leaks into the processes it starts.
#
# Where the same suite serves them, Debian's ensurepip (python3.X-venv) and
# the pip and setuptools wheels it installs come too, so that
# `DIR/bin/python3.X -m venv` makes a venv with pip; without them the
# interpreters still come, and their venvs have no pip.
#
# An interpreter that cannot be had is reported on stderr and left out; the
# others still come. A second run reuses the downloads and the unpacked
# trees unless a suite now serves other package versions.
set -euo pipefail

usage() {
  echo "usage: $0 [--arch ARCH] DIR [VERSION...]" >&2
  exit 2
}
arch=$(dpkg --print-architecture)
# The emulator's command (program and options) for a foreign architecture,
# and the host machine that may run it without one.
emulator=()
native_on=$(uname -m)
foreign=""
if [ "${1:-}" = --arch ]; then
  [ $# -ge 2 ] || usage
  if [ "$2" != "$arch" ]; then
    foreign=1
    platforms="$(dirname "$0")/platforms.sh"
    if ! command=$("$platforms" "$2" emulator) || ! native_on=$("$platforms" "$2" native_on); then
      echo "$0: no emulator known for architecture '$2'" >&2
      exit 2
    fi
    read -r -a emulator <<<"$command"
    if program=$(command -v "${emulator[0]}"); then
      emulator[0]=$program
    elif [ "$native_on" = "$(uname -m)" ]; then
      emulator=()
    else
      echo "$0: --arch $2 needs ${emulator[0]} (tools/setup.sh $2)" >&2
      exit 1
    fi
  fi
  arch=$2
  shift 2
fi
[ $# -ge 1 ] || usage
mkdir -p "$1"
dir=$(cd "$1" && pwd)
shift
versions=("$@")
[ $# -gt 0 ] || read -r -a versions <<<"$("$(dirname "$0")/platforms.sh" "$arch" versions)"
suites=(testing unstable experimental)

say() { echo "newer-pythons: $*" >&2; }
# first_match GLOB: the first path the unquoted glob matched, or nothing.
first_match() { if [ -e "$1" ] || [ -L "$1" ]; then echo "$1"; fi; }

# ---- the private apt configuration -----------------------------------------
# shellcheck disable=SC1091 # the machine's file, not the tree's
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
# The machine's Debian mirror: the entry serving its own release, known by
# its Release file's origin; before the first apt-get update there is none to
# read, and the first entry for that release is taken.
# shellcheck disable=SC2016 # apt-get fills in the $(FIELD)s
mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(ORIGIN)' 'Identifier: Packages' |
  awk -v c="$codename" '$2 == c && $3 == "Debian" { print $1; exit }')
# shellcheck disable=SC2016 # apt-get fills in the $(FIELD)s
[ -n "$mirror" ] || mirror=$(apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' \
  'Identifier: Packages' | awk -v c="$codename" '$2 == c { print $1; exit }')
if [ -z "$mirror" ]; then
  say "no Debian entry for '$codename' in the machine's apt sources; nothing fetched"
  exit 1
fi
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
signed=""
[ -r "$keyring" ] && signed=" signed-by=$keyring"

apt_dir="$dir/apt"
mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" \
  "$apt_dir/state" "$apt_dir/log" "$dir/debs"
touch "$apt_dir/state/status"
: >"$apt_dir/sources.list.new"
# The machine's own release and its updates, each from the entry that serves it.
# shellcheck disable=SC2016 # apt-get fills in the $(FIELD)s
apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' |
  awk -v c="$codename" '$2 == c || index($2, c "-") == 1' | sort -u |
  while read -r uri suite; do
    echo "deb [arch=$arch$signed] $uri $suite main" >>"$apt_dir/sources.list.new"
  done
for s in "${suites[@]}"; do
  echo "deb [arch=$arch$signed] $mirror $s main" >>"$apt_dir/sources.list.new"
done
mv "$apt_dir/sources.list.new" "$apt_dir/sources.list"

# The system's hooks and other parts are not read; only the settings that
# decide whether the mirror can be reached at all are carried over.
carried=""
for key in Acquire::Check-Valid-Until Acquire::Check-Date Acquire::http::Proxy \
  Acquire::https::Proxy; do
  value=$(apt-config dump "$key" | awk -v k="$key" '$1 == k { sub(/^[^ ]+ /, ""); print; exit }')
  [ -n "$value" ] && carried+="$key $value"$'\n'
done
cat >"$apt_dir/apt.conf" <<EOF
Dir::Etc::sourcelist "$apt_dir/sources.list";
Dir::Etc::sourceparts "$apt_dir/parts";
Dir::Etc::parts "$apt_dir/parts";
Dir::Etc::preferences "$apt_dir/preferences";
Dir::Etc::preferencesparts "$apt_dir/parts";
Dir::State "$apt_dir/state";
Dir::State::lists "$apt_dir/lists";
Dir::State::status "$apt_dir/state/status";
Dir::Cache "$apt_dir/cache";
Dir::Log "$apt_dir/log";
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
APT::Install-Recommends "false";
APT::Install-Suggests "false";
APT::Sandbox::User "root";
Acquire::Languages "none";
Acquire::GzipIndexes "true";
$carried
EOF
export APT_CONFIG="$apt_dir/apt.conf"

if ! apt-get -qq update >"$apt_dir/log/update.txt" 2>&1; then
  if ls "$apt_dir"/lists/*Packages* >/dev/null 2>&1; then
    say "apt-get update failed (see $apt_dir/log/update.txt); using the lists from the last run"
  else
    say "apt-get update failed:"
    cat "$apt_dir/log/update.txt" >&2
    exit 1
  fi
fi

# ---- per version: resolve, download, unpack, wrap ---------------------------
# Prints "name=version" for every package that PACKAGES need, for CPython V:
# from the machine's own release where it serves the version, else each at
# the newest version the newer suites serve; experimental's own versions are
# asked for only when that fails. On failure apt's complaint goes to stderr.
packages_for() {
  local v=$1 out own=()
  shift
  if apt-cache madison "python$v" | awk -F'|' -v c="$codename" \
    '{ split($3, w, " "); if (w[2] ~ ("^" c "([-/]|$)")) f = 1 } END { exit !f }'; then
    own=(-t "$codename")
  fi
  if out=$(apt-get -s "${own[@]}" install "$@" 2>&1) ||
    out=$(apt-get -s -t experimental install "$@" 2>&1); then
    sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*/\1=\2/p' <<<"$out"
  else
    grep -E '^(E:| )' <<<"$out" | head -5 >&2
    return 1
  fi
}

# The interpreters' packages.
resolve() {
  local v=$1
  if ! packages_for "$v" "python$v" "python$v-dev" "python$v-dbg" 2>"$apt_dir/log/resolve-$v.txt"; then
    say "CPython $v cannot be had from ${suites[*]}:"
    cat "$apt_dir/log/resolve-$v.txt" >&2
    return 1
  fi
}

# What a venv of the tree needs to get pip, on top of the interpreters'
# packages ($2): Debian ships ensurepip apart (python$v-venv), and the wheels
# it installs (python3-pip-whl, python3-setuptools-whl) in
# /usr/share/python-wheels. Optional: prints nothing, and says why, when they
# cannot be had with the interpreters' own package versions.
venv_extras() {
  local v=$1 core=$2 all extras p
  if ! all=$(packages_for "$v" "python$v" "python$v-dev" "python$v-dbg" "python$v-venv" 2>/dev/null); then
    say "CPython $v: python$v-venv cannot be had; its venvs get no pip"
    return 0
  fi
  extras=$(grep -vxF -f <(printf '%s\n' "$core") <<<"$all") || true
  for p in $extras; do
    if grep -q "^${p%%=*}=" <<<"$core"; then
      say "CPython $v: python$v-venv needs $p, not the interpreter's; its venvs get no pip"
      return 0
    fi
  done
  echo "$extras"
}

# The pyconfig.h next to Python.h picks the per-architecture one with an
# angle-bracket include meant for /usr/include; point it at the unpacked copy.
fix_pyconfig() {
  local root=$1 inc real
  for inc in "$root"/usr/include/python3.*; do
    [ -f "$inc/pyconfig.h" ] || continue
    real=$(first_match "$root"/usr/include/*/"$(basename "$inc")"/pyconfig.h)
    if [ -n "$real" ]; then
      ln -sfn "../${real#"$root"/usr/include/}" "$inc/pyconfig.h"
    fi
  done
}

# Debian's ensurepip takes pip from the folder named at build time
# (WHEEL_PKG_DIR, /usr/share/python-wheels), which an interpreter run from
# the tree reads as this machine's: there Debian 12 keeps its own pip 23.0.1,
# which fails on 3.14. The tree's build-time variables name the tree's folder
# instead (under qemu-user too: the absolute path exists as it stands).
# Prints each file it changed, so that its compiled copy can be renewed.
wheel_dir() {
  local root=$1 v=$2 f want sub
  want="$root/usr/share/python-wheels/"
  sub=${want//\\/\\\\}
  sub=${sub//&/\\&}
  sub=${sub//|/\\|}
  for f in "$root/usr/lib/python$v"/_sysconfigdata_*.py; do
    if [ -f "$f" ] && [ ! -L "$f" ] && grep -q "^ *'WHEEL_PKG_DIR': " "$f" &&
      ! grep -qF "'WHEEL_PKG_DIR': '$want'," "$f"; then
      sed -i "s|^\( *'WHEEL_PKG_DIR': \)'[^']*'|\1'$sub'|" "$f"
      echo "$f"
    fi
  done
}

# Unpacks the venv packages (venv_extras) into the tree of CPython v, once
# for each set of versions, and adds ensurepip to what is to be compiled. A failure is said; what an earlier run unpacked
# stays, and the interpreters run either way.
unpack_venv() {
  local v=$1 root=$2 extras=$3 venv_stamp
  venv_stamp="$dir/$v/venv.txt"
  if [ -z "$extras" ] || { [ -f "$venv_stamp" ] && [ "$(cat "$venv_stamp")" = "$extras" ]; }; then
    return 0
  fi
  # shellcheck disable=SC2086
  if ! (cd "$dir/debs" && apt-get -qq download $extras >"$apt_dir/log/download-$v-venv.txt" 2>&1); then
    say "CPython $v: ensurepip and its wheels could not be downloaded (see $apt_dir/log/download-$v-venv.txt)"
    return 0
  fi
  # Another version's wheels left beside the new ones would be taken:
  # ensurepip takes the last by name.
  rm -rf "$root/usr/share/python-wheels" "$root/usr/lib/python$v/ensurepip" "$venv_stamp"
  if unpack "$root" "$extras"; then
    echo "$extras" >"$venv_stamp"
    recompile+=("$root/usr/lib/python$v/ensurepip")
    say "CPython $v: unpacked ensurepip and the wheels it installs ($(wc -w <<<"$extras") packages)"
  else
    say "CPython $v: unpacking ensurepip and its wheels failed; its venvs get no pip"
  fi
}

# Packages of a release before the merged /usr put the C library and loader
# under /lib or /lib64; moved under usr/ they are where a newer tree keeps
# them, and the /lib or /lib64 the loader's path names still reaches them.
# A link to an absolute path the tree holds is made relative, so that it
# stays inside the tree: qemu-user would look for its target on this
# machine. Safe to run again on a tree it has merged.
merge_usr() {
  local root=$1 d link target
  for d in lib lib64; do
    if [ -d "$root/$d" ] && [ ! -L "$root/$d" ]; then
      mkdir -p "$root/usr/$d"
      cp -a "$root/$d/." "$root/usr/$d/"
      rm -rf "${root:?}/$d"
    fi
    if [ -d "$root/usr/$d" ] && [ ! -e "$root/$d" ] && [ ! -L "$root/$d" ]; then
      ln -s "usr/$d" "$root/$d"
    fi
  done
  find "$root" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    if [ -e "$root$target" ] || [ -L "$root$target" ]; then
      ln -sfn "$(realpath -m -s --relative-to="$(dirname "$link")" "$root$target")" "$link"
    fi
  done
}

# Unpacks the downloaded packages "name=version ..." into root.
unpack() {
  local root=$1 p name ver deb
  for p in $2; do
    name=${p%%=*}
    ver=${p#*=}
    # Download names spell an epoch's colon as %3a.
    deb=$(first_match "$dir/debs/${name}_${ver//:/%3a}_"*.deb)
    if [ -z "$deb" ]; then
      say "no downloaded file for $p"
      return 1
    fi
    dpkg-deb -x "$deb" "$root" || return 1
  done
}

mkdir -p "$dir/bin"
got=()
for v in "${versions[@]}"; do
  rm -f "$dir/bin/python$v" "$dir/bin/python${v}d"
  pkgs=$(resolve "$v") || continue
  extras=$(venv_extras "$v" "$pkgs")
  root="$dir/$v/root"
  stamp="$dir/$v/unpacked.txt"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$pkgs" ] && [ -d "$root" ]; then
    say "CPython $v: unpacked tree is current"
  else
    # apt-get download skips files already fetched with the right hash.
    # shellcheck disable=SC2086
    if ! (cd "$dir/debs" && apt-get -qq download $pkgs >"$apt_dir/log/download-$v.txt" 2>&1); then
      say "CPython $v: download failed:"
      tail -5 "$apt_dir/log/download-$v.txt" >&2
      continue
    fi
    rm -rf "$root" "$stamp" "$dir/$v/compiled.txt" "$dir/$v/venv.txt"
    mkdir -p "$root"
    if ! unpack "$root" "$pkgs"; then
      say "CPython $v: unpacking failed; left out"
      continue
    fi
    fix_pyconfig "$root"
    echo "$pkgs" >"$stamp"
    say "CPython $v: unpacked $(wc -w <<<"$pkgs") packages into $root"
  fi
  # (Also on a tree unpacked by an earlier version of this script.)
  merge_usr "$root"
  recompile=()
  unpack_venv "$v" "$root" "$extras"
  while IFS= read -r f; do recompile+=("$f"); done < <(wheel_dir "$root" "$v")

  # The dynamic loader the interpreter names, as the tree holds it.
  interp=$(readelf -l "$root/usr/bin/python$v" "$root/usr/bin/python${v}d" 2>/dev/null |
    sed -n 's/.*Requesting program interpreter: \(.*\)\]$/\1/p' | head -1) || true
  loader=""
  [ -z "$interp" ] || loader=$(readlink -f "$root$interp") || true
  libc=$(first_match "$root"/usr/lib/*/libc.so.6)
  if [ -z "$libc" ] || [ ! -f "$loader" ] || [[ "$loader" != "$root"/* ]]; then
    say "CPython $v: the unpacked tree holds no C library or no loader ${interp:-named}; left out"
    continue
  fi
  libdir=$(dirname "$libc")
  rm -f "$root/usr/bin/qemu-run"
  if [ -z "$foreign" ]; then
    :
  elif [ "$native_on" = "$(uname -m)" ] && "$loader" --version >/dev/null 2>&1; then
    say "CPython $v: this machine runs $arch programs itself; no emulator"
  elif [ "${#emulator[@]}" -gt 0 ]; then
    # Runs any program of the tree (qemu-run [QEMU_OPTIONS] PROGRAM ARGS):
    # the unpacked root stands in for / wherever it holds the path asked for
    # (the loader, the C library, the standard library).
    printf '#!/bin/sh\nexec %s-L "%s" "$@"\n' "$(printf '"%s" ' "${emulator[@]}")" "$root" \
      >"$root/usr/bin/qemu-run"
    chmod +x "$root/usr/bin/qemu-run"
  else
    say "CPython $v: this kernel cannot run $arch programs, and there is no emulator; left out"
    continue
  fi
  for exe in "python$v" "python${v}d"; do
    if [ ! -x "$root/usr/bin/$exe" ]; then
      say "CPython $v: $exe is not in the packages; left out"
      continue
    fi
    # The wrapper sits beside the real binary and DIR/bin links to it: the
    # interpreter finds its prefix from the link's target, and sys.executable
    # names the wrapper, so the interpreters it starts in turn run too.
    wrapper="$root/usr/bin/run-$exe"
    if [ -f "$root/usr/bin/qemu-run" ]; then
      run="\"$root/usr/bin/qemu-run\" -0 \"\$0\" \"$root/usr/bin/$exe\""
    else
      run="\"$loader\" --library-path \"$libdir:$root/usr/lib\" --argv0 \"\$0\" \"$root/usr/bin/$exe\""
    fi
    printf '#!/bin/sh\nexec %s "$@"\n' "$run" >"$wrapper"
    chmod +x "$wrapper"
    ln -sfn "$wrapper" "$dir/bin/$exe"
    if ! version=$("$dir/bin/$exe" -c 'import sys, sysconfig, os
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
print(sys.version.split()[0])' 2>&1); then
      say "CPython $v: $exe does not run here ($version); left out"
      rm -f "$dir/bin/$exe"
      continue
    fi
    say "$exe: CPython $version"
    got+=("$dir/bin/$exe")
    # An installed package's standard library is byte-compiled by its
    # post-install step, which unpacking skips; without the .pyc files every
    # start compiles what it imports, which under emulation costs seconds.
    if [ ! -f "$dir/$v/compiled.txt" ]; then
      "$dir/bin/$exe" -m compileall -q -j 2 "$root/usr/lib/python$v" \
        >"$dir/$v/compileall.txt" 2>&1 || say "CPython $v: some of the standard library did not compile (see $dir/$v/compileall.txt)"
      date >"$dir/$v/compiled.txt"
    elif [ "${#recompile[@]}" -gt 0 ]; then
      # What this run unpacked or changed in a tree compiled before.
      "$dir/bin/$exe" -m compileall -q "${recompile[@]}" >>"$dir/$v/compileall.txt" 2>&1 ||
        say "CPython $v: ${recompile[*]} did not compile (see $dir/$v/compileall.txt)"
    fi
    recompile=()
  done
done

if [ "${#got[@]}" -gt 0 ]; then
  printf '%s\n' "${got[@]}"
fi
