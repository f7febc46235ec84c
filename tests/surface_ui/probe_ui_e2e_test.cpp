// The terminal UI as a person meets it: the real executable in a real
// terminal (tmux) inside the fake NAS, loop devices as disks, real detached
// tests, keys typed and the screen read back; and its plain faces in a pipe.
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

#include "tests/support/fake_disk.h"
#include "tests/support/fake_nas.h"
#include "tests/support/fake_smartctl.h"
#include "tests/support/json_edit.h"
#include "tests/support/nas_terminal.h"
#include "tests/support/probe_nas.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr char kSerial[] = "WD-AAA111";

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The percentage of the progress row, or -1.
double shown_percent(const std::string& screen) {
    std::smatch m;
    static const std::regex kPercent(R"((\d+\.\d)%)");
    return std::regex_search(screen, m, kPercent) ? std::stod(m[1]) : -1;
}

class ProbeUiE2E : public ::testing::Test {
   protected:
    void SetUp() override {
        REQUIRE_FAKE_NAS();
        sc_ = std::make_unique<FakeSmartctl>(FakeSmartctl::in(nas_));
    }
    void TearDown() override {
        for (const std::string& serial : serials_)
            if (field(serial, "status") == "running") ::kill(test_pid(serial), SIGKILL);
    }

    // A healthy SATA disk of the fake NAS over a sparse loop device.
    bool disk(const std::string& dev, const std::string& serial, std::uint64_t bytes,
              const std::string& model = "WDC WD40EFRX-68N32N0") {
        if (!disks_.attach(FakeDisk{.dev = dev, .serial = serial, .model = model, .slot = slot_++},
                           bytes))
            return false;
        sc_->healthy_sata(dev, serial);
        serials_.push_back(serial);
        return true;
    }

    std::vector<std::string> args(std::vector<std::string> words) const {
        words.insert(words.end(), {"--qpkg-root", nas_.pkg_root()});
        return words;
    }
    std::string field(const std::string& serial, const char* path) const {
        return json_get(probe_state(nas_, serial), path);
    }
    pid_t test_pid(const std::string& serial) const {
        return static_cast<pid_t>(std::atol(field(serial, "pid").c_str()));
    }

    FakeNas nas_;
    LoopDisks disks_{nas_};
    std::unique_ptr<FakeSmartctl> sc_;
    std::vector<std::string> serials_;
    int slot_ = 1;
};

#define REQUIRE_READY(ok, why)          \
    do {                                \
        if (!(ok)) {                    \
            if (in_ci()) FAIL() << why; \
            GTEST_SKIP() << why;        \
        }                               \
    } while (0)
#define REQUIRE_DISK(expr) REQUIRE_ATTACHED(disks_, expr)
#define REQUIRE_TERMINAL(t) REQUIRE_READY((t).error().empty(), "no terminal: " << (t).error())

// Asks to stop the test shown and confirms.
void stop_from(const NasTerminal& t, const char* yes = "y") {
    t.keys({"s"});
    ASSERT_TRUE(t.wait_for("Stop the test?")) << t.text();
    t.keys({yes});
    ASSERT_TRUE(t.wait_for("ABORTED")) << t.text();
}

TEST_F(ProbeUiE2E, PlainTableAndFollowerThroughAPipe) {
    REQUIRE_DISK(disk("sdb", kSerial, 64 * kMiB));
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
    // The self-test's waits keep the run going for seconds, so the follower
    // shows it at least once (in whichever phase the state file then holds).
    EXPECT_TRUE(has(r.out, "[WD-AAA111] ")) << r.out;
    EXPECT_TRUE(has(r.out, "corvantis: WD-AAA111 (/dev/sdb): Test finished, DISK GOOD\n")) << r.out;
    EXPECT_EQ(field(kSerial, "status"), "done");
}

