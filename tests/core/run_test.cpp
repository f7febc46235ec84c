// The process runner with real child processes, and the architecture names.
#include "core/run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "core/strbuf.h"
#include "core/unique_fd.h"
#include "core/util.h"

namespace {

std::string text_of(const StrBuf& sb) {
    return std::string(sb.c_str(), sb.len);
}

struct Timed {
    int rc;
    std::string out;
    double seconds;
};

Timed run_sh(const std::string& script, int timeout_s) {
    const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    StrBuf out;
    const double t0 = mono_ms();
    const int rc = run_capture(argv, &out, timeout_s);
    return {rc, text_of(out), (mono_ms() - t0) / 1000.0};
}

// Every call must reap its child: afterwards this process has none left.
class RunCapture : public ::testing::Test {
   protected:
    void TearDown() override {
        int status = 0;
        errno = 0;
        EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1) << "a child was left behind";
        EXPECT_EQ(errno, ECHILD);
    }
};

TEST_F(RunCapture, ExitStatusAndOutputOfFinishedChildren) {
    struct Case {
        const char* script;
        int rc;
        const char* out;
    } cases[] = {
        {"printf 'one\\ntwo'", 0, "one\ntwo"},
        {"echo partial; exit 1", 1, "partial\n"},
        {"exit 255", 255, ""},
        {"echo to-stderr >&2; exit 42", 42, ""},  // standard error goes to /dev/null
        {"kill -TERM $$", -1, ""},                // ended by a signal
        {"echo before; kill -KILL $$", -1, "before\n"},
    };
    for (const Case& c : cases) {
        const Timed r = run_sh(c.script, 10);
        EXPECT_EQ(r.rc, c.rc) << c.script;
        EXPECT_EQ(r.out, c.out) << c.script;
    }
}

TEST_F(RunCapture, HundredKilobytesAndExit3ComeBackWhole) {
    const Timed r =
        run_sh("i=0; while [ $i -lt 1024 ]; do printf '%099d\\n' $i; i=$((i+1)); done; exit 3", 20);
    EXPECT_EQ(r.rc, 3);
    ASSERT_EQ(r.out.size(), 102400u);
    EXPECT_EQ(r.out.substr(0, 100), std::string(99, '0') + "\n");
    EXPECT_EQ(r.out.substr(102300), std::string(95, '0') + "1023\n");
}

TEST_F(RunCapture, MissingProgramGives127AndNoOutput) {
    const char* argv[] = {"/nonexistent/corvantis-no-such-program", "-x", nullptr};
    StrBuf out;
    EXPECT_EQ(run_capture(argv, &out, 5), 127);
    EXPECT_EQ(out.len, 0u);
}

TEST_F(RunCapture, RelativePathIsNotSearchedInPath) {
    const char* argv[] = {"sh", "-c", "echo ran", nullptr};
    StrBuf out;
    EXPECT_EQ(run_capture(argv, &out, 5), 127);
    EXPECT_EQ(out.len, 0u);
}

// Children that outstay the limit are killed within about a second of it,
// keep what they printed, and give -1. Generous bounds: machines are noisy.
TEST_F(RunCapture, LimitHoldsWhateverTheChildDoes) {
    struct Case {
        const char* what;
        const char* script;
        bool prints;
    } cases[] = {
        {"sleeps silently", "exec sleep 30", false},
        {"prints, then sleeps", "echo partial; exec sleep 30", true},
        {"closes its output and goes on running", "echo early; exec >&-; exec sleep 30", true},
        {"writes without pause",
         "while :; do echo xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx; done", true},
    };
    for (const Case& c : cases) {
        const Timed r = run_sh(c.script, 1);
        EXPECT_EQ(r.rc, -1) << c.what;
        // A writer fast enough may meet the reply's bound first.
        if (r.out.size() < kRunReplyMax) {
            EXPECT_GE(r.seconds, 1.0) << c.what;
        }
        EXPECT_LT(r.seconds, 4.0) << c.what;
        EXPECT_EQ(!r.out.empty(), c.prints) << c.what;
    }
}

