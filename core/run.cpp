#include "core/run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/strbuf.h"
#include "core/unique_fd.h"
#include "core/util.h"

namespace {

constexpr std::size_t kReadChunk = 8192;
constexpr std::size_t kDrainMax = 1 << 20;
constexpr useconds_t kIdleSleepUs = 20000;
// Where close_range is missing (kernels before 5.9) the child closes every
// number up to the descriptor limit, but never more than this many.
constexpr long kMaxFdToClose = 65536;

struct RunCache {
    char arch[kArchNameSize];
    char smartctl[kSmartctlPathSize];
};
RunCache s_cache;

// The time limit, on the monotonic clock: a wall clock set back by the NAS's
// time sync must neither stretch nor cut the limit of a running child.
// It reads the real clock even under a test's fake one: the child is real.
double real_mono_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1000000.0;
}

struct Deadline {
    double start_ms;
    double limit_ms;
    bool passed() const { return real_mono_ms() - start_ms > limit_ms; }
};

// A descriptor that must survive execv: dup2 clears close-on-exec on the copy,
// but when the descriptor already has the wanted number there is no copy.
void move_fd(int fd, int target) {
    if (fd == target) {
        ::fcntl(fd, F_SETFD, 0);
    } else {
        ::dup2(fd, target);
    }
}

// Child side, between fork and execv: only async-signal-safe calls.
[[noreturn]] void child_exec(const char* const argv[], int read_fd, int write_fd, long max_fd) {
    ::close(read_fd);
    move_fd(write_fd, STDOUT_FILENO);
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) move_fd(null_fd, STDERR_FILENO);
    // Whatever another part of the program opened without close-on-exec (a
    // lock file, the database) must not live on in a child that may outlive us.
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
        for (long fd = 3; fd < max_fd; ++fd) ::close(static_cast<int>(fd));
    ::execv(argv[0], const_cast<char* const*>(argv));
    ::_exit(127);
}

long fd_limit() {
    struct rlimit rl {};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return kMaxFdToClose;
    return static_cast<long>(std::min<rlim_t>(rl.rlim_cur, kMaxFdToClose));
}

// What sits in the pipe once a killed child is reaped: a child that finished
// while we slept has left its whole reply there, and that reply is judged like
// any other. Bounded, and it stops at an empty pipe, so that a grandchild
// holding the pipe open cannot keep us here.
void drain(int fd, StrBuf* out) {
    char chunk[kReadChunk];
    for (std::size_t taken = 0; taken < kDrainMax;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        sb_append(out, chunk, static_cast<std::uint64_t>(n));
        taken += static_cast<std::size_t>(n);
    }
}

// Reads the child's output until end of file or a read error. The clock is
// checked on every pass, so a child that keeps the pipe full is stopped at the
// limit too. Returns true when the limit passed first and the child was killed
// (a child that had already exited keeps its own exit status).
bool read_output(int fd, StrBuf* out, pid_t pid, const Deadline& deadline) {
    char chunk[kReadChunk];
    for (;;) {
        if (deadline.passed()) {
            ::kill(pid, SIGKILL);
            return true;
        }
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            sb_append(out, chunk, static_cast<std::uint64_t>(n));
        } else if (n == 0) {
            return false;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            ::usleep(kIdleSleepUs);
        } else if (errno != EINTR) {
            return false;
        }
    }
}

