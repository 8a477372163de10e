#!/usr/bin/env bash
# tools/vm-run.sh COMMAND [ARG...]
#
# Runs COMMAND in a full-system emulated x86-64 machine (QEMU) that runs
# 32-bit x86 programs, for machines whose own kernel or hypervisor refuses
# them. The machine boots Debian's own kernel, mounts this machine's / over
# 9p and chroots into it, so COMMAND sees the same files at the same paths,
# starts in the same working directory with the caller's environment, and
# runs as the caller's user. Its standard output and error come back on ours,
# and its exit status is ours. Its standard input is /dev/null.
#
# Inside, the network is loopback only. /run and /dev/shm are the machine's
# own tmpfs, with /run/user/<uid> made, where Debian's wineserver puts its
# socket (a socket cannot live on 9p); everything else under / is this
# machine's own. The
# 9p mount caches in the machine: what this machine changes under a running
# COMMAND may go unseen there.
#
# Nothing is installed: QEMU and busybox come from tools/setup.sh's vm group;
# the kernel package that group names is fetched with apt-get download and
# unpacked into the build folder on first use, and kept there.
#
#   ADDONGATE_VM_DIR     the build folder (default: build/vm of this checkout)
#   ADDONGATE_VM_CPUS    virtual CPUs (default 2)
#   ADDONGATE_VM_MEMORY  memory in MiB (default 4096: a tmpfs may take half,
#                        and at 2048 a 32-bit Wine prefix does not fit in one)
#   ADDONGATE_VM_ACCEL   QEMU accelerator (default tcg)
#   ADDONGATE_VM_TIMES   when set, the time in the machine goes to standard error
#   ADDONGATE_VM_KEEP    when set, the run's folder (initramfs, console log) stays
#
# Exit status: COMMAND's, or 125 with a message when the machine could not
# be made or stopped before COMMAND ended. When COMMAND fails with "No space
# left on device" in its output, or the machine's kernel killed a process for
# want of memory, a line on standard error names what ran out.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
vmdir=${ADDONGATE_VM_DIR:-$root/build/vm}
cpus=${ADDONGATE_VM_CPUS:-2}
memory=${ADDONGATE_VM_MEMORY:-4096}
accel=${ADDONGATE_VM_ACCEL:-tcg}
# QEMU's "max" CPU crashes 32-bit Wine at an iret; this one runs it, with the
# instruction sets Windows CPythons expect.
cpu=qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt
# What the initramfs loads to reach this machine's files, with their
# dependencies (busybox depmod lists them).
modules="virtio_pci 9pnet_virtio 9p"

