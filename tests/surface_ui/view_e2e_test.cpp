// The state reader over the files that the real probe writes: the executable
// in the fake NAS with a loop device as the disk, read back in this process
// the way the UI reads them, at every stage a run can leave its file in.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "surface_ui/view.h"
#include "tests/support/fake_nas.h"
#include "tests/support/fake_smartctl.h"
#include "tests/support/json_edit.h"
#include "tests/support/probe_nas.h"
#include "tests/support/probe_state_dir.h"

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

}  // namespace
