// The probe state file: the document byte for byte, the time estimate, the
// throttled atomic save on a real folder, and the repair of a dead run's file.
#include "surface_test/probe_state_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/cli.h"
#include "core/paths.h"
#include "core/strbuf.h"
#include "core/util.h"
#include "surface_test/pace.h"
#include "surface_test/probe_run.h"
#include "surface_test/probe_state.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_nas.h"
#include "tests/support/sqlite_file.h"
#include "tests/support/temp_dir.h"

namespace {

std::string doc() {
    StrBuf sb;
    probe_state_to_json(&sb);
    return sb.c_str();
}

std::string snapshot_doc(const ProbeSnapshot& s, int which) {
    StrBuf sb;
    probe_snapshot_json(&sb, &s, which);
    return sb.c_str();
}

class ProbeStateFile : public ::testing::Test {
   protected:
    void SetUp() override {
        std::memset(static_cast<void*>(&g_probe), 0, sizeof g_probe);
        g_probe.sg_fd = g_probe.io_fd = -1;
        str_copy(g_var_dir, sizeof g_var_dir, dir_.path().c_str());
        str_copy(g_db_path, sizeof g_db_path, (dir_.path() + "/corvantis.db").c_str());
        probe_paths_init("ser-1");
        g_max_rate = 0;
    }
    // The arrays belong to each test; nothing of them may outlive it.
    void TearDown() override {
        g_probe.bad = nullptr;
        g_probe.codes = nullptr;
    }
    std::string state() const { return read_file(g_probe.state_path); }
    TempDir dir_;
};

// A run in the middle of its map, with a bit of everything.
void fill_running_map(std::vector<BadRange>* bad, char* codes) {
    ProbeState& p = g_probe;
    std::strcpy(p.serial_arg, "wd-1");
    std::strcpy(p.serial, "WD-1\"X");
    std::strcpy(p.wwn, "5000c500a1b2c3d4");
    std::strcpy(p.model, "WDC\tRED");
    std::strcpy(p.dev, "/dev/sdb");
    std::strcpy(p.kind, "ata");
    std::strcpy(p.mode, "full");
    std::strcpy(p.status, "running");
    p.phase = "verify";
    p.started_ts = 1800000000;
    p.updated_ts = 1800000050;
    p.eta_s = 77;
    p.capacity_bytes = 4096ull << 20;
    p.logical_block_size = 4096;
    std::strcpy(p.md_member, "md1");
    std::strcpy(p.md_all, "md9,md1");
    std::strcpy(p.controller, "0000:00:17.0");
    std::strcpy(p.ata_port, "ata3");
    std::strcpy(p.st_status, "failed");
    p.st_lba_valid = 1;
    p.st_lba_first_error = 1234;
    p.cells = 4;
    p.cell_bytes = 1 << 20;
    std::strcpy(p.method, "verify");
    p.done = 2;
    std::strcpy(codes, "aB..");
    p.codes = codes;
    p.verify_mib = 2.4;
    p.map_ms = 1000;
    p.verify_errors = 1;
    p.read_samples = 3;
    p.slow_cells = 1;
    bad->resize(2);
    (*bad)[0] = BadRange{8192, 4096, 1, 'B', 0, 1, 3, 3, 3, 3, 1, "media", 1};
    (*bad)[1] = BadRange{1 << 20, 1 << 20, 1, 'E', 1, 0, 0, 0, 0, 0, 0, nullptr, 0};
    p.bad = bad->data();
    p.bad_count = 2;
}

TEST_F(ProbeStateFile, DocumentHoldsEveryKeyInOrder) {
    FakeClock clock;
    std::vector<BadRange> bad;
    char codes[5];
    fill_running_map(&bad, codes);
    ProbeState& p = g_probe;
    g_max_rate = 50;
    const double now = clock.mono_ms();
    p.pace.map_start_ms = now - 2000;
    pace_meter_init(&p.pace.meter, now - 2000);
    pace_meter_add(&p.pace.meter, now - 100, 3.0);
    p.pace.peak_mibs = 99.94;
    p.pace.idle_ms = 1499;
    pace_ring_push(&p.pace.speed, 12.4f);
    pace_ring_push(&p.pace.speed, 12.6f);
    pace_ring_push(&p.pace.temp, -1000.0f);
    pace_ring_push(&p.pace.temp, 41.0f);
    ThermalRun& t = p.thermal;
    t.sensor = "smart";
    t.guard = ThermalGuard{55, 51, 50, 0.15, 0.1, 2, 0.58, 52, 53, 4, 1, 0, 3000, 1600, now};
    t.limit_src = kSrcTrip;
    t.wctemp_c = 70;
    t.nvme_first_taken = t.nvme_latest_valid = 1;
    t.nvme_first.tmt1_time_s = 0xFFFFFFF0u;  // wraps before the latest
    t.nvme_latest.tmt1_time_s = 0x10;
    t.nvme_first.tmt2_time_s = 5;
    t.nvme_latest.tmt2_time_s = 9;
    p.snap0.ts = 1800000001;
    p.sibling_count = 1;
    std::strcpy(p.siblings[0].dev, "sdc");

    const std::string expected =
        "{\"v\":1,\"serial\":\"WD-1\\\"X\",\"wwn\":\"5000c500a1b2c3d4\",\"model\":\"WDC\\tRED\","
        "\"dev\":\"/dev/sdb\",\"kind\":\"ata\",\"mode\":\"full\",\"pid\":" +
        std::to_string(::getpid()) +
        ",\"status\":\"running\",\"error\":\"\",\"phase\":\"verify\",\"started_ts\":1800000000,"
        "\"updated_ts\":1800000050,\"finished_ts\":0,\"eta_s\":77,\"capacity_bytes\":4294967296,"
        "\"logical_block_size\":4096,\"md_member\":\"md1\",\"md_all\":\"md9,md1\","
        "\"controller\":\"0000:00:17.0\",\"ata_port\":\"ata3\","
        "\"selftest\":{\"type\":\"short\",\"status\":\"failed\",\"remaining_pct\":0,"
        "\"lba_first_error\":1234},"
        "\"map\":{\"cells\":4,\"cell_bytes\":1048576,\"method\":\"verify\",\"done\":2,"
        "\"codes\":\"aB..\"},\"buckets_ms\":[10,25,50,150,500],"
        "\"stats\":{\"verify_mib\":2,\"verify_errors\":1,\"read_samples\":3,\"read_errors\":0,"
        "\"slow_cells\":1},"
        "\"speed\":{\"cur_mibs\":1.5,\"avg_mibs\":1.2,\"dev_mibs\":2.4,\"peak_mibs\":99.9,"
        "\"max_rate_mibs\":50,\"idle_s\":1,\"step_s\":2,\"hist\":[12,13]},"
        "\"thermal\":{\"sensor\":\"smart\",\"state\":\"slow\",\"temp_c\":52,\"max_c\":53,"
        "\"limit_c\":55,\"warm_c\":51,\"resume_c\":50,\"limit_src\":\"trip\",\"duty_pct\":58,"
        "\"pauses\":1,\"paused_s\":3,\"slowed_s\":2,\"wctemp_c\":70,\"drive_throttle_s\":36,"
        "\"hist\":[null,41]},"
        "\"bad\":[{\"lba\":16,\"kind\":\"media\",\"via\":\"verify\",\"repeat\":\"3/3\","
        "\"repeat_read\":\"1/3\",\"code\":\"B\",\"cell\":1,\"lba_exact\":true},"
        "{\"lba\":2048,\"kind\":\"other\",\"via\":\"read\",\"repeat\":\"0/0\",\"code\":\"E\","
        "\"cell\":1,\"lba_exact\":false}],"
        "\"snap0\":{\"ts\":1800000001,\"smart\":false},\"snap1\":{},"
        "\"deltas\":{\"a5\":0,\"a187\":0,\"a188\":0,\"a197\":0,\"a198\":0,\"a199\":0,\"phy\":{},"
        "\"xerror_icrc\":0,\"xerror_unc\":0,\"ering_bus\":0,\"ering_media\":0,\"spd_drop\":false,"
        "\"dmesg_link\":0,\"dmesg_media\":0,\"history\":{}},"
        "\"siblings\":[{\"dev\":\"sdc\",\"serial\":\"\",\"crc_delta\":null,\"phy_delta\":null}],"
        "\"verdict\":null}";
    EXPECT_EQ(doc(), expected);
}

TEST_F(ProbeStateFile, FinishedRunWithBothSnapshotsAndAVerdict) {
    ProbeState& p = g_probe;
    std::strcpy(p.serial_arg, "n1");
    std::strcpy(p.status, "done");
    p.phase = "verdict";
    p.is_nvme = 1;
    std::strcpy(p.st_status, "passed");
    SmartSnapshot& a = p.snap0.smart;
    a.attr_present[0] = a.attr_present[3] = a.attr_present[5] = 1;
    a.attr_raw[0] = 8;  // reallocated before the test
    a.attr_raw[3] = 0;
    a.attr_raw[5] = 2;
    a.phy_count = 2;
    a.phy_id[0] = 1;
    a.phy_value[0] = 5;
    a.phy_id[1] = 11;
    a.phy_value[1] = 7;
    a.errlog_present = 1;
    a.errlog_count = 4;
    a.errlog_max_number = 9;
    a.selftest_present = 1;
    std::strcpy(a.selftest_type, "Short offline");
    std::strcpy(a.selftest_status, "Completed: read failure");
    a.selftest_passed = 0;
    a.selftest_lba_present = 1;
    a.selftest_lba = 77;
    a.selftest_hours = 100;
    a.nvme_health_present = 1;
    a.nvme_media_errors = 3;
    a.power_on_hours = 12;
    p.snap0.ts = 10;
    p.snap0.smart_ok = 1;
    std::strcpy(p.snap0.sata_spd, "6.0 Gbps");
    p.snap0.sata_gbps = 6.0;
    p.snap1 = p.snap0;
    p.snap1.ts = 20;
    SmartSnapshot& b = p.snap1.smart;
    b.attr_raw[5] = 5;
    b.phy_count = 3;
    b.phy_id[0] = 11;  // in another order, and one snap0 lacks
    b.phy_value[0] = 7;
    b.phy_id[1] = 9;
    b.phy_value[1] = 1;
    b.phy_id[2] = 1;
    b.phy_value[2] = 6;
    b.errlog_icrc_newer = 2;
    b.nvme_media_errors = 4;
    std::strcpy(p.snap1.sata_spd, "3.0 Gbps");
    p.snap1.sata_gbps = 3.0;
    p.snap1.ering_ok = 1;
    p.snap1.ering_bus = 1;
    p.snap1.klog_ok = 1;
    p.snap1.dmesg_mark = 12.5;
    p.snap1.dmesg_link = 2;
    p.snap1_taken = 1;
    p.sibling_count = 1;
    p.siblings[0] = SiblingLink{"sdc", "S2", "sat", 1, 1, 4, 6, 10, 9};
    p.has_verdict = 1;
    p.verdict.code = "bad";
    p.verdict.count = 2;
    p.verdict.reasons[0] = {"media_grew", 1};
    p.verdict.reasons[1] = {"nvme_no_link_analysis", 0};

    EXPECT_EQ(snapshot_doc(p.snap0, 0),
              "{\"ts\":10,\"smart\":true,\"a5\":8,\"a197\":0,\"a199\":2,"
              "\"phy\":{\"0x0001\":5,\"0x000b\":7},\"xerror_count\":4,\"xerror_icrc\":0,"
              "\"xerror_unc\":0,\"xerror_newest\":9,\"selftest_newest\":{\"type\":\"Short "
              "offline\",\"status\":\"Completed: read failure\",\"passed\":false,\"hours\":100,"
              "\"lba\":77},\"nvme\":{\"media_errors\":3,\"err_log_entries\":0,"
              "\"critical_warning\":0},\"power_on_hours\":12,\"sata_spd\":\"6.0 Gbps\"}");
    const std::string d = doc();
    const auto tail = [&](const char* key) { return d.substr(d.find(key)); };
    EXPECT_NE(d.find("\"sata_spd\":\"3.0 Gbps\",\"ering\":{\"bus\":1,\"media\":0,\"other\":0},"
                     "\"dmesg_mark\":12.500000,\"dmesg\":{\"link\":2,\"media\":0}}"),
              std::string::npos)
        << d;
    EXPECT_EQ(
        tail(",\"deltas\":"),
        ",\"deltas\":{\"a5\":0,\"a187\":0,\"a188\":0,\"a197\":0,\"a198\":0,\"a199\":3,"
        "\"phy\":{\"0x000b\":0,\"0x0001\":1},\"xerror_icrc\":2,\"xerror_unc\":0,"
        "\"ering_bus\":1,\"ering_media\":0,\"spd_drop\":true,\"dmesg_link\":2,"
        "\"dmesg_media\":0,\"nvme_media_errors\":1,\"history\":{\"a5\":8,\"media_errors\":3}},"
        "\"siblings\":[{\"dev\":\"sdc\",\"serial\":\"S2\",\"crc_delta\":2,\"phy_delta\":-1}],"
        "\"verdict\":{\"code\":\"bad\",\"reasons\":[{\"key\":\"media_grew\",\"n\":1},"
        "{\"key\":\"nvme_no_link_analysis\",\"n\":0}]}}");
}

TEST_F(ProbeStateFile, ThermalStatesAndRangeListBounds) {
    ProbeState& p = g_probe;
    std::strcpy(p.status, "running");
    p.thermal.limit_src = kSrcOff;
    EXPECT_NE(doc().find("\"state\":\"off\",\"temp_c\":null,\"max_c\":null,\"limit_c\":0,"
                         "\"warm_c\":0,\"resume_c\":0,\"limit_src\":\"off\""),
              std::string::npos);
    p.thermal.limit_src = kSrcDefault;
    p.thermal.guard.warm = 50;
    EXPECT_NE(doc().find("\"state\":\"none\",\"temp_c\":null,\"max_c\":null,\"limit_c\":0,"
                         "\"warm_c\":0"),
              std::string::npos);
    p.thermal.guard.limit = 60;
    p.thermal.guard.state = kThermPause;
    p.thermal.limit_src = 17;
    EXPECT_NE(doc().find("\"state\":\"pause\""), std::string::npos);
    EXPECT_NE(doc().find("\"limit_src\":\"default\""), std::string::npos);

    std::vector<BadRange> bad(300);
    for (int i = 0; i < 300; ++i)
        bad[i] = BadRange{
            static_cast<std::uint64_t>(i) * 512, 512, 0, 'L', 0, 0, 0, 0, 0, 0, 0, nullptr, 0};
    p.bad = bad.data();
    p.bad_count = 300;
    p.logical_block_size = 512;
    const std::string d = doc();
    EXPECT_NE(d.find("{\"lba\":255,"), std::string::npos);
    EXPECT_EQ(d.find("{\"lba\":256,"), std::string::npos) << "the list is cut at 256";
    EXPECT_NE(d.find("\"kind\":\"link\",\"via\":\"verify\",\"repeat\":\"0/0\",\"code\":\"L\""),
              std::string::npos);
}

TEST_F(ProbeStateFile, SnapshotWithoutSmartData) {
    ProbeSnapshot s{};
    EXPECT_EQ(snapshot_doc(s, 1), "{}");
    s.ts = 5;
    s.smart.attr_present[0] = 1;  // not written without smart_ok
    EXPECT_EQ(snapshot_doc(s, 0), "{\"ts\":5,\"smart\":false}");
    std::strcpy(s.sata_spd, "1.5 Gbps");
    s.ering_ok = 1;
    s.klog_ok = 1;
    s.dmesg_mark = 3;
    EXPECT_EQ(snapshot_doc(s, 0),
              "{\"ts\":5,\"smart\":false,\"sata_spd\":\"1.5 Gbps\",\"ering\":{\"bus\":0,"
              "\"media\":0,\"other\":0},\"dmesg_mark\":3.000000}");
    EXPECT_NE(
        snapshot_doc(s, 1).find("\"dmesg_mark\":3.000000,\"dmesg\":{\"link\":0,\"media\":0}}"),
        std::string::npos);
}

TEST_F(ProbeStateFile, TimeEstimate) {
    FakeClock clock;
    ProbeState& p = g_probe;
    const struct {
        const char* name;
        const char* mode;
        const char* phase;
        int identified, rotational;
        std::uint64_t capacity;
        std::uint32_t done;
        const char* st_status;
        int remaining;
        std::int64_t eta;
    } cases[] = {
        {"full rotational at identify", "full", "identify", 1, 1, 4000000000000ull, 0, "", 0,
         26816},
        {"quick ssd at snapshot0", "quick", "snapshot0", 1, 0, 0, 0, "", 0, 170},
        {"quick hdd queued", "quick", "queued", 0, 1, 0, 0, "", 0, 30},
        {"map under way", "full", "verify", 1, 0, 0, 100, "", 0, 2148},
        {"map not started", "quick", "verify", 0, 1, 0, 0, "", 0, 120},
        {"self-test running", "quick", "selftest", 1, 0, 0, 0, "running", 40, 78},
        {"self-test done", "quick", "selftest", 1, 0, 0, 0, "passed", 40, 30},
        {"read", "quick", "read", 1, 0, 0, 0, "", 0, 150},
        {"snapshot1 unidentified", "quick", "snapshot1", 0, 0, 0, 0, "", 0, 30},
        {"no phase", "quick", nullptr, 1, 0, 0, 0, "", 0, 150},
    };
    for (const auto& c : cases) {
        std::strcpy(p.status, "running");
        std::strcpy(p.mode, c.mode);
        p.phase = c.phase;
        p.identified = c.identified;
        p.rotational = c.rotational;
        p.capacity_bytes = c.capacity;
        p.cells = 4096;
        p.done = c.done;
        p.pace.map_start_ms = clock.mono_ms() - 50000;
        std::strcpy(p.st_status, c.st_status);
        p.st_remaining_pct = c.remaining;
        p.last_save_ms = 0;
        probe_state_save(0);
        EXPECT_EQ(p.eta_s, c.eta) << c.name;
    }
    std::strcpy(p.status, "stopped");
    p.last_save_ms = 0;
    probe_state_save(0);
    EXPECT_EQ(p.eta_s, 0);
}

// Each write replaces the file by a rename, so every write gives it a new inode.
ino_t inode_of(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 ? st.st_ino : 0;
}

TEST_F(ProbeStateFile, SavesAtMostOnceASecondUnlessForced) {
    FakeClock clock;
    std::strcpy(g_probe.status, "running");
    probe_state_save(0);
    const ino_t first = inode_of(g_probe.state_path);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(g_probe.updated_ts, clock.now());
    clock.advance_ms(400);
    probe_state_save(0);
    EXPECT_EQ(inode_of(g_probe.state_path), first) << "400 ms later: skipped";
    clock.advance_ms(599);
    probe_state_save(0);
    EXPECT_EQ(inode_of(g_probe.state_path), first) << "999 ms later: skipped";
    clock.advance_ms(1);
    probe_state_save(0);
    const ino_t second = inode_of(g_probe.state_path);
    EXPECT_NE(second, first) << "1000 ms later: written";
    probe_state_save(1);
    const ino_t third = inode_of(g_probe.state_path);
    EXPECT_NE(third, second) << "forced";
    g_probe.last_save_ms = 0;
    probe_state_save(0);
    EXPECT_NE(inode_of(g_probe.state_path), third) << "after the last save time was cleared";
    EXPECT_EQ(state(), doc());
    EXPECT_EQ(::access((std::string(g_probe.state_path) + ".tmp").c_str(), F_OK), -1);
}

TEST_F(ProbeStateFile, FailedWritesKeepThePreviousFile) {
    ASSERT_EQ(probe_state_write_atomic("{\"old\":1}", 9, 0), 0);
    const std::string tmp = std::string(g_probe.state_path) + ".tmp";
    // The temporary name taken by a folder: the file cannot be created.
    ::mkdir(tmp.c_str(), 0755);
    errno = 0;
    EXPECT_EQ(probe_state_write_atomic("{\"new\":1}", 9, 1), -1);
    EXPECT_EQ(errno, EISDIR);
    ::rmdir(tmp.c_str());
    testing::internal::CaptureStderr();
    std::strcpy(g_probe.status, "running");
    ::mkdir(tmp.c_str(), 0755);
    probe_state_save(1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(std::string("probe: cannot write ") +
                                                          g_probe.state_path + ": Is a directory"),
              std::string::npos);
    ::rmdir(tmp.c_str());
    EXPECT_EQ(state(), "{\"old\":1}");

    // The state path taken by a folder that is not empty: the rename fails
    // and the temporary file goes again.
    const std::string path = g_probe.state_path;
    ::unlink(path.c_str());
    make_dirs(path + "/x");
    EXPECT_EQ(probe_state_write_atomic("{}", 2, 0), -1);
    EXPECT_EQ(::access(tmp.c_str(), F_OK), -1);
}

TEST_F(ProbeStateFile, MarkFailedRewritesOnlyTheTopLevelStatusAndError) {
    const struct {
        const char* name;
        const char* in;
        const char* out;  // nullptr: not rewritten
    } cases[] = {
        {"running with an empty error",
         "{\"v\":1,\"pid\":7,\"status\":\"running\",\"error\":\"\",\"phase\":\"verify\"}",
         "{\"v\":1,\"pid\":7,\"status\":\"failed\",\"error\":\"gone "
         "\\\"x\\\"\",\"phase\":\"verify\"}"},
        {"error before status, error not a string",
         "{\"error\":null, \"status\" : \"running\" ,\"x\":{\"status\":\"running\"}}",
         "{\"error\":\"gone \\\"x\\\"\", \"status\" : \"failed\" ,\"x\":{\"status\":\"running\"}}"},
        {"no error key", "{\"status\":\"running\"}", "{\"status\":\"failed\"}"},
        {"error is an object", "{\"status\":\"running\",\"error\":{\"a\":[1]},\"z\":0}",
         "{\"status\":\"failed\",\"error\":\"gone \\\"x\\\"\",\"z\":0}"},
        {"done", "{\"status\":\"done\",\"error\":\"\"}", nullptr},
        {"stopped", "{\"status\":\"stopped\"}", nullptr},
        {"status in other case", "{\"status\":\"Running\"}", nullptr},
        {"status not a string", "{\"status\":1}", nullptr},
        {"only a nested status", "{\"a\":{\"status\":\"running\"}}", nullptr},
        {"no object", "[\"running\"]", nullptr},
        {"truncated", "{\"status\":\"running\",\"er", nullptr},
        {"not json", "status=running", nullptr},
        {"empty", "", nullptr},
    };
    for (const auto& c : cases) {
        StrBuf out;
        sb_append_str(&out, "pre:");
        const int r = probe_state_mark_failed(c.in, std::strlen(c.in), "gone \"x\"", &out);
        EXPECT_EQ(r, c.out ? 1 : 0) << c.name;
        EXPECT_EQ(std::string(out.c_str()), std::string("pre:") + (c.out ? c.out : "")) << c.name;
    }
}

TEST_F(ProbeStateFile, ReaperFixesOnlyARunningFileAndRecordsIt) {
    FakeClock clock;
    const std::string db = g_db_path;
    const std::string running =
        "{\"v\":1,\"serial\":\"X\",\"wwn\":\"5000cca0\",\"mode\":\"Full\",\"pid\":4,"
        "\"status\":\"running\",\"error\":\"\",\"started_ts\":0,\"updated_ts\":9}";
    write_file(g_probe.state_path, running);
    EXPECT_EQ(probe_reap_stale("ser-1"), 1);
    const std::string fixed =
        "{\"v\":1,\"serial\":\"X\",\"wwn\":\"5000cca0\",\"mode\":\"Full\",\"pid\":4,"
        "\"status\":\"failed\",\"error\":\"process ended without finishing\",\"started_ts\":0,"
        "\"updated_ts\":9}";
    EXPECT_EQ(state(), fixed);
    const std::string now = std::to_string(clock.now());
    EXPECT_EQ(
        sql_rows(db, "SELECT serial,wwn,mode,status,verdict,started_ts,finished_ts FROM probes"),
        std::vector<std::string>{"ser-1|5000cca0|quick|failed|NULL|" + now + "|" + now});
    EXPECT_EQ(sql_value(db, "SELECT result_json FROM probes"), fixed);
    EXPECT_EQ(probe_reap_stale("ser-1"), 0) << "already failed";

    write_file(g_probe.state_path,
               "{\"mode\":\"full\",\"status\":\"running\",\"started_ts\":123,\"wwn\":7}");
    EXPECT_EQ(probe_reap_stale("ser-1"), 1);
    EXPECT_EQ(sql_rows(db, "SELECT mode, started_ts, wwn FROM probes WHERE probe_id=2"),
              std::vector<std::string>{"full|123|NULL"});

    // Nothing to repair: each file stays as it was and nothing is recorded.
    const std::string huge =
        "{\"status\":\"running\",\"pad\":\"" + std::string(4194304, 'x') + "\"}";
    for (const std::string& content :
         {std::string("{\"status\":\"running\""), std::string("not json"), std::string(""), huge}) {
        write_file(g_probe.state_path, content);
        EXPECT_EQ(probe_reap_stale("ser-1"), 0) << content.substr(0, 30);
        EXPECT_EQ(state(), content);
    }
    ::unlink(g_probe.state_path);
    EXPECT_EQ(probe_reap_stale("ser-1"), 0);
    EXPECT_EQ(sql_value(db, "SELECT count(*) FROM probes"), "2");
}

}  // namespace
