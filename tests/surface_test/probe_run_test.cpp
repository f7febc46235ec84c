// The probe run in process, through the seams: a fake sysfs, /dev, /mnt and
// NAS configuration under g_probe_root, recorded smartctl answers (FakeRun),
// the fake clock for every wait, and real reads of image files or loop devices.
#include "surface_test/probe_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/cli.h"
#include "core/json.h"
#include "core/paths.h"
#include "core/run.h"
#include "core/strbuf.h"
#include "core/unique_fd.h"
#include "core/util.h"
#include "surface_test/probe_state.h"
#include "surface_test/verdict.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_disk.h"
#include "tests/support/fake_nas.h"
#include "tests/support/fake_run.h"
#include "tests/support/sqlite_file.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

struct RunOut {
    int code = -1;
    std::string out;  // standard output: the one JSON line
    std::string log;  // standard error
};

// What the fake smartctl answers, by command.
struct SmartctlScript {
    std::function<FakeReply(const std::vector<std::string>&)> identify, snapshot, temperature,
        sibling, selftest_start, selftest_progress, selftest_abort;
};

bool has(const std::vector<std::string>& argv, const char* word) {
    for (const std::string& a : argv)
        if (a == word) return true;
    return false;
}

FakeReply no_answer(const std::vector<std::string>&) {
    return FakeReply{127, ""};
}

// A smartctl identify reply for serial over protocol.
FakeReply identify_reply(const std::string& serial, const std::string& protocol,
                         int exit_status = 0) {
    return FakeReply{0, "{\"smartctl\":{\"exit_status\":" + std::to_string(exit_status) +
                            "},\"device\":{\"protocol\":\"" + protocol +
                            "\"},\"serial_number\":\"" + serial +
                            "\",\"model_name\":\"Smart Model\"}"};
}

class ProbeRun : public ::testing::Test {
   protected:
    void SetUp() override {
        REQUIRE_SMARTCTL_PATH();
        g_probe_root = root_.path().c_str();
        make_dirs(data_.path() + "/var");
        str_copy(g_var_dir, sizeof g_var_dir, (data_.path() + "/var").c_str());
        str_copy(g_db_path, sizeof g_db_path, (data_.path() + "/var/corvantis.db").c_str());
        disks_ = fake_disk_root(root_.path());
        make_dirs(root_.path() + "/dev");
        make_dirs(disks_.sys_block);
        g_temp_limit = -1;
        g_max_rate = 0;
        run_.set_handler([this](const std::vector<std::string>& argv) { return answer(argv); });
    }
    void TearDown() override {
        g_probe_root = "";
        g_temp_limit = -1;
        g_max_rate = 0;
        g_probe_stop = 0;
    }

    FakeReply answer(const std::vector<std::string>& argv) {
        auto pick = [&](const auto& fn) { return fn ? fn(argv) : no_answer(argv); };
        if (has(argv, "-i")) return pick(smartctl_.identify);
        if (has(argv, "-x")) return pick(smartctl_.snapshot);
        if (has(argv, "sataphy")) return pick(smartctl_.sibling);
        if (has(argv, "-A")) return pick(smartctl_.temperature);
        if (has(argv, "-t")) return pick(smartctl_.selftest_start);
        if (has(argv, "-X")) return pick(smartctl_.selftest_abort);
        if (has(argv, "selftest")) return pick(smartctl_.selftest_progress);
        return no_answer(argv);
    }

    // A disk of bytes (an image file of its own, sparse) at /dev/<dev>.
    void add_disk(FakeDisk d, std::uint64_t bytes) {
        if (d.sectors == 0) d.sectors = bytes / 512;
        fake_disk_add(disks_, d);
        const std::string image = data_.path() + "/" + d.dev + ".img";
        write_file(image, "");
        ASSERT_EQ(::truncate(image.c_str(), static_cast<off_t>(bytes)), 0);
        link_dev(d.dev, image);
    }
    void link_dev(const std::string& dev, const std::string& target) {
        const std::string path = root_.path() + "/dev/" + dev;
        ::unlink(path.c_str());
        ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    }

