// The state reader over the files that the real probe writes: the executable
// in the fake NAS with a loop device as the disk, read back in this process
// the way the UI reads them, at every stage a run can leave its file in.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/clock.h"
#include "surface_ui/follow.h"
#include "surface_ui/screen.h"
#include "surface_ui/view.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_nas.h"
#include "tests/support/fake_smartctl.h"
#include "tests/support/fuse_disk.h"
#include "tests/support/json_edit.h"
#include "tests/support/loop_device.h"
#include "tests/support/probe_nas.h"
#include "tests/support/probe_state_dir.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr char kGraded[] = "abcdef";

TEST(ViewE2E, ReadsEveryStageOfARealRun) {
    REQUIRE_FAKE_NAS();
    FakeNas nas;
    LoopDisks disks(nas);
    REQUIRE_ATTACHED(disks, disks.attach(FakeDisk{.dev = "sdb", .serial = "V-1"}, 8 * kMiB));
    FakeSmartctl::in(nas).healthy_sata("sdb", "V-1");
    make_dirs(probe_data_dir(nas));
    ProbeStateDir data(probe_data_dir(nas));

    // One disk through the stages in turn; a slow run (two seconds a cell)
    // is read while its map is partly done.
    enum Stage { kMapping, kKilled, kStopped, kFinished, kNotFound };
    const struct {
        Stage stage;
        const char* serial;
        const char* status;
        const char* phase;
        const char* verdict;
        const char* error;
        std::int64_t cells, done_min, done_max;
    } stages[] = {
        {kMapping, "V-1", "running", "verify", "", "", 8, 1, 7},
        {kKilled, "V-1", "stale", "verify", "", "", 8, 1, 7},
        {kStopped, "V-1", "stopped", "snapshot1", "", "", 8, 1, 7},
        {kFinished, "V-1", "done", "verdict", "good", "", 8, 8, 8},
        {kNotFound, "V-9", "failed", "identify", "", "serial_not_found", 4096, 0, 0},
    };
    NasProcess slow;
    auto start_slow = [&](const char* serial) {
        slow = nas.start(probe_args(nas, serial, "quick", {"--max-rate", "0.5"}));
        return wait_until([&] {
            const std::string state = probe_state(nas, serial);
            return probe_in_phase(nas, serial, "verify") && json_get(state, "map.done") != "0" &&
                   json_get(state, "pid") == std::to_string(slow.pid);
        });
    };
    ProbeView v{};
    for (const auto& s : stages) {
        SCOPED_TRACE(s.status);
        NasProcess p;
        switch (s.stage) {
            case kMapping:
                ASSERT_TRUE(start_slow(s.serial)) << probe_state(nas, s.serial);
                p = slow;
                break;
            case kKilled:
                ::kill(slow.pid, SIGKILL);
                ASSERT_EQ(nas.wait(slow).signal, SIGKILL);
                p = slow;
                break;
            case kStopped:
                ASSERT_TRUE(start_slow(s.serial)) << probe_state(nas, s.serial);
                ::kill(slow.pid, SIGTERM);
                EXPECT_EQ(nas.wait(slow).exit_code, 0);
                p = slow;
                break;
            case kFinished:
            case kNotFound:
                p = nas.start(probe_args(nas, s.serial));
                nas.wait(p);
                break;
        }
        ASSERT_EQ(view_load(s.serial, &v), 0) << probe_state(nas, s.serial);
        EXPECT_EQ(v.present, 1);
        EXPECT_STREQ(v.status, s.status);
        EXPECT_STREQ(v.phase, s.phase);
        EXPECT_STREQ(v.mode, "quick");
        EXPECT_STREQ(v.verdict.code, s.verdict);
        EXPECT_STREQ(v.error, s.error);
        EXPECT_EQ(v.pid, p.pid);
        EXPECT_EQ(::kill(static_cast<pid_t>(v.pid), 0) == 0, s.stage == kMapping)
            << "only the mapping run is alive";
        EXPECT_EQ(v.map.cells, s.cells);
        EXPECT_GE(v.map.done, s.done_min);
        EXPECT_LE(v.map.done, s.done_max);
        // The cells done are graded, the others not yet read.
        const std::string codes = v.map.codes ? std::string(v.map.codes) : "";
        EXPECT_EQ(static_cast<std::int64_t>(codes.size()), s.cells == 8 ? 8 : 0);
        for (std::size_t i = 0; i < codes.size(); ++i)
            EXPECT_EQ(std::string(kGraded).find(codes[i]) != std::string::npos,
                      static_cast<std::int64_t>(i) < v.map.done)
                << codes;
        if (s.stage != kNotFound) {
            EXPECT_STREQ(v.serial, "V-1");
            EXPECT_STREQ(v.dev, "/dev/sdb");
            EXPECT_EQ(v.capacity_bytes, static_cast<std::int64_t>(8 * kMiB));
            EXPECT_EQ(v.has_speed, 1);
            EXPECT_EQ(v.thermal.has_temp, 1);
            EXPECT_EQ(v.thermal.temp_c, 35);
        }
    }
    view_free(&v);
}

