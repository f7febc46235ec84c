// Health snapshots of the disk under test: the smartctl command lines, the
// identify call, the counters read from recorded replies, fake sysfs trees
// and recorded kernel logs (and the real kernel log), and the sibling disks
// on the same controller.
#include "surface_test/probe_snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/run.h"
#include "core/strbuf.h"
#include "tests/support/fake_disk.h"
#include "tests/support/fake_run.h"
#include "tests/support/fake_smartctl.h"
#include "tests/support/json_edit.h"
#include "tests/support/kmsg.h"
#include "tests/support/smartctl_samples.h"
#include "tests/support/temp_dir.h"

namespace {

using Argv = std::vector<std::string>;

const std::string kSata = "emulated/smartctl-x-sata.json";  // RIGSATA0001, ATA, exit status 4

// The record of a run on SATA disk sda behind port ata3, its platform paths below a fake root.
class ProbeSnapshotTest : public ::testing::Test {
   protected:
    void SetUp() override {
        std::memset(&g_probe, 0, sizeof g_probe);
        g_probe_stop = 0;
        g_probe_root = root_.path().c_str();
        set_disk("sda", "ata3");
    }
    void TearDown() override {
        g_probe_root = "";
        g_probe_stop = 0;
        std::memset(&g_probe, 0, sizeof g_probe);
    }
    static void set_disk(const char* name, const char* port) {
        ProbeState& p = g_probe;
        std::snprintf(p.name, sizeof p.name, "%s", name);
        std::snprintf(p.dev, sizeof p.dev, "/dev/%s", name);
        std::snprintf(p.smart_dev, sizeof p.smart_dev, "/dev/%s", name);
        std::snprintf(p.ata_port, sizeof p.ata_port, "%s", port);
        std::snprintf(p.dtype, sizeof p.dtype, "%s", port[0] ? "sat" : "");
        p.identified = 1;
    }
    // FakeRun answers per command line key from replies_.
    void answer_by_key(FakeRun* run) {
        run->set_handler([this](const Argv& argv) {
            const auto it = replies_.find(argv.back() + " " + fake_smartctl_key(argv));
            return it == replies_.end() ? FakeReply{1, ""} : FakeReply{0, it->second};
        });
    }
    void reply(const std::string& device, const std::string& key, const std::string& json) {
        replies_[device + " " + key] = json;
    }

    TempDir root_;
    FakeDiskRoot tree_ = fake_disk_root(root_.path());
    std::map<std::string, std::string> replies_;
};

TEST(ProbeRunSmartctl, BuildsTheCommandLineAndEmptiesTheReply) {
    REQUIRE_SMARTCTL_PATH();
    const std::string exe = smartctl_path();
    const char* const twelve[] = {"1", "2", "3",  "4",  "5",  "6",    "7",
                                  "8", "9", "10", "11", "12", nullptr};
    const char* const x[] = {"-x", "-j", nullptr};
    struct Case {
        const char* name;
        const char* const* args;
        const char* dtype;
        const char* device;
        Argv want;  // after the executable; empty: nothing runs
    } cases[] = {
        {"automatic type", x, "", "/dev/sda", {"-x", "-j", "/dev/sda"}},
        {"null type", x, nullptr, "/dev/sda", {"-x", "-j", "/dev/sda"}},
        {"with type", x, "sat", "/dev/sdb", {"-x", "-j", "-d", "sat", "/dev/sdb"}},
        {"eleven arguments at most",
         twelve,
         "scsi",
         "/dev/sdc",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "-d", "scsi", "/dev/sdc"}},
        {"no device", x, "sat", "", {}},
    };
    for (const Case& c : cases) {
        FakeRun run;
        run.push({0, "{\"new\":1}"});
        StrBuf out;
        sb_append_str(&out, "{\"earlier\":1}");
        probe_run_smartctl(c.args, c.dtype, c.device, &out, 45);
        if (c.want.empty()) {
            EXPECT_TRUE(run.calls().empty()) << c.name;
            EXPECT_STREQ(out.c_str(), "") << c.name << ": an earlier reply must not survive";
            continue;
        }
        ASSERT_EQ(run.calls().size(), 1u) << c.name;
        Argv want = c.want;
        want.insert(want.begin(), exe);
        EXPECT_EQ(run.calls()[0], want) << c.name;
        EXPECT_EQ(run.timeouts()[0], 45) << c.name;
        EXPECT_STREQ(out.c_str(), "{\"new\":1}") << c.name;
    }
}