    RunOut run(const char* serial, const char* mode = "quick") {
        RunOut r;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        r.code = probe_run(serial, mode);
        r.out = testing::internal::GetCapturedStdout();
        r.log = testing::internal::GetCapturedStderr();
        return r;
    }

    std::string probe_dir() const { return std::string(g_var_dir) + "/probe"; }
    std::string state(const std::string& serial) const {
        return read_file(probe_dir() + "/" + serial + ".json");
    }
    // One top-level value of a state file, as its raw JSON text.
    static std::string value(const std::string& doc, const char* path) {
        int n = 0;
        JsonTokens t(json_parse(doc.data(), doc.size(), &n));
        if (!t) return "(no json)";
        const int k = json_path_get(doc.data(), t.get(), 0, path);
        if (k < 0) return "(missing)";
        return doc.substr(t[k].start, t[k].end - t[k].start);
    }
    std::string db() const { return g_db_path; }

    TempDir root_;
    TempDir data_;
    FakeDiskRoot disks_;
    FakeRun run_;
    SmartctlScript smartctl_;
};

TEST_F(ProbeRun, ArgumentsAreCheckedBeforeAnythingIsCreated) {
    const std::string s79(79, 'A');
    const std::string s80(80, 'A');
    const struct {
        const char* serial;
        const char* mode;
        const char* reply;
    } cases[] = {
        {nullptr, "quick", "{\"ok\":false,\"error\":\"bad_serial\"}\n"},
        {"", "quick", "{\"ok\":false,\"error\":\"bad_serial\"}\n"},
        {"../etc", "quick", "{\"ok\":false,\"error\":\"bad_serial\"}\n"},
        {".hidden", "quick", "{\"ok\":false,\"error\":\"bad_serial\"}\n"},
        {"a b", "quick", "{\"ok\":false,\"error\":\"bad_serial\"}\n"},
        {"s\xc3\xa9rial", "quick", "{\"ok\":false,\"error\":\"bad_serial\"}\n"},
        {s80.c_str(), "quick", "{\"ok\":false,\"error\":\"bad_serial\"}\n"},
        {"x/y", "Full", "{\"ok\":false,\"error\":\"bad_serial\"}\n"},
        {s79.c_str(), "Full", "{\"ok\":false,\"error\":\"bad_mode\"}\n"},
        {"S1", "", "{\"ok\":false,\"error\":\"bad_mode\"}\n"},
        {"S1", "slow", "{\"ok\":false,\"error\":\"bad_mode\"}\n"},
        {"S1", "quick ", "{\"ok\":false,\"error\":\"bad_mode\"}\n"},
    };
    for (const auto& c : cases) {
        const RunOut r = run(c.serial, c.mode);
        EXPECT_EQ(r.code, 2) << (c.serial ? c.serial : "(null)") << " " << c.mode;
        EXPECT_EQ(r.out, c.reply) << (c.serial ? c.serial : "(null)") << " " << c.mode;
    }
    EXPECT_EQ(::access(probe_dir().c_str(), F_OK), -1) << "no folder, lock or state file";
}

