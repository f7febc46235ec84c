// The clock and process-runner seams: a fake takes the place of the real thing
// for as long as it lives, records what it was asked, and the real thing is
// back afterwards.
#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/run.h"
#include "core/strbuf.h"
#include "core/util.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_run.h"

namespace {

int run_argv(std::vector<const char*> argv, std::string* out = nullptr, int timeout_s = 5) {
    argv.push_back(nullptr);
    StrBuf sb;
    const int rc = run_capture(argv.data(), &sb, timeout_s);
    if (out) *out = std::string(sb.c_str(), sb.len);
    return rc;
}

TEST(FakeClockSeam, SleepsMoveTimeWithoutWaiting) {
    const double real_before = clock_mono_ms();
    {
        FakeClock clock(1700000000);
        EXPECT_EQ(clock_now(), 1700000000);
        const double m0 = mono_ms();
        clock_sleep_ms(20 * 60 * 1000.0);  // a 20-minute wait
        EXPECT_EQ(clock_now(), 1700000000 + 20 * 60);
        EXPECT_DOUBLE_EQ(mono_ms() - m0, 20 * 60 * 1000.0);
        clock.set_now(1600000000);  // the wall clock set back
        EXPECT_EQ(clock_now(), 1600000000);
        EXPECT_DOUBLE_EQ(mono_ms() - m0, 20 * 60 * 1000.0) << "the monotonic clock never goes back";
        EXPECT_EQ(clock.sleeps(), std::vector<double>{20 * 60 * 1000.0});
    }
    EXPECT_LT(clock_mono_ms() - real_before, 60000.0) << "the real clock is back";
    EXPECT_GT(clock_now(), 1700000000);
}

TEST(FakeClockSeam, LogLinesCarryTheClocksTime) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    FakeClock clock(1800000000);
    ::testing::internal::CaptureStderr();
    log_msg("schema ready at %s", "/x");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[2027-01-15 08:00:00] schema ready at /x\n");
}

TEST(FakeClockSeam, ActsOnEachSleep) {
    FakeClock clock;
    int woken = 0;
    clock.on_sleep([&](double) { ++woken; });
    for (int i = 0; i < 5; ++i) clock_sleep_ms(200);
    EXPECT_EQ(woken, 5);
    EXPECT_DOUBLE_EQ(clock.slept_ms(), 1000.0);
}

TEST(RealClock, SleepIsCutShortBySignal) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    struct sigaction old {};
    ASSERT_EQ(::sigaction(SIGALRM, &sa, &old), 0);
    ::alarm(1);
    const double t0 = clock_mono_ms();
    clock_sleep_ms(30000);
    const double waited = clock_mono_ms() - t0;
    ::alarm(0);
    ::sigaction(SIGALRM, &old, nullptr);
    EXPECT_LT(waited, 29000.0) << "a signal must end the sleep, so that stop flags are seen";
}

TEST(FakeRunSeam, RecordsCallsAndAnswersFromQueueOrHandler) {
    {
        FakeRun run;
        run.push({4, "{\"smartctl\":{\"exit_status\":4}}"});
        std::string out;
        EXPECT_EQ(run_argv({"/usr/sbin/smartctl", "-x", "-j", "/dev/sda"}, &out, 60), 4);
        EXPECT_EQ(out, "{\"smartctl\":{\"exit_status\":4}}");
        EXPECT_EQ(run_argv({"/sbin/log_tool", "-t", "2"}), 127) << "an empty queue: not startable";
        run.set_handler([](const std::vector<std::string>& a) {
            return FakeReply{a.size() == 2 ? 0 : 1, a[1]};
        });
        EXPECT_EQ(run_argv({"/sbin/hal_event", "x"}, &out), 0);
        EXPECT_EQ(out, "x");
        ASSERT_EQ(run.calls().size(), 3u);
        EXPECT_EQ(run.calls()[0],
                  (std::vector<std::string>{"/usr/sbin/smartctl", "-x", "-j", "/dev/sda"}));
        EXPECT_EQ(run.timeouts()[0], 60);
    }
    std::string out;
    EXPECT_EQ(run_argv({"/bin/sh", "-c", "echo real"}, &out), 0) << "the real runner is back";
    EXPECT_EQ(out, "real\n");
}

// The package registry is asked through the runner, without a shell and with
// a time limit; a registry that had to be killed, or whose line would not fit
// the root's field, names no root.
TEST(FakeRunSeam, PackageRegistryIsAskedThroughTheRunner) {
    const struct {
        FakeReply reply;
        bool used;
    } cases[] = {
        {{0, "/share/pkg\nsecond line\n"}, true},
        {{1, "/share/pkg"}, true},
        {{-1, "/share/pkg\n"}, false},
        {{0, "/" + std::string(kRootSize, 'x') + "\n"}, false},
        {{127, ""}, false},
    };
    for (const auto& c : cases) {
        FakeRun run;
        run.push(c.reply);
        paths_init(nullptr);
        EXPECT_EQ(std::string(g_root) == "/share/pkg", c.used) << c.reply.out;
        EXPECT_NE(g_root[0], '\0');
        ASSERT_EQ(run.calls().size(), 1u);
        EXPECT_EQ(run.calls()[0], (std::vector<std::string>{"/sbin/getcfg", "qorm", "Install_Path",
                                                            "-f", "/etc/config/qpkg.conf"}));
        EXPECT_EQ(run.timeouts()[0], 10);
    }
}

}  // namespace
