// probe and probe-stop as the NAS runs them: the real executable in the fake
// NAS, loop devices (some over the FUSE test disk with real read errors) as
// the disks, the fake smartctl script, real locks, signals and SQLite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/json.h"
#include "core/unique_fd.h"
#include "tests/support/fake_disk.h"
#include "tests/support/fake_nas.h"
#include "tests/support/fake_smartctl.h"
#include "tests/support/fuse_disk.h"
#include "tests/support/json_edit.h"
#include "tests/support/kmsg.h"
#include "tests/support/loop_device.h"
#include "tests/support/probe_nas.h"
#include "tests/support/smartctl_samples.h"
#include "tests/support/sqlite_file.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

std::string checksum(const std::string& path) {
    // FNV-1a over the whole file: enough to see a single changed byte.
    const std::string data = read_file(path);
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : data) h = (h ^ c) * 1099511628211ull;
    return std::to_string(h) + "/" + std::to_string(data.size());
}

class ProbeE2E : public ::testing::Test {
   protected:
    void SetUp() override {
        REQUIRE_FAKE_NAS();
        disks_ = fake_disk_root(nas_);
        sc_ = std::make_unique<FakeSmartctl>(FakeSmartctl::in(nas_));
    }

    bool attach(const FakeDisk& d, std::uint64_t bytes, const std::string& image = "",
                const LoopOptions& opts = {}) {
        return loops_.attach(d, bytes, image, opts);
    }
    RunResult probe(const std::string& serial, const char* mode = "quick",
                    const std::vector<std::string>& extra = {}) {
        return nas_.run(probe_args(nas_, serial, mode, extra));
    }
    NasProcess start(const std::string& serial, const std::vector<std::string>& extra = {}) {
        started_.push_back(nas_.start(probe_args(nas_, serial, "quick", extra)));
        return started_.back();
    }
    RunResult wait(const NasProcess& p) {
        std::erase_if(started_, [&p](const NasProcess& s) { return s.pid == p.pid; });
        return nas_.wait(p);
    }
    // A test that ends early leaves no run of its own behind.
    void TearDown() override {
        for (const NasProcess& p : started_) {
            ::kill(p.pid, SIGKILL);
            nas_.wait(p);
        }
    }
    RunResult stop(const std::string& serial) {
        return nas_.run({"probe-stop", "--serial", serial, "--qpkg-root", nas_.pkg_root()});
    }

    std::string data_dir() const { return probe_data_dir(nas_); }
    std::string db() const { return probe_db(nas_); }
    std::string state_path(const std::string& serial) const {
        return probe_state_path(nas_, serial);
    }
    std::string state(const std::string& serial) const { return probe_state(nas_, serial); }
    bool in_phase(const std::string& serial, const char* phase) const {
        return probe_in_phase(nas_, serial, phase);
    }
    void smart_sata(const std::string& dev, const std::string& serial) {
        sc_->healthy_sata(dev, serial);
    }

    FakeNas nas_;
    FakeDiskRoot disks_;
    std::unique_ptr<FakeSmartctl> sc_;
    LoopDisks loops_{nas_};
    std::vector<NasProcess> started_;
};

TEST_F(ProbeE2E, EarlyRepliesEndInANewlineAndTouchNothing) {
    const struct {
        std::vector<std::string> args;
        const char* out;
        int code;
    } cases[] = {
        {{"probe", "--json", "--serial", "a/b"}, "{\"ok\":false,\"error\":\"bad_serial\"}\n", 2},
        {{"probe", "--json", "--serial", "S1", "--mode", "Full"},
         "{\"ok\":false,\"error\":\"bad_mode\"}\n",
         2},
        {{"probe-stop"}, "{\"ok\":false,\"error\":\"bad_serial\"}\n", 2},
        {{"probe-stop", "--serial", "S1"},
         "{\"ok\":false,\"error\":\"not_running\",\"stale_state_fixed\":false}\n",
         1},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--qpkg-root", nas_.pkg_root()});
        const RunResult r = nas_.run(args);
        EXPECT_EQ(r.out, c.out) << args[0] << " " << args.back();
        EXPECT_EQ(r.exit_code, c.code) << args[0];
    }
    EXPECT_EQ(::access(state_path("S1").c_str(), F_OK), -1);
    EXPECT_EQ(::access(db().c_str(), F_OK), -1);
}

