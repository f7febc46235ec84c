// SMART collection through whole polls over a fake machine: the SAT
// fallback, the exit-status masks, unreadable disks, failed self-tests, the
// FARM log and replies that are damaged or huge.
#include "collector/smart_collect.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/fake_collector.h"
#include "tests/support/json_edit.h"
#include "tests/support/smartctl_samples.h"

namespace {

const FakeDisk kSata{.dev = "sda", .serial = "S1", .model = "WDC"};
const FakeDisk kNvme{.dev = "nvme0n1", .bus = FakeBus::kNvme, .serial = "N1", .model = "NV"};

std::string dtype_of(const FakeCollector& fc, const char* serial) {
    return fc.value(std::string("SELECT smart_dtype FROM disks WHERE serial='") + serial + "'");
}

TEST(SmartCollect, SatFallbackIsRemembered) {
    FakeCollector fc;
    fc.add(kSata, smartctl_sample("fail-unable-to-detect-device-type-exit1.json"));
    fc.reply_dtype("sda", "sat", ata_reply({{5, "Reallocated_Sector_Ct", 0}}));
    fc.poll();
    EXPECT_EQ(dtype_of(fc, "S1"), "sat");
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM readings_latest WHERE ns='ata'"), "1");
    fc.poll();
    const auto calls = fc.calls("smartctl");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2], (std::vector<std::string>{"/usr/sbin/smartctl", "-x", "-j", "-d", "sat",
                                                  "/dev/sda"}));
}

// A failed command among those of "-x" (exit status 4) leaves the rest of
// the reply usable: a disk with reallocated sectors is collected, not refused.
// A disk of unknown type still tries "-d sat" then (a SATA disk behind a
// bridge answers plainly as SCSI), and keeps it when that reply is clean or
// comes from an ATA device. For NVMe the bit is outside the mask anyway.
TEST(SmartCollect, StatusFourAndTheSatFallback) {
    std::string nvme = smartctl_sample("nvme-samsung-970evo-xall.json");
    nvme.replace(nvme.find("\"exit_status\": 0"), 16, "\"exit_status\": 4");
    const std::string bridged = smartctl_sample("scsi-qemu-harddisk-xall-exit4.json");
    const char* const ata_rows = "SELECT COUNT(*) > 0 FROM readings_latest WHERE ns='ata'";
    const struct {
        const char* what;
        FakeDisk disk;
        std::string plain;
        std::string sat;
        const char* dtype;  // stored afterwards
        const char* want;   // a reading that shows which reply was used
    } cases[] = {
        {"sat clean", kSata, bridged, smartctl_sample("usb-sat-sandisk-pssd-all.json"), "sat",
         ata_rows},
        {"sat status 4 from ATA", kSata, bridged,
         smartctl_sample("ata-ssd-kingston-sa400-exit4-redacted.json"), "sat", ata_rows},
        {"sat status 4 not ATA", kSata,
         json_set(smartctl_sample("emulated/smartctl-x-scsi.json"), "temperature.current", "38"),
         smartctl_sample("scsi-intel-raid1-volume-exit4.json"), "",
         "SELECT value_raw = 38 FROM readings_latest WHERE attr_name='temperature'"},
        {"no sat", kSata, smartctl_sample("ata-hdd-wd4000fyyx-megaraid-realloc-exit4.json"), "", "",
         "SELECT value_raw > 0 FROM readings_latest WHERE ns='ata' AND attr_id=5"},
        {"nvme", kNvme, nvme, "", "", "SELECT COUNT(*) > 0 FROM readings_latest WHERE ns='nvme'"},
    };
    for (const auto& c : cases) {
        FakeCollector fc;
        fc.add(c.disk, c.plain);
        fc.reply_dtype(c.disk.dev, "sat", c.sat);
        fc.poll();
        EXPECT_EQ(fc.calls("smartctl").size(), c.disk.bus == FakeBus::kNvme ? 1u : 2u) << c.what;
        EXPECT_EQ(dtype_of(fc, c.disk.serial.c_str()), c.dtype) << c.what;
        EXPECT_EQ(fc.value(c.want), "1") << c.what;
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM events WHERE type='smart_error'"), "0") << c.what;
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM alerts WHERE rule_id='R-M3'"), "0") << c.what;
    }
}

