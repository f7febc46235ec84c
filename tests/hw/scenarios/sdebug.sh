# A scsi_debug disk with a textbook medium error at sector 40800: a whole
# surface test, then one during which the disk is deleted.
. /hw/lib.sh
modprobe scsi_debug dev_size_mb=64 opts=2 medium_error_start=40800 medium_error_count=1
wait_until 60 sdebug_disk
d=$(sdebug_disk)
serial=$(serial_of $d)
echo "$serial $d" >$OUT/names
probe_disk bad $serial full
probe_interrupted deleted $serial full 8 sh -c "echo 1 >/sys/block/$d/device/delete"
cp $ROOT/var/corvantis/corvantis.db $OUT/