// The whole run of a SATA disk found through the enclosure file, with a
// sibling on its controller, the NAS's WWN and a passing self-test.
TEST_F(ProbeE2E, WholeQuickRunOfAnEnclosureDisk) {
    REQUIRE_ATTACHED(
        loops_, attach(FakeDisk{.dev = "sdb", .serial = "ZX1", .wwid = "naa.5000c500aa", .slot = 1},
                       64 * kMiB + kMiB / 2));
    fake_disk_add(disks_, FakeDisk{.dev = "sdc", .serial = "ZX2", .sectors = 4096});
    smart_sata("sdb", "ZX1");
    sc_->reply("sdc", kScSiblingCounters,
               smartctl_sample("ata-ssd-samsung-860evo-xall-phy-devstats.json"));
    nas_.put_file("/mnt/HDA_ROOT/.conf", "[Storage]\npd_dev_wwn_5000C500AA = 0x1\n");
    // The port's counters: the link speed, and an error ring whose old entry
    // stays old.
    fake_ata_port(disks_, fake_disk_ata_port(FakeDisk{.dev = "sdb"}), "6.0 Gbps",
                  "[    1.000000000]BusError\n");

    const RunResult r = probe("zx1");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "{\"ok\":true,\"status\":\"done\",\"verdict\":\"good\",\"probe_id\":1}\n");
    const std::string s = state("zx1");
    EXPECT_EQ(json_get(s, "serial"), "ZX1");
    EXPECT_EQ(json_get(s, "wwn"), "5000C500AA");
    EXPECT_EQ(json_get(s, "kind"), "ata");
    EXPECT_EQ(json_get(s, "map.cells"), "64");
    EXPECT_EQ(json_get(s, "map.done"), "64");
    EXPECT_EQ(json_get(s, "stats.read_samples"), "128");
    EXPECT_EQ(json_get(s, "selftest.status"), "passed");
    EXPECT_EQ(json_get(s, "snap1.smart"), "true");
    EXPECT_EQ(json_get(s, "snap0.sata_spd"), "6.0 Gbps");
    EXPECT_EQ(json_get(s, "snap1.ering"), "{\"bus\":0,\"media\":0,\"other\":0}");
    EXPECT_EQ(json_get(s, "siblings"),
              "[{\"dev\":\"sdc\",\"serial\":\"ZX2\",\"crc_delta\":0,\"phy_delta\":0}]");
    EXPECT_EQ(json_get(s, "verdict.code"), "good");
    EXPECT_EQ(sql_rows(db(), "SELECT probe_id, serial, wwn, mode, status, verdict FROM probes"),
              std::vector<std::string>{"1|ZX1|5000C500AA|quick|done|good"});
    EXPECT_EQ(sql_value(db(), "SELECT result_json FROM probes"), s);
    EXPECT_EQ(sql_value(db(), "SELECT detail FROM events WHERE type='probe_done'"),
              "{\"probe_id\":1,\"serial\":\"ZX1\",\"mode\":\"quick\",\"status\":\"done\","
              "\"verdict\":\"good\"}");
    const std::vector<std::string> calls = sc_->calls();
    auto called = [&calls](const std::string& line) {
        for (const std::string& c : calls)
            if (c == line) return true;
        return false;
    };
    EXPECT_TRUE(called("-i -j -d sat /dev/sdb"));
    EXPECT_TRUE(called("-x -j -d sat /dev/sdb"));
    EXPECT_TRUE(called("-t short -j -d sat /dev/sdb"));
    EXPECT_TRUE(called("-A -l sataphy -j -n standby -d sat /dev/sdc"));
}