TEST(ProbeRunSmartctl, NamedCommandsUseTheirArgumentsAndLimits) {
    REQUIRE_SMARTCTL_PATH();
    struct Case {
        SmartctlCmd cmd;
        Argv args;
        int timeout_s;
    } cases[] = {
        {kSmartctlSnapshot, {"-x", "-j"}, 60},
        {kSmartctlTemperature, {"-A", "-j"}, 20},
        {kSmartctlSiblingCounters, {"-A", "-l", "sataphy", "-j", "-n", "standby"}, 30},
        {kSmartctlSelftestAbort, {"-X", "-j"}, 30},
    };
    for (const Case& c : cases) {
        FakeRun run;
        StrBuf out;
        probe_smartctl(c.cmd, "sat", "/dev/sdq", &out);
        ASSERT_EQ(run.calls().size(), 1u);
        Argv want = c.args;
        want.insert(want.begin(), smartctl_path());
        for (const char* w : {"-d", "sat", "/dev/sdq"}) want.push_back(w);
        EXPECT_EQ(run.calls()[0], want);
        EXPECT_EQ(run.timeouts()[0], c.timeout_s);
    }
}

TEST_F(ProbeSnapshotTest, IdentifyJudgesTheReply) {
    REQUIRE_SMARTCTL_PATH();
    const std::string sata = smartctl_sample(kSata);
    const std::string nvme = smartctl_sample("emulated/smartctl-x-nvme.json");
    struct Case {
        const char* name;
        std::string reply;
        int require_ata;
        const char* serial;  // nullptr: identify fails
    } cases[] = {
        {"failed drive command (bit 2) is usable", sata, 1, "RIGSATA0001"},
        {"protocol in any case", json_set(sata, "device.protocol", "\"ata\""), 1, "RIGSATA0001"},
        {"standby disk (bit 1)", smartctl_sample("ata-hdd-standby-nocheck-exit2.json"), 0, nullptr},
        {"exit status 2", json_set(sata, "smartctl.exit_status", "2"), 0, nullptr},
        {"NVMe where ATA is required", nvme, 1, nullptr},
        {"NVMe without the requirement", nvme, 0, "RIGNVME0001"},
        {"no serial", json_set(sata, "serial_number", "\"\""), 0, nullptr},
        {"not JSON", "Smartctl open device: /dev/sda failed", 0, nullptr},
        {"empty", "", 0, nullptr},
    };
    for (const Case& c : cases) {
        g_probe.model[0] = g_probe.wwn[0] = '\0';
        FakeRun run;
        run.push({0, c.reply});
        char serial[80] = "unchanged", protocol[16] = "unchanged";
        const int ok = probe_identify("sat", c.require_ata, 0, serial, protocol);
        EXPECT_EQ(ok, c.serial ? 1 : 0) << c.name;
        EXPECT_STREQ(serial, c.serial ? c.serial : "unchanged") << c.name;
        EXPECT_STREQ(g_probe.model, c.serial ? g_probe.model : "") << c.name << ": nothing written";
    }
}

