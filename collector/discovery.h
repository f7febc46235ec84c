// Disk discovery: the inventory of the NAS's disks at the moment of the call.
//
// The NAS's enclosure files come first, because only they know in which
// enclosure and bay a disk sits; every other whole disk that /sys/block shows
// follows. Discovery only reads files and keeps no state between calls.
#pragma once

#include <cstddef>
#include <cstdint>

// One discovered disk. Text fields are NUL-terminated and cut to their size - 1.
struct DiskInfo {
    char dev[32];     // kernel name (sda, nvme0n1), without "/dev/"
    char serial[80];  // trimmed, upper-cased, never empty in a result
    char wwn[80];     // wwn_normalize form; empty when the disk reports none
    char model[80];
    char vendor[48];  // only the enclosure files know it
    char firmware[40];
    char bus[8];  // "nvme", "sata" or "sas"
    std::int64_t capacity_bytes;
    std::int32_t rpm;           // 0 for solid state
    std::int32_t is_seagate;    // 1 selects the FARM log read
    std::int32_t enclosure;     // enclosure file index 0..3, -1 when found only in /sys/block
    std::int32_t slot;          // bay number, -1 when none
    std::int32_t temperature;   // the enclosure file's value, 0 when absent
    std::int64_t disk_id;       // 0 here; the disks table fills it
    char smart_dtype[16];       // empty here; the disks table fills it
    std::int32_t farm_support;  // -1 (not yet known) here; the disks table fills it
};

// The short inventory entry of the surface test, its UI and the flags commands.
struct DiskBrief {
    char dev[32];
    char serial[80];
    char wwid[96];  // sysfs "device/wwid", else "wwid", else DiskInfo::wwn; unnormalised
};

// The room every caller gives an inventory.
inline constexpr int kDiskMax = 128;

// Fills up to max records, enclosure disks first; returns their number (0 when max < 1).
int disk_discover(DiskInfo* out, int max);
// The first min(found, max) disks of a 128-record discovery as brief entries, in
// inventory order. 0 when max < 1 or the work area cannot be allocated.
int disk_list_ids(DiskBrief* out, int max);
// First line of "/sys/block/<dev>/<attr>", at most size - 1 bytes, trimmed.
// A missing file leaves out empty.
void sysfs_read_attr(const char* dev, const char* attr, char* out, std::size_t size);
// A WWN as lower-case hexadecimal digits only: leading spaces, "0x" and then one
// "naa." or "eui." skipped (any case), every other non-digit dropped, at most 79
// digits. A "t10." text (vendor, model and serial, not a WWN) gives "".
void wwn_normalize(const char* text, char out[80]);

// The same reads with every platform path below root ("" is the real system).
// Tests lay out a fake tree there; the platform paths stay fixed in the code.
int disk_discover_under(const char* root, DiskInfo* out, int max);
int disk_list_ids_under(const char* root, DiskBrief* out, int max);
void sysfs_read_attr_under(const char* root, const char* dev, const char* attr, char* out,
                           std::size_t size);
