// The plain follower on the fake clock: each pass reads the next state file
// of a script, so a whole test is followed in no time.
#include "surface_ui/follow.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "surface_ui/picker.h"
#include "surface_ui/screen.h"
#include "surface_ui/spawn.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_nas.h"
#include "tests/support/probe_state_dir.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/state_doc.h"

namespace {

int g_spawns = 0;
int g_spawn_result = 0;
int fake_spawn(const char*, const char*) {
    ++g_spawns;
    return g_spawn_result;
}

std::string doc(const char* status, const char* phase = "verify",
                const std::vector<std::pair<const char*, std::string>>& more = {}) {
    StateDoc d = running_doc().set("serial", q("S1")).set("dev", q("/dev/sdb")).set("bad", "[]");
    d.set("status", q(status)).set("phase", q(phase));
    d.set("map", R"({"cells":4096,"cell_bytes":1048576,"method":"read","done":1024,"codes":""})");
    for (const auto& [key, raw] : more) d.set(key, raw);
    return d.json();
}

class Follow : public ::testing::Test {
   protected:
    void SetUp() override { spawn_ = ui_spawn_replace(fake_spawn); }
    void TearDown() override {
        ui_spawn_replace(spawn_);
        g_quit = 0;
    }

    // Follows S1 from the state file before (none when empty) while each pass
    // finds the next of passes; returns the exit code, the output in *out.
    int run(const char* mode, const std::string& before, const std::vector<std::string>& passes,
            std::string* out, int spawn_result = 0, bool quit = false) {
        ::unlink(dir_.state_path("S1").c_str());
        if (!before.empty()) dir_.write_state("S1", before);
        std::size_t pass = 0;
        clock_.on_sleep([&](double) {
            if (pass < passes.size()) dir_.write_state("S1", passes[pass++]);
            if (quit) g_quit = 1;
        });
        g_spawns = 0;
        g_spawn_result = spawn_result;
        const std::string path = dir_.root() + "/out";
        std::FILE* f = std::fopen(path.c_str(), "w");
        std::fflush(stdout);
        int code = 0;
        {
            FdRedirect redirect(fileno(f), STDOUT_FILENO);
            code = ui_follow_plain("S1", mode);
            std::fflush(stdout);
        }
        std::fclose(f);
        *out = read_file(path);
        return code;
    }

    UiSpawnFn spawn_ = nullptr;
    FakeClock clock_{kStateDocNow};
    ProbeStateDir dir_;
};

TEST_F(Follow, ProgressLinesReportAndExitCode) {
    const std::string bad = finished_doc().set("serial", q("S1")).set("dev", q("/dev/sdb")).json();
    const std::string line = "   1024/4096 cells  25.0%  left 7 h 26 min  182 MB/s  41 C\n";
    const std::string identify = "[S1] Identifying the disk" + std::string(18, ' ') + line;
    const std::string map = "[S1] Surface map, READ" + std::string(21, ' ') + line;
    std::vector<std::string> slow(14, doc("running"));
    slow.push_back(bad);
    std::string out;
    EXPECT_EQ(run(nullptr, doc("running", "identify"), {doc("running"), bad}, &out), 3);
    EXPECT_EQ(out, identify + map + "corvantis: S1 (/dev/sdb): Test finished, DISK BAD\n" +
                       "  - Ranges that failed VERIFY again when retried: 1. The drive cannot "
                       "read its own surface there.\n"
                       "  - Interface CRC errors (SMART 199, ICRC) grew by 41 during the test: "
                       "data was damaged between the controller and the drive.\n"
                       "  - No media or link errors in the test window.\n"
                       "  B  LBA 123,456  media  verify 0/0  cell 126\n"
                       "  L  LBA 7,777  link  read 3/3  cell 1500\n");
    EXPECT_EQ(run(nullptr, doc("running", "identify"), slow, &out), 3);
    EXPECT_EQ(out.substr(0, identify.size() + 2 * map.size()), identify + map + map)
        << "a line at least every 5 s";
}

TEST_F(Follow, EndsTellAScriptTheTruth) {
    const char* const kNoStart =
        "corvantis: the test did not start (see var/corvantis/probe/S1.log)\n";
    const struct {
        const char* mode;
        std::string before;
        std::vector<std::string> passes;
        int spawn_result, code;
        std::string out;
    } cases[] = {
        {nullptr,
         doc("failed", "identify", {{"error", q("serial_not_found")}}),
         {},
         0,
         1,
         "corvantis: S1 (/dev/sdb): Test failed\n  error: serial_not_found\n"},
        {nullptr,
         doc("running", "verify", {{"pid", "1"}, {"updated_ts", "1"}}),
         {},
         0,
         1,
         "corvantis: S1 (/dev/sdb): Probe gone (stale state)\n"},
        {nullptr, "", {}, 0, 1, kNoStart},
        {"full",
         doc("running"),
         {doc("stopped")},
         0,
         0,
         "corvantis: a test is already running on S1; following it.\n"
         "[S1] Surface map, READ *"},
        // The earlier run stays in the file: nothing started.
        {"quick", doc("done"), std::vector<std::string>(40, doc("done")), 0, 1, kNoStart},
        // A new run that ended within the second the earlier one started.
        {"quick",
         doc("done", "verdict", {{"pid", "2"}}),
         {doc("failed", "identify", {{"pid", "3"}})},
         0,
         1,
         "corvantis: S1 (/dev/sdb): Test failed\n"},
        {"quick", "", {}, -1, 1, "corvantis: could not start the probe\n"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(run(c.mode, c.before, c.passes, &out, c.spawn_result), c.code) << c.out;
        const std::size_t star = c.out.find('*');
        EXPECT_EQ(out.substr(0, star == std::string::npos ? out.npos : star),
                  c.out.substr(0, star));
        EXPECT_EQ(g_spawns, c.mode && c.before.find("running") == std::string::npos) << c.out;
    }
}

TEST_F(Follow, AQuitSignalLeavesTheTestRunning) {
    std::string out;
    EXPECT_EQ(run(nullptr, doc("running"), {}, &out, 0, true), 0);
    EXPECT_EQ(out.find("corvantis:"), std::string::npos) << out;
}

// Piped into a reader that has gone (`| head -1`), both plain faces end at
// the first line they cannot write; nothing stops the test.
TEST_F(Follow, AReaderThatIsGoneEndsThePlainFaces) {
    dir_.write_state("S1", doc("running", "identify"));
    int passes = 0;
    clock_.on_sleep(
        [&](double) { dir_.write_state("S1", doc(++passes < 30 ? "running" : "done")); });
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ::close(p[0]);
    const auto sigpipe = std::signal(SIGPIPE, SIG_IGN);
    std::fflush(stdout);
    int code = 0, table = 0;
    {
        FdRedirect out(p[1], STDOUT_FILENO);
        code = ui_follow_plain("S1", nullptr);
        const PickerDisk disk{"S1", "WDC WD40EFRX-68N32N0", "sdb", "4.0 TB", 1};
        table = picker_print_table(stdout, &disk, 1);
    }
    std::clearerr(stdout);
    std::signal(SIGPIPE, sigpipe);
    ::close(p[1]);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(passes, 0) << "ended at its first line";
    EXPECT_EQ(table, -1);
}

}  // namespace