TEST_F(ProbeRun, SecondRunOfTheSameDiskIsRefused) {
    probe_paths_init("S1");
    UniqueFd held(::open((probe_dir() + "/S1.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(::flock(held.get(), LOCK_EX | LOCK_NB), 0);
    const RunOut r = run("S1", "full");
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.out, "{\"ok\":false,\"refused\":\"running\"}\n");
    EXPECT_EQ(::access((probe_dir() + "/S1.json").c_str(), F_OK), -1);
}

TEST_F(ProbeRun, UnusableLockFileIsAFailure) {
    write_file(probe_dir(), "not a folder");
    const RunOut r = run("S1");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"lock\"}\n");
}

// The -d types of the identify calls of a run, in order ("" for none).
std::vector<std::string> identify_types(const FakeRun& run) {
    std::vector<std::string> types;
    for (const auto& argv : run.calls()) {
        if (!has(argv, "-i")) continue;
        std::string t;
        for (size_t i = 0; i + 1 < argv.size(); ++i)
            if (argv[i] == "-d") t = argv[i + 1];
        types.push_back(t + (has(argv, "standby") ? "/standby" : ""));
    }
    return types;
}

TEST_F(ProbeRun, QuickRunOfAnInventoryDiskFoundIgnoringCase) {
    FakeClock clock;
    add_disk(
        FakeDisk{
            .dev = "sdb", .serial = "WD-ABC", .model = " WDC RED ", .wwid = "naa.5000C500A1B2C3D4"},
        64 * kMiB + kMiB / 2);
    const RunOut r = run("wd-abc");
    EXPECT_EQ(r.code, 0) << r.log;
    EXPECT_EQ(r.out, "{\"ok\":true,\"status\":\"done\",\"verdict\":\"good\",\"probe_id\":1}\n");
    EXPECT_NE(r.log.find("probe: serial wd-abc mode quick pid " + std::to_string(::getpid())),
              std::string::npos);
    EXPECT_NE(r.log.find("probe: /dev/sdb kind ata dtype '' capacity 67633152 lbs 512 controller "
                         "0000:00:02.0 ata2"),
              std::string::npos)
        << r.log;
    EXPECT_NE(r.log.find("probe: wd-abc done verdict good (probe_id 1)"), std::string::npos);

    const std::string s = state("wd-abc");
    EXPECT_EQ(value(s, "serial"), "WD-ABC");
    EXPECT_EQ(value(s, "model"), "WDC RED");
    EXPECT_EQ(value(s, "wwn"), "5000c500a1b2c3d4");
    EXPECT_EQ(value(s, "status"), "done");
    EXPECT_EQ(value(s, "phase"), "verdict");
    EXPECT_EQ(value(s, "finished_ts"), std::to_string(clock.now()));
    EXPECT_EQ(value(s, "eta_s"), "0");
    EXPECT_EQ(value(s, "map.cells"), "64");
    EXPECT_EQ(value(s, "map.done"), "64");
    EXPECT_EQ(value(s, "map.method"), "read");
    EXPECT_EQ(value(s, "stats.read_samples"), "128");
    EXPECT_EQ(value(s, "selftest.status"), "unsupported");
    EXPECT_EQ(value(s, "verdict"),
              "{\"code\":\"good\",\"reasons\":[{\"key\":\"clean\",\"n\":0},"
              "{\"key\":\"verify_unsupported\",\"n\":1}]}");
    EXPECT_EQ(sql_rows(db(),
                       "SELECT probe_id, serial, wwn, mode, status, verdict, started_ts, "
                       "finished_ts - started_ts FROM probes"),
              std::vector<std::string>{"1|WD-ABC|5000c500a1b2c3d4|quick|done|good|" +
                                       std::to_string(1800000000) + "|0"});
    EXPECT_EQ(sql_value(db(), "SELECT result_json FROM probes"), s);
    EXPECT_EQ(sql_value(db(), "SELECT type FROM events"), "probe_done");
}

TEST_F(ProbeRun, DiskMissingFromTheInventoryIsFoundByVpdPageOrSmartctl) {
    FakeClock clock;
    std::string vpd("\x00\x80\x00\x0c", 4);
    vpd += "  VPD-SER-1 \n";
    add_disk(FakeDisk{.dev = "sdc", .attrs = {{"device/vpd_pg80", vpd}}}, 2 * kMiB);
    add_disk(FakeDisk{.dev = "sdd", .bus = FakeBus::kSas}, 2 * kMiB);
    add_disk(FakeDisk{.dev = "sde", .bus = FakeBus::kSas}, 2 * kMiB);
    smartctl_.identify = [](const std::vector<std::string>& argv) {
        if (argv.back() == "/dev/sde" && has(argv, "sat"))
            return identify_reply("SMART-SER", "ATA");
        return identify_reply("OTHER", "SCSI");
    };

    RunOut r = run("vpd-ser-1");
    EXPECT_EQ(r.code, 0) << r.out << r.log;
    EXPECT_EQ(value(state("vpd-ser-1"), "serial"), "VPD-SER-1");
    EXPECT_EQ(value(state("vpd-ser-1"), "dev"), "/dev/sdc");
    // The VPD page named it: smartctl never had to wake sdc.
    for (const auto& argv : run_.calls())
        EXPECT_FALSE(has(argv, "standby") && argv.back() == "/dev/sdc");

    r = run("smart-ser");
    EXPECT_EQ(r.code, 0) << r.out << r.log;
    const std::string s = state("smart-ser");
    EXPECT_EQ(value(s, "serial"), "SMART-SER");
    EXPECT_EQ(value(s, "dev"), "/dev/sde");
    EXPECT_EQ(value(s, "model"), "Smart Model") << "the smartctl answer's model";

    // sdc's VPD page does not match, sdd answers with another serial, sde
    // answers the standby identify with "sat".
    std::vector<std::string> expected = {"/standby", "sat/standby", "scsi/standby"};
    std::vector<std::string> seen = identify_types(run_);
    EXPECT_NE(std::search(seen.begin(), seen.end(), expected.begin(), expected.end()), seen.end());

    r = run("NOWHERE");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "{\"ok\":false,\"status\":\"failed\",\"verdict\":null,\"probe_id\":3}\n");
    const std::string f = state("NOWHERE");
    EXPECT_EQ(value(f, "error"), "serial_not_found");
    EXPECT_EQ(value(f, "phase"), "identify");
    EXPECT_EQ(value(f, "dev"), "") << "no candidate's identity is left behind";
    EXPECT_EQ(sql_value(db(), "SELECT status FROM probes WHERE probe_id=3"), "failed");
}

