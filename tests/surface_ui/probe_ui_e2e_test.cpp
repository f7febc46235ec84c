// The terminal UI as a person meets it: the real executable in a real
// terminal (tmux) inside the fake NAS, disks that are loop devices, tests
// that are real detached processes, keys typed and the screen read back; and
// its plain faces through a pipe.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "core/json.h"
#include "tests/support/fake_disk.h"
#include "tests/support/fake_nas.h"
#include "tests/support/fake_smartctl.h"
#include "tests/support/json_edit.h"
#include "tests/support/loop_device.h"
#include "tests/support/nas_terminal.h"
#include "tests/support/smartctl_samples.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

std::string value(const std::string& doc, const char* path) {
    int n = 0;
    JsonTokens t(json_parse(doc.data(), doc.size(), &n));
    if (!t) return "(no json)";
    const int k = json_path_get(doc.data(), t.get(), 0, path);
    if (k < 0) return "(missing)";
    return doc.substr(t[k].start, t[k].end - t[k].start);
}

bool alive(pid_t pid) {
    return pid > 1 && ::kill(pid, 0) == 0;
}

class ProbeUiE2E : public ::testing::Test {
   protected:
    void SetUp() override {
        REQUIRE_FAKE_NAS();
        disks_ = fake_disk_root(nas_);
        sc_ = std::make_unique<FakeSmartctl>(FakeSmartctl::in(nas_));
    }
    void TearDown() override {
        // No test process may outlive its disk.
        for (const std::string& serial : serials_) {
            const std::string pid = value(state(serial), "pid");
            if (value(state(serial), "status") == "running")
                ::kill(std::atoi(pid.c_str()), SIGKILL);
        }
    }

    // Disk dev of the fake NAS: a loop device over a sparse image, identified
    // by smartctl with a recorded reply and a passing self-test.
    bool disk(const std::string& dev, const std::string& serial, std::uint64_t bytes,
              const std::string& model = "WDC WD40EFRX-68N32N0") {
        const std::string img = images_.path() + "/" + dev + ".img";
        write_file(img, "");
        if (::truncate(img.c_str(), static_cast<off_t>(bytes)) != 0) return false;
        loops_.push_back(std::make_unique<LoopDevice>(img));
        if (loops_.back()->path().empty()) {
            loop_error_ = loops_.back()->error();
            return false;
        }
        nas_.put_block_device(dev, loops_.back()->path());
        fake_disk_add(disks_, FakeDisk{.dev = dev,
                                       .serial = serial,
                                       .model = model,
                                       .sectors = bytes / 512,
                                       .slot = slot_++});
        const std::string x = json_set(smartctl_sample("emulated/smartctl-x-sata.json"),
                                       "serial_number", "\"" + serial + "\"");
        for (const char* key : {kScIdentify, kScIdentifyStandby, kScSnapshot})
            sc_->reply(dev, key, x);
        sc_->reply(dev, kScTemperature, temperature_reply(38));
        sc_->selftest(dev, SelftestPlan{.family = SelftestFamily::kAta});
        serials_.push_back(serial);
        return true;
    }

    std::vector<std::string> args(std::vector<std::string> words) const {
        words.insert(words.end(), {"--qpkg-root", nas_.pkg_root()});
        return words;
    }
    std::string state_path(const std::string& serial) const {
        return nas_.pkg_root() + "/var/corvantis/probe/" + serial + ".json";
    }
    std::string state(const std::string& serial) const { return read_file(state_path(serial)); }
    std::string status(const std::string& serial) const { return value(state(serial), "status"); }
    bool in_phase(const std::string& serial, const char* phase) const {
        const std::string s = state(serial);
        return value(s, "status") == "running" && value(s, "phase") == phase;
    }
    // What the last process started in the fake NAS has printed so far.
    std::string printed_so_far() const {
        std::string newest;
        for (const auto& e : std::filesystem::directory_iterator(nas_.base())) {
            const std::string name = e.path().filename();
            if (name.rfind("started", 0) == 0 && name.size() > 4 &&
                name.substr(name.size() - 4) == ".out" &&
                (newest.empty() || name.size() > newest.size() || name > newest))
                newest = name;
        }
        return newest.empty() ? "" : read_file(nas_.base() + "/" + newest);
    }
    pid_t test_pid(const std::string& serial) const {
        return static_cast<pid_t>(std::atol(value(state(serial), "pid").c_str()));
    }

