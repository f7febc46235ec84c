// The kernel-log scan of the hourly and manual polls: keeps the ring-buffer
// lines that are new since the last scan in dmesg_lines, and writes one
// read_error and one link_error event per disk that new lines name.
//
// The position in the log lives in meta: "dmesg_last_ts" (the largest stamp
// seen, "%.6f") and "dmesg_count" (lines read by the last scan); the poll
// resets both on a new boot, so the first scan of a boot goes by line index.
#pragma once

#include <cstdint>

// One inventory disk as the scan (and the cross-disk CRC rule) sees it.
struct KlogTarget {
    std::int64_t disk_id;      // 0 makes the target inert
    char dev[32];              // kernel name: sda, nvme0n1
    char ata_port[16];         // "ataN" of its sysfs path, or empty
    char nvme_ctrl[16];        // nvme disks: the controller name (nvme0), else empty
    char ctrl_pci[16];         // controller PCI address "0000:00:17.0", or empty
    std::int64_t media_count;  // new media-error lines naming the disk, this scan
    std::int64_t link_count;   // new link-error lines naming the disk, this scan
    char media_first[160];     // the first such media line, without its stamp
    char link_first[160];      // the first such link line
};

// Clears target and fills it for disk_id and dev from /sys/block/<dev>/device.
void klog_target_init(KlogTarget* target, std::int64_t disk_id, const char* dev);
// The same with the platform path below root ("" is the real system); tests
// lay out a fake tree there.
void klog_target_init_under(const char* root, KlogTarget* target, std::int64_t disk_id,
                            const char* dev);

// The scan of one poll over the platform's ring buffer (the kernel's, unless
// a test put a recorded one in its place): stores the new lines with
// poll_id, counts them into targets[0, count) and writes the events. Does
// nothing when the ring buffer cannot be read or is empty.
void klog_scan(std::int64_t poll_id, KlogTarget* targets, int count);

// The same over a ring-buffer image text[0, len) (text[len] a terminator);
// the lines are split in place.
void klog_scan_text(std::int64_t poll_id, KlogTarget* targets, int count, char* text,
                    std::uint64_t len);