TEST_F(ProbeSnapshotTest, IdentifyFillsModelAndWwnOnlyWhenEmpty) {
    REQUIRE_SMARTCTL_PATH();
    FakeRun run;
    const std::string reply = smartctl_sample("ata-ssd-samsung-860evo-xall-phy-devstats.json");
    run.push({0, reply});
    run.push({0, reply});
    char serial[80], protocol[16];
    ASSERT_EQ(probe_identify("", 0, 1, serial, protocol), 1);
    EXPECT_STREQ(protocol, "ATA");
    EXPECT_STRNE(g_probe.model, "");
    EXPECT_EQ(std::strlen(g_probe.wwn), 16u) << "the reply's WWN in its 16-digit form";
    std::strcpy(g_probe.model, "from sysfs");
    std::strcpy(g_probe.wwn, "5000c500abcd1234");
    ASSERT_EQ(probe_identify("sat", 0, 0, serial, protocol), 1);
    EXPECT_STREQ(g_probe.model, "from sysfs");
    EXPECT_STREQ(g_probe.wwn, "5000c500abcd1234");
    EXPECT_EQ(run.calls()[0], (Argv{smartctl_path(), "-i", "-j", "-n", "standby", "/dev/sda"}));
    EXPECT_EQ(run.calls()[1], (Argv{smartctl_path(), "-i", "-j", "-d", "sat", "/dev/sda"}));
}

TEST_F(ProbeSnapshotTest, SmartReplyIsUsableByItsExitStatus) {
    REQUIRE_SMARTCTL_PATH();
    const std::string sata = smartctl_sample(kSata);
    struct Case {
        const char* name;
        std::string reply;
        int identified;
        int smart_ok;
    } cases[] = {
        {"exit status 4", sata, 1, 1},
        {"exit status 1", json_set(sata, "smartctl.exit_status", "1"), 1, 0},
        {"exit status 2", json_set(sata, "smartctl.exit_status", "2"), 1, 0},
        {"cut short by the time limit", sata.substr(0, sata.size() / 2), 1, 0},
        {"never identified: smartctl is not asked", sata, 0, 0},
    };
    for (const Case& c : cases) {
        g_probe.identified = c.identified;
        FakeRun run;
        run.push({0, c.reply});
        ProbeSnapshot snap;
        probe_snapshot_take(&snap, 0, 0);
        EXPECT_EQ(snap.smart_ok, c.smart_ok) << c.name;
        EXPECT_GT(snap.ts, 0) << c.name;
        EXPECT_EQ(run.calls().size(), c.identified ? 1u : 0u) << c.name;
        if (c.smart_ok) {
            EXPECT_STREQ(snap.smart.serial, "RIGSATA0001") << c.name;
            EXPECT_EQ(run.calls()[0], (Argv{smartctl_path(), "-x", "-j", "-d", "sat", "/dev/sda"}));
            EXPECT_EQ(run.timeouts()[0], 60);
        }
    }
}

TEST_F(ProbeSnapshotTest, SecondSnapshotCountsErrorLogEntriesLoggedAfterTheFirst) {
    REQUIRE_SMARTCTL_PATH();
    // Before: an empty error log. After: five interface CRC errors, numbers 8 to 12.
    const std::string before = smartctl_sample(kSata);
    const std::string after =
        smartctl_sample("ata-hdd-hgst-hus724020-errorlog-exit64-redacted.json");
    struct Case {
        const char* name;
        std::string first;
        std::int64_t newer;
    } cases[] = {
        {"usable first snapshot", before, 5},
        {"unusable first snapshot: no baseline", json_set(before, "smartctl.exit_status", "2"), 0},
    };
    for (const Case& c : cases) {
        FakeRun run;
        run.push({0, c.first});
        run.push({0, after});
        probe_snapshot_take(&g_probe.snap0, 0, 0);
        probe_snapshot_take(&g_probe.snap1, 1, 0);
        EXPECT_EQ(g_probe.snap1.smart.errlog_icrc, 5) << c.name;
        EXPECT_EQ(g_probe.snap1.smart.errlog_icrc_newer, c.newer) << c.name;
    }
}

