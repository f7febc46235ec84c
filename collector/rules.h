// Health rules and alerts. rule_eval_disk turns a disk's stored SMART values
// into alerts (R-A1..R-A7, R-A9, R-A10, in a fixed order); rule_crc_controller
// looks for CRC errors rising on several disks behind one controller
// (R-A11). Every rule, also those raised by the SMART collection (R-M2,
// R-M3) and the poll (R-DISAPPEAR), goes through rule_raise, which writes at
// most one alert a day per rule and disk unless the value got worse.
#pragma once

#include <cstddef>
#include <cstdint>

struct KlogTarget;

inline constexpr std::size_t kDiskLabelSize = 200;
// The room of an alert message; a longer one is cut.
inline constexpr std::size_t kRuleMessageSize = 400;

// Writes an alert unless the same rule was raised for the disk within the
// last day with a value at least as large.
void rule_raise(std::int64_t disk_id, const char* rule_id, int severity, std::int64_t value,
                const char* message);

// "model (serial, bay N)", or "model (serial)" for a disk never seen in a
// bay; "disk" stands for an empty model. Returns 0.
int disk_label(std::int64_t disk_id, char* out, std::size_t size);

// The per-disk rules over the values the collection of poll_id stored.
void rule_eval_disk(std::int64_t disk_id, std::int64_t poll_id);

// The two newest readings rows of ATA attribute attr_id: 1 when there are
// two and the newest belongs to poll_id (the attribute changed in it).
int reading_ata_last_two(std::int64_t disk_id, std::int64_t poll_id, int attr_id,
                         std::int64_t* newest, std::int64_t* previous);

// 1 when attribute 199 rose at least once since `since` (Unix seconds).
int rule_crc_rose_since(std::int64_t disk_id, std::int64_t since);

// R-A11 over the first 128 targets: SATA disks grouped by controller.
void rule_crc_controller(const KlogTarget* targets, int count);
