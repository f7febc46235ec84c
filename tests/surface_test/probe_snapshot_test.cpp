// Health snapshots of the disk under test: the identify call over recorded
// replies, the link counters of a fake ATA port, recorded and real kernel
// logs, and fake sibling disks on the controller.
#include "surface_test/probe_snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>
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

std::string sample(const char* name) {
    return smartctl_sample(name);
}
// RIGSATA0001, protocol ATA, exit status 4 (a failed drive command), empty error log.
std::string sata() {
    return sample("emulated/smartctl-x-sata.json");
}
std::string with_status(const std::string& reply, int status) {
    return json_set(reply, "smartctl.exit_status", std::to_string(status));
}

// A run on SATA disk sda behind port ata3, its platform paths below a fake root.
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
    static void set_disk(const char* name, const char* port, int identified = 1) {
        ProbeState& p = g_probe;
        (void)std::snprintf(p.name, sizeof p.name, "%s", name);
        (void)std::snprintf(p.smart_dev, sizeof p.smart_dev, "/dev/%s", name);
        (void)std::snprintf(p.ata_port, sizeof p.ata_port, "%s", port);
        (void)std::snprintf(p.dtype, sizeof p.dtype, "%s", port[0] ? "sat" : "");
        p.identified = identified;
    }
    static void take_both(int with_siblings) {
        probe_snapshot_take(&g_probe.snap0, 0, with_siblings);
        probe_snapshot_take(&g_probe.snap1, 1, with_siblings);
        g_probe.snap1_taken = 1;
    }

    TempDir root_;
    FakeDiskRoot tree_ = fake_disk_root(root_.path());
};

TEST_F(ProbeSnapshotTest, IdentifyJudgesTheReply) {
    REQUIRE_SMARTCTL_PATH();
    const std::string nvme = sample("emulated/smartctl-x-nvme.json");
    struct Case {
        const char* name;
        std::string reply;
        int require_ata;
        const char* serial;  // nullptr: identify fails and writes nothing
    } cases[] = {
        {"failed drive command (bit 2) is usable", sata(), 1, "RIGSATA0001"},
        {"protocol in any case", json_set(sata(), "device.protocol", "\"ata\""), 1, "RIGSATA0001"},
        {"standby disk (bit 1)", sample("ata-hdd-standby-nocheck-exit2.json"), 0, nullptr},
        {"NVMe where ATA is required", nvme, 1, nullptr},
        {"NVMe otherwise", nvme, 0, "RIGNVME0001"},
        {"no serial", json_set(sata(), "serial_number", "\"\""), 0, nullptr},
        {"not JSON", "Smartctl open device: /dev/sda failed", 0, nullptr},
    };
    for (const Case& c : cases) {
        g_probe.model[0] = g_probe.wwn[0] = '\0';
        FakeRun run;
        run.push({0, c.reply});
        char serial[80] = "-", protocol[16] = "-";
        EXPECT_EQ(probe_identify("sat", c.require_ata, 0, serial, protocol), c.serial ? 1 : 0)
            << c.name;
        EXPECT_STREQ(serial, c.serial ? c.serial : "-") << c.name;
        EXPECT_EQ(g_probe.model[0] != '\0', c.serial != nullptr) << c.name;
    }
    // Model and WWN are taken only where nothing better was found.
    FakeRun run;
    const std::string samsung = sample("ata-ssd-samsung-860evo-xall-phy-devstats.json");
    run.push({0, samsung});
    run.push({0, samsung});
    char serial[80], protocol[16];
    g_probe.model[0] = g_probe.wwn[0] = '\0';
    ASSERT_EQ(probe_identify("", 0, 1, serial, protocol), 1);
    EXPECT_EQ(std::strlen(g_probe.wwn), 16u);
    std::strcpy(g_probe.model, "from sysfs");
    std::strcpy(g_probe.wwn, "5000c500abcd1234");
    ASSERT_EQ(probe_identify("sat", 0, 0, serial, protocol), 1);
    EXPECT_STREQ(g_probe.model, "from sysfs");
    EXPECT_STREQ(g_probe.wwn, "5000c500abcd1234");
    EXPECT_EQ(run.calls()[0], (Argv{smartctl_path(), "-i", "-j", "-n", "standby", "/dev/sda"}));
}