TEST_F(ProbeSnapshotTest, LinkSpeedAndErrorRingOfThePort) {
    set_disk("sda", "ata12");
    g_probe.identified = 0;
    fake_ata_port(tree_, "ata12", "6.0 Gbps",
                  "[  100.500000000]BusError\n[  200.000000000]MediaError\n");
    fake_ata_port(tree_, "ata1", "1.5 Gbps", "[ 1.0]MediaError\n");  // another port: never read
    probe_snapshot_take(&g_probe.snap0, 0, 0);
    const ProbeSnapshot& s0 = g_probe.snap0;
    EXPECT_STREQ(s0.sata_spd, "6.0 Gbps");
    EXPECT_DOUBLE_EQ(s0.sata_gbps, 6.0);
    EXPECT_EQ(s0.ering_ok, 1);
    EXPECT_EQ(s0.ering_bus, 1) << "the first snapshot counts the whole ring";
    EXPECT_EQ(s0.ering_media, 1);
    EXPECT_DOUBLE_EQ(s0.ering_newest, 200.0);

    fake_ata_port(tree_, "ata12", "3.0 Gbps",
                  "[  100.500000000]BusError\n[  200.000000000]MediaError\n"
                  "[  250.000000000]MediaError\n[  260.000000000]BusError MediaError\n");
    probe_snapshot_take(&g_probe.snap1, 1, 0);
    const ProbeSnapshot& s1 = g_probe.snap1;
    EXPECT_DOUBLE_EQ(s1.sata_gbps, 3.0);
    EXPECT_EQ(s1.ering_bus, 1) << "only what came after the first snapshot";
    EXPECT_EQ(s1.ering_media, 1);
    EXPECT_DOUBLE_EQ(s1.ering_newest, 260.0);

    // No ring at the first snapshot: there is no baseline, so nothing counts.
    g_probe.snap0.ering_ok = 0;
    g_probe.snap0.ering_newest = 0.0;
    probe_snapshot_take(&g_probe.snap1, 1, 0);
    EXPECT_EQ(s1.ering_ok, 1);
    EXPECT_EQ(s1.ering_bus + s1.ering_media + s1.ering_other, 0);

    set_disk("sdb", "");  // no ATA port: nothing read
    probe_snapshot_take(&g_probe.snap1, 1, 0);
    EXPECT_STREQ(s1.sata_spd, "");
    EXPECT_EQ(s1.ering_ok, 0);
}

TEST(EringCountSince, CountsOnlyStampedLinesNewerThanTheMark) {
    struct Case {
        const char* name;
        std::string text;
        double mark;
        std::int64_t bus, media, other;
        double newest;
    } cases[] = {
        {"mixed ring", "[100.5]BusError\n[200.0]MediaError\nno stamp MediaError\n[150.0]DevError\n",
         120.0, 0, 1, 1, 200.0},
        {"bus error wins over media", "[5.0]MediaError BusError", -1.0, 1, 0, 0, 5.0},
        {"nothing newer keeps the mark", "[1.0]BusError\n", 9.0, 0, 0, 0, 9.0},
        {"a long line goes on as the next",
         "[7.0]" + std::string(520, 'x') + "\n" + std::string(506, 'y') + "[8.0]MediaError\n", -1.0,
         0, 0, 1, 7.0},
        {"empty", "", 3.0, 0, 0, 0, 3.0},
    };
    for (const Case& c : cases) {
        std::int64_t bus = -1, media = -1, other = -1;
        double newest = -5;
        ering_count_since(c.text.c_str(), &bus, &media, &other, &newest, c.mark);
        EXPECT_EQ(bus, c.bus) << c.name;
        EXPECT_EQ(media, c.media) << c.name;
        EXPECT_EQ(other, c.other) << c.name;
        EXPECT_DOUBLE_EQ(newest, c.newest) << c.name;
    }
    std::int64_t bus = -1, media = -1, other = -1;
    double newest = -5;
    ering_count_since(nullptr, &bus, &media, &other, &newest, 4.0);
    EXPECT_EQ(bus + media + other, 0);
    EXPECT_DOUBLE_EQ(newest, 4.0);
}