TEST_F(ProbeE2E, DisksOutsideTheInventoryAndDisksOfEverySize) {
    std::string vpd("\x00\x80\x00\x08", 4);
    vpd += "VPD-0001";
    REQUIRE_ATTACHED(loops_,
                     attach(FakeDisk{.dev = "sdq", .attrs = {{"device/vpd_pg80", vpd}}}, kMiB / 2));
    REQUIRE_ATTACHED(loops_, attach(FakeDisk{.dev = "sdr", .bus = FakeBus::kSas}, 4 * kMiB));
    REQUIRE_ATTACHED(loops_,
                     attach(FakeDisk{.dev = "sds", .serial = "BIG"}, (4ull << 30) + 3 * kMiB));
    // The standby answer that finds the disk says ATA; the identify call of
    // the known disk says SCSI, and only that one decides the kind.
    const auto serial = [](const char* sample) {
        return json_set(smartctl_sample(sample), "serial_number", "\"SAS-77\"");
    };
    sc_->reply("sdr", kScIdentifyStandby, serial("emulated/smartctl-x-sata.json"));
    sc_->reply("sdr", kScIdentify, serial("emulated/smartctl-x-sas.json"));

    RunResult r = probe("vpd-0001");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string s = state("vpd-0001");
    EXPECT_EQ(json_get(s, "dev"), "/dev/sdq");
    EXPECT_EQ(json_get(s, "map.cells"), "0") << "under 1 MiB: no map";
    EXPECT_EQ(json_get(s, "verdict.code"), "good");

    r = probe("sas-77");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    s = state("sas-77");
    EXPECT_EQ(json_get(s, "dev"), "/dev/sdr");
    EXPECT_EQ(json_get(s, "serial"), "SAS-77");
    EXPECT_EQ(json_get(s, "kind"), "scsi");

    r = probe("BIG");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    s = state("BIG");
    EXPECT_EQ(json_get(s, "map.cells"), "4096");
    EXPECT_EQ(json_get(s, "map.cell_bytes"), "1048576");
    EXPECT_EQ(json_get(s, "map.done"), "4096");

    r = probe("NOWHERE");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "{\"ok\":false,\"status\":\"failed\",\"verdict\":null,\"probe_id\":4}\n");
    EXPECT_EQ(json_get(state("NOWHERE"), "error"), "serial_not_found");
}

// One disk at a time and one test per disk: a second test of the same disk
// is refused, another disk waits its turn, and stops reach both.
TEST_F(ProbeE2E, LockQueueAndStops) {
    for (const char* dev : {"sdb", "sdc", "sdd"}) {
        const std::string serial = std::string("Q-") + dev;
        REQUIRE_ATTACHED(loops_, attach(FakeDisk{.dev = dev, .serial = serial}, 8 * kMiB));
    }
    NasProcess a = start("Q-sdb", {"--max-rate", "0.5"});  // two seconds per MiB
    ASSERT_TRUE(wait_until([&] { return in_phase("Q-sdb", "verify"); })) << state("Q-sdb");

    const RunResult again = probe("Q-sdb");
    EXPECT_EQ(again.exit_code, 4);
    EXPECT_EQ(again.out, "{\"ok\":false,\"refused\":\"running\"}\n");

    NasProcess b = start("Q-sdc");
    NasProcess c = start("Q-sdd");
    ASSERT_TRUE(
        wait_until([&] { return in_phase("Q-sdc", "queued") && in_phase("Q-sdd", "queued"); }));
    ::kill(c.pid, SIGTERM);
    const RunResult rc = wait(c);
    EXPECT_EQ(rc.exit_code, 0);
    EXPECT_EQ(rc.out, "{\"ok\":true,\"status\":\"stopped\",\"verdict\":null,\"probe_id\":1}\n");
    EXPECT_NE(rc.err.find("probe: Q-sdd waits for the test of another disk"), std::string::npos);
    EXPECT_EQ(json_get(state("Q-sdd"), "phase"), "queued");
    EXPECT_TRUE(in_phase("Q-sdc", "queued")) << "still waiting";

    const RunResult s = stop("Q-sdb");
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_EQ(s.out, "{\"ok\":true,\"pid\":" + std::to_string(a.pid) + "}\n");
    const RunResult ra = wait(a);
    EXPECT_EQ(ra.exit_code, 0);
    EXPECT_EQ(ra.out, "{\"ok\":true,\"status\":\"stopped\",\"verdict\":null,\"probe_id\":2}\n");
    EXPECT_EQ(json_get(state("Q-sdb"), "phase"), "snapshot1");
    EXPECT_EQ(json_get(state("Q-sdb"), "stats.read_samples"), "0");

    const RunResult rb = wait(b);
    EXPECT_EQ(rb.exit_code, 0) << rb.err;
    EXPECT_NE(rb.err.find("probe: Q-sdc: its turn"), std::string::npos);
    EXPECT_EQ(json_get(state("Q-sdc"), "status"), "done");
    EXPECT_EQ(sql_rows(db(), "SELECT serial, status FROM probes ORDER BY probe_id"),
              (std::vector<std::string>{"Q-sdd|stopped", "Q-SDB|stopped", "Q-SDC|done"}))
        << "a run that found its disk stores the serial as the inventory has it";
}

