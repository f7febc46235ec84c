// The plain follower on the fake clock: each of its passes reads the next
// state file of a script, so a whole test is followed in no time.
#include "surface_ui/follow.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

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

StateDoc doc(const char* status, const char* phase, int done) {
    StateDoc d = running_doc();
    d.set("status", q(status)).set("phase", q(phase));
    d.set("map", R"({"cells":4096,"cell_bytes":1048576,"method":"read","done":)" +
                     std::to_string(done) + R"(,"codes":""})");
    return d.set("serial", q("S1")).set("dev", q("/dev/sdb")).set("bad", "[]");
}

struct Case {
    const char* name;
    const char* mode;
    std::string before;               // the state file at the start ("" none)
    std::vector<std::string> passes;  // the state file at each pass after the first
    int spawn_result;
    int code;
    std::string out;  // the whole output, or with a trailing '*' its start
};

class Follow : public ::testing::Test {
   protected:
    void SetUp() override { before_ = ui_spawn_replace(fake_spawn); }
    void TearDown() override { ui_spawn_replace(before_); }

    // Runs the follower of S1; returns its exit code and output.
    int run(const Case& c, std::string* out) {
        if (!c.before.empty()) dir_.write_state("S1", c.before);
        std::size_t pass = 0;
        clock_.on_sleep([&](double) {
            if (pass < c.passes.size()) dir_.write_state("S1", c.passes[pass++]);
            if (quit_) g_quit = 1;
        });
        g_spawns = 0;
        g_spawn_result = c.spawn_result;
        TempDir tmp;
        const std::string path = tmp.path() + "/out";
        std::FILE* f = std::fopen(path.c_str(), "w");
        int code = 0;
        {
            std::fflush(stdout);
            FdRedirect redirect(fileno(f), STDOUT_FILENO);
            code = ui_follow_plain("S1", c.mode);
            std::fflush(stdout);
        }
        std::fclose(f);
        *out = read_file(path);
        return code;
    }

    UiSpawnFn before_ = nullptr;
    bool quit_ = false;
    FakeClock clock_{kStateDocNow};
    ProbeStateDir dir_;
};

TEST_F(Follow, ProgressReportAndExitCode) {
    const std::string bad = finished_doc().set("serial", q("S1")).set("dev", q("/dev/sdb")).json();
    const std::string progress =
        "[S1] Identifying the disk                        0/4096 cells   0.0%  left 7 h 26 min  "
        "182 MB/s  41 C\n"
        "[S1] Surface map, READ                        1024/4096 cells  25.0%  left 7 h 26 min  "
        "182 MB/s  41 C\n";
    const std::string verdict = "corvantis: S1 (/dev/sdb): Test finished, DISK BAD\n";
    std::vector<std::string> long_map(12, doc("running", "verify", 1024).json());
    long_map.insert(long_map.begin(), doc("running", "verify", 1024).json());
    long_map.push_back(bad);
    const Case cases[] = {
        {"a bad verdict with reasons and ranges",
         nullptr,
         doc("running", "identify", 0).json(),
         {doc("running", "verify", 1024).json(), bad},
         0,
         3,
         progress + verdict +
             "  - Ranges that failed VERIFY again when retried: 1. The drive cannot read its own "
             "surface there.\n"
             "  - Interface CRC errors (SMART 199, ICRC) grew by 41 during the test: data was "
             "damaged between the controller and the drive.\n"
             "  - No media or link errors in the test window.\n"
             "  B  LBA 123,456  media  verify 0/0  cell 126\n"
             "  L  LBA 7,777  link  read 3/3  cell 1500\n"},
        {"a line at least every 5 s", nullptr, doc("running", "identify", 0).json(), long_map, 0, 3,
         progress + progress.substr(progress.find('\n') + 1) + verdict + "*"},
        {"a failed run says why",
         nullptr,
         doc("failed", "identify", 0).set("error", q("serial_not_found")).json(),
         {},
         0,
         1,
         "corvantis: S1 (/dev/sdb): Test failed\n  error: serial_not_found\n"},
        {"a run whose process died",
         nullptr,
         doc("running", "verify", 9).set("pid", "1").set("updated_ts", "1").json(),
         {},
         0,
         1,
         "corvantis: S1 (/dev/sdb): Probe gone (stale state)\n"},
        {"a stopped run",
         nullptr,
         doc("stopped", "snapshot1", 9).json(),
         {},
         0,
         0,
         "corvantis: S1 (/dev/sdb): Aborted\n"},
        {"a test already running is followed",
         "full",
         doc("running", "verify", 1024).json(),
         {bad},
         0,
         3,
         "corvantis: a test is already running on S1; following it.\n[S1]*"},
        {"the previous run is passed over", "quick", doc("done", "verdict", 4096).json(),
         std::vector<std::string>(40, doc("done", "verdict", 4096).json()), 0, 1,
         "corvantis: the test did not start (see var/corvantis/probe/S1.log)\n"},
        {"a new run in the same second, by another process",
         "quick",
         doc("done", "verdict", 4096).set("pid", "2").json(),
         {doc("failed", "identify", 0).set("pid", "3").json()},
         0,
         1,
         "corvantis: S1 (/dev/sdb): Test failed\n"},
        {"no run at all",
         nullptr,
         "",
         {},
         0,
         1,
         "corvantis: the test did not start (see var/corvantis/probe/S1.log)\n"},
        {"a failed launch", "quick", "", {}, -1, 1, "corvantis: could not start the probe\n"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(run(c, &out), c.code) << c.name;
        if (c.out.back() == '*')
            EXPECT_EQ(out.substr(0, c.out.size() - 1), c.out.substr(0, c.out.size() - 1)) << c.name;
        else
            EXPECT_EQ(out, c.out) << c.name;
        EXPECT_EQ(g_spawns, c.mode && c.before.find("running") == std::string::npos) << c.name;
        ::unlink(dir_.state_path("S1").c_str());
    }
}

TEST_F(Follow, AQuitSignalLeavesTheTestRunning) {
    Case c{"quit", nullptr, doc("running", "verify", 10).json(), {}, 0, 0, ""};
    quit_ = true;
    std::string out;
    const int code = run(c, &out);
    g_quit = 0;
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out.find("corvantis:"), std::string::npos) << out;
}

TEST_F(Follow, OnlyRootStartsATest) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::FILE* f = std::freopen("/dev/null", "w", stdout);
        (void)f;
        ::_exit(::setresuid(1000, 1000, 1000) == 0 ? ui_follow_plain("S1", "quick") + 10 : 99);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 11) << "exit 1, nothing spawned";
}

}  // namespace
