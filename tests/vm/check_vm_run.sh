#!/usr/bin/env bash
# tools/vm-run.sh: what COMMAND gets inside the emulated machine and what
# comes back, in one boot, plus a 32-bit program where a cross compiler for
# one is installed; then its refusals, which boot nothing. Needs the vm group
# of tools/setup.sh.
#
#   tests/vm/check_vm_run.sh        ends with "N passed, N failed"
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck disable=SC1091 # checked on its own
. "$root/tests/checks.sh"

# A program the machine runs: its arguments, directory, environment,
# loopback, and a 32-bit program's status where one could be built.
cat >"$work/inside.sh" <<'EOF'
printf 'arg=[%s]\n' "$@"
echo "pwd=$PWD"
printf 'var=[%s]\n' "$VM_RUN_CHECK"
[ -x ./t32 ] && { ./t32; echo "t32=$?"; }
python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(1)
socket.create_connection(s.getsockname()); print("loopback=up")'

echo "to stderr" >&2
echo made >written.txt
exit 7
EOF
if command -v i686-linux-gnu-gcc >/dev/null; then
  echo 'int main(void) { return 32; }' >"$work/t32.c"
  i686-linux-gnu-gcc -static -o "$work/t32" "$work/t32.c"
fi
(cd "$work" && VM_RUN_CHECK=$'two\nlines and  spaces' \
  "$root/tools/vm-run.sh" sh ./inside.sh 'a b' '' "q'uo\"te" >out 2>err)
status=$?
[ "$status" = 7 ]
check $? "COMMAND's exit status comes back (got $status)" "$work/err"
printf 'arg=[a b]\narg=[]\narg=[q%suo"te]\n' "'" >"$work/want"
head -n3 "$work/out" | cmp -s - "$work/want"
check $? "its arguments arrive as they were given" "$work/out"
grep -qxF "pwd=$work" "$work/out"
check $? "it starts in the caller's directory" "$work/out"
grep -qzF $'var=[two\nlines and  spaces]' "$work/out"
check $? "it gets the caller's environment" "$work/out"
[ "$(cat "$work/err")" = "to stderr" ] && ! grep -q "to stderr" "$work/out"
check $? "its standard error comes back on standard error only" "$work/err"
[ "$(cat "$work/written.txt" 2>/dev/null)" = made ]
check $? "what it writes is in this machine's files"
grep -qx "loopback=up" "$work/out"
check $? "it can connect over loopback" "$work/out"
if [ -x "$work/t32" ]; then
  grep -qx "t32=32" "$work/out"
  check $? "a static 32-bit x86 program runs inside" "$work/out"
fi

# A small machine whose COMMAND fills its tmpfs, then its memory: what ran
# out is named after COMMAND's own output, with the memory it had.
cat >"$work/fill.sh" <<'EOF'
head -c 300M /dev/zero >/dev/shm/fill
python3 -c 'x = []
while True: x.append(b"x" * (16 << 20))'
exit 3
EOF
(cd "$work" && ADDONGATE_VM_MEMORY=512 "$root/tools/vm-run.sh" sh ./fill.sh >out 2>err)
status=$?
[ "$status" = 3 ] && grep -q "No space left on device" "$work/err" &&
  tail -n2 "$work/err" | head -n1 | grep -qxF "vm-run: the machine ran out of room on its tmpfs (No space left on device); raise ADDONGATE_VM_MEMORY (now 512 MiB)"
check $? "a full tmpfs is named, COMMAND's status kept (got $status)" "$work/err"
tail -n1 "$work/err" | grep -qxF "vm-run: the machine ran out of memory (its kernel killed a process); raise ADDONGATE_VM_MEMORY (now 512 MiB)"
check $? "an out-of-memory kill is named" "$work/err"

# Refusals: a missing emulator part, and a build folder the kernel's command
# line cannot carry; neither boots.
mkdir "$work/stand"
cat >"$work/stand/dpkg" <<EOF
#!/bin/sh
[ "\$1 \$2" = "-s qemu-system-x86" ] && exit 1
exec "$(command -v dpkg)" "\$@"
EOF
chmod +x "$work/stand/dpkg"
PATH="$work/stand:$PATH" "$root/tools/vm-run.sh" true >"$work/out" 2>&1
status=$?
[ "$status" = 125 ] && grep -qF "vm-run: an emulator part is missing (vm: not installed: qemu-system-x86); tools/setup.sh vm installs it" "$work/out"
check $? "a missing emulator part is named, exit 125 (got $status)" "$work/out"
ADDONGATE_VM_DIR="$work/a b" "$root/tools/vm-run.sh" true >"$work/out" 2>&1
status=$?
[ "$status" = 125 ] && grep -q "may not hold spaces" "$work/out"
check $? "a build folder with a space is refused, exit 125 (got $status)" "$work/out"

checks_done