// A child that answers and exits while the reader sleeps through the limit
// has finished in time: its exit status and its whole reply must survive.
// Which side of the limit each run lands on is up to the machine; a success
// without its reply is never right.
TEST_F(RunCapture, ReplyFinishedRightAtTheLimitIsKeptWhole) {
    int successes = 0;
    for (int i = 0; i < 6; ++i) {
        const Timed r = run_sh("sleep 0.99; printf '%10000s' ''; exit 0", 1);
        if (r.rc == 0) {
            ++successes;
            EXPECT_EQ(r.out.size(), 10000u) << "run " << i;
        } else {
            EXPECT_EQ(r.rc, -1) << "run " << i;
        }
    }
    RecordProperty("successes", successes);
}

// A reply may be as long as the bound; a child that prints more is killed
// there, and only the bound's worth is kept.
TEST_F(RunCapture, ReplyIsBoundedAndAChildThatPrintsMoreIsKilled) {
    const std::string max = std::to_string(kRunReplyMax);
    Timed r = run_sh("head -c " + max + " /dev/zero; exit 4", 20);
    EXPECT_EQ(r.rc, 4);
    EXPECT_EQ(r.out.size(), kRunReplyMax);

    r = run_sh("head -c " + max + " /dev/zero; echo x; exit 4", 20);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out.size(), kRunReplyMax);

    ::alarm(30);  // a runner without the bound would collect for 20 s
    r = run_sh("exec yes", 20);
    ::alarm(0);
    EXPECT_EQ(r.rc, -1);
    ASSERT_EQ(r.out.size(), kRunReplyMax);
    EXPECT_EQ(r.out.find_first_not_of("y\n"), std::string::npos);
    EXPECT_LT(r.seconds, 20.0);
}

TEST_F(RunCapture, ChildThatFloodsThePipeIsKilledAtTheLimitOrTheBound) {
    // Four writers that never pause, sharing one processor with the reader so
    // that the output collected in that second stays small.
    cpu_set_t own{}, one{};
    ASSERT_EQ(::sched_getaffinity(0, sizeof own, &own), 0);
    CPU_SET(::sched_getcpu(), &one);
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    ::alarm(30);  // a runner that ignores its limit here would run forever
    const Timed r = run_sh("yes & yes & yes & exec yes", 1);
    ::alarm(0);
    ::sched_setaffinity(0, sizeof own, &own);
    EXPECT_EQ(r.rc, -1);
    if (r.out.size() < kRunReplyMax) {
        EXPECT_GE(r.seconds, 1.0);
    }
    EXPECT_LT(r.seconds, 4.0);
    EXPECT_GT(r.out.size(), 0u);
    EXPECT_LE(r.out.size(), kRunReplyMax);
}

TEST_F(RunCapture, ChildThatEndsAfterClosingItsOutputIsWaitedFor) {
    const Timed r = run_sh("echo done; exec >&-; sleep 1; exit 5", 10);
    EXPECT_EQ(r.rc, 5);
    EXPECT_EQ(r.out, "done\n");
}

TEST_F(RunCapture, ChildGetsOnlyItsStandardStreams) {
    // A descriptor someone opened without close-on-exec, at a number of its own.
    UniqueFd careless(::open("/dev/null", O_RDONLY));
    ASSERT_TRUE(careless.valid());
    ASSERT_EQ(::dup2(careless.get(), 57), 57);
    UniqueFd careless57(57);

    // ls opens the folder it lists as its descriptor 3; anything more leaked in.
    const char* argv[] = {"/bin/ls", "/proc/self/fd", nullptr};
    StrBuf out;
    ASSERT_EQ(run_capture(argv, &out, 10), 0);
    EXPECT_EQ(text_of(out), "0\n1\n2\n3\n");
}

TEST_F(RunCapture, StandardInputIsKeptAndStandardErrorIsDevNull) {
    char own_stdin[512] = {};
    const ssize_t n = ::readlink("/proc/self/fd/0", own_stdin, sizeof own_stdin - 1);
    ASSERT_GT(n, 0);
    const Timed r = run_sh("readlink /proc/self/fd/0; readlink /proc/self/fd/2", 10);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, std::string(own_stdin) + "\n/dev/null\n");
}

