// Raw mode and its restore on a real pseudo-terminal, for every way a
// full-screen process ends or stops, and the key reader fed through one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "surface_ui/screen.h"
#include "tests/support/fake_clock.h"
#include "tests/support/pseudo_terminal.h"

namespace {

// ---- a full-screen process on a pseudo-terminal ----

// The child: what probe-ui does with its terminal, frame after frame, until a
// quit signal; "x" typed makes it call exit() without restoring anything.
// After each key wait it writes a byte to tick_fd, when there is one.
[[noreturn]] void run_screen(int tty, int ready_fd, int tick_fd = -1) {
    ::setpgid(0, 0);  // its own job, as a shell starts it
    ::signal(SIGTSTP, SIG_DFL);
    ::signal(SIGQUIT, SIG_DFL);
    ::dup2(tty, STDIN_FILENO);
    ::dup2(tty, STDOUT_FILENO);
    ui_install_quit_signals();
    if (scr_enter() != 0) ::_exit(10);
    (void)!::write(ready_fd, "r", 1);
    scr_resize(20, 4);
    while (!g_quit) {
        scr_clear();
        scr_text(0, 0, 20, "running", 1, -1, 0);
        scr_flush();
        if (scr_read_key(100) == 'x') std::exit(0);
        if (tick_fd >= 0) (void)!::write(tick_fd, "t", 1);
    }
    scr_restore();
    ::_exit(0);
}

// How the shell's play with its job ended, as exit codes.
enum ShellEnd {
    kJobEnded = 0,
    kJobNotSuspended = 3,
    kJobStoppedAgain = 4,
    kJobKeptRunning = 5,
    kJobStayedCooked = 6,
};
constexpr char kPrompt[] = "$ ";

// The screen as the shell's job, and how the shell talks to it.
struct ShellJob {
    const PseudoTerminal& pty;
    termios shell_settings;  // the terminal as the shell keeps it for itself
    pid_t pid;               // also its process group
    int tick_fd;             // a byte after each of the screen's key waits
};

using ShellPlay = int (*)(const ShellJob& job);

// An interactive shell in a session of its own, with the terminal as its
// controlling terminal: it runs the screen as its foreground job, then plays
// job control with it and exits with a ShellEnd.
[[noreturn]] void run_shell(const PseudoTerminal& pty, int ready_fd, ShellPlay play) {
    const int tty = pty.slave();
    ::setsid();
    if (::ioctl(tty, TIOCSCTTY, 0) != 0) ::_exit(20);
    ::signal(SIGTTOU, SIG_IGN);  // a shell hands the terminal on from the background
    int go[2], job_ready[2], ticks[2];
    if (::pipe(go) != 0 || ::pipe(job_ready) != 0 || ::pipe(ticks) != 0) ::_exit(21);
    termios shell_settings{};
    if (::tcgetattr(tty, &shell_settings) != 0) ::_exit(21);
    const pid_t job = ::fork();
    if (job == 0) {
        ::signal(SIGTTOU, SIG_DFL);
        char c = 0;
        if (::read(go[0], &c, 1) != 1) ::_exit(22);
        run_screen(tty, job_ready[1], ticks[1]);
    }
    ::setpgid(job, job);
    if (::tcsetpgrp(tty, job) != 0) ::_exit(23);
    char c = 0;
    if (::write(go[1], "g", 1) != 1 || ::read(job_ready[0], &c, 1) != 1) ::_exit(24);
    (void)!::write(ready_fd, "r", 1);
    ::_exit(play(ShellJob{pty, shell_settings, job, ticks[0]}));
}

// The shell takes the terminal back from its stopped job, with its own
// settings, and prints its prompt.
void shell_takes_terminal(const ShellJob& job) {
    const int tty = job.pty.slave();
    if (::tcsetpgrp(tty, ::getpgrp()) != 0) ::_exit(25);
    ::tcsetattr(tty, TCSANOW, &job.shell_settings);
    (void)!::write(tty, kPrompt, sizeof kPrompt - 1);
}

// Waits for the job to end, and kills it when it stops again or keeps running.
int job_end(pid_t job) {
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        const pid_t r = ::waitpid(job, &status, WUNTRACED | WNOHANG);
        if (r == job && WIFEXITED(status) && WEXITSTATUS(status) == 0) return kJobEnded;
        if (r == job && WIFSTOPPED(status)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(job, SIGKILL);
    return WIFSTOPPED(status) ? kJobStoppedAgain : kJobKeptRunning;
}

// Ctrl-Z is typed, the shell takes the terminal back, then kill %1 (SIGTERM,
// then SIGCONT, to the stopped job, now in the background).
int play_kill_suspended(const ShellJob& job) {
    job.pty.type("\x1a");
    int status = 0;
    if (::waitpid(job.pid, &status, WUNTRACED) != job.pid || !WIFSTOPPED(status))
        return kJobNotSuspended;
    shell_takes_terminal(job);
    ::killpg(job.pid, SIGTERM);
    ::killpg(job.pid, SIGCONT);
    return job_end(job.pid);
}

// Reads what a stopped job wrote to fd before it stopped.
void drain_ticks(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    char ticks[256];
    while (::read(fd, ticks, sizeof ticks) > 0) {
    }
    ::fcntl(fd, F_SETFL, flags);
}

// Blocks until the screen has ended two more of its key waits.
bool two_key_waits(int fd) {
    char tick[2];
    return ::read(fd, tick, 1) == 1 && ::read(fd, tick + 1, 1) == 1;
}

// The job is stopped (Ctrl-Z, or SIGSTOP that it cannot catch), the shell
// takes the terminal, bg (SIGCONT), then fg, which sends no SIGCONT to a
// running job: the screen must take the terminal back by itself. Then it is
// ended in the foreground, and restores the terminal.
int stop_bg_fg(const ShellJob& job, bool ctrl_z) {
    const int tty = job.pty.slave();
    if (ctrl_z)
        job.pty.type("\x1a");
    else
        ::kill(job.pid, SIGSTOP);
    int status = 0;
    if (::waitpid(job.pid, &status, WUNTRACED) != job.pid || !WIFSTOPPED(status))
        return kJobNotSuspended;
    shell_takes_terminal(job);
    drain_ticks(job.tick_fd);
    ::killpg(job.pid, SIGCONT);
    // Two of its key waits done: one began after the SIGCONT, in the background.
    if (!two_key_waits(job.tick_fd)) ::_exit(27);
    if (::tcsetpgrp(tty, job.pid) != 0) ::_exit(28);
    termios t{};
    for (int i = 0; i < 500 && ::tcgetattr(tty, &t) == 0 && (t.c_lflag & ICANON); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (t.c_lflag & ICANON) {
        ::kill(job.pid, SIGKILL);
        return kJobStayedCooked;
    }
    // Two more of its key waits, so that a frame was drawn since.
    drain_ticks(job.tick_fd);
    if (!two_key_waits(job.tick_fd)) ::_exit(27);
    ::kill(job.pid, SIGTERM);
    const int end = job_end(job.pid);
    if (::tcsetpgrp(tty, ::getpgrp()) != 0) ::_exit(25);
    (void)!::write(tty, kPrompt, sizeof kPrompt - 1);
    return end;
}

int play_ctrl_z_bg_fg(const ShellJob& job) {
    return stop_bg_fg(job, true);
}
int play_sigstop_bg_fg(const ShellJob& job) {
    return stop_bg_fg(job, false);
}

template <ShellPlay play>
[[noreturn]] void shell(const PseudoTerminal& pty, int ready_fd) {
    run_shell(pty, ready_fd, play);
}

using ChildMain = void (*)(const PseudoTerminal& pty, int ready_fd);

void run_screen_on(const PseudoTerminal& pty, int ready_fd) {
    run_screen(pty.slave(), ready_fd);
}

class ScreenProcess {
   public:
    explicit ScreenProcess(const PseudoTerminal& pty, ChildMain child = run_screen_on) : pty_(pty) {
        int p[2];
        EXPECT_EQ(::pipe(p), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(p[0]);
            child(pty, p[1]);
            ::_exit(30);
        }
        ::close(p[1]);
        char c = 0;
        EXPECT_EQ(::read(p[0], &c, 1), 1) << "the child did not enter raw mode";
        ::close(p[0]);
    }
    ~ScreenProcess() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    pid_t pid() const { return pid_; }
    // Waits (draining the terminal, so that the child never blocks on it) for
    // the child to stop or end; returns its wait status.
    int wait_change(int options) {
        for (int i = 0; i < 1000; ++i) {
            output_ += pty_.drain();
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, options | WNOHANG);
            if (r == pid_) {
                if (WIFEXITED(status) || WIFSIGNALED(status)) reaped_ = true;
                output_ += pty_.drain();
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    // Waits until the terminal's settings differ from (or equal) the given ones.
    bool wait_settings(const std::string& settings, bool equal) {
        for (int i = 0; i < 500; ++i) {
            output_ += pty_.drain();
            if ((pty_.stty_g() == settings) == equal) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    const std::string& output() const { return output_; }

   private:
    const PseudoTerminal& pty_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string output_;
};

constexpr char kEnterScreen[] = "\x1b[?1049h\x1b[?25l\x1b[2J";
constexpr char kLeaveScreen[] = "\x1b[0m\x1b[?25h\x1b[?1049l";

TEST(TerminalRestore, EveryQuitSignalRestoresTheSettings) {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        PseudoTerminal pty;
        const std::string before = pty.stty_g();
        ScreenProcess child(pty);
        EXPECT_NE(pty.stty_g(), before) << strsignal(sig) << ": not in raw mode";
        ::kill(child.pid(), sig);
        const int status = child.wait_change(0);
        ASSERT_TRUE(WIFEXITED(status)) << strsignal(sig) << " status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0) << strsignal(sig);
        EXPECT_EQ(pty.stty_g(), before) << strsignal(sig);
        EXPECT_NE(child.output().find(kLeaveScreen), std::string::npos) << strsignal(sig);
    }
}

TEST(TerminalRestore, ExitWithoutRestoringIsRestoredAtExit) {
    PseudoTerminal pty;
    const std::string before = pty.stty_g();
    ScreenProcess child(pty);
    pty.type("x");
    const int status = child.wait_change(0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(pty.stty_g(), before);
    EXPECT_NE(child.output().find(kLeaveScreen), std::string::npos);
}

TEST(TerminalRestore, SuspendRestoresAndContinueEntersRawModeAgain) {
    PseudoTerminal pty;
    const std::string before = pty.stty_g();
    ScreenProcess child(pty);
    const std::string raw = pty.stty_g();
    ASSERT_NE(raw, before);

    ::kill(child.pid(), SIGTSTP);
    const int stopped = child.wait_change(WUNTRACED);
    ASSERT_TRUE(WIFSTOPPED(stopped)) << "status " << stopped;
    EXPECT_EQ(WSTOPSIG(stopped), SIGTSTP);
    EXPECT_EQ(pty.stty_g(), before) << "stopped with the terminal in raw mode";

    ::kill(child.pid(), SIGCONT);
    EXPECT_TRUE(child.wait_settings(raw, true)) << "raw mode not entered again";

    ::kill(child.pid(), SIGTERM);
    const int status = child.wait_change(0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(pty.stty_g(), before);
}

// A stop that cannot be caught leaves the terminal as it was; the shell then
// puts its own settings back, and SIGCONT must bring raw mode back.
TEST(TerminalRestore, ContinueAfterAnUncatchableStopEntersRawModeAgain) {
    PseudoTerminal pty;
    const std::string before = pty.stty_g();
    ScreenProcess child(pty);
    const std::string raw = pty.stty_g();

    ::kill(child.pid(), SIGSTOP);
    ASSERT_TRUE(WIFSTOPPED(child.wait_change(WUNTRACED)));
    ASSERT_TRUE(pty.stty_set(before));
    ASSERT_EQ(pty.stty_g(), before);

    ::kill(child.pid(), SIGCONT);
    EXPECT_TRUE(child.wait_settings(raw, true)) << "raw mode not entered again";
    ::kill(child.pid(), SIGHUP);
    ASSERT_TRUE(WIFEXITED(child.wait_change(0)));
    EXPECT_EQ(pty.stty_g(), before);
}

// Job control played by a shell: a kill must end a suspended screen, which,
// back in the background, neither stops again on the terminal nor writes a
// byte after the prompt; a screen brought back to the foreground in any way
// is raw and on the alternate screen again before it draws.
TEST(TerminalRestore, AShellsJobControlLeavesTheTerminalRight) {
    const struct {
        const char* name;
        ChildMain shell;
        bool screen_back;  // the screen comes back after the shell's prompt
    } cases[] = {
        {"Ctrl-Z, kill %1", shell<play_kill_suspended>, false},
        {"Ctrl-Z, bg, fg", shell<play_ctrl_z_bg_fg>, true},
        {"SIGSTOP, bg, fg", shell<play_sigstop_bg_fg>, true},
    };
    for (const auto& c : cases) {
        PseudoTerminal pty;
        const std::string before = pty.stty_g();
        ScreenProcess shell(pty, c.shell);
        const int status = shell.wait_change(0);
        ASSERT_TRUE(WIFEXITED(status)) << c.name << ": status " << status;
        EXPECT_EQ(WEXITSTATUS(status), kJobEnded) << c.name;
        EXPECT_EQ(pty.stty_g(), before) << c.name;
        const std::string& out = shell.output();
        const std::size_t prompt = out.find(kPrompt);
        ASSERT_NE(prompt, std::string::npos) << c.name << ": no prompt";
        EXPECT_EQ(out.substr(out.rfind(kPrompt)), kPrompt) << c.name << ": written after the end";
        // No frame lands on the shell's screen: the screen is entered first.
        const std::string after = out.substr(prompt + sizeof kPrompt - 1);
        EXPECT_EQ(after.rfind(kEnterScreen, 0) == 0, c.screen_back) << c.name;
        if (c.screen_back) {
            EXPECT_NE(after.find("running"), std::string::npos) << c.name;
        }
    }
}

TEST(TerminalRestore, EnterFailsWithoutATerminalAndRestoreRunsOnce) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    {
        FdRedirect in(p[0], STDIN_FILENO);
        EXPECT_EQ(scr_enter(), -1);
        EXPECT_EQ(g_raw, 0);
    }
    ::close(p[0]);
    ::close(p[1]);

    PseudoTerminal pty;
    const std::string before = pty.stty_g();
    {
        FdRedirect in(pty.slave(), STDIN_FILENO);
        FdRedirect out(pty.slave(), STDOUT_FILENO);
        ASSERT_EQ(scr_enter(), 0);
        EXPECT_EQ(scr_enter(), 0);  // a second entry must not save the raw settings
        scr_restore();
        scr_restore();
    }
    EXPECT_EQ(pty.stty_g(), before);
    const std::string out = pty.drain();
    EXPECT_EQ(out, std::string(kEnterScreen) + kLeaveScreen);
}

// ---- the key reader ----

// Keys typed on a real terminal, decoded on the real clock: a program clock
// that a test holds still neither keeps the reader waiting for ever nor keeps
// a lone Esc pending. In a child, whose alarm ends a reader that never returns.
TEST(KeyReader, ReadsTypedKeysOnTheRealClock) {
    PseudoTerminal pty;
    pty.make_raw();
    FdRedirect in(pty.slave(), STDIN_FILENO);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(5);
        FakeClock held;
        if (scr_read_key(50) != 0) ::_exit(1);
        pty.type("j\x1b[B\x1b");
        const int keys[] = {scr_read_key(2000), scr_read_key(2000), scr_read_key(2000)};
        ::_exit(keys[0] == 'j' && keys[1] == KEY_DOWN && keys[2] == KEY_ESC ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
