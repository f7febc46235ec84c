// The detached start of a test: the command line it builds from the limits,
// and real launches of a stand-in executable that reports what it was given.
#include "surface_ui/spawn.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "core/cli.h"
#include "core/paths.h"
#include "tests/support/fake_nas.h"
#include "tests/support/nas_terminal.h"
#include "tests/support/probe_state_dir.h"

namespace {

struct Limits {
    Limits(int temp, double rate) : temp_(g_temp_limit), rate_(g_max_rate) {
        g_temp_limit = temp;
        g_max_rate = rate;
    }
    ~Limits() {
        g_temp_limit = temp_;
        g_max_rate = rate_;
    }
    int temp_;
    double rate_;
};

TEST(ProbeArgv, LimitsAreHandedOnAsTheTestReadsThem) {
    const struct {
        int temp;
        double rate;
        const char *temp_text, *rate_text;
    } cases[] = {{-1, 0.0, "auto", "0"},       {0, 50.0, "off", "50"},
                 {70, 12.6, "70", "12.6"},     {95, 0.4, "95", "0.4"},
                 {30, 100000, "30", "100000"}, {-1, 1.0 / 3, "auto", "0.3333333333333333"}};
    for (const auto& c : cases) {
        const Limits limits(c.temp, c.rate);
        ProbeArgv a;
        ui_probe_argv(&a, "/x/corvantisd", "S-1", "full");
        std::string line;
        for (int i = 0; a.argv[i]; ++i) line += std::string(i ? " " : "") + a.argv[i];
        EXPECT_EQ(line, std::string("/x/corvantisd probe --serial S-1 --mode full --json "
                                    "--qpkg-root ") +
                            g_root + " --temp-limit " + c.temp_text + " --max-rate " + c.rate_text);
        EXPECT_EQ(std::strtod(a.argv[12], nullptr), c.rate) << c.rate_text;
        EXPECT_EQ(a.argv[kProbeArgvWords], nullptr);
    }
}

// A stand-in for corvantisd that records its arguments, descriptors and
// session, and prints a line of output.
class Spawn : public ::testing::Test {
   protected:
    void SetUp() override {
        exe_ = dir_.root() + "/stand-in";
        write_file(exe_,
                   "#!/bin/sh\n"
                   "r=" +
                       dir_.root() +
                       "/report\n"
                       "echo \"$*\" > $r.args\n"
                       "f=/proc/$$/fd\n"
                       "echo \"$(readlink $f/0) $(readlink $f/1) $(readlink $f/2)\" > $r.fds\n"
                       "cut -d' ' -f6 /proc/$$/stat > $r.sid\n"
                       "echo output of the test\n",
                   0755);
    }
    std::string report(const char* what) const {
        std::string text;
        poll_until([&] { return !(text = read_file(dir_.root() + "/report." + what)).empty(); },
                   10);
        return text;
    }
    ProbeStateDir dir_;
    std::string exe_;
};

TEST_F(Spawn, TheTestRunsDetachedWithItsOutputInItsLog) {
    ASSERT_EQ(ui_spawn_probe_exe(exe_.c_str(), "S-1", "quick"), 0);
    EXPECT_EQ(report("args").substr(0, 44), "probe --serial S-1 --mode quick --json --qpk");
    const std::string log = dir_.root() + "/probe/S-1.log";
    EXPECT_EQ(report("fds"), "/dev/null " + log + " " + log + "\n");
    EXPECT_NE(std::atol(report("sid").c_str()), static_cast<long>(::getsid(0)));
    EXPECT_TRUE(poll_until([&] { return read_file(log) == "output of the test\n"; }, 10));
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "no child is left to the caller";
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(Spawn, ASerialThatCannotNameALogWritesToNothing) {
    ASSERT_EQ(ui_spawn_probe_exe(exe_.c_str(), "../S", "quick"), 0);
    EXPECT_EQ(report("fds"), "/dev/null /dev/null /dev/null\n");
}

void on_alarm(int) {}

// Timer signals without SA_RESTART keep interrupting the wait for the
// intermediate child; every launch still reaps it.
TEST_F(Spawn, SignalsDuringTheLaunchLeaveNoChildBehind) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_alarm;
    ::sigaction(SIGALRM, &sa, &old);
    itimerval every{{0, 200}, {0, 200}};
    ::setitimer(ITIMER_REAL, &every, nullptr);
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(ui_spawn_probe_exe("/nonexistent/corvantisd", "S-1", "quick"), 0);
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &old, nullptr);
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(ui_spawn_probe_exe("", "S-1", "quick"), -1);
}

}  // namespace