TEST_F(ProbeSnapshotTest, SmartReplyAndErrorLogBaseline) {
    REQUIRE_SMARTCTL_PATH();
    // After: five interface CRC errors numbered 8 to 12 in the error log.
    const std::string after = sample("ata-hdd-hgst-hus724020-errorlog-exit64-redacted.json");
    struct Case {
        const char* name;
        std::string first;
        int identified;
        int ok0;
        std::int64_t newer;  // errors counted as logged during the run
    } cases[] = {
        {"exit status 4 is usable", sata(), 1, 1, 5},
        {"exit status 1", with_status(sata(), 1), 1, 0, 0},
        {"exit status 2: no baseline", with_status(sata(), 2), 1, 0, 0},
        {"cut short by the time limit", sata().substr(0, 900), 1, 0, 0},
    };
    for (const Case& c : cases) {
        FakeRun run;
        run.push({0, c.first});
        run.push({0, after});
        take_both(0);
        EXPECT_EQ(g_probe.snap0.smart_ok, c.ok0) << c.name;
        EXPECT_EQ(g_probe.snap1.smart_ok, 1) << c.name;
        EXPECT_EQ(g_probe.snap1.smart.errlog_icrc_newer, c.newer) << c.name;
        EXPECT_EQ(run.timeouts().at(0), 60) << c.name;
    }
    set_disk("sda", "ata3", 0);
    FakeRun run;
    probe_snapshot_take(&g_probe.snap0, 0, 0);
    EXPECT_TRUE(run.calls().empty()) << "a disk smartctl never identified is not asked";
    EXPECT_GT(g_probe.snap0.ts, 0);
}

TEST_F(ProbeSnapshotTest, LinkSpeedAndErrorRingOfThePort) {
    set_disk("sda", "ata12", 0);
    fake_ata_port(tree_, "ata12", "6.0 Gbps",
                  "[  100.500000000]BusError\n[  200.000000000]MediaError\n");
    probe_snapshot_take(&g_probe.snap0, 0, 0);
    const ProbeSnapshot& s0 = g_probe.snap0;
    EXPECT_STREQ(s0.sata_spd, "6.0 Gbps");
    EXPECT_DOUBLE_EQ(s0.sata_gbps, 6.0);
    EXPECT_EQ(s0.ering_bus + s0.ering_media, 2) << "the first snapshot counts the whole ring";
    EXPECT_DOUBLE_EQ(s0.ering_newest, 200.0);

    fake_ata_port(tree_, "ata12", "3.0 Gbps",
                  "[  100.500000000]BusError\n[  200.000000000]MediaError\n[  250.0]MediaError\n");
    probe_snapshot_take(&g_probe.snap1, 1, 0);
    const ProbeSnapshot& s1 = g_probe.snap1;
    EXPECT_DOUBLE_EQ(s1.sata_gbps, 3.0);
    EXPECT_EQ(s1.ering_bus, 0) << "only what came after the first snapshot";
    EXPECT_EQ(s1.ering_media, 1);

    // No ring at the first snapshot: no baseline, so nothing counts as new.
    g_probe.snap0.ering_ok = 0;
    g_probe.snap0.ering_newest = 0.0;
    probe_snapshot_take(&g_probe.snap1, 1, 0);
    EXPECT_EQ(s1.ering_ok, 1);
    EXPECT_EQ(s1.ering_bus + s1.ering_media + s1.ering_other, 0);

    set_disk("sdb", "", 0);
    probe_snapshot_take(&g_probe.snap1, 1, 0);
    EXPECT_EQ(s1.ering_ok + s1.sata_spd[0], 0) << "no ATA port: nothing read";
}