// A recorded kernel log of a machine whose disks met read errors: a virtio
// SCSI disk sdb logged three media lines at 26.08 s, SATA port ata3 a link
// line at 4.28 s.
class ProbeSnapshotKlogTest : public ProbeSnapshotTest {
   protected:
    // The lines stamped before stamp.
    static std::string log_until(double stamp) {
        std::istringstream all(test_data_file("kernel-log/read-errors-enodata.txt"));
        std::string out;
        for (std::string line; std::getline(all, line);)
            if (std::stod(line.substr(1)) < stamp) out += line + "\n";
        return out;
    }
    // The counts of the second snapshot over the whole log.
    void second(std::int64_t* media, std::int64_t* link) {
        StrBuf log;
        sb_append_str(&log, test_data_file("kernel-log/read-errors-enodata.txt").c_str());
        probe_snapshot_klog(&g_probe.snap1, 1, &log);
        *media = g_probe.snap1.dmesg_media;
        *link = g_probe.snap1.dmesg_link;
    }
    void first(const std::string& text) {
        StrBuf log;
        sb_append_str(&log, text.c_str());
        std::memset(&g_probe.snap0, 0, sizeof g_probe.snap0);
        probe_snapshot_klog(&g_probe.snap0, 0, &log);
    }
};

TEST_F(ProbeSnapshotKlogTest, SecondSnapshotCountsNewLinesAboutTheDisk) {
    struct Case {
        const char* name;
        const char* disk;
        const char* port;
        double first_until;  // the first snapshot saw the log up to here
        std::int64_t media, link;
    } cases[] = {
        {"media lines after the mark", "sdb", "", 20, 3, 0},
        {"all before the mark", "sdb", "", 27, 0, 0},
        {"a link line of the port", "sda", "ata3", 4, 0, 1},
        {"the port's line came before", "sda", "ata3", 20, 0, 0},
        {"no line about the disk", "sdq", "", 4, 0, 0},
    };
    for (const Case& c : cases) {
        set_disk(c.disk, c.port);
        first(log_until(c.first_until));
        EXPECT_EQ(g_probe.snap0.klog_ok, 1) << c.name;
        EXPECT_LT(g_probe.snap0.dmesg_mark, c.first_until) << c.name;
        std::int64_t media = 0, link = 0;
        second(&media, &link);
        EXPECT_EQ(media, c.media) << c.name;
        EXPECT_EQ(link, c.link) << c.name;
        EXPECT_GT(g_probe.snap1.dmesg_mark, 30.0) << c.name;
    }
}

TEST_F(ProbeSnapshotKlogTest, WithoutAFirstReadingOnlyLinesAfterTheRunStartCount) {
    struct Case {
        const char* name;
        const char* disk;
        const char* port;
        double run_start_s;  // on the kernel log's clock
        std::int64_t media, link;
    } cases[] = {
        {"errors during the run", "sdb", "", 20, 3, 0},
        {"errors before the run are history", "sdb", "", 27, 0, 0},
        {"an old link line is history", "sda", "ata3", 20, 0, 0},
    };
    for (const Case& c : cases) {
        set_disk(c.disk, c.port);
        first("");  // the kernel log could not be read
        EXPECT_EQ(g_probe.snap0.klog_ok, 0) << c.name;
        EXPECT_EQ(g_probe.snap0.dmesg_mark, 0.0) << c.name;
        g_probe.start_mono_ms = c.run_start_s * 1000.0;
        std::int64_t media = 0, link = 0;
        second(&media, &link);
        EXPECT_EQ(media, c.media) << c.name;
        EXPECT_EQ(link, c.link) << c.name;
    }
}

