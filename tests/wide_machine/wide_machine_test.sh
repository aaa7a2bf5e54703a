#!/usr/bin/env bash
# wide_machine_test.sh WORK_DIR VELLICOR HELPER VERSION
#
# Boots Debian's own kernel under QEMU (TCG) as a machine of 96 logical processors (2 sockets of
# 24 cores of 2 threads, one NUMA node per socket) from an initramfs holding busybox, the static
# VELLICOR and the static HELPER (wide_sleepers.c). init.sh runs the checks inside the machine and
# check_console.sh judges what the console showed. The kernel package is downloaded once into
# WORK_DIR/kernel and kept; nothing is installed on this machine.
#
# Exit status: 0 when every check passed, 77 (skipped) only when QEMU cannot start at all, 1
# otherwise: a machine that boots but fails a check is a failure.
set -euo pipefail
export LC_ALL=C.UTF-8
if (($# != 4)); then
  echo "usage: $0 WORK_DIR VELLICOR HELPER VERSION" >&2
  exit 2
fi
work=$1
vellicor=$2
helper=$3
version=$4
here=$(cd "$(dirname "$0")" && pwd)
skipped=77
# The whole run on this 2-core machine takes about a minute, well under this bound.
guest_seconds=420
started=$SECONDS

# shellcheck disable=SC2054 # QEMU takes its options' parts separated by commas.
machine=(
  -accel tcg -cpu Skylake-Server
  -smp 96,sockets=2,cores=24,threads=2
  -m 512M
  -object memory-backend-ram,id=memory0,size=256M -numa node,nodeid=0,memdev=memory0
  -object memory-backend-ram,id=memory1,size=256M -numa node,nodeid=1,memdev=memory1
  -numa cpu,node-id=0,socket-id=0 -numa cpu,node-id=1,socket-id=1
  -nodefaults -display none -no-reboot
)

# QEMU repeats a warning for each of the 96 processors about the CPU model's features that TCG
# lacks; they say nothing about this machine.
qemu_messages() {
  grep -v "TCG doesn't support requested feature" "$1" | head -20 || true
}

mkdir -p "$work"
if ! command -v qemu-system-x86_64 >/dev/null; then
  echo "SKIPPED: qemu-system-x86_64 is not installed (scripts/install-deps.sh installs it)"
  exit $skipped
fi
# The same machine, created and stopped before its first instruction, then ended from QEMU's
# monitor: what fails here is QEMU itself (memory, threads, accelerator), not the test.
if ! printf 'quit\n' | timeout 120 qemu-system-x86_64 "${machine[@]}" -S -serial null \
  -monitor stdio >"$work/probe.log" 2>&1; then
  echo "SKIPPED: QEMU cannot start a machine of 96 processors here:"
  qemu_messages "$work/probe.log"
  exit $skipped
fi

# is_static FILE: whether the program runs without a dynamic loader, which the initramfs lacks.
is_static() {
  [[ -x "$1" ]] && ! readelf -lW "$1" | grep -q 'program interpreter'
}
for program in "$vellicor" "$helper" /bin/busybox; do
  if ! is_static "$program"; then
    echo "FAILED: $program is missing or not linked statically (busybox comes from busybox-static)"
    exit 1
  fi
done

# The kernel of the image package that linux-image-amd64 depends on, fetched with apt-get
# download (lists brought up to date once if they are missing or stale) and unpacked here.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}
fetch_kernel() {
  local package=$1 scratch="$work/kernel/download"
  rm -rf "$scratch"
  mkdir -p "$scratch"
  (cd "$scratch" && apt-get download "$package") >"$work/kernel/apt.log" 2>&1 || return 1
  dpkg-deb --fsys-tarfile "$scratch"/*.deb | tar -x -C "$scratch" --wildcards './boot/vmlinuz-*'
  mv "$scratch"/boot/vmlinuz-* "$work/kernel/$package.vmlinuz"
  rm -rf "$scratch"
  find "$work/kernel" -name '*.vmlinuz' ! -name "$package.vmlinuz" -delete
}
mkdir -p "$work/kernel"
package=$(kernel_package)
if [[ -z "$package" || ! -s "$work/kernel/$package.vmlinuz" ]]; then
  if [[ -z "$package" ]] || ! fetch_kernel "$package"; then
    apt-get update -qq >"$work/kernel/apt.log" 2>&1 || true
    package=$(kernel_package)
    if [[ -z "$package" ]] || ! fetch_kernel "$package"; then
      echo "FAILED: cannot download the kernel of linux-image-amd64 ('${package:-no package}'):"
      cat "$work/kernel/apt.log"
      exit 1
    fi
  fi
fi
kernel="$work/kernel/$package.vmlinuz"

# The initramfs: busybox, the programs and /init, then /dev/console, which the kernel opens for
# /init before any file system is mounted. Making the device node here would need root, so that
# one entry is written by hand (cpio "newc" format) into a second archive; the kernel reads the
# two one after the other.
# newc_entry MODE RDEV_MAJOR RDEV_MINOR NAME
newc_entry() {
  local name_size=$((${#4} + 1))
  printf '070701%08x%08x%08x%08x%08x%08x%08x%08x%08x%08x%08x%08x%08x%s\0' \
    0 "$1" 0 0 1 0 0 0 0 "$2" "$3" "$name_size" 0 "$4"
  head -c $(((4 - (110 + name_size) % 4) % 4)) /dev/zero
}
root="$work/initramfs"
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp}
# Stripped of their debugging information, the programs take a third of the room, and the
# emulated kernel unpacks them that much sooner.
cp /bin/busybox "$root/bin/"
strip -o "$root/bin/vellicor" "$vellicor"
strip -o "$root/bin/wide-sleepers" "$helper"
cp "$root/bin/wide-sleepers" "$root/bin/wide-pinned"
cp "$here/init.sh" "$root/init"
chmod 755 "$root/init"
{
  (cd "$root" && find . -mindepth 1 | sort | /bin/busybox cpio -o -H newc -R 0:0)
  newc_entry $((0020600)) 5 1 dev/console
  newc_entry 0 0 0 'TRAILER!!!'
} >"$work/initramfs.cpio"

# Ninety-six emulated processors on two real ones run slowly enough for the kernel's stall and
# lockup detectors to speak up; their reports would land in the middle of the checks' output.
append="console=ttyS0 quiet panic=-1 nowatchdog rcupdate.rcu_cpu_stall_suppress=1"
console="$work/console.log"
boot_started=$SECONDS
status=0
timeout --kill-after=10 $guest_seconds qemu-system-x86_64 "${machine[@]}" \
  -kernel "$kernel" -initrd "$work/initramfs.cpio" -append "$append" \
  -serial stdio </dev/null >"$console" 2>"$work/qemu.log" || status=$?
boot_seconds=$((SECONDS - boot_started))

failed=0
if ((status == 124 || status == 137)); then
  echo "FAILED: the machine did not power off within $guest_seconds s"
  failed=1
elif ((status != 0)); then
  echo "FAILED: QEMU ended with status $status:"
  qemu_messages "$work/qemu.log"
  failed=1
fi
if ! grep -q '^@@ wide-machine done' "$console"; then
  echo "The machine's console ended with:"
  tail -n 20 "$console" | tr -d '\r'
fi
"$here/check_console.sh" "$console" "$version" || failed=1
# init.sh gives the guest's uptime when it starts and ends its checks.
guest_times=$(awk '$1 == "@@" && $3 == "start" { start = $4 }
  $1 == "@@" && $3 == "done" {
    printf " (guest clock: %.0f s to boot, %.0f s of checks)", start, $4 - start
  }' "$console")
echo "wide machine: $boot_seconds s from boot to power-off$guest_times, $((SECONDS - started)) s" \
  "in all; kernel $package; console log $console"
exit $failed