    FakeNas nas_;
    FakeDiskRoot disks_;
    std::unique_ptr<FakeSmartctl> sc_;
    TempDir images_;
    std::string loop_error_;
    std::vector<std::unique_ptr<LoopDevice>> loops_;
    std::vector<std::string> serials_;
    int slot_ = 1;
};

#define REQUIRE_DISK(expr)                                            \
    do {                                                              \
        if (!(expr)) {                                                \
            if (in_ci()) FAIL() << "no loop device: " << loop_error_; \
            GTEST_SKIP() << "no loop device: " << loop_error_;        \
        }                                                             \
    } while (0)

#define REQUIRE_TERMINAL(t)                                        \
    do {                                                           \
        if (!(t).error().empty()) {                                \
            if (in_ci()) FAIL() << "no terminal: " << (t).error(); \
            GTEST_SKIP() << "no terminal: " << (t).error();        \
        }                                                          \
    } while (0)

TEST_F(ProbeUiE2E, PlainTableAndFollowerThroughAPipe) {
    REQUIRE_DISK(disk("sdb", "WD-AAA111", 64 * kMiB));
    REQUIRE_DISK(disk("sdc", "ST-BBB222", 96 * kMiB, "ST4000VN008-2DR166"));

    RunOptions unnamed;
    unnamed.env_unset = {"QORM_CLI_NAME"};
    RunResult r = nas_.run(args({"probe-ui"}), unnamed);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out,
              "DEVICE     MODEL                          SERIAL                       SIZE\n"
              "sdb        WDC WD40EFRX-68N32N0           WD-AAA111                 67.1 MB\n"
              "sdc        ST4000VN008-2DR166             ST-BBB222                100.7 MB\n"
              "\nwatch or start a test:  " CORVANTISD_BIN
              " probe-ui --serial <SERIAL> [--mode quick|full] --plain\n");

    // Typed in lower case, followed under the spelling of the inventory.
    r = nas_.run(args({"probe", "--serial", "wd-aaa111", "--mode", "quick", "--plain"}));
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[WD-AAA111] Identifying the disk"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("corvantis: WD-AAA111 (/dev/sdb): Test finished, "), std::string::npos)
        << r.out;
    EXPECT_EQ(status("WD-AAA111"), "done");
}

// The percentage of the progress row, or -1.
double shown_percent(const std::string& screen) {
    std::smatch m;
    static const std::regex kPercent(R"((\d+\.\d)%)");
    return std::regex_search(screen, m, kPercent) ? std::stod(m[1]) : -1;
}

