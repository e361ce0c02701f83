#!/usr/bin/env bash
# Boots Debian's own kernel in QEMU with N dummy USB controllers, runs COMMAND
# in the guest, prints what it printed and exits with its status.
#   kernel/kernel-rig.sh [--controllers N] WORK_DIR -- COMMAND [ARGS...]
# The guest's root is this machine's root, shared read-only, with fresh /dev
# and /run (TMPDIR and HOME lie there); udev runs in it. cdc_acm, dummy_hcd (full speed), libcomposite
# and usb_f_acm are loaded, configfs is mounted at /sys/kernel/config, and the
# controllers are dummy_udc.0 ... dummy_udc.N-1: COMMAND makes its gadgets.
# The kernel, its modules and the initramfs are kept in WORK_DIR, which should
# lie in a build folder. Needs root (the kernel's package is fetched with apt).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

controllers=1
if [ "${1:-}" = --controllers ]; then
    controllers=$2
    shift 2
fi
work=${1:?usage: kernel/kernel-rig.sh [--controllers N] WORK_DIR -- COMMAND [ARGS...]}
shift
[ "${1:-}" = -- ] && shift
[ $# -gt 0 ] || { echo "kernel-rig: no command given" >&2; exit 2; }

# The whole boot and COMMAND together; a guest that hangs is stopped then.
timeout_s=${ORBISTO_KERNEL_TIMEOUT:-900}

fail() { echo "kernel-rig: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root, to fetch the kernel's package: sudo $0"
for tool in qemu-system-x86_64 busybox depmod apt-get dpkg-deb; do
    command -v "$tool" >/dev/null || fail "$tool is missing: run ORBISTO_BOOTSTRAP_KERNEL=1 scripts/bootstrap.sh"
done
mkdir -p "$work"
work=$(cd "$work" && pwd)

# Debian's current kernel, unpacked but not installed; fetched once per work folder.
if [ ! -f "$work/kernel.ready" ]; then
    rm -rf "$work/package" "$work/root"
    mkdir -p "$work/package"
    # The package behind linux-image-amd64; apt's lists may be missing or
    # stale on a fresh machine, so a failure updates them and tries once more.
    fetch() {
        local image
        image=$(apt-cache depends linux-image-amd64 2>/dev/null |
            sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1)
        [ -n "$image" ] && (cd "$work/package" && apt-get download -q "$image") >"$work/fetch.log" 2>&1
    }
    if ! fetch; then
        apt-get update -qq
        fetch || fail "cannot download Debian's kernel package: $(cat "$work/fetch.log")"
    fi
    dpkg-deb -x "$work"/package/*.deb "$work/root"
    rm -rf "$work/package"
    version=$(ls "$work/root/lib/modules")
    depmod -b "$work/root" "$version"
    echo "$version" >"$work/kernel.ready"
fi
version=$(cat "$work/kernel.ready")
modules=$work/root/lib/modules/$version

# The modules a module needs come before it, as modules.dep lists them.
load_order() {
    local name path
    for name in "$@"; do
        path=$(find "$modules/kernel" -name "$name.ko" -print -quit)
        [ -n "$path" ] || fail "module $name is not in $version"
        path=${path#"$modules/"}
        sed -n "s|^$path: *||p" "$modules/modules.dep" | tr ' ' '\n' | tac
        echo "$path"
    done | awk 'NF && !seen[$0]++'
}

# The initramfs: busybox, the modules in load order, the init and the command.
initramfs=$work/initramfs
rm -rf "$initramfs"
mkdir -p "$initramfs"/{bin,proc,sys,dev,newroot,modules}
cp "$(command -v busybox)" "$initramfs/bin/busybox"
cp "$here/guest-init.sh" "$initramfs/init"
chmod +x "$initramfs/init"
order=$(load_order virtio_pci 9pnet_virtio 9p configfs dummy_hcd libcomposite usb_f_acm cdc-acm)
i=10
for module in $order; do
    cp "$modules/$module" "$initramfs/modules/$i-$(basename "$module")"
    i=$((i + 1))
done
echo "$controllers" >"$initramfs/controllers"
printf '%q ' cd "$PWD" >"$initramfs/command"
printf '&& exec' >>"$initramfs/command"
printf ' %q' "$@" >>"$initramfs/command"
(cd "$initramfs" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initramfs.gz")

# A stopped guest leaves no QEMU behind, and its console lines carry markers
# that say when the command started and how it ended.
console=$work/console.log
marks=$work/marks
rm -f "$marks" "$console"
started=$(date +%s.%N)
set +e
timeout -k 10 "$timeout_s" qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 1536 \
    -nodefaults -display none -no-reboot -serial stdio \
    -kernel "$work/root/boot/vmlinuz-$version" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    </dev/null 2>&1 | while IFS= read -r line; do
        line=${line%$'\r'}
        printf '%s\n' "$line" >>"$console"
        case "$line" in
            orbisto-guest-start) echo "start $(date +%s.%N)" >>"$marks" ;;
            orbisto-guest-exit:*) echo "exit ${line#orbisto-guest-exit: }" >>"$marks" ;;
            *) printf '%s\n' "$line" ;;
        esac
    done
qemu_status=${PIPESTATUS[0]}
set -e
ended=$(date +%s.%N)

first=$(sed -n 's/^start //p' "$marks" 2>/dev/null)
status=$(sed -n 's/^exit //p' "$marks" 2>/dev/null)
[ -n "$first" ] || fail "the guest never reached its command (QEMU status $qemu_status); console in $console"
[ -n "$status" ] || fail "the guest's command did not end within ${timeout_s} s (QEMU status $qemu_status); console in $console"
awk -v s="$started" -v f="$first" -v e="$ended" \
    'BEGIN { printf "kernel-rig: QEMU start to the guest'"'"'s first command %.1f s, whole run %.1f s\n", f - s, e - s }'
exit "$status"