// An unreadable disk is journalled when it starts failing, not at every
// poll; once it reads again, the next failure is news again.
TEST(SmartCollect, SmartErrorWhenReadingStartsFailing) {
    FakeCollector fc;
    fc.add(kSata, smartctl_sample("fail-unable-to-detect-device-type-exit1.json"));
    const std::string good = ata_reply({{5, "Reallocated_Sector_Ct", 0}});
    const struct {
        bool readable;
        int events;
    } polls[] = {{false, 1}, {false, 1}, {false, 1}, {true, 1}, {false, 2}};
    for (const auto& p : polls) {
        fc.reply_dtype("sda", "sat", p.readable ? good : "");
        fc.clock.advance_ms(900e3);
        fc.poll();
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM events WHERE type='smart_error'"),
                  std::to_string(p.events));
    }
    EXPECT_EQ(fc.rows("SELECT rule_id,message FROM alerts"),
              std::vector<std::string>{"R-M3|[Corvantis] WDC (S1): SMART read error"});
    EXPECT_EQ(fc.value("SELECT detail FROM events WHERE type='smart_error'"), "{\"exit\":true}");
}

// One drive listed twice (two paths to one SAS disk, say) is one disks row.
// It is unreadable only when no record of it reads: a failing path must not
// journal a drive that the other path reads, nor the two undo each other.
TEST(SmartCollect, DriveListedTwiceIsUnreadableOnlyWhenNoRecordReads) {
    const std::string good = ata_reply({{5, "Reallocated_Sector_Ct", 0}});
    for (const bool failing_first : {true, false}) {
        FakeCollector fc;
        // The enclosure file's record comes first in the inventory.
        fc.add({.dev = "sda", .serial = "S1", .model = "WDC", .slot = 0},
               failing_first ? "" : good);
        fc.add({.dev = "sdb", .serial = "S1", .model = "WDC"}, failing_first ? good : "");
        for (int i = 0; i < 2; ++i) {
            fc.clock.advance_ms(900e3);
            fc.poll();
        }
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM disks"), "1");
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM events WHERE type='smart_error'"), "0")
            << failing_first;
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM alerts"), "0") << failing_first;
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM readings WHERE attr_name='smart_read_error'"), "0")
            << failing_first;
    }
}

std::string selftest_reply(int poh, int hours, const char* status, bool passed) {
    return ata_reply({},
                     "\"power_on_time\":{\"hours\":" + std::to_string(poh) +
                         "},\"ata_smart_self_test_log\":{\"standard\":{\"table\":[{\"type\":{"
                         "\"string\":\"Short offline\"},\"status\":{\"value\":121,\"string\":\"" +
                         status + "\",\"passed\":" + (passed ? "true" : "false") +
                         "},\"lifetime_hours\":" + std::to_string(hours) + ",\"lba\":12345}]}}");
}

TEST(SmartCollect, FailedSelfTests) {
    struct Case {
        const char* what;
        std::vector<std::string> replies;
        int events;
    } cases[] = {
        {"old failure, first seen",
         {selftest_reply(1000, 970, "Completed: read failure", false)},
         0},
        {"recent failure, first seen",
         {selftest_reply(1000, 980, "Completed: read failure", false)},
         1},
        {"old failure then a newer one",
         {selftest_reply(1000, 970, "Completed: read failure", false),
          selftest_reply(1100, 1090, "Completed: read failure", false)},
         1},
        {"the same failure twice",
         {selftest_reply(1000, 990, "Completed: read failure", false),
          selftest_reply(1001, 990, "Completed: read failure", false)},
         1},
        {"a passed test", {selftest_reply(1000, 999, "Completed without error", true)}, 0},
    };
    for (const Case& c : cases) {
        FakeCollector fc;
        fc.add(kSata, "");
        for (const std::string& r : c.replies) {
            fc.reply("sda", r);
            fc.poll();
        }
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM events WHERE type='selftest_fail'"),
                  std::to_string(c.events))
            << c.what;
    }
    FakeCollector fc;
    fc.add(kSata, selftest_reply(1000, 999, "Completed: read failure", false));
    fc.poll();
    EXPECT_EQ(
        fc.value("SELECT detail FROM events WHERE type='selftest_fail'"),
        R"({"type":"Short offline","status":"Completed: read failure","hours":999,"lba":12345})");
    EXPECT_EQ(fc.rows("SELECT value_raw,value_text FROM readings WHERE "
                      "attr_name='selftest_fail_hours'"),
              std::vector<std::string>{"999|Completed: read failure"});
}

