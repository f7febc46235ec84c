# The collector over every kind of emulated disk with Debian's smartctl:
# two dumps, then a watch that sees a disk plugged in and pulled out through
# QEMU's monitor. The NAS lists its sd disks in an enclosure file (a mainline
# kernel gives them no device/serial); the NVMe disk is found in sysfs.
. /hw/lib.sh
modprobe scsi_debug dev_size_mb=32
wait_until 60 sdebug_disk
bay=1
for d in $(disk HWCOLSATA) $(disk HWCOLSCSI) $(disk HWCOLSAS) $(sdebug_disk); do
    enclosure_section $bay $d
    bay=$((bay + 1))
done >/etc/enclosure_0.conf
cp /etc/enclosure_0.conf $OUT/enclosure_0.conf
nvme=$(disk HWCOLNVME)
for f in model firmware_rev serial; do echo "$f=$(cat /sys/block/$nvme/device/$f)"; done >$OUT/nvme.sysfs

# A failed read of the NVMe disk's bad sector leaves media errors in the
# kernel log for the first dump's scan.
dd if=/dev/$nvme of=/dev/null bs=4096 skip=5100 count=1 iflag=direct 2>$OUT/dd.err
dmesg >$OUT/dmesg.before

corv dump 2>$OUT/dump1.log
echo "exit $?" >>$OUT/dump1.log
corv dump 2>$OUT/dump2.log
echo "exit $?" >>$OUT/dump2.log

polls() {
    [ "$(grep -c 'hotswap poll' $OUT/watch.log)" -ge "$1" ]
}
corv watch 2>$OUT/watch.log &
watch=$!
wait_until 30 grep -q "watch started" $OUT/watch.log
monitor device_add scsi-hd,bus=ctl-vscsi.0,scsi-id=5,drive=spare,id=hot,serial=HWHOTPLUG,vendor=HW,product=HWHOTPLUG,wwn=0x5000c500000000aa >$OUT/device_add
wait_until 30 disk HWHOTPLUG
enclosure_section 6 $(disk HWHOTPLUG) >>/etc/enclosure_0.conf
wait_until 60 polls 1
monitor device_del hot >$OUT/device_del
wait_until 60 polls 2
kill $watch
wait $watch
cp $ROOT/var/corvantis/corvantis.db $OUT/