TEST_F(ProbeE2E, KilledRunIsRepairedAndProbeStopAnswersEveryCase) {
    REQUIRE_ATTACHED(loops_, attach(FakeDisk{.dev = "sdb", .serial = "K-1"}, 8 * kMiB));
    NasProcess a = start("K-1", {"--max-rate", "0.5"});
    ASSERT_TRUE(wait_until([&] { return in_phase("K-1", "verify"); }));
    ::kill(a.pid, SIGKILL);
    EXPECT_EQ(wait(a).signal, SIGKILL);
    EXPECT_EQ(json_get(state("K-1"), "status"), "running") << "left behind by the dead run";

    RunResult r = stop("K-1");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"not_running\",\"stale_state_fixed\":true}\n");
    const std::string s = state("K-1");
    EXPECT_EQ(json_get(s, "status"), "failed");
    EXPECT_EQ(json_get(s, "error"), "process ended without finishing");
    EXPECT_EQ(sql_rows(db(), "SELECT serial, status, verdict FROM probes"),
              std::vector<std::string>{"K-1|failed|NULL"});
    r = stop("K-1");
    EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"not_running\",\"stale_state_fixed\":false}\n");

    // With the disk's lock held, the pid of the state file must be a test of
    // that serial before it is signalled.
    UniqueFd lock(::open((data_dir() + "/probe/K-1.lock").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(::flock(lock.get(), LOCK_EX | LOCK_NB), 0);
    const pid_t other = ::fork();
    if (other == 0) {
        ::execl("/bin/sleep", "sleep", "30", nullptr);
        ::_exit(127);
    }
    const struct {
        std::string content;
        std::string out;
    } cases[] = {
        {"{\"v\":1,\"pid\":" + std::to_string(other) + ",\"status\":\"running\"}",
         "{\"ok\":false,\"error\":\"pid_mismatch\",\"pid\":" + std::to_string(other) + "}\n"},
        {"{\"pid\":1}", "{\"ok\":false,\"error\":\"pid_mismatch\",\"pid\":1}\n"},
        {"{\"pid\":99999999999}", "{\"ok\":false,\"error\":\"pid_mismatch\",\"pid\":0}\n"},
        {"{\"status\":\"running\"", "{\"ok\":false,\"error\":\"pid_mismatch\",\"pid\":0}\n"},
        {std::string(4194305, ' '), "{\"ok\":false,\"error\":\"pid_mismatch\",\"pid\":0}\n"},
    };
    for (const auto& c : cases) {
        write_file(state_path("K-1"), c.content);
        r = stop("K-1");
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, c.out) << c.content.substr(0, 40);
        EXPECT_EQ(state("K-1"), c.content) << "never rewritten while the lock is held";
    }
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
}

