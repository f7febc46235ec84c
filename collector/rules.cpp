#include "collector/rules.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>

#include "collector/klog_scan.h"
#include "collector/readings.h"
#include "collector/smart_snapshot.h"
#include "core/clock.h"
#include "core/db.h"
#include "core/strbuf.h"
#include "core/util.h"

namespace {

constexpr std::size_t kCrcMessageSize = 320;
constexpr std::int64_t kDedupWindowS = 86399;
constexpr std::int64_t kDayS = 86400;
constexpr int kCrcTargetsMax = 128;
constexpr std::size_t kDevListSize = 200;

// A threshold rule on one stored value: raised when value > above, graver
// when value > grave_above. The message takes the label and the value.
struct ValueRule {
    const char* rule_id;
    const char* ns;
    const char* attr_name;
    std::int64_t above;
    std::int64_t grave_above;  // severity 2 beyond this; -1 for always 2
    const char* format;
};

constexpr std::int64_t kNever = INT64_MAX;

// In evaluation order, before R-A10.
constexpr ValueRule kCountRules[] = {
    {"R-A1", "ata", "Reallocated_Sector_Ct", 0, 9,
     "[Corvantis] %s: %lld reallocated sectors \xE2\x80\x94 back up and plan replacement"},
    {"R-A2", "ata", "Current_Pending_Sector", 0, kNever,
     "[Corvantis] %s: %lld pending sectors \xE2\x80\x94 surface errors, monitor closely"},
    {"R-A3", "ata", "Offline_Uncorrectable", 0, -1,
     "[Corvantis] %s: %lld offline-uncorrectable sectors"},
    {"R-A4", "ata", "Reported_Uncorrect", 0, kNever,
     "[Corvantis] %s: %lld reported-uncorrectable errors"},
};
// After R-A10.
constexpr ValueRule kHealthRules[] = {
    {"R-A7", "health", "temperature", 54, 59,
     "[Corvantis] %s: temperature %lld C exceeds threshold"},
    {"R-A9", "nvme", "percentage_used", 89, 99, "[Corvantis] %s: NVMe %lld%% life used"},
};

void eval_value_rule(const ValueRule& rule, std::int64_t disk_id, const char* label) {
    std::int64_t v = 0;
    if (!reading_latest_raw(disk_id, rule.ns, rule.attr_name, &v) || v <= rule.above) return;
    const int severity = v > rule.grave_above ? 2 : 1;
    char message[kRuleMessageSize];
    (void)std::snprintf(message, sizeof message, rule.format, label, static_cast<long long>(v));
    rule_raise(disk_id, rule.rule_id, severity, v, message);
}

void eval_health_failed(std::int64_t disk_id, const char* label) {
    std::int64_t passed = 0;
    if (!reading_latest_raw(disk_id, "health", "smart_status", &passed) || passed != 0) return;
    char message[kRuleMessageSize];
    (void)std::snprintf(message, sizeof message, "[Corvantis] %s: SMART overall health FAILED",
                        label);
    rule_raise(disk_id, "R-A10", 2, 1, message);
}

void eval_crc_rose(std::int64_t disk_id, std::int64_t poll_id, const char* label) {
    std::int64_t newest = 0;
    std::int64_t previous = 0;
    if (!reading_ata_last_two(disk_id, poll_id, 199, &newest, &previous) || newest <= previous)
        return;
    char message[kRuleMessageSize];
    (void)std::snprintf(
        message, sizeof message,
        "[Corvantis] %s: UDMA CRC errors (199) rose from %lld to %lld: check cable, "
        "backplane slot and controller",
        label, static_cast<long long>(previous), static_cast<long long>(newest));
    rule_raise(disk_id, "R-A5", 1, newest, message);
}

void eval_timeouts_rose(std::int64_t disk_id, std::int64_t poll_id, const char* label) {
    std::int64_t newest = 0;
    std::int64_t previous = 0;
    if (!reading_ata_last_two(disk_id, poll_id, 188, &newest, &previous)) return;
    const auto prev_raw = static_cast<std::uint64_t>(previous);
    const auto new_raw = static_cast<std::uint64_t>(newest);
    if (!smart_attr188_rose(prev_raw, new_raw)) return;
    const std::int64_t now_value = smart_attr188_value(new_raw);
    char message[kRuleMessageSize];
    (void)std::snprintf(message, sizeof message,
                        "[Corvantis] %s: command timeouts (188) rose from %lld to %lld", label,
                        static_cast<long long>(smart_attr188_value(prev_raw)),
                        static_cast<long long>(now_value));
    rule_raise(disk_id, "R-A6", 1, now_value, message);
}

bool crc_candidate(const KlogTarget& t) {
    return t.ctrl_pci[0] && std::strncmp(t.dev, "sd", 2) == 0 && t.disk_id != 0;
}

}  // namespace

