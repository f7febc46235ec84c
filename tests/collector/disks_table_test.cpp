// The disks table and slot history: identity by WWN then serial, the events
// appear, fw_change and slot_change, and the bay history.
#include "collector/disks_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "collector/discovery.h"
#include "core/util.h"
#include "tests/support/fake_collector.h"

namespace {

DiskInfo disk(const char* serial, const char* wwn = "", const char* firmware = "FW1", int slot = 1,
              const char* dev = "sdb") {
    DiskInfo d;
    std::memset(&d, 0, sizeof d);
    str_copy(d.dev, sizeof d.dev, dev);
    str_copy(d.serial, sizeof d.serial, serial);
    str_copy(d.wwn, sizeof d.wwn, wwn);
    str_copy(d.model, sizeof d.model, "MODEL");
    str_copy(d.firmware, sizeof d.firmware, firmware);
    str_copy(d.bus, sizeof d.bus, "sata");
    d.enclosure = slot >= 0 ? 0 : -1;
    d.slot = slot;
    d.farm_support = -1;
    return d;
}

std::vector<std::string> events(const FakeCollector& fc) {
    return fc.rows("SELECT disk_id,poll_id,type,detail FROM events ORDER BY event_id");
}

TEST(DisksTable, FirstSightingThenTheSameDiskAgain) {
    FakeCollector fc;
    DiskInfo d = disk("S1");
    ASSERT_EQ(disk_upsert(&d, 1), 1);
    EXPECT_EQ(d.disk_id, 1);
    EXPECT_EQ(d.farm_support, -1);
    EXPECT_EQ(fc.rows("SELECT serial,present,first_seen_ts=last_seen_ts,last_seen_ts FROM disks"),
              std::vector<std::string>{"S1|1|1|" + std::to_string(kFakeStart)});
    EXPECT_EQ(events(fc), std::vector<std::string>{"1|1|appear|{\"new\":1}"});
    EXPECT_EQ(fc.rows("SELECT enclosure,slot,dev_name FROM slot_history"),
              std::vector<std::string>{"0|1|sdb"});

    fc.clock.advance_ms(3600e3);
    DiskInfo again = disk("S1");
    EXPECT_EQ(disk_upsert(&again, 2), 1);
    EXPECT_EQ(events(fc).size(), 1u);
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM slot_history"), "1");
    EXPECT_EQ(fc.value("SELECT last_seen_ts FROM disks"), std::to_string(kFakeStart + 3600));
}

TEST(DisksTable, MovesAndRenamesAreHistory) {
    FakeCollector fc;
    struct Step {
        int slot;
        const char* dev;
        int enclosure;
        bool change;
    } steps[] = {{1, "sdb", 0, false}, {4, "sdb", 0, true},  {4, "sdc", 0, true},
                 {4, "sdc", 2, true},  {4, "sdc", 2, false}, {-1, "sdd", -1, false}};
    int changes = 0;
    for (const Step& s : steps) {
        fc.clock.advance_ms(1000);
        DiskInfo d = disk("S1", "", "FW1", s.slot, s.dev);
        d.enclosure = s.enclosure;
        disk_upsert(&d, 1);
        changes += s.change;
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM events WHERE type='slot_change'"),
                  std::to_string(changes))
            << s.slot << s.dev;
    }
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM slot_history"), "4");
}

// Firmware changes are journalled with JSON escaping; a firmware text that
// discovery could not read is no change and does not replace the stored one.
TEST(DisksTable, FirmwareChanges) {
    FakeCollector fc;
    DiskInfo d = disk("S1", "", "SN03");
    disk_upsert(&d, 1);
    for (const char* fw : {"", "SN\"04\\"}) {
        DiskInfo next = disk("S1", "", fw);
        disk_upsert(&next, 2);
    }
    disk_set_farm_support(1, 1);
    DiskInfo last = disk("S1", "", "");
    disk_upsert(&last, 3);
    EXPECT_EQ(fc.value("SELECT firmware FROM disks"), "SN\"04\\");
    EXPECT_EQ(fc.rows("SELECT detail FROM events WHERE type='fw_change'"),
              std::vector<std::string>{R"({"from":"SN03","to":"SN\"04\\"})"});
    EXPECT_EQ(last.farm_support, 1);  // reset only by a real change
    DiskInfo changed = disk("S1", "", "SN05");
    disk_upsert(&changed, 4);
    EXPECT_EQ(changed.farm_support, -1);
}

TEST(DisksTable, ComesBackAfterDisappearing) {
    FakeCollector fc;
    DiskInfo d = disk("S1");
    disk_upsert(&d, 1);
    fc.value("UPDATE disks SET present=0");
    disk_upsert(&d, 2);
    EXPECT_EQ(fc.value("SELECT present FROM disks"), "1");
    EXPECT_EQ(events(fc).back(), "1|2|appear|");
}

TEST(DisksTable, IdentityByWwnThenSerial) {
    FakeCollector fc;
    struct Case {
        const char* what;
        const char* serial;
        const char* wwn;
        std::int64_t id;
    } cases[] = {
        {"new disk with a WWN", "S1", "5000c500aaaa0001", 1},
        {"same WWN, other serial", "OTHER", "5000c500aaaa0001", 1},
        {"same serial, no WWN reported", "S1", "", 1},
        {"same serial, another WWN: another disk", "S1", "5000c500bbbb0002", 2},
        {"serial of a disk stored without WWN", "S3", "", 3},
        {"that disk now reports a WWN", "S3", "5000c500cccc0003", 3},
    };
    for (const Case& c : cases) {
        DiskInfo d = disk(c.serial, c.wwn);
        EXPECT_EQ(disk_upsert(&d, 1), c.id) << c.what;
    }
    // A stored WWN is filled once and never replaced.
    EXPECT_EQ(fc.rows("SELECT disk_id,serial,wwn FROM disks ORDER BY disk_id"),
              (std::vector<std::string>{"1|S1|5000c500aaaa0001", "2|S1|5000c500bbbb0002",
                                        "3|S3|5000c500cccc0003"}));
}

}  // namespace