fail() {
  echo "vm-run: $*" >&2
  exit 125
}
[ $# -gt 0 ] || {
  echo "usage: $0 COMMAND [ARG...]" >&2
  exit 2
}
case $vmdir in
  /*) ;;
  *) vmdir=$PWD/$vmdir ;;
esac
# The run folder's path goes on the kernel's command line.
case $vmdir in *[[:space:]\"\\]*) fail "the build folder's path may not hold spaces, quotes or backslashes: $vmdir" ;; esac

missing=$("$root/tools/setup.sh" --check vm) ||
  fail "an emulator part is missing (${missing}); tools/setup.sh vm installs it"
qemu=$(command -v qemu-system-x86_64) || fail "qemu-system-x86_64 is not on PATH"
busybox=/bin/busybox
mkdir -p "$vmdir" || fail "cannot make the build folder $vmdir"

# The kernel: the package the vm group's metapackage depends on, unpacked
# into $vmdir/kernel/<package>_<version>/ once (only the kernel and the
# modules the initramfs needs). A mirror whose index lacks it does not stop
# a run that has one already.
fetch_kernel() {
  local meta pkg ver dir tmp deb x kver list why kept kvers
  meta=$("$root/tools/setup.sh" --fetched vm | head -n1)
  [ -n "$meta" ] || fail "tools/setup.sh names no kernel package for the vm group"
  pkg=$(apt-cache depends --important "$meta" 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n1)
  ver=$(apt-cache policy "${pkg:-$meta}" 2>/dev/null | sed -n 's/^ *Candidate: \(.*\)$/\1/p')
  if [ -z "$pkg" ] || [ -z "$ver" ] || [ "$ver" = "(none)" ]; then
    kept=("$vmdir"/kernel/*/ready)
    dir=${kept[-1]}
    [ -e "$dir" ] && {
      echo "${dir%/ready}"
      return
    }
    fail "apt knows no kernel package for $meta (run apt-get update, or tools/setup.sh vm)"
  fi
  dir=$vmdir/kernel/${pkg}_${ver//:/%}
  if [ -f "$dir/ready" ]; then
    echo "$dir"
    return
  fi
  # What a fetch that failed or was stopped left (the lock keeps others out).
  tmp=$vmdir/kernel/fetch
  { rm -rf "$tmp" "$dir" && mkdir -p "$tmp/deb" "$dir"; } || fail "cannot write to $vmdir/kernel"
  (cd "$tmp/deb" && apt-get download "$pkg=$ver") >"$tmp/log" 2>&1 || {
    why=$(grep -E '^E:' "$tmp/log" | tr '\n' ' ')
    rm -rf "$tmp" "$dir"
    fail "cannot fetch the kernel package $pkg $ver: ${why:-apt-get download failed}"
  }
  deb=$(ls "$tmp"/deb/*.deb)
  x=$tmp/x
  mkdir -p "$x"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$x" --wildcards './boot/vmlinuz-*' './lib/modules/*' ||
    fail "cannot unpack $deb"
  kvers=("$x"/lib/modules/*)
  kver=${kvers[0]##*/}
  { [ "$kver" != "*" ] && [ -f "$x/boot/vmlinuz-$kver" ]; } || fail "$deb holds no kernel and modules"
  # The package has no modules.dep (its installation makes one).
  "$busybox" depmod -b "$x" "$kver" || fail "cannot list the modules' dependencies in $deb"
  # The wanted modules and theirs, dependencies first; built-in ones need
  # nothing.
  list=$(awk -v want="$modules" -v builtin="$x/lib/modules/$kver/modules.builtin" '
    function name(p) { sub(/.*\//, "", p); sub(/\.ko.*/, "", p); gsub("-", "_", p); return p }
    function visit(p,   n, i, d) {
      if (p in seen) return
      seen[p] = 1
      n = split(deps[p], d, " ")
      for (i = 1; i <= n; i++) visit(d[i])
      print p
    }
    { p = $1; sub(/:$/, "", p); file[name(p)] = p; deps[p] = ""
      for (i = 2; i <= NF; i++) deps[p] = deps[p] " " $i }
    END {
      while ((getline line < builtin) > 0) inside[name(line)] = 1
      n = split(want, w, " ")
      for (i = 1; i <= n; i++) {
        if (w[i] in file) visit(file[w[i]])
        else if (!(w[i] in inside)) { print "missing " w[i]; exit 1 }
      }
    }' "$x/lib/modules/$kver/modules.dep") || fail "the kernel in $deb lacks ${list#missing }"
  mkdir -p "$dir/modules"
  local i=0 m
  for m in $list; do
    i=$((i + 1))
    case $m in
      *.xz) xz -dc "$x/lib/modules/$kver/$m" ;;
      *.zst) zstd -dcq "$x/lib/modules/$kver/$m" ;;
      *) cat "$x/lib/modules/$kver/$m" ;;
    esac >"$dir/modules/$(printf %02d $i).ko" || fail "cannot unpack module $m"
  done
  # QEMU boots the uncompressed kernel straight at its PVH entry; the
  # compressed one spends seconds unpacking itself under emulation.
  local at
  at=$(grep -obUaF -- $'\xfd7zXZ\x00' "$x/boot/vmlinuz-$kver" | head -n1 | cut -d: -f1)
  if [ -n "$at" ]; then
    # xz ends with its stream and complains of the bytes after it.
    tail -c +$((at + 1)) "$x/boot/vmlinuz-$kver" | xz -dcq >"$dir/vmlinux" 2>/dev/null
  fi
  [ "$(head -c4 "$dir/vmlinux" 2>/dev/null)" = $'\x7fELF' ] || rm -f "$dir/vmlinux"
  mv "$x/boot/vmlinuz-$kver" "$dir/vmlinuz"
  rm -rf "$tmp"
  echo "$pkg $ver" >"$dir/ready"
  echo "$dir"
}

exec 9>"$vmdir/lock"
flock 9
kernel=$(fetch_kernel) || exit 125
exec 9>&-

