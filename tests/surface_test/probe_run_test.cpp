// The probe run in process, through the seams: a fake sysfs, /dev, /mnt and
// NAS configuration under g_probe_root, recorded smartctl answers (FakeRun),
// the fake clock for every wait, and real reads of image files or loop devices.
#include "surface_test/probe_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
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
#include "tests/support/json_edit.h"
#include "tests/support/sqlite_file.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

struct RunOut {
    int code = -1;
    std::string out;  // standard output: the one JSON line
    std::string log;  // standard error
};

using Answer = std::function<FakeReply(const std::vector<std::string>&)>;

bool has(const std::vector<std::string>& argv, const char* word) {
    for (const std::string& a : argv)
        if (a == word) return true;
    return false;
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

    // Identify and temperature calls as the test says; every other call finds
    // no smartctl answer (the end-to-end tests replay whole drives).
    FakeReply answer(const std::vector<std::string>& argv) {
        const Answer& fn = has(argv, "-i")                            ? identify_
                           : has(argv, "-A") && !has(argv, "sataphy") ? temperature_
                                                                      : Answer{};
        return fn ? fn(argv) : FakeReply{127, ""};
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
    std::string db() const { return g_db_path; }

    TempDir root_;
    TempDir data_;
    FakeDiskRoot disks_;
    FakeRun run_;
    Answer identify_, temperature_;
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

TEST_F(ProbeRun, UnusableDataDirectoryIsALockFailure) {
    const std::string var = g_var_dir;
    str_copy(g_var_dir, sizeof g_var_dir, (var + "/missing/corvantis").c_str());
    RunOut r = run("S1");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"lock\"}\n");
    str_copy(g_var_dir, sizeof g_var_dir, var.c_str());

    write_file(probe_dir(), "not a folder");
    r = run("S1");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"lock\"}\n");
    ::unlink(probe_dir().c_str());

    // Read-only (root writes through file modes: a read-only mount in a
    // child's own mount namespace), with and without an old lock file.
    REQUIRE_FAKE_NAS();
    const std::string reply = root_.path() + "/reply";
    for (bool old_lock : {false, true}) {
        if (old_lock) write_file(probe_dir() + "/S1.lock", "");
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount(var.c_str(), var.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                ::mount(nullptr, var.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) !=
                    0)
                ::_exit(100);
            const int out = ::open(reply.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || ::dup2(out, 1) < 0) ::_exit(101);
            ::_exit(probe_run("S1", "quick"));
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 1) << "old lock " << old_lock;
        EXPECT_EQ(read_file(reply), "{\"ok\":false,\"error\":\"lock\"}\n");
        EXPECT_EQ(::access((probe_dir() + "/S1.json").c_str(), F_OK), -1);
    }
}