volatile sig_atomic_t g_alarms = 0;
void count_alarm(int) {
    g_alarms = g_alarms + 1;
}

TEST_F(RunCapture, SignalsToTheCallerDoNotCutTheRunShort) {
    // Handlers without SA_RESTART, as the program's own stop flags are set up:
    // interrupted sleeps and waits must be resumed, not taken for an end.
    struct sigaction sa {
    }, old{};
    sa.sa_handler = count_alarm;
    ::sigemptyset(&sa.sa_mask);
    ASSERT_EQ(::sigaction(SIGALRM, &sa, &old), 0);
    struct itimerval every_50ms {
        {0, 50000}, { 0, 50000 }
    }, off{};
    ::setitimer(ITIMER_REAL, &every_50ms, nullptr);
    const Timed r = run_sh("sleep 1; echo late; exec >&-; sleep 1; exit 7", 10);
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &old, nullptr);
    EXPECT_GT(g_alarms, 10);
    EXPECT_EQ(r.rc, 7);
    EXPECT_EQ(r.out, "late\n");
}

// Kernels before 5.3 have no pidfd: a child process of the test, in which
// pidfd_open fails as it would there, gets the same results from the runner.
TEST_F(RunCapture, WithoutPidfdTheResultsAreTheSame) {
    const struct {
        const char* script;
        int timeout_s;
    } scripts[] = {
        {"printf 'one\\ntwo'; exit 3", 10},
        {"echo done; exec >&-; sleep 0.5; exit 5", 10},
        {"echo early; exec >&-; exec sleep 30", 1},
        {"kill -TERM $$", 10},
    };
    const auto summary = [&scripts] {
        std::string s;
        for (const auto& [script, timeout_s] : scripts) {
            const Timed r = run_sh(script, timeout_s);
            s += std::to_string(r.rc) + " [" + r.out + "]\n";
        }
        return s;
    };
    const std::string with_pidfd = summary();
    EXPECT_EQ(with_pidfd, "3 [one\ntwo]\n5 [done\n]\n-1 [early\n]\n-1 []\n");

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog prog{static_cast<unsigned short>(std::size(filter)), filter};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
            ::_exit(2);
        if (::syscall(SYS_pidfd_open, ::getpid(), 0) >= 0 || errno != ENOSYS) ::_exit(3);
        const std::string s = summary();
        (void)!::write(fds[1], s.data(), s.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string without;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) without.append(buf, n);
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(without, with_pidfd);
}

TEST(ArchName, MapsWhatUnamePrints) {
    const struct {
        const char* machine;
        const char* name;
    } cases[] = {
        {"x86_64", "x86_64"},
        {"amd64", "x86_64"},
        {"", "x86_64"},
        {nullptr, "x86_64"},
        {"aarch64", "aarch64"},
        {"arm64", "aarch64"},
        {"armv5tel", "armel"},
        {"armv6l", "armel"},
        {"armel", "armel"},
        {"armv7l", "armhf"},
        {"armhf", "armhf"},
        {"armv8l", "armhf"},
        {"arm", "armhf"},
        {"mips", "mips"},
        {"i686", "i686"},
        {"ARMV7L", "ARMV7L"},
        {"aarch64_be", "aarch64_be"},
        {"abcdefghijklmnopqrst", "abcdefghijklmno"},  // cut to 15 bytes
    };
    for (const auto& c : cases) {
        char name[kArchNameSize] = "stale";
        arch_from_machine(c.machine, name, sizeof name);
        EXPECT_STREQ(name, c.name) << (c.machine ? c.machine : "(null)");
    }
}

TEST(ArchName, NeverWritesPastTheNameSize) {
    char field[64];
    std::memset(field, '#', sizeof field);
    arch_from_machine("a-very-long-machine-name-from-uname", field, sizeof field);
    EXPECT_STREQ(field, "a-very-long-mac");
    EXPECT_EQ(field[16], '#');
}

}  // namespace