void rule_raise(std::int64_t disk_id, const char* rule_id, int severity, std::int64_t value,
                const char* message) {
    const std::int64_t now = clock_now();
    {
        DbStmt st("SELECT last_push_ts,last_value FROM rule_state WHERE rule_id=? AND disk_id=?");
        st.bind_text(1, rule_id);
        st.bind_int(2, disk_id);
        if (st.step() == SQLITE_ROW && clock_seconds_since(st.col_int(0), now) <= kDedupWindowS &&
            st.col_int(1) >= value) {
            DbStmt up("UPDATE rule_state SET last_value=? WHERE rule_id=? AND disk_id=?");
            up.bind_int(1, value);
            up.bind_text(2, rule_id);
            up.bind_int(3, disk_id);
            up.step();
            return;
        }
    }
    alert_add(disk_id, rule_id, severity, message);
    DbStmt st(
        "INSERT INTO rule_state(rule_id,disk_id,state,last_value,raised_ts,last_push_ts) "
        "VALUES(?,?,?,?,?,?) ON CONFLICT(rule_id,disk_id) DO UPDATE SET state=excluded.state,"
        "last_value=excluded.last_value,last_push_ts=excluded.last_push_ts");
    st.bind_text(1, rule_id);
    st.bind_int(2, disk_id);
    st.bind_text(3, "raised");
    st.bind_int(4, value);
    st.bind_int(5, now);
    st.bind_int(6, now);
    st.step();
}

int disk_label(std::int64_t disk_id, char* out, std::size_t size) {
    char model[80] = "";
    char serial[80] = "";
    {
        DbStmt st("SELECT model,serial FROM disks WHERE disk_id=?");
        st.bind_int(1, disk_id);
        if (st.step() == SQLITE_ROW) {
            str_copy(model, sizeof model, st.col_text(0));
            str_copy(serial, sizeof serial, st.col_text(1));
        }
    }
    const char* name = model[0] ? model : "disk";
    DbStmt st("SELECT slot FROM slot_history WHERE disk_id=? ORDER BY ts DESC LIMIT 1");
    st.bind_int(1, disk_id);
    if (st.step() == SQLITE_ROW && !st.col_is_null(0) && st.col_int(0) >= 0)
        (void)std::snprintf(out, size, "%s (%s, bay %d)", name, serial,
                            static_cast<int>(st.col_int(0)));
    else
        (void)std::snprintf(out, size, "%s (%s)", name, serial);
    return 0;
}

void rule_eval_disk(std::int64_t disk_id, std::int64_t poll_id) {
    char label[kDiskLabelSize];
    disk_label(disk_id, label, sizeof label);
    for (const ValueRule& rule : kCountRules) eval_value_rule(rule, disk_id, label);
    eval_health_failed(disk_id, label);
    for (const ValueRule& rule : kHealthRules) eval_value_rule(rule, disk_id, label);
    eval_crc_rose(disk_id, poll_id, label);
    eval_timeouts_rose(disk_id, poll_id, label);
}

int reading_ata_last_two(std::int64_t disk_id, std::int64_t poll_id, int attr_id,
                         std::int64_t* newest, std::int64_t* previous) {
    DbStmt st(
        "SELECT value_raw,poll_id FROM readings WHERE disk_id=? AND ns='ata' AND attr_id=? "
        "ORDER BY id DESC LIMIT 2");
    st.bind_int(1, disk_id);
    st.bind_int(2, attr_id);
    if (st.step() != SQLITE_ROW || st.col_int(1) != poll_id) return 0;
    const std::int64_t first = st.col_int(0);
    if (st.step() != SQLITE_ROW) return 0;
    *newest = first;
    *previous = st.col_int(0);
    return 1;
}

int rule_crc_rose_since(std::int64_t disk_id, std::int64_t since) {
    DbStmt st(
        "SELECT 1 FROM readings r WHERE r.disk_id=? AND r.ns='ata' AND r.attr_id=199 AND r.ts>=? "
        "AND r.value_raw > (SELECT p.value_raw FROM readings p WHERE p.disk_id=r.disk_id AND "
        "p.ns='ata' AND p.attr_id=199 AND p.id<r.id ORDER BY p.id DESC LIMIT 1) LIMIT 1");
    st.bind_int(1, disk_id);
    st.bind_int(2, since);
    return st.step() == SQLITE_ROW ? 1 : 0;
}

void rule_crc_controller(const KlogTarget* targets, int count) {
    const int n = count < kCrcTargetsMax ? count : kCrcTargetsMax;
    bool taken[kCrcTargetsMax] = {};
    const std::int64_t since = clock_now() - kDayS;
    for (int i = 0; i < n; ++i) {
        if (taken[i] || !crc_candidate(targets[i])) continue;
        int rising = 0;
        std::int64_t first_id = 0;
        char devs[kDevListSize] = "";
        for (int j = i; j < n; ++j) {
            const KlogTarget& t = targets[j];
            if (taken[j] || !crc_candidate(t) || std::strcmp(t.ctrl_pci, targets[i].ctrl_pci) != 0)
                continue;
            taken[j] = true;
            if (!rule_crc_rose_since(t.disk_id, since)) continue;
            ++rising;
            if (first_id == 0 || t.disk_id < first_id) first_id = t.disk_id;
            const std::size_t used = std::strlen(devs);
            if (used + std::strlen(t.dev) + 3 < sizeof devs)
                (void)std::snprintf(devs + used, sizeof devs - used, "%s%s", used ? ", " : "",
                                    t.dev);
        }
        if (rising < 2) continue;
        StrBuf text;
        (void)sb_printf(&text,
                        "[Corvantis] UDMA CRC errors (199) rose on %d disks behind controller %s "
                        "within 24 h (%s): check the shared path (backplane, HBA, cables)",
                        rising, targets[i].ctrl_pci, devs);
        char message[kCrcMessageSize];
        str_copy(message, sizeof message, text.c_str());
        rule_raise(first_id, "R-A11", 1, rising, message);
    }
}