TEST_F(ProbeSnapshotKlogTest, MarkIsTheNewestStampAndNeverBelowZero) {
    struct Case {
        const char* text;
        double mark;
    } cases[] = {
        {"[  5.5] a\n[  7.25] b\n[  6.0] c\n", 7.25},
        {"no stamps\nat all\n", 0.0},
        {"[    0.000000] boot\n", 0.0},
    };
    for (const Case& c : cases) {
        first(c.text);
        EXPECT_EQ(g_probe.snap0.klog_ok, 1) << c.text;
        EXPECT_DOUBLE_EQ(g_probe.snap0.dmesg_mark, c.mark) << c.text;
    }
}

TEST_F(ProbeSnapshotTest, RealKernelLogLinesWrittenDuringTheRunAreCounted) {
    REQUIRE_KMSG();
    // Names no other test uses: the kernel log is shared.
    set_disk("sdkz", "ata97");
    g_probe.identified = 0;
    g_probe.start_mono_ms = kmsg_now_s() * 1000.0;
    ASSERT_TRUE(kmsg_write("sd 96:0:0:0: [sdkz] tag#3 Sense Key : Medium Error [current]"));
    probe_snapshot_take(&g_probe.snap0, 0, 0);
    ASSERT_EQ(g_probe.snap0.klog_ok, 1);
    EXPECT_GT(g_probe.snap0.dmesg_mark, 0.0);
    ASSERT_TRUE(kmsg_write("ata97: hard resetting link"));
    ASSERT_TRUE(kmsg_write("critical medium error, dev sdkz, sector 4096 op 0x0:(READ)"));
    ASSERT_TRUE(kmsg_write("critical medium error, dev sdkzz, sector 8 op 0x0:(READ)"));
    probe_snapshot_take(&g_probe.snap1, 1, 0);
    EXPECT_EQ(g_probe.snap1.dmesg_media, 1) << "the line before the first snapshot is not new";
    EXPECT_EQ(g_probe.snap1.dmesg_link, 1);
    EXPECT_GE(g_probe.snap1.dmesg_mark, g_probe.snap0.dmesg_mark);
}

// Disks of the fake tree: sda (under test) and sdb, sdc on the AHCI
// controller 0000:00:02.0, sdd on a SAS HBA, nvme1n1 on its own controller.
class ProbeSiblingsTest : public ProbeSnapshotTest {
   protected:
    void SetUp() override {
        ProbeSnapshotTest::SetUp();
        for (const FakeDisk& d :
             {FakeDisk{.dev = "sda", .serial = "S-A"}, FakeDisk{.dev = "sdb", .serial = "S-B"},
              FakeDisk{.dev = "sdc"}, FakeDisk{.dev = "sdd", .bus = FakeBus::kSas, .serial = "S-D"},
              FakeDisk{.dev = "nvme1n1", .bus = FakeBus::kNvme, .serial = "S-N"}})
            fake_disk_add(tree_, d);
        std::strcpy(g_probe.controller, "0000:00:02.0");
        std::strcpy(g_probe.ata_port, fake_disk_ata_port({.dev = "sda"}).c_str());
    }
};

TEST_F(ProbeSiblingsTest, FindsTheOtherDisksBehindTheSameController) {
    probe_find_siblings();
    ASSERT_EQ(g_probe.sibling_count, 2);
    std::vector<std::string> seen;
    for (int i = 0; i < g_probe.sibling_count; ++i) {
        const SiblingLink& s = g_probe.siblings[i];
        seen.push_back(std::string(s.dev) + "/" + s.serial + "/" + s.dtype);
        EXPECT_EQ(s.ok0 + s.ok1 + s.crc0 + s.phy0, 0);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"sdb/S-B/sat", "sdc//sat"}))
        << "sdc has no serial in the inventory";

    std::strcpy(g_probe.controller, "0000:00:05.0");  // the SAS HBA: no ATA port
    probe_find_siblings();
    ASSERT_EQ(g_probe.sibling_count, 1);
    EXPECT_STREQ(g_probe.siblings[0].dtype, "");

    g_probe.is_nvme = 1;
    probe_find_siblings();
    EXPECT_EQ(g_probe.sibling_count, 0) << "NVMe disks have no siblings";
}

