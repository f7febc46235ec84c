# The device command layer against every driver: each disk's sector 40000 is
# bad (errno 61 or 5 from the emulator; a medium error in scsi_debug).
. /hw/lib.sh
for serial in HWSATA61 HWSATA5 HWSCSI61 HWSCSI5 HWSAS61 HWSAS5 HWNVME61 HWNVME5; do
    hw_devcheck $serial /dev/$(disk $serial) 40000 >>$OUT/devcheck
done
modprobe scsi_debug dev_size_mb=32 opts=2 medium_error_start=40000 medium_error_count=1
wait_until 60 sdebug_disk
hw_devcheck SDEBUG /dev/$(sdebug_disk) 40000 >>$OUT/devcheck

corv init
echo "init exit $?" >$OUT/init
cp $ROOT/var/corvantis/corvantis.db $OUT/
