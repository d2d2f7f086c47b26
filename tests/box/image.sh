# The recipe of the kernel box's disk: Debian 12 with Debian's kernel, udev, ModemManager and
# smstools, booted by QEMU straight into systemd. The image is cached under the hash of this
# file, so any change here makes a new one.
#   . tests/box/image.sh; build_image WORKDIR IMAGE KERNEL INITRD

image_packages=systemd,systemd-sysv,udev,dbus,kmod,linux-image-amd64,initramfs-tools,modemmanager,smstools,logrotate,procps,jq

build_image() {  # work directory, image, kernel, initrd
    local work=$1 root=$1/root
    mmdebstrap --quiet --format=tar --variant=minbase --include="$image_packages" \
        --customize-hook='echo MODULES=most >"$1/etc/initramfs-tools/conf.d/modules"' \
        bookworm "$work/root.tar" >/dev/null
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
