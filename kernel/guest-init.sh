#!/bin/busybox sh
# The guest's first process: loads the modules, mounts this machine's root
# (shared read-only) with fresh /dev and /run, starts udev in it, runs the
# command there and powers off. The host reads the markers on the console.
/bin/busybox --install -s /bin
export PATH=/bin

halt_guest() {
    sync
    poweroff -f
}
fail() {
    echo "orbisto-guest: $*"
    halt_guest
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

for module in /modules/*.ko; do
    case "$module" in
        */*-dummy_hcd.ko) insmod "$module" num="$(cat /controllers)" is_high_speed=0 ;;
        *) insmod "$module" ;;
    esac || fail "cannot load $module"
done

root=/newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot $root \
    || fail "cannot mount the host's root"
mount --move /proc $root/proc
mount --move /sys $root/sys
mount --move /dev $root/dev
mkdir -p $root/dev/pts
mount -t devpts -o ptmxmode=666,gid=5,mode=620 devpts $root/dev/pts
# Only /run is writable; /tmp stays this machine's, read-only, since the
# build and the command may live there.
mount -t tmpfs -o mode=755 tmpfs $root/run
mkdir -p -m 1777 $root/run/tmp
mkdir -p -m 700 $root/run/user/0 $root/run/home
# /var/lock leads here; Qt keeps its serial-port lock files in it.
mkdir -p -m 755 $root/run/lock
mount -t configfs configfs $root/sys/kernel/config || fail "cannot mount configfs"

chroot $root /lib/systemd/systemd-udevd --daemon >/dev/null 2>&1 || fail "cannot start udev"

echo orbisto-guest-start
chroot $root /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/run/home TMPDIR=/run/tmp LANG=C.UTF-8 \
    QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/run/user/0 /bin/bash -c "$(cat /command)"
echo "orbisto-guest-exit: $?"
halt_guest
