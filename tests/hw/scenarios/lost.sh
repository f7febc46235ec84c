# Disks pulled out of the machine through QEMU's monitor while their surface
# test maps them: one behind virtio-scsi, one NVMe controller.
. /hw/lib.sh
for s in HWLOSTSCSI HWLOSTNVME; do echo "$s $(disk $s)"; done >$OUT/names
probe_interrupted scsi HWLOSTSCSI full 8 monitor device_del lostscsi
probe_interrupted nvme HWLOSTNVME full 8 monitor device_del lostnvmec
cp $ROOT/var/corvantis/corvantis.db $OUT/