TEST(SmartCollect, FarmLog) {
    const FakeDisk seagate{.dev = "sda", .serial = "ZS1", .model = "ST8000NM"};
    auto farm = [](int hours) {
        return "{\"smartctl\":{\"exit_status\":0},\"seagate_farm_log\":{\"page_1\":{"
               "\"power_on_hours\":" +
               std::to_string(hours) + "}}}";
    };
    struct Case {
        const char* what;
        std::string farm;
        int smart_hours;
        const char* support;
        const char* alert;
    } cases[] = {
        {"no FARM log", "", 901, "0", ""},
        {"refused", "{\"smartctl\":{\"exit_status\":4}}", 901, "0", ""},
        {"one hour apart", farm(900), 901, "1", ""},
        {"three hours apart", farm(900), 903, "1",
         "R-M2|3|[Corvantis] ST8000NM (ZS1): FARM power-on-hours (900) differs from SMART (903) by "
         "3 h \xE2\x80\x94 possible used/refurbished drive"},
        {"not JSON but an object", "{garbage", 903, "1", ""},
    };
    for (const Case& c : cases) {
        FakeCollector fc;
        fc.add(
            seagate,
            ata_reply({}, "\"power_on_time\":{\"hours\":" + std::to_string(c.smart_hours) + "}"));
        fc.reply_farm("sda", c.farm);
        fc.poll();
        EXPECT_EQ(fc.value("SELECT farm_support FROM disks"), c.support) << c.what;
        const std::vector<std::string> alerts =
            fc.rows("SELECT rule_id,(SELECT last_value FROM rule_state),message FROM alerts");
        EXPECT_EQ(alerts, *c.alert ? std::vector<std::string>{c.alert} : std::vector<std::string>{})
            << c.what;
        fc.poll();
        EXPECT_EQ(fc.calls("smartctl").size(), c.support[0] == '0' ? 3u : 4u) << c.what;
    }
}

// Damaged, hostile and missing replies: no crash; a reply that is no JSON
// object makes the disk unreadable, one that is counts however it ended.
TEST(SmartCollect, BadReplies) {
    const std::string good = smartctl_sample("ata-hdd-wd181kryz-all.json");
    std::string huge = "{\"smartctl\":{\"exit_status\":0},\"ata_smart_attributes\":{\"table\":[";
    for (int i = 0; i < 200000; ++i) huge += "{\"id\":1,\"name\":\"x\",\"raw\":{\"value\":1}},";
    huge.back() = ']';
    huge += "}}";
    const struct {
        std::string text;
        int rc;
        const char* rows;  // readings outside "health"; "" for an unreadable disk
    } cases[] = {
        {"", 0, ""},         {"[]", 0, ""},
        {"not json", 0, ""}, {good.substr(0, good.size() / 2), 0, ""},
        {huge, 0, "2"},    // "x" and "x#1": every later entry is the same attribute
        {good, -1, "18"},  // killed at its limit after printing a whole reply
    };
    for (const auto& c : cases) {
        FakeCollector fc;
        fc.add(kSata, c.text, c.rc);
        fc.poll();
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM alerts WHERE rule_id='R-M3'"), *c.rows ? "0" : "1")
            << c.text.substr(0, 40);
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM readings WHERE ns!='health'"),
                  *c.rows ? c.rows : "0");
    }
    std::mt19937 rng(12);
    for (int i = 0; i < 20; ++i) {
        FakeCollector fc;
        fc.add(kSata, smartctl_sample_mutant(good, rng));
        EXPECT_EQ(fc.poll(), 1);
    }
}

}  // namespace