TEST(EringCountSince, CountsOnlyStampedLinesNewerThanTheMark) {
    struct Case {
        std::string text;
        double mark;
        std::int64_t bus, media, other;
        double newest;
    } cases[] = {
        {"[100.5]BusError\n[200.0]MediaError\nno stamp MediaError\n[150.0]DevError\n", 120.0, 0, 1,
         1, 200.0},
        {"[5.0]MediaError BusError", -1.0, 1, 0, 0, 5.0},
        {"[1.0]BusError\n", 9.0, 0, 0, 0, 9.0},
        // A line longer than 511 bytes goes on as the next one.
        {"[7.0]" + std::string(520, 'x') + "\n" + std::string(506, 'y') + "[8.0]MediaError\n", -1.0,
         0, 0, 1, 7.0},
        {"", 3.0, 0, 0, 0, 3.0},
    };
    for (const Case& c : cases) {
        std::int64_t bus = -1, media = -1, other = -1;
        double newest = -5;
        ering_count_since(c.text.c_str(), &bus, &media, &other, &newest, c.mark);
        EXPECT_EQ(std::vector<double>({double(bus), double(media), double(other), newest}),
                  std::vector<double>({double(c.bus), double(c.media), double(c.other), c.newest}))
            << c.text.substr(0, 40);
    }
}

// The lines of a recorded kernel log stamped before stamp. In that log a
// virtio SCSI disk sdb logged three media lines at 26.08 s and SATA port ata3
// a link line at 4.28 s.
std::string recorded_log_until(double stamp) {
    std::istringstream all(test_data_file("kernel-log/read-errors-enodata.txt"));
    std::string out;
    for (std::string line; std::getline(all, line);)
        if (std::stod(line.substr(1)) < stamp) out += line + "\n";
    return out;
}

TEST_F(ProbeSnapshotTest, SecondSnapshotCountsNewKernelLogLinesAboutTheDisk) {
    struct Case {
        const char* name;
        const char* disk;
        const char* port;
        double first_until;  // the first snapshot read the log up to here; 0: it could not read it
        double run_start_s;  // on the kernel log's clock
        std::int64_t media, link;
    } cases[] = {
        {"media lines after the mark", "sdb", "", 20, 0, 3, 0},
        {"all before the mark", "sdb", "", 27, 0, 0, 0},
        {"a link line of the port", "sda", "ata3", 4, 0, 0, 1},
        {"no line about the disk", "sdq", "", 4, 0, 0, 0},
        {"no first reading: errors during the run", "sdb", "", 0, 20, 3, 0},
        {"no first reading: errors before the run are history", "sdb", "", 0, 27, 0, 0},
        {"no first reading: an old link line is history", "sda", "ata3", 0, 20, 0, 0},
    };
    for (const Case& c : cases) {
        set_disk(c.disk, c.port);
        g_probe.start_mono_ms = c.run_start_s * 1000.0;
        StrBuf first, second;
        sb_append_str(&first, c.first_until > 0 ? recorded_log_until(c.first_until).c_str() : "");
        sb_append_str(&second, recorded_log_until(1e9).c_str());
        probe_snapshot_klog(&g_probe.snap0, 0, &first);
        EXPECT_EQ(g_probe.snap0.klog_ok, c.first_until > 0 ? 1 : 0) << c.name;
        EXPECT_LT(g_probe.snap0.dmesg_mark, std::max(c.first_until, 0.1)) << c.name;
        probe_snapshot_klog(&g_probe.snap1, 1, &second);
        EXPECT_EQ(g_probe.snap1.dmesg_media, c.media) << c.name;
        EXPECT_EQ(g_probe.snap1.dmesg_link, c.link) << c.name;
        EXPECT_GT(g_probe.snap1.dmesg_mark, 30.0) << c.name;
    }
    for (const char* text : {"no stamps\nat all\n", "[    0.000000] boot\n"}) {
        StrBuf log;
        sb_append_str(&log, text);
        probe_snapshot_klog(&g_probe.snap0, 0, &log);
        EXPECT_EQ(g_probe.snap0.dmesg_mark, 0.0) << text;
    }
}

