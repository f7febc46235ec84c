# Surface tests of one bus's disks ($BUS names them: ${BUS}OK is clean,
# ${BUS}61 and ${BUS}5 have a bad sector answered with errno 61 and 5).
. /hw/lib.sh
for s in ${BUS}OK ${BUS}61 ${BUS}5; do echo "$s $(disk $s)"; done >$OUT/names
probe_disk ok-quick ${BUS}OK quick
probe_disk ok-full ${BUS}OK full
# The kernel prints at most 10 of each kind of I/O error message per 5 s;
# each bad disk's test starts in a fresh window, so its first errors show.
sleep 6
probe_disk bad61 ${BUS}61 full
sleep 6
probe_disk bad5 ${BUS}5 quick
cp $ROOT/var/corvantis/corvantis.db $OUT/