TEST_F(ProbeRun, IdentifyCandidatesFollowThePortAndTheRememberedType) {
    FakeClock clock;
    add_disk(FakeDisk{.dev = "sdb", .serial = "ATA-1"}, 2 * kMiB);
    add_disk(FakeDisk{.dev = "sdc", .bus = FakeBus::kSas, .serial = "SAS-1"}, 2 * kMiB);
    sql_exec(db(),
             "CREATE TABLE disks(disk_id INTEGER PRIMARY KEY, serial TEXT, wwn TEXT, "
             "smart_dtype TEXT, last_seen_ts INTEGER);"
             "INSERT INTO disks VALUES(1,'ATA-1',NULL,'sat',5),(2,'SAS-1',NULL,'old',1),"
             "(3,'SAS-1',NULL,'scsi',9);");
    const struct {
        const char* name;
        const char* serial;
        std::function<FakeReply(const std::vector<std::string>&)> identify;
        std::vector<std::string> types;
        const char* dtype;
        const char* kind;
    } cases[] = {
        {"ata port, nothing answers", "ATA-1", nullptr, {"sat", ""}, "", "ata"},
        {"ata port, automatic answers as SCSI",
         "ATA-1",
         [](const std::vector<std::string>& a) {
             return has(a, "-d") ? FakeReply{127, ""} : identify_reply("ATA-1", "SCSI");
         },
         {"sat", ""},
         "",
         "ata"},
        {"ata port, automatic answers as ATA",
         "ATA-1",
         [](const std::vector<std::string>& a) {
             return has(a, "-d") ? FakeReply{127, ""} : identify_reply("ATA-1", "ata");
         },
         {"sat", ""},
         "",
         "ata"},
        {"no port, remembered type first",
         "SAS-1",
         nullptr,
         {"scsi", "", "sat", "scsi"},
         "",
         "scsi"},
        {"no port, sat answers",
         "SAS-1",
         [](const std::vector<std::string>& a) {
             return has(a, "sat") ? identify_reply("X", "ATA") : FakeReply{127, ""};
         },
         {"scsi", "", "sat"},
         "sat",
         "sat"},
        {"a failed drive command still identifies",
         "SAS-1",
         [](const std::vector<std::string>&) { return identify_reply("X", "SCSI", 4); },
         {"scsi"},
         "scsi",
         "scsi"},
        {"standby answer does not",
         "SAS-1",
         [](const std::vector<std::string>&) { return identify_reply("X", "ATA", 2); },
         {"scsi", "", "sat", "scsi"},
         "",
         "scsi"},
        {"garbage and a killed smartctl",
         "SAS-1",
         [](const std::vector<std::string>& a) {
             return has(a, "sat") ? FakeReply{-1, "{\"serial_number\":\"X\",\"dev"}
                                  : FakeReply{0, "\x01\x02 not json"};
         },
         {"scsi", "", "sat", "scsi"},
         "",
         "scsi"},
    };
    for (const auto& c : cases) {
        smartctl_.identify = c.identify;
        const size_t before = run_.calls().size();
        const RunOut r = run(c.serial);
        EXPECT_EQ(r.code, 0) << c.name << r.log;
        std::vector<std::string> types;
        for (size_t i = before; i < run_.calls().size(); ++i) {
            const auto& argv = run_.calls()[i];
            if (!has(argv, "-i")) continue;
            std::string t;
            for (size_t k = 0; k + 1 < argv.size(); ++k)
                if (argv[k] == "-d") t = argv[k + 1];
            types.push_back(t);
        }
        EXPECT_EQ(types, c.types) << c.name;
        const std::string s = state(c.serial);
        EXPECT_EQ(value(s, "kind"), c.kind) << c.name;
        EXPECT_NE(r.log.find(std::string("dtype '") + c.dtype + "'"), std::string::npos) << c.name;
    }
}