// Real read errors of every kind over the FUSE test disk: the run records and
// judges them. A READ reports no kind of error, so each is an 'E' cell.
TEST_F(ProbeE2E, FullRunOverReadErrors) {
    const std::string image = loops_.image_dir() + "/pattern.img";
    write_pattern_image(image, 16 * kMiB);
    FuseDisk fuse(image);
    REQUIRE_FUSE(fuse);
    fuse.fail(3 * kMiB + 8192, 4096, ENODATA);  // a medium error
    fuse.fail(9 * kMiB, 4096, ENOLINK);         // a transport error
    fuse.fail(12 * kMiB + 4096, 512, EIO);
    REQUIRE_ATTACHED(loops_, attach(FakeDisk{.dev = "sdb", .serial = "E-1"}, 16 * kMiB, fuse.file(),
                                    LoopOptions{.read_only = true}));
    smart_sata("sdb", "E-1");
    const std::string before = checksum(image);

    const RunResult r = probe("E-1", "full");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::string s = state("E-1");
    // The map fails cells 3, 9 and 12; a failed READ sample marks the cell
    // where it starts, so the samples reaching into them fail 2, 8 and 11 too.
    // Clean cells are graded by real read times, which a loaded machine
    // stretches: only the error cells are exact.
    std::string codes = json_get(s, "map.codes");
    for (char& c : codes)
        if (c >= 'a' && c <= 'f') c = 'a';
    EXPECT_EQ(codes, "aaEEaaaaEEaEEaaa");
    EXPECT_EQ(json_get(s, "map.done"), "16");
    EXPECT_EQ(json_get(s, "selftest.status"), "passed");
    EXPECT_EQ(json_get(s, "verdict"),
              "{\"code\":\"inconclusive\",\"reasons\":[{\"key\":\"timeouts_only\",\"n\":6},"
              "{\"key\":\"verify_unsupported\",\"n\":1}]}");
    EXPECT_EQ(checksum(image), before);
    fuse.clear();
    EXPECT_EQ(checksum(loops_.last().path()), before);
}

// A writable disk whose reads fail (sysfs claims more than the device holds):
// a full run that meets errors leaves every byte as it was.
TEST_F(ProbeE2E, FullRunThatFindsErrorsWritesNothing) {
    const std::string image = loops_.image_dir() + "/writable.img";
    write_pattern_image(image, 8 * kMiB);
    REQUIRE_ATTACHED(loops_,
                     attach(FakeDisk{.dev = "sdb", .serial = "W-1", .sectors = 12 * kMiB / 512},
                            8 * kMiB, image));
    smart_sata("sdb", "W-1");
    const std::string device = loops_.last().path();
    const std::string before = checksum(device);
    ASSERT_EQ(before, checksum(image));

    const RunResult r = probe("W-1", "full");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::string s = state("W-1");
    EXPECT_EQ(json_get(s, "map.codes").substr(8), "EEEE");
    EXPECT_NE(json_get(s, "stats.read_errors"), "0");
    EXPECT_EQ(checksum(device), before);
    EXPECT_EQ(checksum(image), before);
}

// What only the executable shows about its database: a damaged file keeps the
// result in the state file alone, and kernel-log lines about the disk that
// appear during the run reach the verdict.
TEST_F(ProbeE2E, DamagedDatabaseAndKernelLogLines) {
    REQUIRE_KMSG();
    REQUIRE_ATTACHED(loops_, attach(FakeDisk{.dev = "sdkq", .serial = "L-1"}, 8 * kMiB));
    smart_sata("sdkq", "L-1");
    make_dirs(data_dir());
    write_file(db(), std::string(8192, 'Z'));
    NasProcess a = start("L-1");
    // The self-test has just started: the first snapshot lies behind, and the
    // second comes after the self-test's first wait of 3 s.
    ASSERT_TRUE(wait_until([&] {
        for (const std::string& call : sc_->calls())
            if (call.rfind("-t short", 0) == 0) return true;
        return false;
    })) << state("L-1");
    ASSERT_TRUE(kmsg_write("sd 9:0:0:0: [sdkq] tag#3 Sense Key : Medium Error [current]"));
    const RunResult r = wait(a);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"ok\":true,\"status\":\"done\",\"verdict\":\"inconclusive\",\"probe_id\":0}\n");
    EXPECT_NE(r.err.find("probe: cannot open " + db() + ", result kept in the state file only"),
              std::string::npos)
        << r.err;
    const std::string s = state("L-1");
    EXPECT_EQ(json_get(s, "deltas.dmesg_media"), "1");
    EXPECT_EQ(json_get(s, "verdict"),
              "{\"code\":\"inconclusive\",\"reasons\":[{\"key\":\"media_unconfirmed\",\"n\":1},"
              "{\"key\":\"verify_unsupported\",\"n\":1}]}");
    EXPECT_EQ(read_file(db()), std::string(8192, 'Z'));
}

}  // namespace
