// Health rules: thresholds and severities, the one-alert-a-day rule, rising
// counters, labels and the controller-wide CRC rule.
#include "collector/rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "collector/klog_scan.h"
#include "collector/readings.h"
#include "core/util.h"
#include "tests/support/fake_collector.h"
#include "tests/support/sqlite_file.h"

namespace {

void store(std::int64_t disk_id, std::int64_t poll_id, const char* ns, const char* name,
           std::int64_t raw, int attr_id = 0) {
    Reading r{ns, name};
    r.has_attr_id = attr_id != 0;
    r.attr_id = attr_id;
    r.has_raw = true;
    r.raw = raw;
    reading_store({disk_id, poll_id, 100 + poll_id}, r);
}

std::vector<std::string> alerts(const FakeCollector& fc) {
    return fc.rows("SELECT rule_id,severity,message FROM alerts ORDER BY alert_id");
}

TEST(Rules, ThresholdsAndSeverities) {
    struct Case {
        const char* ns;
        const char* name;
        std::int64_t value;
        const char* expect;  // rule|severity, or "" for none
    } cases[] = {
        {"ata", "Reallocated_Sector_Ct", 0, ""},
        {"ata", "Reallocated_Sector_Ct", 5, "R-A1|1"},
        {"ata", "Reallocated_Sector_Ct", 10, "R-A1|2"},
        {"ata", "Current_Pending_Sector", 50, "R-A2|1"},
        {"ata", "Offline_Uncorrectable", 1, "R-A3|2"},
        {"ata", "Reported_Uncorrect", 2, "R-A4|1"},
        {"health", "smart_status", 1, ""},
        {"health", "smart_status", 0, "R-A10|2"},
        {"health", "temperature", 54, ""},
        {"health", "temperature", 55, "R-A7|1"},
        {"health", "temperature", 60, "R-A7|2"},
        {"nvme", "percentage_used", 89, ""},
        {"nvme", "percentage_used", 90, "R-A9|1"},
        {"nvme", "percentage_used", 100, "R-A9|2"},
    };
    for (const Case& c : cases) {
        FakeCollector fc;
        store(1, 1, c.ns, c.name, c.value);
        rule_eval_disk(1, 1);
        const std::vector<std::string> got = fc.rows("SELECT rule_id||'|'||severity FROM alerts");
        EXPECT_EQ(got, *c.expect ? std::vector<std::string>{c.expect} : std::vector<std::string>{})
            << c.name << " " << c.value;
    }
}

// One alert a day per rule and disk, unless the value got worse. A clock set
// back (a year here) leaves the last alert's time ahead of now: that day is
// over, not a year long.
TEST(Rules, OneAlertADayUnlessWorse) {
    FakeCollector fc;
    struct Step {
        std::int64_t after_s;
        std::int64_t value;
        bool alert;
    } steps[] = {{0, 10, true},    {3600, 10, false},        {3600, 11, true},
                 {3600, 9, false}, {3600, 10, true},         {86399, 10, false},
                 {1, 10, true},    {-365 * 86400, 10, true}, {3600, 10, false}};
    int expected = 0;
    for (const Step& s : steps) {
        fc.clock.set_now(fc.clock.now() + s.after_s);
        rule_raise(1, "R-A1", 2, s.value, "m");
        expected += s.alert;
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM alerts"), std::to_string(expected))
            << s.after_s << " " << s.value;
        EXPECT_EQ(fc.value("SELECT last_value FROM rule_state"), std::to_string(s.value));
    }
    EXPECT_EQ(fc.value("SELECT raised_ts FROM rule_state"), std::to_string(kFakeStart));
}

TEST(Rules, RisingCountersOfThisPoll) {
    struct Case {
        int attr;
        std::int64_t before;
        std::int64_t now;
        bool in_this_poll;
        const char* expect;
    } cases[] = {
        {199, 3, 5, true,
         "R-A5|1|[Corvantis] disk (): UDMA CRC errors (199) rose from 3 to 5: check "
         "cable, backplane slot and controller"},
        {199, 5, 3, true, ""},
        {199, 3, 5, false, ""},
        {188, 0x000000000004, 0x000100010005, true,
         "R-A6|1|[Corvantis] disk (): command timeouts (188) rose from 4 to 5"},
        {188, 0x000000000004, 0x000100010001, true, ""},
    };
    for (const Case& c : cases) {
        FakeCollector fc;
        store(1, 1, "ata", "attr", c.before, c.attr);
        store(1, 2, "ata", "attr", c.now, c.attr);
        rule_eval_disk(1, c.in_this_poll ? 2 : 3);
        EXPECT_EQ(alerts(fc),
                  *c.expect ? std::vector<std::string>{c.expect} : std::vector<std::string>{})
            << c.attr << " " << c.before << " " << c.now;
    }
}

KlogTarget target(std::int64_t id, const char* dev, const char* ctrl) {
    KlogTarget t;
    std::memset(&t, 0, sizeof t);
    t.disk_id = id;
    str_copy(t.dev, sizeof t.dev, dev);
    str_copy(t.ctrl_pci, sizeof t.ctrl_pci, ctrl);
    return t;
}

TEST(Rules, CrcErrorsOnSeveralDisksOfOneController) {
    FakeCollector fc;
    fc.clock.advance_ms(86400e3);
    const std::int64_t recent = fc.clock.now() - 3600;
    // Disks 1, 2, 3, 5 rose within the day (5 is NVMe), 4 rose two days ago.
    for (std::int64_t id : {1, 2, 3, 4, 5}) {
        const std::int64_t ts = id == 4 ? recent - 2 * 86400 : recent;
        fc.value("INSERT INTO readings(disk_id,poll_id,ts,ns,attr_id,attr_name,value_raw) VALUES(" +
                 std::to_string(id) + ",1," + std::to_string(ts) + ",'ata',199,'crc',1),(" +
                 std::to_string(id) + ",2," + std::to_string(ts) + ",'ata',199,'crc',4)");
    }
    const KlogTarget targets[] = {
        target(3, "sdc", "0000:00:17.0"),     target(1, "sda", "0000:00:17.0"),
        target(2, "sdb", "0000:03:00.0"),     target(4, "sdd", "0000:03:00.0"),
        target(5, "nvme0n1", "0000:00:17.0"), target(6, "sde", ""),
    };
    rule_crc_controller(targets, 6);
    EXPECT_EQ(fc.rows("SELECT disk_id,rule_id,message FROM alerts"),
              std::vector<std::string>{
                  "1|R-A11|[Corvantis] UDMA CRC errors (199) rose on 2 disks behind controller "
                  "0000:00:17.0 within 24 h (sdc, sda): check the shared path (backplane, HBA, "
                  "cables)"});
}

}  // namespace