TEST_F(ProbeUiE2E, PickADiskStartAQuickTestAndSeeItsVerdictAt80x24) {
    REQUIRE_DISK(disk("sdb", "WD-AAA111", 64 * kMiB));
    REQUIRE_DISK(disk("sdc", "ST-BBB222", 768 * kMiB, "ST4000VN008-2DR166"));
    NasTerminal t(nas_, args({"probe-ui"}), {.cols = 80, .rows = 24, .term = "xterm"});
    REQUIRE_TERMINAL(t);
    ASSERT_TRUE(t.wait_for("pick a disk")) << t.text();
    EXPECT_NE(t.text().find("sdb        WDC WD40EFRX-68N32N0"), std::string::npos) << t.text();
    EXPECT_NE(t.text().find("sdc        ST4000VN008-2DR166"), std::string::npos) << t.text();

    t.keys({"Down", "Enter"});
    ASSERT_TRUE(t.wait_for("No surface test recorded for this disk.")) << t.text();
    EXPECT_NE(t.text().find("Press 1 for the daily test"), std::string::npos) << t.text();
    t.keys({"r", "r", "r"});
    ASSERT_TRUE(t.wait_for("r  pace 50 MB/s")) << t.text();
    t.keys({"1"});
    ASSERT_TRUE(t.wait_for("Starting the quick test.")) << t.text();
    ASSERT_TRUE(t.wait_for("● ● ◉ ○ ○ ○ ○ ○")) << t.text();
    ASSERT_TRUE(t.wait_for("Surface map, READ")) << t.text();
    const double early = shown_percent(t.text());
    ASSERT_TRUE(poll_until([&] { return shown_percent(t.text()) > early + 5; })) << t.text();
    EXPECT_EQ(t.styled().find("38;5;"), std::string::npos) << "16 colours only";
    EXPECT_NE(t.styled().find("\x1b[97m\x1b[44m"), std::string::npos) << "bright title";

    // At 80 columns the info panel has no room for the verdict: the status row has it.
    ASSERT_TRUE(t.wait_for("Test finished  DISK GOOD  Daily ·", 120)) << t.text();
    EXPECT_NE(t.text().find("● ● ● ● ● ● ● ●  ████"), std::string::npos) << t.text();
    EXPECT_NE(t.text().find("100.0%"), std::string::npos) << t.text();
    t.keys({"d"});
    ASSERT_TRUE(t.wait_for("Max temp 38 C/55")) << t.text();
    EXPECT_NE(t.text().find("DISK GOOD"), std::string::npos) << t.text();
    t.keys({"q"});
    ASSERT_TRUE(t.wait_for("exit 0")) << t.text();
    EXPECT_NE(t.text().find("corvantis: ST-BBB222 (/dev/sdc): DISK GOOD\n"
                            "  - No media or link errors in the test window.\n"),
              std::string::npos)
        << t.text();
}

TEST_F(ProbeUiE2E, AFullTestIn256ColoursAtEverySizeThenStopped) {
    REQUIRE_DISK(disk("sdb", "WD-AAA111", 2048 * kMiB));
    NasTerminal t(nas_,
                  args({"probe", "--serial", "WD-AAA111", "--mode", "full", "--max-rate", "10"}),
                  {.cols = 120, .rows = 40, .term = "xterm-256color"});
    REQUIRE_TERMINAL(t);
    ASSERT_TRUE(t.wait_for("Surface map, READ")) << t.text();
    EXPECT_NE(t.text().find("FULL  "), std::string::npos) << t.text();
    EXPECT_NE(t.styled().find("38;5;"), std::string::npos) << "256 colours";
    EXPECT_NE(t.text().find("╭ Pace"), std::string::npos) << t.text();
    EXPECT_NE(t.text().find("cap 10  MB/s"), std::string::npos) << t.text();

    const struct {
        int cols, rows;
        const char* seen;
    } sizes[] = {{200, 60, "│ Model             WDC WD40EFRX-68N32N0 │"},
                 {80, 24, " s  stop   d  details"},
                 {1, 1, ""},
                 {500, 200, "╭ Found so far"},
                 {95, 30, " s  stop   d  details"},
                 {96, 30, "│ Model       WDC WD40EFRX-68N32N0 │"}};
    for (const auto& size : sizes) {
        t.resize(size.cols, size.rows);
        EXPECT_TRUE(t.wait_for(size.seen)) << size.cols << "x" << size.rows << "\n" << t.text();
        EXPECT_NE(t.program_pid(), 0) << size.cols << "x" << size.rows;
    }
    t.resize(120, 40);
    t.keys({"s"});
    ASSERT_TRUE(t.wait_for("Stop the test?")) << t.text();
    t.keys({"y"});
    ASSERT_TRUE(t.wait_for("Stopping: the probe finishes the command in progress.")) << t.text();
    ASSERT_TRUE(t.wait_for("ABORTED")) << t.text();
    EXPECT_NE(t.text().find(" Aborted  Full · "), std::string::npos) << t.text();
    EXPECT_EQ(status("WD-AAA111"), "stopped");
    t.keys({"q"});
    ASSERT_TRUE(t.wait_for("exit 0")) << t.text();
}