// One pass of the plain follower on a clock `ahead` seconds past the real
// one: its exit code, and its output in *out.
int follow_once(const std::string& serial, std::int64_t ahead, const std::string& out_path,
                std::string* out) {
    FakeClock clock(clock_now() + ahead);
    clock.on_sleep([](double) { g_quit = 1; });
    std::FILE* f = std::fopen(out_path.c_str(), "w");
    std::fflush(stdout);
    int code = -1;
    {
        FdRedirect redirect(fileno(f), STDOUT_FILENO);
        code = ui_follow_plain(serial.c_str(), nullptr);
        std::fflush(stdout);
    }
    std::fclose(f);
    g_quit = 0;
    *out = read_file(out_path);
    return code;
}

// A failing disk that takes minutes to answer one read: while the read
// blocks, the state file shows the run up to that read (the last write before
// a command lags the run by a quarter second of work at most, and the cell
// before it takes longer), and a follower that sees the last save 400 s old
// still follows a live test.
TEST(ViewE2E, ARunWaitingOnOneReadIsShownAndFollowed) {
    REQUIRE_FAKE_NAS();
    TempDir files;
    const std::string image = files.path() + "/disk.img";
    write_pattern_image(image, 16 * kMiB);
    FuseDisk fuse(image);
    REQUIRE_FUSE(fuse);
    fuse.slow(10 * kMiB, kMiB, 300);  // the eleventh: 300 ms or more
    fuse.hold(11 * kMiB, kMiB);       // the twelfth of the map's 16 cells
    FakeNas nas;
    LoopDisks disks(nas);
    REQUIRE_ATTACHED(disks, disks.attach(FakeDisk{.dev = "sdb", .serial = "V-1"}, 16 * kMiB,
                                         fuse.file(), LoopOptions{.read_only = true}));
    FakeSmartctl::in(nas).healthy_sata("sdb", "V-1");
    make_dirs(probe_data_dir(nas));
    ProbeStateDir data(probe_data_dir(nas));

    const NasProcess p = nas.start(probe_args(nas, "V-1"));
    // Nothing moves while the read is held, so the file must show the
    // eleven cells before it by the time the test looks.
    const bool shown = wait_until(
        [&] {
            const std::string s = probe_state(nas, "V-1");
            return json_get(s, "phase") == "verify" && json_get(s, "map.done") == "11";
        },
        20);
    const std::string state = probe_state(nas, "V-1");
    std::string out;
    const int code = follow_once("V-1", 400, files.path() + "/follow.out", &out);
    fuse.clear();
    ::kill(p.pid, SIGTERM);
    const RunResult r = nas.wait(p);

    EXPECT_TRUE(shown) << state;
    EXPECT_EQ(json_get(state, "pid"), std::to_string(p.pid));
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(out.rfind("[V-1] ", 0), 0u) << out;
    EXPECT_NE(out.find(" 11/16 cells "), std::string::npos) << out;
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(json_get(probe_state(nas, "V-1"), "status"), "stopped");
}

}  // namespace