TEST_F(ProbeSiblingsTest, KeepsAtMost64) {
    for (int i = 0; i < 70; ++i)
        fake_disk_add(tree_, {.dev = "sdx" + std::string(1, static_cast<char>('a' + i / 26)) +
                                     std::string(1, static_cast<char>('a' + i % 26)),
                              .host = 1});
    probe_find_siblings();
    EXPECT_EQ(g_probe.sibling_count, kProbeSiblingMax);
}

TEST_F(ProbeSiblingsTest, ReadsTheCountersOfEachUsableSibling) {
    REQUIRE_SMARTCTL_PATH();
    probe_find_siblings();
    ASSERT_EQ(g_probe.sibling_count, 2);
    const std::string base = smartctl_sample("ata-ssd-samsung-860evo-xall-phy-devstats.json");
    // PHY counters 1 = 5, 8 = 100, 11 = 2 and 9 = 3: id 8 is in no class.
    const std::string phy = json_set(
        json_set(
            base, "sata_phy_event_counters.table",
            R"([{"id":1,"value":5},{"id":8,"value":100},{"id":11,"value":2},{"id":9,"value":3}])"),
        "ata_smart_attributes.table", R"([{"id":199,"raw":{"value":7}}])");
    const std::string bare = json_set(json_set(base, "sata_phy_event_counters.table", "[]"),
                                      "ata_smart_attributes.table", "[]");
    struct Case {
        const char* name;
        std::string reply;
        int ok;
        std::int64_t crc, phy;
    } cases[] = {
        {"usable", phy, 1, 7, 10},
        {"in standby", smartctl_sample("ata-hdd-standby-nocheck-exit2.json"), 0, 0, 0},
        {"neither attribute 199 nor PHY counters", bare, 0, 0, 0},
        {"no reply", "", 0, 0, 0},
    };
    for (const Case& c : cases) {
        FakeRun run;
        replies_.clear();
        reply("/dev/sdb", kScSiblingCounters, c.reply);
        reply("/dev/sdc", kScSiblingCounters, phy);
        answer_by_key(&run);
        for (int which = 0; which < 2; ++which)
            probe_snapshot_take(which ? &g_probe.snap1 : &g_probe.snap0, which, 1);
        for (int i = 0; i < g_probe.sibling_count; ++i) {
            const SiblingLink& s = g_probe.siblings[i];
            const bool is_b = std::strcmp(s.dev, "sdb") == 0;
            EXPECT_EQ(s.ok0, is_b ? c.ok : 1) << c.name << " " << s.dev;
            EXPECT_EQ(s.ok1, is_b ? c.ok : 1) << c.name << " " << s.dev;
            EXPECT_EQ(s.crc1, is_b ? c.crc : 7) << c.name << " " << s.dev;
            EXPECT_EQ(s.phy1, is_b ? c.phy : 10) << c.name << " " << s.dev;
        }
    }
    const SiblingLink* sdc = std::strcmp(g_probe.siblings[0].dev, "sdc") == 0
                                 ? &g_probe.siblings[0]
                                 : &g_probe.siblings[1];
    EXPECT_STRNE(sdc->serial, "") << "a sibling without an inventory serial takes the reply's";
}

