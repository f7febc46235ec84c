// The smartctl JSON snapshot: one smartctl reply reduced to a fixed record of
// what the health rules and the surface test read (identity, the six tracked
// attributes, temperatures, SATA PHY counters, the ATA error log, the newest
// self-test and the NVMe health figures).
#pragma once

#include <cstddef>
#include <cstdint>

// Slots 0..5 of the tracked attributes everywhere in the program: reallocated
// sectors, reported uncorrectable, command timeouts, pending sectors, offline
// uncorrectable, interface CRC errors.
inline constexpr int kSmartAttrSlots = 6;
inline constexpr int kSmartAttrIds[kSmartAttrSlots] = {5, 187, 188, 197, 198, 199};
inline constexpr int kSmartPhyMax = 48;

struct SmartSnapshot {
    std::int32_t parsed;       // 1 when the reply was a JSON object
    std::int32_t exit_status;  // smartctl.exit_status, low 32 bits
    char device_type[16];      // "sat", "nvme", "scsi", ...
    char protocol[16];         // "ATA", "NVMe", "SCSI", ...
    char serial[80];
    char model[96];
    char wwn[40];  // 16 lower-case hex digits from wwn.naa/oui/id, or empty
    std::int32_t attr_present[kSmartAttrSlots];
    std::int64_t attr_raw[kSmartAttrSlots];
    std::int32_t phy_count;  // 0..48, in reply order
    std::uint32_t phy_id[kSmartPhyMax];
    std::int64_t phy_value[kSmartPhyMax];
    std::int32_t errlog_present;
    std::int64_t errlog_count;       // the drive's own error count
    std::int64_t errlog_max_number;  // highest error number among the classified entries
    std::int64_t errlog_icrc;
    std::int64_t errlog_unc;
    std::int64_t errlog_icrc_newer;  // of errlog_icrc, numbered above the baseline
    std::int64_t errlog_unc_newer;
    std::int32_t selftest_present;  // the newest self-test entry was read
    char selftest_type[48];
    char selftest_status[64];
    std::int32_t selftest_status_value;
    std::int32_t selftest_passed;  // 1 passed, 0 failed, -1 no verdict
    std::int32_t selftest_lba_present;
    std::int64_t selftest_lba;
    std::int64_t selftest_hours;
    std::int32_t is_nvme;
    std::int32_t nvme_health_present;
    std::int64_t nvme_media_errors;
    std::int64_t nvme_err_log_entries;
    std::int64_t nvme_critical_warning;
    std::int64_t power_on_hours;
    std::int32_t temp_present;
    std::int32_t temperature;        // degrees Celsius, 1..127
    std::int32_t temp_op_limit_max;  // 0 when absent
    std::int32_t temp_drive_trip;    // 0 when absent
};

// Fills out from text[0..len). Returns 1 when the text is a JSON object (even
// an empty one), else 0 with out cleared (everything 0, selftest_passed -1).
// error_baseline is an ATA error-log number, or -1 for none.
int smart_snap_from_json(const char* text, std::size_t len, std::int64_t error_baseline,
                         SmartSnapshot* out);
// Attribute 188's raw value holds three 16-bit counters (bits 0-47): the largest.
std::int64_t smart_attr188_value(std::uint64_t raw);
// 1 when smart_attr188_value rose from previous to current.
int smart_attr188_rose(std::uint64_t previous, std::uint64_t current);
