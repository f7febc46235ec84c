// The disks table and the slot history: every poll passes each discovered
// disk through disk_upsert, which finds or creates its row, refreshes its
// identity, keeps the history of the bays it sat in and records the events
// appear, fw_change and slot_change. All statements run on the poll's
// connection inside the poll's transaction.
#pragma once

#include <cstdint>

struct DiskInfo;

// The disk's row: by WWN first, then by serial (a row whose stored WWN is
// empty or equal, or any row when the disk reports no WWN). 0 when none.
std::int64_t disk_lookup_id(const DiskInfo& disk);

// Finds or creates the disk's row and returns its id; also stores the id,
// the smartctl device type and the FARM support of the row into disk.
// A firmware text that discovery could not read keeps the stored one.
std::int64_t disk_upsert(DiskInfo* disk, std::int64_t poll_id);

void disk_set_smart_dtype(std::int64_t disk_id, const char* dtype);
// -1 not yet probed, 0 no FARM log, 1 the drive has one.
void disk_set_farm_support(std::int64_t disk_id, int value);