TEST_F(ProbeRun, WwnAsTheNasConfigurationWritesIt) {
    FakeClock clock;
    const struct {
        const char* name;
        const char* wwid;  // sysfs device/wwid
        const char* conf;  // nullptr: no configuration file
        bool smartctl_wwn;
        const char* wwn;
    } cases[] = {
        {"no configuration: sysfs, stripped and lower-cased", "naa.5000C500A1B2C3D4  ", nullptr,
         false, "5000c500a1b2c3d4"},
        {"configuration entry matching the sysfs WWID", "naa.5000C500A1B2C3D4",
         "[Disk]\npd_dev_wwn_5000cca0 = 2\n pd_dev_wwn_0x5000C500A1B2C3D4 = 3\n", false,
         "0x5000C500A1B2C3D4"},
        {"configuration entry named by the serial", "", "pd_dev_wwn_S-1 = 4\n", false, "S-1"},
        {"configuration entry matching smartctl's WWN", "",
         "pd_dev_wwn_=1\npd_dev_wwn_NAA.5000C500AABBCCDD = 5\n", true, "NAA.5000C500AABBCCDD"},
        {"no match: smartctl's WWN stays", "", "pd_dev_wwn_5000cca0 = 2\n", true,
         "5000c500aabbccdd"},
        {"nothing at all", "", "", false, ""},
    };
    for (const auto& c : cases) {
        ::unlink((root_.path() + "/mnt/HDA_ROOT/.conf").c_str());
        if (c.conf) write_file(root_.path() + "/mnt/HDA_ROOT/.conf", c.conf);
        add_disk(FakeDisk{.dev = "sdb", .serial = "S-1", .wwid = c.wwid}, 2 * kMiB);
        smartctl_.identify = [&c](const std::vector<std::string>&) {
            FakeReply r = identify_reply("S-1", "ATA");
            if (c.smartctl_wwn)
                r.out.insert(1, "\"wwn\":{\"naa\":5,\"oui\":3152,\"id\":2864434397},");
            return r;
        };
        const RunOut r = run("S-1");
        EXPECT_EQ(r.code, 0) << c.name << r.log;
        EXPECT_EQ(value(state("S-1"), "wwn"), c.wwn) << c.name;
        std::filesystem::remove_all(root_.path() + "/sys");
    }
}

