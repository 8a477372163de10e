# shellcheck shell=sh
# Sourced by the scripts that run Windows programs under Wine.
#
# tests_wine_loader EXE: the Wine loader for that program. A 64-bit program
# is handed to the 64-bit loader itself, since `wine` is a 32-bit program
# and some kernels cannot run those.
tests_wine_loader() {
  # shellcheck disable=SC3043 # bash, dash and busybox sh, its users, have local
  local pe machine
  pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' ')
  if [ "$machine" = 8664 ] && [ -x /usr/lib/wine/wine64 ]; then
    echo /usr/lib/wine/wine64
  else
    echo wine
  fi
}

# Why the 32-bit interpreters cannot run here, or nothing when they can.
tests_wine_32bit_gap() {
  if [ ! -x /usr/lib/wine/wine ]; then
    echo "the 32-bit Wine is not installed (tools/setup.sh win32)"
  elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "this machine cannot run 32-bit programs"
  fi
}

# tests_wineboot: makes (or updates) $WINEPREFIX, through the 64-bit loader
# where there is one, since `wineboot` itself goes through `wine`.
tests_wineboot() {
  if [ -x /usr/lib/wine/wine64 ]; then
    /usr/lib/wine/wine64 wineboot -i
  else
    wineboot -i
  fi
}