run=$(mktemp -d "$vmdir/run.XXXXXX") || fail "cannot write to $vmdir"
qemu_pid=""
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
  [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null
  [ -n "${ADDONGATE_VM_KEEP:-}" ] || rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# What COMMAND gets: its arguments, environment and directory, as files the
# machine reads through 9p.
printf '%s\0' "$@" >"$run/argv"
env -0 >"$run/env"
printf '%s' "$PWD" >"$run/cwd"
id -u >"$run/uid"
id -g >"$run/gid"

# The initramfs: busybox, the modules and an init that mounts this machine's
# / and runs the second stage there with its own shell.
mkdir -p "$run/initramfs"/{bin,dev,proc,sys,host,modules}
cp "$busybox" "$run/initramfs/bin/busybox"
cp "$kernel"/modules/*.ko "$run/initramfs/modules/" 2>/dev/null
cat >"$run/initramfs/init" <<'EOF'
#!/bin/busybox sh
b=/bin/busybox
$b mount -t proc proc /proc
$b mount -t sysfs sys /sys
$b mount -t devtmpfs dev /dev
for m in /modules/*.ko; do
  [ -f "$m" ] && $b insmod "$m"
done
h=/host
$b mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose host $h || {
  echo "vm-run: cannot mount the host's files" >/dev/ttyS2
  $b poweroff -f
}
$b mount -t proc proc $h/proc
$b mount -t sysfs sys $h/sys
$b mount -t devtmpfs dev $h/dev
$b mkdir -p $h/dev/pts $h/dev/shm
$b mount -t devpts devpts $h/dev/pts
$b mount -t tmpfs shm $h/dev/shm
$b mount -t tmpfs run $h/run
$b ip link set lo up
uid=$($b cat "$h$vmrun/uid")
$b mkdir -p -m 0700 $h/run/user/$uid
$b chown "$uid" $h/run/user/$uid
$b stty -F /dev/ttyS1 raw -echo
$b stty -F /dev/ttyS2 raw -echo
$b chroot $h /bin/bash "$vmrun/stage2" "$vmrun" </dev/null >/dev/ttyS1 2>/dev/ttyS2
# The kernel's log holds the out-of-memory kills the console's loglevel hides.
$b dmesg >"$h$vmrun/dmesg" 2>/dev/null
$b sync
$b umount -a -r 2>/dev/null
$b poweroff -f
EOF
chmod +x "$run/initramfs/init"
# The second stage, run by this machine's own bash inside the emulated one:
# COMMAND in the caller's directory, user and environment; its output goes
# through pipes (Wine's Windows programs want pipes, not a serial line).
cat >"$run/stage2" <<'EOF'
run=$1
mapfile -d '' -t argv <"$run/argv"
mapfile -d '' -t envs <"$run/env"
uid=$(<"$run/uid")
gid=$(<"$run/gid")
as=()
[ "$uid" = 0 ] || as=(setpriv --reuid="$uid" --regid="$gid" --init-groups)
cd -- "$(<"$run/cwd")" || {
  echo 126 >"$run/status"
  exit
}
set -o pipefail
{ "${as[@]}" env -i "${envs[@]}" "${argv[@]}" 2>&1 1>&3 3>&- | cat >&2; } 3>&1 | cat
echo "$?" >"$run/status"
EOF

(cd "$run/initramfs" && find . | "$busybox" cpio -o -H newc 2>/dev/null) >"$run/initramfs.cpio" ||
  fail "cannot make the initramfs"

security=none
[ "$(id -u)" = 0 ] && security=passthrough
# The second and third serial lines carry COMMAND's output and errors, each
# through a pair of FIFOs (QEMU's pipe device) that a tee here relays,
# keeping a copy to tell what ran out when COMMAND fails.
mkfifo "$run"/{out,err}.{in,out} || fail "cannot make FIFOs in $run"
tee "$run/out.log" <"$run/out.out" &
relay_out=$!
tee "$run/err.log" <"$run/err.out" >&2 &
relay_err=$!
boot=$kernel/vmlinuz
[ -f "$kernel/vmlinux" ] && boot=$kernel/vmlinux
started=$(date +%s.%N)
"$qemu" -nodefaults -no-user-config -nographic -no-reboot \
  -accel "$accel" -cpu "$cpu" -smp "$cpus" -m "$memory" \
  -kernel "$boot" -initrd "$run/initramfs.cpio" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init vmrun=$run" \
  -virtfs "local,path=/,mount_tag=host,security_model=$security,multidevs=remap" \
  -serial "file:$run/console" \
  -chardev "pipe,id=out,path=$run/out" -serial chardev:out \
  -chardev "pipe,id=err,path=$run/err" -serial chardev:err \
  -monitor none </dev/null 2>"$run/qemu.log" &
qemu_pid=$!
wait "$qemu_pid"
qemu_status=$?
qemu_pid=""
# A relay QEMU never opened its FIFO for is still waiting for a writer.
: <>"$run/out.out"
: <>"$run/err.out"
wait "$relay_out" "$relay_err"
# Both the tmpfs and the memory grow with ADDONGATE_VM_MEMORY.
ran_out() {
  if grep -qsF "No space left on device" "$run/out.log" "$run/err.log"; then
    echo "vm-run: the machine ran out of room on its tmpfs (No space left on device); raise ADDONGATE_VM_MEMORY (now $memory MiB)" >&2
  fi
  if grep -qsF "Out of memory" "$run/dmesg" "$run/console"; then
    echo "vm-run: the machine ran out of memory (its kernel killed a process); raise ADDONGATE_VM_MEMORY (now $memory MiB)" >&2
  fi
}
if [ -n "${ADDONGATE_VM_TIMES:-}" ]; then
  echo "vm-run: $(awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s in the machine" >&2
fi
if [ ! -s "$run/status" ]; then
  {
    echo "vm-run: the emulated machine stopped before COMMAND ended (QEMU's status $qemu_status)"
    tail -n 20 "$run/qemu.log" "$run/console" 2>/dev/null
  } >&2
  ran_out
  exit 125
fi
command_status=$(cat "$run/status")
[ "$command_status" = 0 ] || ran_out
exit "$command_status"
