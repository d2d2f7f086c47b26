# The recipe of the kernel box's disk: Debian 13, the stable release new boxes get, with Debian's
# kernel, udev, ModemManager and smstools, booted by QEMU straight into systemd; for amd64 (a PC's
# kernel) or armhf (the 32-bit boards' multiplatform kernel with large physical addresses, which
# QEMU's virt machine runs). The image is cached under the hash of this file, so any change here
# makes a new one. The disk's driver goes into the initrd by name: the ARM kernel's "most" modules
# leave out virtio's.
#   . tests/box/image.sh; build_image WORKDIR IMAGE KERNEL INITRD ARCH

image_release=trixie
image_packages=systemd,systemd-sysv,udev,dbus,kmod,initramfs-tools,modemmanager,smstools,logrotate,procps,jq
# Packages kept on the disk, not installed: a row installs them where it needs them, the other
# rows show the box without them. usb-modeswitch: the healing rows' sticks in storage mode.
box_debs=/var/cache/box-debs
declare -A image_kernel=([amd64]=linux-image-amd64 [armhf]=linux-image-armmp-lpae)

# A foreign root's maintainer scripts run under qemu-user through binfmt_misc: registered here
# from the qemu-user-static package's own entry when this machine has none for ARM.
register_arm_emulator() {
    local misc=/proc/sys/fs/binfmt_misc
    [ -e "$misc/qemu-arm" ] && return 0
    mountpoint -q "$misc" || mount -t binfmt_misc binfmt_misc "$misc"
    [ -e "$misc/qemu-arm" ] || cat /usr/lib/binfmt.d/qemu-arm.conf >"$misc/register"
}

build_image() {  # work directory, image, kernel, initrd, architecture
    local work=$1 root=$1/root arch=$5
    [ "$arch" = amd64 ] || register_arm_emulator
    mmdebstrap --quiet --format=tar --variant=minbase --architectures="$arch" \
        --include="$image_packages,${image_kernel[$arch]}" \
        --essential-hook='mkdir -p "$1/usr/share/initramfs-tools/modules.d"' \
        --essential-hook='printf "virtio_pci\nvirtio_mmio\nvirtio_blk\n" >"$1/usr/share/initramfs-tools/modules.d/box"' \
        --customize-hook="chroot \"\$1\" sh -c 'mkdir -p $box_debs/partial && apt-get install --yes --download-only -o Dir::Cache::archives=$box_debs usb-modeswitch >/dev/null && rm -r $box_debs/partial'" \
        "$image_release" "$work/root.tar" "deb http://deb.debian.org/debian $image_release main" >/dev/null
    mkdir "$root"
    tar -C "$root" -xf "$work/root.tar"
    echo box >"$root/etc/hostname"
    echo "/dev/vda / ext4 rw,errors=remount-ro 0 1" >"$root/etc/fstab"
    # Nothing on the box runs on a timer while the rows do; no getty waits on a screen.
    for unit in apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer e2scrub_all.timer fstrim.timer \
        logrotate.timer systemd-tmpfiles-clean.timer getty@tty1.service; do
        ln -sf /dev/null "$root/etc/systemd/system/$unit"
    done
    # The rows come in through a shared folder and run once the box is up.
    cat >"$root/etc/systemd/system/box-rows.service" <<'UNIT'
[Unit]
Description=The kernel box's rows, from the shared folder
DefaultDependencies=no
After=multi-user.target

[Service]
Type=oneshot
ExecStart=/bin/sh -c 'mkdir -p /media/box && mount -t 9p -o trans=virtio,version=9p2000.L box /media/box && exec /bin/bash /media/box/guest/boot.sh'

[Install]
WantedBy=multi-user.target
UNIT
    ln -s ../box-rows.service "$root/etc/systemd/system/multi-user.target.wants/box-rows.service"
    cp "$root"/boot/vmlinuz-* "$3.new"
    cp "$root"/boot/initrd.img-* "$4.new"
    mkfs.ext4 -q -F -L box -d "$root" "$2.new" 2G
    rm -rf "$root" "$work/root.tar"
    mv "$3.new" "$3"
    mv "$4.new" "$4"
    mv "$2.new" "$2"
}