TEST_F(ProbeSnapshotTest, RealKernelLogLinesWrittenDuringTheRunAreCounted) {
    REQUIRE_KMSG();
    set_disk("sdkz", "ata97", 0);  // names no other test uses: the kernel log is shared
    ASSERT_TRUE(kmsg_write("sd 96:0:0:0: [sdkz] tag#3 Sense Key : Medium Error [current]"));
    probe_snapshot_take(&g_probe.snap0, 0, 0);
    ASSERT_EQ(g_probe.snap0.klog_ok, 1);
    ASSERT_TRUE(kmsg_write("ata97: hard resetting link"));
    ASSERT_TRUE(kmsg_write("critical medium error, dev sdkz, sector 4096 op 0x0:(READ)"));
    ASSERT_TRUE(kmsg_write("critical medium error, dev sdkzz, sector 8 op 0x0:(READ)"));
    probe_snapshot_take(&g_probe.snap1, 1, 0);
    EXPECT_EQ(g_probe.snap1.dmesg_media, 1) << "the line before the first snapshot is not new";
    EXPECT_EQ(g_probe.snap1.dmesg_link, 1);
}

// sda (under test), sdb and sdc on the AHCI controller 0000:00:02.0, sdd on a
// SAS HBA, nvme1n1 on a controller of its own.
class ProbeSiblingsTest : public ProbeSnapshotTest {
   protected:
    void SetUp() override {
        ProbeSnapshotTest::SetUp();
        const FakeDisk disks[] = {{.dev = "sda", .serial = "S-A"},
                                  {.dev = "sdb", .serial = "S-B"},
                                  {.dev = "sdc"},
                                  {.dev = "sdd", .bus = FakeBus::kSas, .serial = "S-D"},
                                  {.dev = "nvme1n1", .bus = FakeBus::kNvme, .serial = "S-N"}};
        for (const FakeDisk& d : disks) fake_disk_add(tree_, d);
        std::strcpy(g_probe.controller, "0000:00:02.0");
        g_probe.identified = 0;  // siblings only
    }
    static std::vector<std::string> found() {
        probe_find_siblings();
        std::vector<std::string> seen;
        for (int i = 0; i < g_probe.sibling_count; ++i) {
            const SiblingLink& s = g_probe.siblings[i];
            seen.push_back(std::string(s.dev) + "/" + s.serial + "/" + s.dtype);
        }
        std::sort(seen.begin(), seen.end());
        return seen;
    }
    static const SiblingLink& sibling(const char* dev) {
        for (int i = 0; i < g_probe.sibling_count; ++i)
            if (std::strcmp(g_probe.siblings[i].dev, dev) == 0) return g_probe.siblings[i];
        throw std::runtime_error(dev);
    }
};

TEST_F(ProbeSiblingsTest, FindsTheOtherDisksBehindTheSameController) {
    EXPECT_EQ(found(), (std::vector<std::string>{"sdb/S-B/sat", "sdc//sat"}));
    std::strcpy(g_probe.controller, "0000:00:05.0");
    EXPECT_EQ(found(), (std::vector<std::string>{"sdd/S-D/"})) << "a SAS disk has no ATA port";
    g_probe.is_nvme = 1;
    EXPECT_TRUE(found().empty()) << "NVMe disks have no siblings";
    g_probe.is_nvme = 0;
    std::strcpy(g_probe.controller, "0000:00:02.0");
    for (int i = 0; i < 64; ++i)
        fake_disk_add(
            tree_, {.dev = "sdx" + std::string{char('a' + i / 26), char('a' + i % 26)}, .host = 1});
    EXPECT_EQ(found().size(), static_cast<std::size_t>(kProbeSiblingMax));
}

