// The detached start of a test: the command line it builds from the limits,
// and launches while signals keep interrupting them.
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

void on_alarm(int) {}

// Timer signals without SA_RESTART keep interrupting the wait for the
// intermediate child; every launch still reaps it.
TEST(Spawn, SignalsDuringTheLaunchLeaveNoChildBehind) {
    const ProbeStateDir data;  // the launches' logs land there, not on the host
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