TEST_F(ProbeRun, GeometryMdArraysAndDisksWithoutAMap) {
    FakeClock clock;
    add_disk(FakeDisk{.dev = "sdb",
                      .serial = "S-1",
                      .attrs = {{"queue/logical_block_size", "520\n"},
                                {"sdb1/holders/md9", ""},
                                {"sdb2/holders/md1", ""},
                                {"sdb3/holders/dm-0", ""}}},
             kMiB - 4096);
    RunOut r = run("S-1");
    EXPECT_EQ(r.code, 0) << r.log;
    std::string s = state("S-1");
    EXPECT_EQ(value(s, "logical_block_size"), "512");
    EXPECT_EQ(value(s, "md_member"), "md1");
    const std::string all = value(s, "md_all");
    EXPECT_TRUE(all == "md9,md1" || all == "md1,md9") << all;
    // Under 1 MiB: no map and no samples, but both snapshots and a verdict.
    EXPECT_EQ(value(s, "map.cells"), "0");
    EXPECT_EQ(value(s, "map.codes"), "");
    EXPECT_EQ(value(s, "stats.read_samples"), "0");
    EXPECT_NE(value(s, "snap0"), "{}");
    EXPECT_NE(value(s, "snap1"), "{}");
    EXPECT_EQ(value(s, "verdict.code"), "good");

    // A disk that reports no capacity is not judged at all.
    for (const char* size : {"0\n", "", "-5\n", "lots\n", "99999999999999999999\n"}) {
        write_file(disks_.sys_block + "/sdb/size", size);
        r = run("S-1");
        EXPECT_EQ(r.code, 1) << size;
        s = state("S-1");
        EXPECT_EQ(value(s, "status"), "failed") << size;
        EXPECT_EQ(value(s, "error"), "no_capacity") << size;
        EXPECT_EQ(value(s, "verdict"), "null") << size;
    }
    ::unlink((disks_.sys_block + "/sdb/size").c_str());
    EXPECT_EQ(run("S-1").code, 1);
    EXPECT_EQ(value(state("S-1"), "error"), "no_capacity");
}

TEST_F(ProbeRun, DeviceThatCannotBeOpened) {
    FakeClock clock;
    add_disk(FakeDisk{.dev = "sdb", .serial = "S-1"}, 2 * kMiB);
    ::unlink((root_.path() + "/dev/sdb").c_str());
    const RunOut r = run("S-1");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(value(state("S-1"), "error"), "open /dev/sdb: No such file or directory");
}

TEST_F(ProbeRun, DeadRunsFileIsRepairedBeforeTheNewRun) {
    FakeClock clock;
    add_disk(FakeDisk{.dev = "sdb", .serial = "S-1"}, 2 * kMiB);
    write_file(probe_dir() + "/S-1.json",
               "{\"serial\":\"S-1\",\"mode\":\"full\",\"pid\":999999,\"status\":\"running\","
               "\"error\":\"\",\"started_ts\":1700000000}");
    const RunOut r = run("S-1");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(sql_rows(db(), "SELECT probe_id, mode, status, started_ts FROM probes"),
              (std::vector<std::string>{"1|full|failed|1700000000", "2|quick|done|1800000000"}));
}