TEST_F(ProbeSiblingsTest, ReadsTheCountersOfEachUsableSibling) {
    REQUIRE_SMARTCTL_PATH();
    const std::string base = sample("ata-ssd-samsung-860evo-xall-phy-devstats.json");
    // PHY counters 1 = 5, 8 = 100, 11 = 2, 9 = 3 (id 8 is in no class) and attribute 199 = 7.
    const std::string usable = json_set(
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
        {"usable", usable, 1, 7, 10},
        {"in standby", sample("ata-hdd-standby-nocheck-exit2.json"), 0, 0, 0},
        {"neither attribute 199 nor PHY counters", bare, 0, 0, 0},
        {"no reply", "", 0, 0, 0},
    };
    probe_find_siblings();
    for (const Case& c : cases) {
        FakeRun run;
        run.set_handler([&](const Argv& argv) {
            EXPECT_EQ(fake_smartctl_key(argv), kScSiblingCounters);
            return FakeReply{0, argv.back() == "/dev/sdb" ? c.reply : usable};
        });
        take_both(1);
        const SiblingLink& b = sibling("sdb");
        EXPECT_EQ((std::vector<std::int64_t>{b.ok0, b.ok1, b.crc1, b.phy1}),
                  (std::vector<std::int64_t>{c.ok, c.ok, c.crc, c.phy}))
            << c.name;
        EXPECT_EQ(sibling("sdc").ok1, 1) << c.name;
    }
    EXPECT_STRNE(sibling("sdc").serial, "") << "without an inventory serial it takes the reply's";

    FakeRun run;
    run.set_handler([&](const Argv&) {
        g_probe_stop = 1;  // the signal arrives while the first sibling is read
        return FakeReply{0, usable};
    });
    probe_snapshot_take(&g_probe.snap0, 0, 1);
    EXPECT_EQ(run.calls().size(), 1u);
    EXPECT_EQ(g_probe.siblings[0].ok0 + g_probe.siblings[1].ok0, 1) << "the other stays unread";
}

TEST_F(ProbeSnapshotTest, AttributeDeltasAndPhyCounters) {
    ProbeState& p = g_probe;
    struct Case {
        int taken, ok0, ok1, present0, present1;
        std::int64_t delta;
    } cases[] = {{1, 1, 1, 1, 1, -2}, {0, 1, 1, 1, 1, 0}, {1, 0, 1, 1, 1, 0},
                 {1, 1, 0, 1, 1, 0},  {1, 1, 1, 0, 1, 0}, {1, 1, 1, 1, 0, 0}};
    for (const Case& c : cases) {
        p.snap1_taken = c.taken;
        p.snap0.smart_ok = c.ok0;
        p.snap1.smart_ok = c.ok1;
        p.snap0.smart.attr_present[4] = c.present0;
        p.snap1.smart.attr_present[4] = c.present1;
        p.snap0.smart.attr_raw[4] = 8;  // attribute 198 from 8 to 6
        p.snap1.smart.attr_raw[4] = 6;
        EXPECT_EQ(probe_snap_attr_delta(4), c.delta)
            << c.taken << c.ok0 << c.ok1 << c.present0 << c.present1;
    }
    EXPECT_EQ(probe_snap_attr_delta(6), 0);

    std::string crc, err;
    for (std::uint32_t id = 0; id <= 16; ++id) {
        if (phy_event_is_crc(id)) crc += std::to_string(id) + " ";
        if (phy_event_is_phy_error(id)) err += std::to_string(id) + " ";
    }
    EXPECT_EQ(crc + "| " + err, "1 11 | 2 3 4 5 6 7 9 10 ");
    SmartSnapshot& s = p.snap0.smart;
    s.phy_count = 2;
    s.phy_id[0] = s.phy_id[1] = 10;
    s.phy_value[0] = 4;
    s.phy_value[1] = 9;
    int found = -1;
    EXPECT_EQ(smart_snap_phy_counter(&s, 10, &found) * 10 + found, 41) << "the first of that id";
    EXPECT_EQ(smart_snap_phy_counter(&s, 11, &found) * 10 + found, 0);

    for (const auto& [text, value] : std::vector<std::pair<const char*, double>>{{"6.0 Gbps", 6.0},
                                                                                 {"1.5", 1.5},
                                                                                 {"<unknown>", 0},
                                                                                 {" 3.0 Gbps", 0},
                                                                                 {"", 0},
                                                                                 {nullptr, 0}})
        EXPECT_DOUBLE_EQ(parse_leading_number(text), value) << (text ? text : "null");
}

}  // namespace