// Reaps the child. One that has closed its output but goes on running is
// given no more than the rest of its time.
int reap(pid_t pid, const Deadline& deadline, bool killed) {
    int status = 0;
    useconds_t pause_us = 1000;
    for (;;) {
        const pid_t w = ::waitpid(pid, &status, killed ? 0 : WNOHANG);
        if (w == pid) break;
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (deadline.passed()) {
            ::kill(pid, SIGKILL);
            killed = true;
            continue;
        }
        // Most children exit right after closing their output: look again
        // soon, then settle to the idle pace of the read loop.
        ::usleep(pause_us);
        pause_us = std::min<useconds_t>(pause_us * 2, kIdleSleepUs);
    }
    if (WIFSIGNALED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace

namespace {

int run_capture_real(const char* const argv[], StrBuf* out, int timeout_s) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    UniqueFd read_end(fds[0]);
    UniqueFd write_end(fds[1]);
    const long max_fd = fd_limit();

    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) child_exec(argv, read_end.get(), write_end.get(), max_fd);

    write_end.reset();
    const Deadline deadline{real_mono_ms(), static_cast<double>(timeout_s) * 1000.0};
    const int flags = ::fcntl(read_end.get(), F_GETFL);
    ::fcntl(read_end.get(), F_SETFL, (flags < 0 ? 0 : flags) | O_NONBLOCK);

    if (!read_output(read_end.get(), out, pid, deadline)) {
        read_end.reset();
        return reap(pid, deadline, false);
    }
    // Killed at the limit (a child that had already exited keeps its own exit
    // status): once it is reaped, all it wrote is in the pipe.
    const int rc = reap(pid, deadline, true);
    drain(read_end.get(), out);
    return rc;
}

RunCaptureFn s_runner = run_capture_real;

}  // namespace

int run_capture(const char* const argv[], StrBuf* out, int timeout_s) {
    if (!argv || !argv[0] || !out) return -1;
    return s_runner(argv, out, timeout_s);
}

RunCaptureFn run_capture_replace(RunCaptureFn fn) {
    const RunCaptureFn before = s_runner;
    s_runner = fn ? fn : run_capture_real;
    return before;
}

void arch_from_machine(const char* machine, char* name, std::size_t size) {
    const char* m = machine ? machine : "";
    const auto is = [m](const char* s) { return std::strcmp(m, s) == 0; };
    const auto starts = [m](const char* s) { return std::strncmp(m, s, std::strlen(s)) == 0; };
    const char* mapped = m;
    if (!*m || is("x86_64") || is("amd64")) {
        mapped = "x86_64";
    } else if (is("aarch64") || is("arm64")) {
        mapped = "aarch64";
    } else if (starts("armv5") || starts("armv6") || is("armel")) {
        mapped = "armel";
    } else if (starts("arm")) {
        mapped = "armhf";
    }
    str_copy(name, std::min(size, kArchNameSize), mapped);
}

const char* arch_name() {
    if (s_cache.arch[0]) return s_cache.arch;
    char machine[64] = {};
    std::FILE* p = ::popen("uname -m 2>/dev/null", "re");
    if (p) {
        if (!std::fgets(machine, sizeof machine, p)) machine[0] = '\0';
        ::pclose(p);
    }
    char* nl = std::strchr(machine, '\n');
    if (nl) *nl = '\0';
    arch_from_machine(machine, s_cache.arch, sizeof s_cache.arch);
    return s_cache.arch;
}

namespace {

bool take_if_executable(const char* path) {
    if (::access(path, X_OK) != 0) return false;
    str_copy(s_cache.smartctl, sizeof s_cache.smartctl, path);
    return true;
}

}  // namespace

void smartctl_path_remember(const char* path) {
    str_copy(s_cache.smartctl, sizeof s_cache.smartctl, path);
}

const char* smartctl_path() {
    if (s_cache.smartctl[0]) return s_cache.smartctl;
    static const char* const kPackageDirs[] = {"/usr/app/qorm/bin",
                                               "/usr/app/qorm/dist/smartmontools/bin"};
    static const char* const kSystemPaths[] = {"/usr/local/sbin/smartctl", "/usr/sbin/smartctl",
                                               "/sbin/smartctl", "/usr/bin/smartctl",
                                               "/bin/smartctl"};
    char candidate[kSmartctlPathSize];
    for (const char* dir : kPackageDirs) {
        std::snprintf(candidate, sizeof candidate, "%s/smartctl-%s", dir, arch_name());
        if (take_if_executable(candidate)) return s_cache.smartctl;
        std::snprintf(candidate, sizeof candidate, "%s/smartctl", dir);
        if (take_if_executable(candidate)) return s_cache.smartctl;
    }
    for (const char* path : kSystemPaths)
        if (take_if_executable(path)) return s_cache.smartctl;
    return nullptr;
}