TEST_F(ProbeRun, WaitsItsTurnBehindAnotherDisk) {
    FakeClock clock;
    add_disk(FakeDisk{.dev = "sdb", .serial = "S-1"}, 2 * kMiB);
    probe_paths_init("S-1");
    auto queue = std::make_unique<UniqueFd>(
        ::open((probe_dir() + "/.all.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(::flock(queue->get(), LOCK_EX | LOCK_NB), 0);
    std::vector<std::string> phases;
    std::set<std::string> queued_saves;  // updated_ts of the saves while queued
    int sleeps = 0;
    clock.on_sleep([&](double) {
        const std::string st = state("S-1");
        phases.push_back(value(st, "phase"));
        if (phases.back() == "queued") queued_saves.insert(value(st, "updated_ts"));
        if (++sleeps == 60) queue.reset();  // the other disk's test ends after 12 s
    });
    const RunOut r = run("S-1");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.log.find("probe: S-1 waits for the test of another disk"), std::string::npos);
    EXPECT_NE(r.log.find("probe: S-1: its turn"), std::string::npos);
    ASSERT_GE(phases.size(), 60u);
    EXPECT_EQ(phases[0], "queued");
    EXPECT_EQ(phases[59], "queued");
    // Saved on entering the queue, and again once 10 s of waiting passed.
    EXPECT_EQ(queued_saves.size(), 2u);
    EXPECT_EQ(value(state("S-1"), "status"), "done");
}

TEST_F(ProbeRun, StopWhileQueued) {
    FakeClock clock;
    add_disk(FakeDisk{.dev = "sdb", .serial = "S-1"}, 2 * kMiB);
    probe_paths_init("S-1");
    UniqueFd queue(
        ::open((probe_dir() + "/.all.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(::flock(queue.get(), LOCK_EX | LOCK_NB), 0);
    clock.on_sleep([&](double) {
        if (clock.slept_ms() >= 3000) probe_on_stop_signal(SIGTERM);
    });
    const RunOut r = run("S-1", "full");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "{\"ok\":true,\"status\":\"stopped\",\"verdict\":null,\"probe_id\":1}\n");
    const std::string s = state("S-1");
    EXPECT_EQ(value(s, "status"), "stopped");
    EXPECT_EQ(value(s, "phase"), "queued");
    EXPECT_EQ(value(s, "dev"), "") << "the disk was never touched";
    EXPECT_EQ(sql_value(db(), "SELECT status FROM probes"), "stopped");
    // Every wait is cut in slices of at most 200 ms, so the stop is seen at once.
    for (double ms : clock.sleeps()) EXPECT_LE(ms, 200.0);
    EXPECT_LE(clock.slept_ms(), 3000.0 + 200.0);
}

TEST_F(ProbeRun, StopDuringTheMap) {
    FakeClock clock;
    add_disk(FakeDisk{.dev = "sdb", .serial = "S-1"}, 64 * kMiB);
    smartctl_.identify = [](const std::vector<std::string>&) {
        return identify_reply("S-1", "ATA");
    };
    g_max_rate = 100;  // 10 ms of pacing after each 1 MiB: sleeps to stop in
    int sleeps = 0;
    clock.on_sleep([&](double) {
        if (++sleeps == 20) probe_on_stop_signal(SIGTERM);
    });
    const RunOut r = run("S-1");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "{\"ok\":true,\"status\":\"stopped\",\"verdict\":null,\"probe_id\":1}\n");
    const std::string s = state("S-1");
    EXPECT_EQ(value(s, "phase"), "snapshot1");
    EXPECT_EQ(value(s, "map.done"), "20");
    EXPECT_EQ(value(s, "stats.read_samples"), "0");
    EXPECT_EQ(value(s, "selftest.status"), "skipped");
    for (const auto& argv : run_.calls()) EXPECT_FALSE(has(argv, "-t")) << "no self-test";
}

TEST_F(ProbeRun, ThermalStopEndsTheRunWithoutGood) {
    const struct {
        const char* name;
        const char* hot_phase;  // the drive reaches the limit from this phase on
        const char* done;
    } cases[] = {// The first poll after the set-up comes 10 s (10 cells) into the map.
                 {"during the map", "verify", "10"},
                 {"during the samples", "read", "64"}};
    for (const auto& c : cases) {
        FakeClock clock;
        add_disk(FakeDisk{.dev = "sdb", .serial = "S-1", .rotational = false}, 64 * kMiB);
        smartctl_.identify = [](const std::vector<std::string>&) {
            return identify_reply("S-1", "ATA");
        };
        smartctl_.temperature = [&c](const std::vector<std::string>&) {
            const bool hot = g_probe.phase && std::strcmp(g_probe.phase, c.hot_phase) == 0;
            return FakeReply{
                0, std::string("{\"temperature\":{\"current\":") + (hot ? "70" : "40") + "}}"};
        };
        g_temp_limit = 50;
        g_max_rate = 1;  // a second of pacing per MiB: the ten-second polls come due
        const RunOut r = run("S-1");
        EXPECT_EQ(r.code, 0) << c.name;
        EXPECT_NE(r.log.find("probe: 70 C reached the limit of 50 C, pausing until 44 C"),
                  std::string::npos)
            << c.name << r.log;
        EXPECT_NE(r.log.find("probe: still 70 C after 1200 s at the limit, the map ends here"),
                  std::string::npos)
            << c.name;
        const std::string s = state("S-1");
        EXPECT_EQ(value(s, "status"), "done") << c.name;
        EXPECT_EQ(value(s, "map.done"), c.done) << c.name;
        EXPECT_EQ(value(s, "verdict"),
                  std::string("{\"code\":\"inconclusive\",\"reasons\":[{\"key\":"
                              "\"thermal_stop\",\"n\":") +
                      c.done + "},{\"key\":\"verify_unsupported\",\"n\":1}]}")
            << c.name;
        EXPECT_EQ(value(s, "selftest.status"), "skipped") << c.name;
        ::unlink((root_.path() + "/sys/block/sdb").c_str());
    }
}

}  // namespace
