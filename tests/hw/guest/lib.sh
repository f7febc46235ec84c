# Helpers of the scenario scripts, which source this file first. The host
# wrote /hw/env (HW_BOOT_DISKS: the disks the guest boots with); results go
# to $OUT, which the host reads after power-off.
. /hw/env
OUT=/hw/out
ROOT=/tmp/qorm # package root of corvantisd inside the guest

# Runs COMMAND... every 0.2 s until it succeeds, for at most SECONDS;
# otherwise the scenario cannot go on: it says what it gave up on and ends.
# wait_until SECONDS COMMAND...
wait_until() {
    tries=$(($1 * 5))
    shift
    until "$@" 2>/dev/null; do
        tries=$((tries - 1))
        [ $tries -le 0 ] && { echo "wait_until: gave up on: $*" | tee -a $OUT/waits; exit 1; }
        sleep 0.2
    done
}

# The whole disks in /sys/block: sdX and nvmeXnY.
whole_disks() {
    ls /sys/block | grep -E '^(sd[a-z]+|nvme[0-9]+n[0-9]+)$'
}

# True when at least $1 whole disks are there.
disks_at_least() {
    [ "$(whole_disks | wc -l)" -ge "$1" ]
}

# The serial of disk $1 as the device reports it: page 0x80 for sd disks
# (a mainline kernel has no device/serial for them), the controller's
# serial for NVMe.
serial_of() {
    case $1 in
    nvme*) s=$(cat /sys/block/$1/device/serial) ;;
    *) s=$(tail -c +5 /sys/block/$1/device/vpd_pg80 | tr -d '\000') ;;
    esac
    echo $s
}

# The kernel name of the disk with serial $1.
disk() {
    for d in $(whole_disks); do
        [ "$(serial_of $d)" = "$1" ] && { echo $d; return 0; }
    done
    echo "disk: no disk with serial $1" >&2
    return 1
}

# The scsi_debug disk (its model is "scsi_debug").
sdebug_disk() {
    for d in $(whole_disks); do
        grep -q scsi_debug /sys/block/$d/device/model 2>/dev/null && { echo $d; return 0; }
    done
    return 1
}

# One [PhysicalDisk_N] section of a NAS enclosure file for disk $2 in bay
# $1, from what sysfs says of it; rotating disks are listed at 7200 rpm.
enclosure_section() {
    b=/sys/block/$2
    rpm=0
    [ "$(cat $b/queue/rotational)" = 1 ] && rpm=7200
    echo "[PhysicalDisk_$1]"
    echo "pd_sys_name=/dev/$2"
    echo "port_id=$1"
    echo "serial_no=$(serial_of $2)"
    echo "model=$(cat $b/device/model)"
    echo "vendor=$(cat $b/device/vendor)"
    echo "revision=$(cat $b/device/rev)"
    echo "wwn=$(cat $b/device/wwid)"
    echo "rotation_speed=$rpm"
    echo "capacity=$(cat $b/size)"
}

# Runs a QEMU monitor command on the host (device_del, device_add) and
# prints its reply.
monitor() {
    echo "$*" >/hw/req.tmp
    mv /hw/req.tmp /hw/req
    wait_until 30 test -e /hw/ack
    cat /hw/ack
    rm -f /hw/ack
}

# corvantisd under the guest's package root.
corv() {
    corvantisd "$@" --qpkg-root $ROOT
}

# Runs one surface test: probe_disk NAME SERIAL MODE [more options]. Leaves
# in $OUT: NAME.line (the JSON line and the exit code), NAME.json (the state
# file at the end) and NAME.log (the log lines).
probe_disk() {
    name=$1 serial=$2 mode=$3
    shift 3
    corv probe --serial "$serial" --mode "$mode" --json "$@" >$OUT/$name.line 2>$OUT/$name.log
    echo "exit $?" >>$OUT/$name.line
    cp $ROOT/var/corvantis/probe/$serial.json $OUT/$name.json
}

# The value of a top-level number in a state file: json_number FILE KEY.
json_number() {
    sed -n "s/.*\"$2\":\([0-9-]*\).*/\1/p" "$1"
}

# True when the map of the test of serial $1 has covered at least $2 cells.
map_done_at_least() {
    [ "$(json_number $ROOT/var/corvantis/probe/$1.json done)" -ge "$2" ]
}

# Runs probe_disk NAME SERIAL MODE in the background at 4 MiB/s, waits until
# its map has covered CELLS cells, runs COMMAND..., and waits for the test to
# end: probe_interrupted NAME SERIAL MODE CELLS COMMAND...
probe_interrupted() {
    name=$1 serial=$2 mode=$3 cells=$4
    shift 4
    rm -f $ROOT/var/corvantis/probe/$serial.json
    probe_disk $name $serial $mode --max-rate 4 &
    wait_until 60 map_done_at_least $serial $cells
    "$@" >$OUT/$name.interrupt 2>&1
    wait
}

wait_until 120 disks_at_least "$HW_BOOT_DISKS"
