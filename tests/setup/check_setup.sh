#!/usr/bin/env bash
# tools/setup.sh on a bad mirror day, with stand-ins first on PATH: an
# apt-get that runs the real one but fails every update and refuses to
# install the packages in $REFUSED, and a dpkg that reports those as not
# installed. Needs root and a machine where tools/setup.sh has run; nothing
# is installed or removed that was not missing already.
#
#   tests/setup/check_setup.sh        ends with "N passed, N failed"
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
stand=$(mktemp -d)
trap 'rm -rf "$stand"' EXIT
# shellcheck disable=SC1091 # checked on its own
. "$root/tests/checks.sh"

cat >"$stand/apt-get" <<EOF
#!/bin/sh
for a in "\$@"; do
  case " \$REFUSED " in
    *" \$a "*)
      echo "E: Package '\$a' has no installation candidate (stand-in)" >&2
      exit 100
      ;;
  esac
done
"$(command -v apt-get)" "\$@" || exit
case " \$* " in *" update "*) exit 100 ;; esac
EOF
cat >"$stand/dpkg" <<EOF
#!/bin/sh
if [ "\$1" = -s ]; then
  case " \$REFUSED " in
    *" \$2 "*)
      echo "dpkg-query: package '\$2' is not installed (stand-in)" >&2
      exit 1
      ;;
  esac
fi
exec "$(command -v dpkg)" "\$@"
EOF
chmod +x "$stand/apt-get" "$stand/dpkg"
groups=$("$root/tools/setup.sh" --list | cut -d: -f1)
installed() {
  local g
  for g in $groups; do "$root/tools/setup.sh" --check "$g" >/dev/null && echo "$g"; done
}
stand_in() {
  REFUSED=$1 PATH="$stand:$PATH" ADDONGATE_SETUP_TRIES=2 ADDONGATE_SETUP_PAUSE=1 \
    "$root/tools/setup.sh" >"$stand/out" 2>&1
}

# The 32-bit Wine cannot be had: the rest is used, the group is named.
before=$(installed)
stand_in "wine32:i386"
check $? "a failed update and a refused optional group still succeed" "$stand/out"
grep -q "^setup: apt-get update failed 2 times" "$stand/out"
check $? "the failed update is named" "$stand/out"
grep -qxF "== NOT TESTED: win32: cannot install wine32:i386: E: Package 'wine32:i386' has no installation candidate (stand-in)" "$stand/out"
check $? "win32 is named as not tested, with apt's own message" "$stand/out"
after=$(installed)
[ "$before" = "$after" ]
check $? "the other groups stay installed (${after//$'\n'/ })"
REFUSED="wine32:i386" PATH="$stand:$PATH" "$root/tools/setup.sh" --check windows win32 >"$stand/out"
[ $? = 1 ] && grep -qx "win32: not installed: wine32:i386" "$stand/out"
check $? "--check names what a group lacks" "$stand/out"

# A core package that cannot be had stops the script, naming it.
stand_in "wine32:i386 python3.11-dbg"
status=$?
[ "$status" != 0 ] && [ "$(tail -n1 "$stand/out")" = \
  "setup: core: cannot install python3.11-dbg: E: Package 'python3.11-dbg' has no installation candidate (stand-in)" ]
check $? "a refused core package stops it (exit $status), naming the package" "$stand/out"
! grep -q "win32" "$stand/out"
check $? "nothing after core is tried" "$stand/out"

# Another machine is one more row of cmake/platforms.tsv: a copy of s390x's
# under a new name (its arch, machine and group) gets its group. This
# machine's own row gets none: its build is the native one.
tree="$stand/tree"
mkdir -p "$tree/tools" "$tree/cmake"
cp "$root/tools/setup.sh" "$root/tools/platforms.sh" "$tree/tools/"
awk -F'\t' -v OFS='\t' '{ print } $1 == "s390x" { for (i = 1; i <= NF; i++) if ($i == "s390x") $i = "newcpu"; print }' \
  "$root/cmake/platforms.tsv" >"$tree/cmake/platforms.tsv"
"$tree/tools/setup.sh" --list >"$stand/out"
grep -qx "newcpu: g++-s390x-linux-gnu qemu-user-static" "$stand/out"
check $? "a new row of cmake/platforms.tsv is a group of its own" "$stand/out"
here=$("$root/tools/platforms.sh" --here arch)
[ -n "$here" ] && ! grep -q "^$here:" "$stand/out"
check $? "this machine's row ($here) is no group" "$stand/out"

checks_done
