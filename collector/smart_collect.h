// SMART collection of one disk in a poll: runs smartctl on it (falling back to
// the SAT device type once), stores every value of the reply that changed,
// records a failing self-test, reads Seagate's FARM log where the drive has
// one, raises R-M3 (smartctl unusable) and R-M2 (FARM and SMART power-on
// hours disagree), then evaluates the disk's health rules.
#pragma once

#include <cstdint>

struct DiskInfo;
struct JsonTok;
struct StrBuf;

// Uses dev, smart_dtype, disk_id, is_seagate and farm_support of disk; may
// set its farm_support to 1. Runs inside the caller's transaction. 1 when
// smartctl read the disk; 0 when it could not, which the caller journals with
// smart_collect_unreadable once it knows that no other record of the same
// disk row reads either.
int smart_collect_disk(DiskInfo* disk, std::int64_t poll_id);

// Journals a disk that none of its records could read in this poll: its
// smart_read_error reading, a smart_error event when the failing starts, R-M3.
void smart_collect_unreadable(std::int64_t disk_id, std::int64_t poll_id);

// smartctl -x -j [-d dtype] device into out (emptied first). Nothing runs
// when no smartctl is found.
void smartctl_run(const char* device, const char* dtype, StrBuf* out);

// The readings of one accepted reply (tokens of text, toks[0] its root
// object), in every namespace: ata, nvme, scsi, devstat, sataphy, health.
void smart_store_reply(std::int64_t disk_id, std::int64_t poll_id, std::int64_t ts,
                       const char* text, const JsonTok* toks, int count);