// Started from the screen, the UI killed, followed by the plain follower
// under another spelling of the serial, stopped by probe-stop.
TEST_F(ProbeUiE2E, AKilledUiLeavesItsTestRunningForTheOtherFaces) {
    REQUIRE_DISK(disk("sdb", "WD-AAA111", 2048 * kMiB));
    NasTerminal t(nas_, args({"probe-ui"}), {.cols = 120, .rows = 40});
    REQUIRE_TERMINAL(t);
    ASSERT_TRUE(t.wait_for("pick a disk")) << t.text();
    t.keys({"Enter", "r", "r", "r", "1"});
    ASSERT_TRUE(t.wait_for("Surface map, READ")) << t.text();
    const pid_t test = test_pid("WD-AAA111");

    ::kill(t.program_pid(), SIGTERM);
    ASSERT_TRUE(t.wait_for("exit 0")) << t.text();
    EXPECT_NE(t.text().find("corvantis: the surface test of WD-AAA111 (/dev/sdb) keeps running: "),
              std::string::npos)
        << t.text();
    EXPECT_NE(t.text().find("  watch it again:  " CORVANTISD_BIN " probe-ui --serial WD-AAA111\n"),
              std::string::npos)
        << t.text();
    EXPECT_EQ(t.pane("#{alternate_on} #{cursor_flag}"), "0 1");
    t.keys({"typed", "Enter"});
    EXPECT_TRUE(t.wait_for("typed\ngot typed")) << "echo and line input are back\n" << t.text();
    EXPECT_TRUE(alive(test));
    EXPECT_EQ(status("WD-AAA111"), "running");

    NasProcess follower = nas_.start(args({"probe-ui", "--serial", "wd-aaa111"}));
    // The follower's first pass; the test goes on meanwhile.
    const std::int64_t done = std::atoll(value(state("WD-AAA111"), "map.done").c_str());
    ASSERT_TRUE(poll_until(
        [&] { return std::atoll(value(state("WD-AAA111"), "map.done").c_str()) > done + 10; }));
    const RunResult stop = nas_.run(args({"probe-stop", "--serial", "WD-AAA111"}));
    EXPECT_EQ(stop.exit_code, 0) << stop.out;
    const RunResult r = follower.wait();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("[WD-AAA111] Surface map, READ"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("corvantis: WD-AAA111 (/dev/sdb): Aborted\n"), std::string::npos) << r.out;
}

TEST_F(ProbeUiE2E, ATestStartedByTheFollowerIsStoppedFromTheScreen) {
    REQUIRE_DISK(disk("sdb", "WD-AAA111", 2048 * kMiB));
    NasProcess follower = nas_.start(
        args({"probe", "--plain", "--serial", "wd-aaa111", "--mode", "quick", "--max-rate", "30"}));
    ASSERT_TRUE(poll_until([&] {
        return printed_so_far().find("Surface map, READ") != std::string::npos;
    })) << printed_so_far();

    NasTerminal t(nas_, args({"probe", "--serial", "WD-AAA111"}), {.cols = 120, .rows = 40});
    REQUIRE_TERMINAL(t);
    ASSERT_TRUE(t.wait_for("A test is already running on this disk; showing it.")) << t.text();
    t.keys({"s"});
    ASSERT_TRUE(t.wait_for("Stop the test?")) << t.text();
    t.keys({"Y"});
    ASSERT_TRUE(t.wait_for("ABORTED")) << t.text();
    const RunResult r = follower.wait();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("[WD-AAA111] Surface map, READ"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("corvantis: WD-AAA111 (/dev/sdb): Aborted\n"), std::string::npos) << r.out;
}

