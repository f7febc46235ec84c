// Kernel log lines: reading the kernel's ring buffer, and what the collector
// and the surface test ask of one line of it (its time stamp, whether it
// reports a media or a link error, whether it names a device), together with
// the rule that finds a disk's controller and ATA port in its sysfs path.
//
// Lines are NUL-terminated texts as the ring buffer gives them, e.g.
// "<3>[   12.345678] sd 2:0:0:0: [sda] tag#1 Sense Key : Medium Error".
#pragma once

#include <cstddef>
#include <cstdint>

struct StrBuf;

// Line classes of klog_line_classify.
inline constexpr int kKlogNone = 0;
inline constexpr int kKlogLink = 1;
inline constexpr int kKlogMedia = 2;

// Appends the whole ring buffer (without clearing it) to out. Returns the
// bytes read, or -1 when the kernel refuses or memory runs out.
std::int64_t klog_read_all(StrBuf* out);

// The next non-empty line of text[0, len) from *pos on, terminated in place
// (its newline becomes a NUL), or nullptr when none is left. text[len] must
// be a terminator, as a StrBuf's is. *pos starts at 0.
char* klog_next_line(char* text, std::uint64_t len, std::uint64_t* pos);

// Seconds since boot from the line's "[ secs.usecs]" stamp (after an optional
// "<prio>"), or -1.0 when the line carries none.
double klog_line_timestamp(const char* line);

// The line without its "<prio>" and its time stamp (and the blanks after the
// stamp). Points into line.
const char* klog_line_strip_prefix(const char* line);

// kKlogMedia, kKlogLink or kKlogNone; a line of both kinds is a media error.
int klog_line_classify(const char* line);

// 1 when name stands in line as a device token: sda in "sda1" and "[sda]" but
// not in "sdab"; ata1 not in "ata10"; nvme0 in "nvme0n1" and "nvme0p1".
int klog_line_mentions_dev(const char* line, const char* name);

// 1 when word stands in text with no ASCII letter or digit right before or after it.
int str_find_word(const char* text, const char* word);

// 1 when component[0, length) is prefix followed by one or more decimal digits only.
int str_is_prefix_digits(const char* component, std::size_t length, const char* prefix);

// From a resolved sysfs device path: the PCI address of the disk's
// controller (the last one before the first "ataN", "hostN" or "nvme"
// component) into ctrl, and the last "ataN" component into port. Each is
// emptied first and filled only when it fits its field. 1 when a controller
// address was stored, else 0.
int sysfs_path_controller(const char* path, char* ctrl, std::size_t ctrl_size, char* port,
                          std::size_t port_size);