TEST_F(ProbeSiblingsTest, AStopLeavesTheRemainingSiblingsUnread) {
    REQUIRE_SMARTCTL_PATH();
    probe_find_siblings();
    ASSERT_EQ(g_probe.sibling_count, 2);
    g_probe.identified = 0;  // siblings only
    FakeRun run;
    run.set_handler([](const Argv&) {
        g_probe_stop = 1;  // the signal arrives while the first sibling is read
        return FakeReply{0,
                         json_set(smartctl_sample("ata-ssd-samsung-860evo-xall-phy-devstats.json"),
                                  "smartctl.exit_status", "0")};
    });
    probe_snapshot_take(&g_probe.snap0, 0, 1);
    EXPECT_EQ(run.calls().size(), 1u);
    EXPECT_EQ(g_probe.siblings[0].ok0, 1);
    EXPECT_EQ(g_probe.siblings[1].ok0, 0);
}

TEST_F(ProbeSnapshotTest, AttributeDeltasNeedBothSnapshotsAndTheAttribute) {
    ProbeState& p = g_probe;
    auto set = [](ProbeSnapshot* s, int ok, int present, std::int64_t raw) {
        s->smart_ok = ok;
        s->smart.attr_present[4] = present;
        s->smart.attr_raw[4] = raw;
    };
    struct Case {
        const char* name;
        int taken, ok0, ok1, present0, present1;
        std::int64_t delta;
    } cases[] = {
        {"198 from 8 to 6", 1, 1, 1, 1, 1, -2}, {"second not taken", 0, 1, 1, 1, 1, 0},
        {"first unusable", 1, 0, 1, 1, 1, 0},   {"second unusable", 1, 1, 0, 1, 1, 0},
        {"missing before", 1, 1, 1, 0, 1, 0},   {"missing after", 1, 1, 1, 1, 0, 0},
    };
    for (const Case& c : cases) {
        p.snap1_taken = c.taken;
        set(&p.snap0, c.ok0, c.present0, 8);
        set(&p.snap1, c.ok1, c.present1, 6);
        EXPECT_EQ(probe_snap_attr_delta(4), c.delta) << c.name;
    }
    EXPECT_EQ(probe_snap_attr_delta(6), 0);
    EXPECT_EQ(probe_snap_attr_delta(-1), 0);
}

TEST(ProbeSnapshotHelpers, PhyClassesCountersAndLeadingNumbers) {
    std::string crc, err;
    for (std::uint32_t id = 0; id <= 16; ++id) {
        if (phy_event_is_crc(id)) crc += std::to_string(id) + " ";
        if (phy_event_is_phy_error(id)) err += std::to_string(id) + " ";
    }
    EXPECT_EQ(crc, "1 11 ");
    EXPECT_EQ(err, "2 3 4 5 6 7 9 10 ");

    SmartSnapshot s{};
    s.phy_count = 3;
    const std::uint32_t ids[] = {10, 1, 10};
    const std::int64_t values[] = {4, 0, 9};
    for (int i = 0; i < 3; ++i) {
        s.phy_id[i] = ids[i];
        s.phy_value[i] = values[i];
    }
    int found = -1;
    EXPECT_EQ(smart_snap_phy_counter(&s, 10, &found), 4);
    EXPECT_EQ(found, 1) << "the first counter of that id";
    EXPECT_EQ(smart_snap_phy_counter(&s, 1, &found), 0);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(smart_snap_phy_counter(&s, 11, &found), 0);
    EXPECT_EQ(found, 0);

    EXPECT_DOUBLE_EQ(parse_leading_number("6.0 Gbps"), 6.0);
    EXPECT_DOUBLE_EQ(parse_leading_number("1.5"), 1.5);
    EXPECT_DOUBLE_EQ(parse_leading_number("<unknown>"), 0.0);
    EXPECT_DOUBLE_EQ(parse_leading_number(" 3.0 Gbps"), 0.0);
    EXPECT_DOUBLE_EQ(parse_leading_number(""), 0.0);
    EXPECT_DOUBLE_EQ(parse_leading_number(nullptr), 0.0);
}

}  // namespace
