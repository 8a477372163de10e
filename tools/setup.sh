#!/usr/bin/env bash
# tools/setup.sh [GROUP...]       installs what the build and its tests need
# tools/setup.sh --check GROUP... exits 0 when those groups are installed
# tools/setup.sh --list           prints each group and its packages
# tools/setup.sh --fetched GROUP  prints the packages that group's tools fetch
#                                 and unpack themselves (never installed)
#
# The packages come in groups, each installed on its own (default: all, in
# the order below), so that one that cannot be had costs only its own tests:
#   core     the compiler, CMake and CTest, the Python headers, GoogleTest,
#            valgrind, clang with its sanitizer runtime, the style checkers
#            (clang-format, shellcheck), venv, wheel and sdist (build) tools:
#            everything the quick, default and clang workflows and the
#            release's wheels and sdist need
#   vm       the full-system emulator tools/vm-run.sh runs commands in where
#            this machine refuses 32-bit programs: QEMU and a static
#            busybox. Its kernel is not installed: tools/vm-run.sh fetches
#            and unpacks it into the build folder at run time
#   windows, win32, arm64, armhf, ...
#            the group each row of cmake/platforms.tsv but this machine's
#            own names in its setup column, with the packages the row
#            names: for Windows mingw-w64 and Wine (win32: the i386
#            architecture and the 32-bit Wine), for another Linux machine
#            its cross compiler and qemu-user-static (its cross workflow)
#
# A mirror that serves a bad index for a while is not the end: apt-get update
# is tried a few times, and what it could fetch is used. A core package that
# cannot be installed stops the script with the package and apt's own words;
# any other group is reported as "== NOT TESTED: <group>: <reason>" and the
# script still succeeds. Run as root (or with sudo, for apt).
set -uo pipefail

declare -A packages=(
  [core]="cmake g++ clang clang-format libclang-rt-14-dev googletest libgtest-dev valgrind binutils
          ninja-build python3.11 python3.11-dev python3.11-dbg python3.11-venv python3-wheel python3-build gunicorn shellcheck"
  [vm]="qemu-system-x86 busybox-static"
)
# Packages a group's own tools fetch with apt-get download and unpack into
# the build folder when they run; this script never installs them.
declare -A fetched=(
  [vm]="linux-image-amd64"
)
# Then each row's group (cmake/platforms.tsv's setup column) with its
# packages, the Windows rows' first.
groups=(core)
platforms="$(dirname "$0")/platforms.sh"
add_rows() {
  local arch group
  for arch in $("$platforms" "$1"); do
    group=$("$platforms" "$arch" setup)
    [ -n "${packages[$group]+x}" ] || groups+=("$group")
    packages[$group]+="${packages[$group]:+ }$("$platforms" "$arch" packages)"
  done
}
add_rows windows
groups+=(vm)
add_rows linux
# apt-get update: how often, and how long to wait between tries (seconds).
tries=${ADDONGATE_SETUP_TRIES:-3}
pause=${ADDONGATE_SETUP_PAUSE:-20}

say() { echo "setup: $*"; }
usage() {
  echo "usage: $0 [GROUP...] | --check GROUP... | --list | --fetched GROUP   (groups: ${groups[*]})" >&2
  exit 2
}

missing_of() {
  local p
  for p in ${packages[$1]}; do
    dpkg -s "$p" >/dev/null 2>&1 || echo "$p"
  done
}

check_groups() {
  local g status=0 missing
  for g in "$@"; do
    [ -n "${packages[$g]+x}" ] || usage
    missing=$(missing_of "$g" | tr '\n' ' ')
    if [ -n "$missing" ]; then
      echo "$g: not installed: ${missing% }"
      status=1
    fi
  done
  return "$status"
}

case "${1:-}" in
  --list)
    # shellcheck disable=SC2086 # split, to print each list on one line
    for g in "${groups[@]}"; do echo "$g:" ${packages[$g]}; done
    exit 0
    ;;
  --fetched)
    { [ $# = 2 ] && [ -n "${packages[$2]+x}" ]; } || usage
    for p in ${fetched[$2]:-}; do echo "$p"; done
    exit 0
    ;;
  --check)
    shift
    [ $# -gt 0 ] || usage
    check_groups "$@"
    exit
    ;;
  -*) usage ;;
esac
wanted=("$@")
[ $# -gt 0 ] || wanted=("${groups[@]}")
for g in "${wanted[@]}"; do [ -n "${packages[$g]+x}" ] || usage; done

export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -o DPkg::Lock::Timeout=300)
log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT

# What each wanted group still lacks; nothing is fetched when that is nothing.
declare -A lacking=()
need_update=""
for g in "${wanted[@]}"; do
  lacking[$g]=$(missing_of "$g" | tr '\n' ' ')
  [ -z "${lacking[$g]// /}" ] || need_update=1
done
if [ -z "$need_update" ]; then
  say "every package of ${wanted[*]} is installed"
  exit 0
fi

if [[ " ${lacking[*]} " == *":i386 "* ]] &&
  ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386 || say "could not add the i386 architecture"
fi

# A mirror in the middle of a sync serves an index of the wrong size for a
# while; apt-get update then fails but keeps every index it did fetch.
for ((try = 1; try <= tries; try++)); do
  if "${apt[@]}" update >"$log/update" 2>&1; then
    break
  fi
  if ((try < tries)); then
    say "apt-get update failed (try $try of $tries); again in ${pause}s"
    sleep "$pause"
  else
    say "apt-get update failed $tries times; going on with the indexes it did fetch. What failed:"
    grep -E '^(E|W|Err):' "$log/update" | sed 's/^/  /' | head -20
  fi
done

# apt's own words on why the packages cannot be installed: its E: lines, or
# its last line when it has none.
apt_reason() {
  local why
  why=$(grep -E '^E:' "$1" | tr '\n' ' ')
  [ -n "$why" ] || why=$(tail -n1 "$1")
  echo "${why% }"
}

# Installs one group; on failure prints "<package>: <apt's message>" naming
# the first package apt cannot install on its own, else the whole group.
install_group() {
  local g=$1 p
  # shellcheck disable=SC2086
  if "${apt[@]}" install -y -q ${lacking[$g]} >"$log/$g" 2>&1; then
    return 0
  fi
  for p in ${lacking[$g]}; do
    if ! "${apt[@]}" install -s "$p" >"$log/$g-$p" 2>&1; then
      echo "cannot install $p: $(apt_reason "$log/$g-$p")"
      return 1
    fi
  done
  echo "cannot install ${lacking[$g]% }: $(apt_reason "$log/$g")"
  return 1
}

for g in "${wanted[@]}"; do
  [ -n "${lacking[$g]// /}" ] || continue
  say "$g: installing ${lacking[$g]% }"
  if why=$(install_group "$g"); then
    continue
  fi
  if [ "$g" = core ]; then
    say "core: $why"
    exit 1
  fi
  echo "== NOT TESTED: $g: $why"
done
exit 0