TEST_F(ProbeUiE2E, PickADiskStartAQuickTestAndSeeItsVerdictAt80x24) {
    REQUIRE_DISK(disk("sdb", kSerial, 64 * kMiB));
    REQUIRE_DISK(disk("sdc", "ST-BBB222", 768 * kMiB, "ST4000VN008-2DR166"));
    NasTerminal t(nas_, args({"probe-ui"}), {.term = "xterm"});
    REQUIRE_TERMINAL(t);
    ASSERT_TRUE(t.wait_for("sdc    ST4000VN008-2DR166   ST-BBB222 805.3 MB  -")) << t.text();
    EXPECT_TRUE(has(t.text(), "sdb    WDC WD40EFRX-68N32N0 WD-AAA111  67.1 MB  -")) << t.text();
    t.keys({"Down", "Enter"});
    ASSERT_TRUE(t.wait_for("Press 1 for the daily test")) << t.text();
    t.keys({"r", "r", "r"});
    ASSERT_TRUE(t.wait_for("r  pace 50 MB/s")) << t.text();
    t.keys({"1"});
    ASSERT_TRUE(t.wait_for("Starting the quick test.")) << t.text();
    ASSERT_TRUE(t.wait_for("● ● ◉ ○ ○ ○ ○ ○")) << t.text();
    ASSERT_TRUE(t.wait_for("Surface map, READ")) << t.text();
    const double early = shown_percent(t.text());
    EXPECT_TRUE(wait_until([&] { return shown_percent(t.text()) > early + 5; })) << t.text();
    EXPECT_FALSE(has(t.styled(), "38;5;")) << "16 colours only";
    EXPECT_TRUE(has(t.styled(), "\x1b[97m\x1b[44m")) << "the title bar";

    // 80 columns leave the info panel no room for the verdict: the status row has it.
    ASSERT_TRUE(t.wait_for("Test finished  DISK GOOD  Daily ·", 120)) << t.text();
    EXPECT_TRUE(has(t.text(), "● ● ● ● ● ● ● ●  ████")) << t.text();
    t.keys({"d"});
    ASSERT_TRUE(t.wait_for("Max temp 35 C/55")) << t.text();
    EXPECT_TRUE(has(t.text(), "DISK GOOD")) << "the overlay leaves the verdict\n" << t.text();
    t.keys({"q"});
    ASSERT_TRUE(t.wait_for("exit 0")) << t.text();
    EXPECT_TRUE(has(t.text(),
                    "corvantis: ST-BBB222 (/dev/sdc): DISK GOOD\n"
                    "  - No media or link errors in the test window.\n"))
        << t.text();
}

TEST_F(ProbeUiE2E, AFullTestIn256ColoursAtEverySizeThenStopped) {
    REQUIRE_DISK(disk("sdb", kSerial, 2048 * kMiB));
    NasTerminal t(nas_, args({"probe", "--serial", kSerial, "--mode", "full", "--max-rate", "10"}),
                  {.cols = 120, .rows = 40, .term = "xterm-256color"});
    REQUIRE_TERMINAL(t);
    ASSERT_TRUE(t.wait_for("Surface map, READ")) << t.text();
    EXPECT_TRUE(has(t.text(), "FULL  ")) << t.text();
    EXPECT_TRUE(has(t.styled(), "38;5;")) << "256 colours";
    EXPECT_TRUE(has(t.text(), "cap 10  MB/s")) << t.text();
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
    stop_from(t);
    EXPECT_TRUE(has(t.text(), " Aborted  Full · ")) << t.text();
    EXPECT_EQ(field(kSerial, "status"), "stopped");
}

// Started by the plain follower under another spelling of the serial, shown
// by a screen that is killed, stopped from a second screen.
TEST_F(ProbeUiE2E, OneTestSeenFromEveryFaceOutlivesAKilledScreen) {
    REQUIRE_DISK(disk("sdb", kSerial, 2048 * kMiB));
    NasProcess follower = nas_.start(
        args({"probe", "--plain", "--serial", "wd-aaa111", "--mode", "quick", "--max-rate", "30"}));
    ASSERT_TRUE(wait_until(
        [&] { return has(read_file(follower.out_path), "[WD-AAA111] Surface map, READ"); }));
    // The test: a session of its own whose leader is gone, output in its log.
    const pid_t test = test_pid(kSerial);
    const std::string fd = "/proc/" + std::to_string(test) + "/fd/";
    EXPECT_EQ(std::filesystem::read_symlink(fd + "0"), "/dev/null");
    EXPECT_EQ(std::filesystem::read_symlink(fd + "2"),
              nas_.pkg_root() + "/var/corvantis/probe/WD-AAA111.log");
    EXPECT_NE(::getsid(test), ::getsid(follower.pid));
    EXPECT_EQ(::kill(::getsid(test), 0), -1);
    NasTerminal t(nas_, args({"probe", "--serial", kSerial}), {.cols = 120, .rows = 40});
    REQUIRE_TERMINAL(t);
    ASSERT_TRUE(t.wait_for("A test is already running on this disk; showing it.")) << t.text();
    ::kill(t.program_pid(), SIGTERM);
    ASSERT_TRUE(t.wait_for("exit 0")) << t.text();
    EXPECT_TRUE(
        has(t.text(), "corvantis: the surface test of WD-AAA111 (/dev/sdb) keeps running: "))
        << t.text();
    EXPECT_TRUE(
        has(t.text(), "  watch it again:  " CORVANTISD_BIN " probe-ui --serial WD-AAA111\n"))
        << t.text();
    EXPECT_EQ(t.pane("#{alternate_on} #{cursor_flag}"), "0 1");
    t.keys({"typed", "Enter"});
    EXPECT_TRUE(t.wait_for("typed\ngot typed")) << "echo and lines are back\n" << t.text();
    EXPECT_EQ(field(kSerial, "status"), "running");

    NasTerminal again(nas_, args({"probe-ui", "--serial", "wd-aaa111"}), {.cols = 120, .rows = 40});
    ASSERT_TRUE(again.wait_for("Surface map, READ")) << again.text();
    stop_from(again, "Y");
    const RunResult r = nas_.wait(follower);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(has(r.out, "corvantis: WD-AAA111 (/dev/sdb): Aborted\n")) << r.out;
}

