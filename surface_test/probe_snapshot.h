// Health snapshots of the disk under test (SMART, link speed, ATA error ring,
// kernel log) and the disks sharing its controller. Every smartctl call of
// the surface test goes through probe_smartctl.
#pragma once

#include <cstdint>

#include "core/smartctl.h"
#include "surface_test/probe_state.h"

struct StrBuf;

// smartctl_call (core/smartctl.h) after probe_state_catch_up: a failing disk
// may keep smartctl waiting for minutes.
int probe_smartctl(SmartctlCmd cmd, const char* dtype, const char* device, StrBuf* out);

// 1 when smartctl identified the disk with dtype; fills serial_out (80) and protocol_out (16).
int probe_identify(const char* dtype, int require_ata, int standby, char* serial_out,
                   char* protocol_out);
// which: 0 before the map, 1 after.
void probe_snapshot_take(ProbeSnapshot* snap, int which, int with_siblings);
// The kernel-log part of a snapshot from the ring buffer's text (log is cut
// into lines in place): the newest stamp and, for which = 1, the new lines
// about the disk. An empty or missing log leaves klog_ok 0.
void probe_snapshot_klog(ProbeSnapshot* snap, int which, StrBuf* log);
void probe_find_siblings();
// What changed between the two snapshots of the run; each is 0 (none) unless
// the second snapshot was taken and, for the SMART values, both are smart-ok.
// Growth of tracked attribute slot k (0..5) during the run.
std::int64_t probe_snap_attr_delta(int k);
// Growth of PHY counter i of the second snapshot: 1 and *delta (zero or
// negative too) when the first snapshot holds that counter as well, else 0.
int probe_snap_phy_delta(int i, std::int64_t* delta);
// 1 when the link speed fell (both speeds known).
int probe_snap_speed_drop();
// Growth of the NVMe media and data integrity errors (both hold NVMe health data).
std::int64_t probe_snap_nvme_media_delta();
std::int64_t smart_snap_phy_counter(const SmartSnapshot* snap, std::uint32_t id, int* found);
int phy_event_is_crc(std::uint32_t id);
int phy_event_is_phy_error(std::uint32_t id);
double parse_leading_number(const char* text);
void ering_count_since(const char* text, std::int64_t* bus, std::int64_t* media,
                       std::int64_t* other, double* newest, double mark);