TEST_F(ProbeUiE2E, AUserOtherThanRootWatchesButStartsNothing) {
    REQUIRE_DISK(disk("sdb", "WD-AAA111", 64 * kMiB));
    ASSERT_EQ(nas_.run(args({"probe", "--serial", "WD-AAA111", "--json"})).exit_code, 0);
    const std::string before = state("WD-AAA111");
    ::chmod(nas_.base().c_str(), 0755);

    NasTerminal t(nas_, args({"probe-ui", "--serial", "WD-AAA111", "--mode", "quick"}),
                  {.uid = 1000});
    REQUIRE_TERMINAL(t);
    ASSERT_TRUE(t.wait_for("Test finished  DISK GOOD  Daily")) << t.text();
    EXPECT_NE(t.text().find("Starting a test needs root."), std::string::npos) << t.text();
    EXPECT_NE(t.text().find("  q  quit   d  details   ?  help"), std::string::npos) << t.text();
    t.keys({"1", "2", "r", "?"});
    ASSERT_TRUE(t.wait_for("Re-attach later")) << t.text();
    EXPECT_EQ(t.text().find("Full surface test"), std::string::npos) << t.text();
    EXPECT_EQ(state("WD-AAA111"), before);

    NasTerminal plain(nas_, args({"probe", "--plain", "--serial", "WD-AAA111", "--mode", "quick"}),
                      {.uid = 1000});
    REQUIRE_TERMINAL(plain);
    EXPECT_TRUE(plain.wait_for("corvantis: starting a test needs root.\nexit 1")) << plain.text();
}

// 64 disks, a test that waits for another disk's (its state file has no map
// yet), and a test that fails at once.
TEST_F(ProbeUiE2E, ManyDisksAQueuedTestAndOneThatFailsAtOnce) {
    REQUIRE_DISK(disk("sda", "WD-AAA111", 2048 * kMiB));
    REQUIRE_DISK(disk("sdb", "ST-BBB222", 64 * kMiB));
    for (int i = 2; i < 70; ++i)
        fake_disk_add(disks_,
                      FakeDisk{.dev = "sd" + std::string(1, 'a' + i / 26) + char('a' + i % 26),
                               .serial = "EXTRA" + std::to_string(i),
                               .sectors = 1u << 21});
    NasProcess first =
        nas_.start(args({"probe", "--serial", "WD-AAA111", "--json", "--max-rate", "5"}));
    ASSERT_TRUE(poll_until([&] { return in_phase("WD-AAA111", "verify"); })) << state("WD-AAA111");

    NasTerminal t(nas_, args({"probe-ui"}), {.cols = 120, .rows = 40, .term = "xterm-256color"});
    REQUIRE_TERMINAL(t);
    ASSERT_TRUE(t.wait_for("WD-AAA111                  2.1 GB  running ")) << t.text();
    const std::string list = t.text();
    std::size_t rows = 0;
    for (std::size_t at = 0; (at = list.find("│ sd", at)) != std::string::npos; ++at) ++rows;
    EXPECT_EQ(rows, 34u) << "as many of the 64 listed disks as fit\n" << list;
    t.keys({"Down", "Enter", "1"});
    ASSERT_TRUE(t.wait_for("Waiting for the test of another disk")) << t.text();
    EXPECT_NE(t.text().find("○ ○ ○ ○ ○ ○ ○ ○"), std::string::npos) << t.text();
    EXPECT_NE(t.text().find("▀▀▀▀▀▀▀▀"), std::string::npos) << "no map yet: 4096 cells unread\n"
                                                            << t.text();
    t.keys({"s", "y"});
    ASSERT_TRUE(t.wait_for(" Aborted  Daily")) << t.text();
    t.keys({"Left"});
    ASSERT_TRUE(t.wait_for("pick a disk")) << t.text();
    EXPECT_NE(t.text().find("ST-BBB222                 67.1 MB  Aborted"), std::string::npos)
        << t.text();
    ::kill(test_pid("WD-AAA111"), SIGTERM);
    first.wait();

    NasTerminal gone(nas_, args({"probe", "--serial", "NOWHERE"}));
    REQUIRE_TERMINAL(gone);
    ASSERT_TRUE(gone.wait_for("Test failed  Daily · ")) << gone.text();
    EXPECT_NE(gone.text().find("serial_not_found"), std::string::npos) << gone.text();
}

}  // namespace