TEST_F(ProbeUiE2E, AUserOtherThanRootWatchesButStartsNothing) {
    REQUIRE_DISK(disk("sdb", kSerial, 64 * kMiB));
    ASSERT_EQ(nas_.run(args({"probe", "--serial", kSerial, "--json"})).exit_code, 0);
    const std::string before = probe_state(nas_, kSerial);
    ::chmod(nas_.base().c_str(), 0755);
    NasTerminal t(nas_, args({"probe-ui", "--serial", kSerial, "--mode", "quick"}), {.uid = 1000});
    REQUIRE_TERMINAL(t);
    ASSERT_TRUE(t.wait_for("Test finished  DISK GOOD  Daily")) << t.text();
    EXPECT_TRUE(has(t.text(), "Starting a test needs root.")) << t.text();
    EXPECT_TRUE(has(t.text(), "  q  quit   d  details   ?  help")) << t.text();
    t.keys({"1", "2", "r", "?"});
    ASSERT_TRUE(t.wait_for("Re-attach later")) << t.text();
    EXPECT_FALSE(has(t.text(), "Full surface test")) << t.text();
    EXPECT_EQ(probe_state(nas_, kSerial), before);

    NasTerminal plain(nas_, args({"probe", "--plain", "--serial", kSerial, "--mode", "quick"}),
                      {.uid = 1000});
    EXPECT_TRUE(plain.wait_for("corvantis: starting a test needs root.\nexit 1")) << plain.text();
}

// 64 disks, and a test waiting for another disk's: its state file has no map yet.
TEST_F(ProbeUiE2E, SixtyFourDisksAndATestWithoutAMapYet) {
    REQUIRE_DISK(disk("sda", kSerial, 2048 * kMiB));
    REQUIRE_DISK(disk("sdb", "ST-BBB222", 64 * kMiB));
    for (int i = 2; i < 70; ++i)
        fake_disk_add(fake_disk_root(nas_),
                      FakeDisk{.dev = "sd" + std::string{char('a' + i / 26), char('a' + i % 26)},
                               .serial = "EXTRA" + std::to_string(i),
                               .sectors = 1u << 21});
    NasProcess first =
        nas_.start(args({"probe", "--serial", kSerial, "--json", "--max-rate", "5"}));
    ASSERT_TRUE(wait_until([&] { return field(kSerial, "phase") == "verify"; }));

    NasTerminal t(nas_, args({"probe-ui"}), {.cols = 120, .rows = 40, .term = "xterm-256color"});
    REQUIRE_TERMINAL(t);
    ASSERT_TRUE(t.wait_for("WD-AAA111                  2.1 GB  running ")) << t.text();
    const std::string list = t.text();
    std::size_t rows = 0;
    for (std::size_t at = 0; (at = list.find("│ sd", at)) != std::string::npos; ++at) ++rows;
    EXPECT_EQ(rows, 34u) << "as many of the 64 listed as fit\n" << list;
    t.keys({"Down", "Enter", "1"});
    ASSERT_TRUE(t.wait_for("Waiting for the test of another disk")) << t.text();
    EXPECT_TRUE(has(t.text(), "○ ○ ○ ○ ○ ○ ○ ○")) << t.text();
    EXPECT_TRUE(has(t.text(), "▀▀▀▀▀▀▀▀")) << "no map yet: 4096 cells unread\n" << t.text();
    stop_from(t);
    t.keys({"Left"});
    EXPECT_TRUE(t.wait_for("ST-BBB222                 67.1 MB  Aborted")) << t.text();
    ::kill(test_pid(kSerial), SIGTERM);
    nas_.wait(first);
}

}  // namespace