// The -d types of the identify calls from call number from on, in order (""
// for none, "/standby" added to a call that must not wake the disk).
std::vector<std::string> identify_types(const FakeRun& run, size_t from = 0) {
    std::vector<std::string> types;
    for (size_t k = from; k < run.calls().size(); ++k) {
        const auto& argv = run.calls()[k];
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

    // The rest of the document is the end-to-end tests' to check.
    const std::string s = state("wd-abc");
    EXPECT_EQ(json_get(s, "model"), "WDC RED");
    EXPECT_EQ(json_get(s, "wwn"), "5000c500a1b2c3d4");
    EXPECT_EQ(json_get(s, "finished_ts"), std::to_string(clock.now()));
    EXPECT_EQ(json_get(s, "eta_s"), "0");
    EXPECT_EQ(sql_rows(db(), "SELECT serial, started_ts, finished_ts - started_ts FROM probes"),
              std::vector<std::string>{"WD-ABC|1800000000|0"});
    EXPECT_EQ(sql_value(db(), "SELECT result_json FROM probes"), s);
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
        identify_ = c.identify;
        const size_t before = run_.calls().size();
        const RunOut r = run(c.serial);
        EXPECT_EQ(r.code, 0) << c.name << r.log;
        EXPECT_EQ(identify_types(run_, before), c.types) << c.name;
        const std::string s = state(c.serial);
        EXPECT_EQ(json_get(s, "kind"), c.kind) << c.name;
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
        identify_ = [&c](const std::vector<std::string>&) {
            FakeReply r = identify_reply("S-1", "ATA");
            if (c.smartctl_wwn)
                r.out.insert(1, "\"wwn\":{\"naa\":5,\"oui\":3152,\"id\":2864434397},");
            return r;
        };
        const RunOut r = run("S-1");
        EXPECT_EQ(r.code, 0) << c.name << r.log;
        EXPECT_EQ(json_get(state("S-1"), "wwn"), c.wwn) << c.name;
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
    EXPECT_EQ(json_get(s, "logical_block_size"), "512");
    EXPECT_EQ(json_get(s, "md_member"), "md1");
    const std::string all = json_get(s, "md_all");
    EXPECT_TRUE(all == "md9,md1" || all == "md1,md9") << all;
    // Under 1 MiB: no map and no samples, but both snapshots and a verdict.
    EXPECT_EQ(json_get(s, "map.cells"), "0");
    EXPECT_EQ(json_get(s, "map.codes"), "");
    EXPECT_EQ(json_get(s, "stats.read_samples"), "0");
    EXPECT_NE(json_get(s, "snap0"), "{}");
    EXPECT_NE(json_get(s, "snap1"), "{}");
    EXPECT_EQ(json_get(s, "verdict.code"), "good");

    // A disk that reports no capacity is not judged at all.
    for (const char* size : {"0\n", "", "-5\n", "lots\n", "99999999999999999999\n"}) {
        write_file(disks_.sys_block + "/sdb/size", size);
        r = run("S-1");
        EXPECT_EQ(r.code, 1) << size;
        s = state("S-1");
        EXPECT_EQ(json_get(s, "status"), "failed") << size;
        EXPECT_EQ(json_get(s, "error"), "no_capacity") << size;
        EXPECT_EQ(json_get(s, "verdict"), "null") << size;
    }
    ::unlink((disks_.sys_block + "/sdb/size").c_str());
    EXPECT_EQ(run("S-1").code, 1);
    EXPECT_EQ(json_get(state("S-1"), "error"), "no_capacity");
}

TEST_F(ProbeRun, DeviceThatCannotBeOpened) {
    FakeClock clock;
    add_disk(FakeDisk{.dev = "sdb", .serial = "S-1"}, 2 * kMiB);
    ::unlink((root_.path() + "/dev/sdb").c_str());
    const RunOut r = run("S-1");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(json_get(state("S-1"), "error"), "open /dev/sdb: No such file or directory");
}

// The data folder (a small tmpfs in a child's own mount namespace) is full
// after a first run: the second run's result reaches neither the state file
// nor the database, and its reply, exit code and log say so.
TEST_F(ProbeRun, AResultRecordedNowhereIsAFailure) {
    REQUIRE_FAKE_NAS();
    FakeClock clock;
    add_disk(FakeDisk{.dev = "sdb", .serial = "S-1"}, 2 * kMiB);
    const std::string var = g_var_dir;
    const std::string out = root_.path() + "/out";
    const std::string err = root_.path() + "/err";
    const pid_t pid = ::fork();
    if (pid == 0) {
        auto to = [](int fd, const std::string& path) {
            const UniqueFd f(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
            return f.valid() && ::dup2(f.get(), fd) == fd;
        };
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", var.c_str(), "tmpfs", 0, "size=1m") != 0 || !to(1, "/dev/null") ||
            !to(2, "/dev/null") || probe_run("S-1", "quick") != 0)
            ::_exit(100);
        const UniqueFd filler(
            ::open((var + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        const std::string chunk(65536, 'x');
        while (::write(filler.get(), chunk.data(), chunk.size()) > 0) {
        }
        if (errno != ENOSPC || !to(1, out) || !to(2, err)) ::_exit(101);
        ::_exit(probe_run("S-1", "quick"));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(read_file(out),
              "{\"ok\":false,\"status\":\"done\",\"verdict\":\"good\",\"probe_id\":0,\"error\":"
              "\"not_recorded\"}\n");
    const std::string log = read_file(err);
    for (const char* why : {"No space left on device", "database or disk is full",
                            "the result is recorded neither in"})
        EXPECT_NE(log.find(why), std::string::npos) << why << "\n" << log;
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
        phases.push_back(json_get(st, "phase"));
        if (phases.back() == "queued") queued_saves.insert(json_get(st, "updated_ts"));
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
    EXPECT_EQ(json_get(state("S-1"), "status"), "done");
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
        identify_ = [](const std::vector<std::string>&) { return identify_reply("S-1", "ATA"); };
        temperature_ = [&c](const std::vector<std::string>&) {
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
        EXPECT_EQ(json_get(s, "status"), "done") << c.name;
        EXPECT_EQ(json_get(s, "map.done"), c.done) << c.name;
        EXPECT_EQ(json_get(s, "verdict"),
                  std::string("{\"code\":\"inconclusive\",\"reasons\":[{\"key\":"
                              "\"thermal_stop\",\"n\":") +
                      c.done + "},{\"key\":\"verify_unsupported\",\"n\":1}]}")
            << c.name;
        EXPECT_EQ(json_get(s, "selftest.status"), "skipped") << c.name;
        ::unlink((root_.path() + "/sys/block/sdb").c_str());
    }
}

// Every number of a verdict input, in its order.
std::string render(const VerdictInput& in) {
    char text[400];
    std::snprintf(
        text, sizeof text,
        "nvme %d link %d fatal %d cells %u/%u B %d L %d E %d fallback %d media %d/%d "
        "link %d/%d d %lld,%lld,%lld,%lld,%lld,%lld phy %lld/%lld xerr %lld/%lld ering "
        "%lld/%lld spd %d dmesg %lld/%lld sib %d s0 %lld,%lld,%lld,%lld dnvme %lld "
        "thermal %d",
        in.is_nvme, in.link_analysis, in.fatal, in.cells, in.done, in.cells_b, in.cells_l,
        in.cells_e, in.read_fallback, in.media_confirmed, in.media_unconfirmed, in.link_by_read,
        in.link_by_verify, static_cast<long long>(in.d_a5), static_cast<long long>(in.d_a187),
        static_cast<long long>(in.d_a188), static_cast<long long>(in.d_a197),
        static_cast<long long>(in.d_a198), static_cast<long long>(in.d_a199),
        static_cast<long long>(in.d_phy_crc), static_cast<long long>(in.d_phy_other),
        static_cast<long long>(in.xerr_icrc), static_cast<long long>(in.xerr_unc),
        static_cast<long long>(in.ering_bus), static_cast<long long>(in.ering_media), in.speed_drop,
        static_cast<long long>(in.dmesg_link), static_cast<long long>(in.dmesg_media),
        in.siblings_rising, static_cast<long long>(in.s0_a5), static_cast<long long>(in.s0_a197),
        static_cast<long long>(in.s0_a198), static_cast<long long>(in.s0_nvme_media),
        static_cast<long long>(in.d_nvme_media), in.thermal_stop);
    return text;
}

// What the verdict weighs, taken from a finished run record.
TEST(ProbeVerdictInput, FromTheRunRecord) {
    std::memset(static_cast<void*>(&g_probe), 0, sizeof g_probe);
    ProbeState& p = g_probe;
    char codes[] = "aBBLEE.E";
    p.codes = codes;
    p.cells = 8;
    p.done = 7;
    p.fatal = 1;
    p.read_fallback = 1;
    std::strcpy(p.st_status, "failed");
    BadRange bad[6] = {};
    bad[0] = {0, 0, 1, 'B', 0, 0, 3, 3, 3, 3, 3, "media", 1};  // confirmed media
    bad[1] = {0, 0, 2, 'B', 1, 0, 0, 0, 0, 0, 0, nullptr, 0};  // unset: by its code
    bad[2] = {0, 0, 3, 'L', 1, 0, 0, 0, 0, 0, 0, nullptr, 0};  // link seen by READ
    bad[3] = {0, 0, 3, 'E', 0, 0, 3, 0, 0, 0, 0, "link", 0};   // classified link by VERIFY
    bad[4] = {0, 0, 4, 'E', 0, 0, 0, 0, 0, 0, 0, "other", 0};
    bad[5] = {0, 0, 5, 'B', 0, 0, 0, 0, 0, 0, 0, "other", 0};  // the class wins over the code
    p.bad = bad;
    p.bad_count = 6;
    SmartSnapshot& a = p.snap0.smart;
    SmartSnapshot& b = p.snap1.smart;
    p.snap1_taken = 1;
    p.snap0.smart_ok = p.snap1.smart_ok = 1;
    a.attr_present[0] = b.attr_present[0] = 1;  // attribute 5: 4 -> 6
    a.attr_raw[0] = 4;
    b.attr_raw[0] = 6;
    a.attr_present[3] = 1;  // 197 only before: no delta, but history
    a.attr_raw[3] = 9;
    a.phy_count = 3;
    const std::uint32_t ids0[] = {1, 3, 8};
    const std::int64_t vals0[] = {5, 2, 1};
    b.phy_count = 4;
    const std::uint32_t ids1[] = {8, 3, 1, 11};
    const std::int64_t vals1[] = {9, 7, 4, 100};  // 8 no class, 3 +5, 1 fell, 11 not before
    for (int k = 0; k < 3; ++k) {
        a.phy_id[k] = ids0[k];
        a.phy_value[k] = vals0[k];
    }
    for (int k = 0; k < 4; ++k) {
        b.phy_id[k] = ids1[k];
        b.phy_value[k] = vals1[k];
    }
    b.errlog_icrc_newer = 2;
    b.errlog_unc_newer = 1;
    a.nvme_health_present = b.nvme_health_present = 1;
    a.nvme_media_errors = 1;
    b.nvme_media_errors = 3;
    p.snap0.sata_gbps = 6;
    p.snap1.sata_gbps = 3;
    p.snap1.ering_bus = 4;
    p.snap1.ering_media = 5;
    p.snap1.dmesg_link = 6;
    p.snap1.dmesg_media = 7;
    p.sibling_count = 3;
    p.siblings[0] = SiblingLink{"sdc", "", "", 1, 1, 1, 2, 0, 0};  // crc rose
    p.siblings[1] = SiblingLink{"sdd", "", "", 1, 0, 1, 9, 0, 9};  // not usable after
    p.siblings[2] = SiblingLink{"sde", "", "", 1, 1, 5, 5, 3, 4};  // phy rose
    p.thermal.thermal_stop = 1;

    VerdictInput in;
    probe_verdict_input(&in);
    EXPECT_STREQ(in.selftest, "failed");
    EXPECT_EQ(render(in),
              "nvme 0 link 1 fatal 1 cells 8/7 B 2 L 1 E 3 fallback 1 media 1/1 link 1/1 "
              "d 2,0,0,0,0,0 phy 0/5 xerr 2/1 ering 4/5 spd 1 dmesg 6/7 sib 2 s0 4,9,0,1 "
              "dnvme 2 thermal 1");
    // A second snapshot without usable SMART data: no deltas of its counters.
    p.snap1.smart_ok = 0;
    probe_verdict_input(&in);
    EXPECT_EQ(in.d_a5, 0);
    EXPECT_EQ(in.d_phy_other, 0);
    EXPECT_EQ(in.xerr_icrc, 0);
    EXPECT_EQ(in.d_nvme_media, 0);
    EXPECT_EQ(in.s0_a5, 4) << "the start values need only the first snapshot";
    p.snap0.smart_ok = 0;
    probe_verdict_input(&in);
    EXPECT_EQ(in.s0_a5, 0);
    EXPECT_EQ(in.ering_bus, 4) << "the ring and the kernel log do not depend on SMART";
    p.is_nvme = 1;
    probe_verdict_input(&in);
    EXPECT_EQ(in.link_analysis, 0);
    p.codes = nullptr;
    p.bad = nullptr;
}

}  // namespace
