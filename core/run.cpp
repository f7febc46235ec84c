#include "core/run.h"

#include <fcntl.h>
#include <poll.h>
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
// Read in one pass before the limit is looked at again: a pipe's worth.
constexpr std::size_t kPassMax = 1 << 16;
// Once the child is known to have ended, what is left in the pipe is taken
// without waiting; this much at most, so that a grandchild that keeps
// writing cannot hold us here.
constexpr std::size_t kDrainMax = 1 << 20;
// Without a pidfd (kernels before 5.3) a child that has closed its output is
// looked for at this pace at the slowest.
constexpr int kReapPauseMaxMs = 20;
// Where close_range is missing (kernels before 5.9) the child closes every
// number up to the descriptor limit, but never more than this many.
constexpr long kMaxFdToClose = 65536;
// uname answers at once; a hung one must not hold up every smartctl search.
constexpr int kUnameTimeoutS = 10;

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
    // Whole milliseconds to the limit for poll(), at least 1 while it is ahead.
    int left_ms() const {
        const double left = start_ms + limit_ms - real_mono_ms();
        if (left <= 0) return 0;
        return left >= 86400000.0 ? 86400000 : static_cast<int>(left) + 1;
    }
};

// A descriptor that must survive execv: dup2 clears close-on-exec on the copy,
// but when the descriptor already has the wanted number there is no copy.
void move_fd(int fd, int target) {
    if (fd == target) {
        (void)::fcntl(fd, F_SETFD, 0);
    } else {
        (void)::dup2(fd, target);
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

// One running child and what has come of it so far.
class Child {
   public:
    Child(pid_t pid, int read_fd, StrBuf* out) : pid_(pid), pipe_(read_fd), out_(out) {
        // A descriptor that becomes readable when the child ends: the wait
        // then needs no timer. Kernels before 5.3 have none (see run).
#ifdef SYS_pidfd_open
        pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#endif
    }
    ~Child() {
        if (!reaped_ && !lost_) {
            ::kill(pid_, SIGKILL);
            (void)wait_blocking();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int run(const Deadline& deadline);

   private:
    enum class Read { kMore, kEof, kStop };
    Read read_available(std::size_t max);
    void kill_now() {
        ::kill(pid_, SIGKILL);
        killed_ = true;
    }
    int wait_blocking();
    bool try_reap();
    int result() const;

    pid_t pid_;
    UniqueFd pipe_;
    UniqueFd pidfd_;
    StrBuf* out_;
    std::uint64_t taken_ = 0;
    int status_ = 0;
    bool reaped_ = false;
    bool killed_ = false;
    bool overflow_ = false;  // the reply passed its bound or could not be stored
    bool lost_ = false;      // waitpid knows no such child (someone reaped it)
};

// Reads what the pipe holds now, at most max bytes. kStop: the reply went
// past its bound or could not be stored; the child is killed.
Child::Read Child::read_available(std::size_t max) {
    char chunk[kReadChunk];
    for (std::size_t got = 0; got < max;) {
        const ssize_t n = ::read(pipe_.get(), chunk, std::min(sizeof chunk, max - got));
        if (n == 0) return Read::kEof;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? Read::kMore : Read::kEof;
        }
        const std::uint64_t room = kRunReplyMax - taken_;
        const std::uint64_t keep = std::min<std::uint64_t>(static_cast<std::uint64_t>(n), room);
        if (sb_append(out_, chunk, keep) != 0 || keep < static_cast<std::uint64_t>(n)) {
            kill_now();
            overflow_ = true;
            return Read::kStop;
        }
        taken_ += keep;
        got += static_cast<std::size_t>(n);
    }
    return Read::kMore;
}

int Child::wait_blocking() {
    for (;;) {
        const pid_t w = ::waitpid(pid_, &status_, 0);
        if (w == pid_) break;
        if (w < 0 && errno != EINTR) {
            lost_ = true;
            return -1;
        }
    }
    reaped_ = true;
    return 0;
}

// true once the child is gone: reaped here, or (with SIGCHLD ignored) by the
// kernel, when there is no status to be had.
bool Child::try_reap() {
    const pid_t w = ::waitpid(pid_, &status_, WNOHANG);
    if (w == pid_) reaped_ = true;
    if (w < 0 && errno == ECHILD) lost_ = true;
    return reaped_ || lost_;
}

int Child::result() const {
    if (!reaped_ || overflow_ || WIFSIGNALED(status_)) return -1;
    return WEXITSTATUS(status_);
}

// Waits on the pipe and on the child's end at once, so that neither a reply
// nor an exit waits for a timer. The limit holds whatever the child does:
// prints without pause, falls silent, or closes its output and runs on.
int Child::run(const Deadline& deadline) {
    bool pipe_open = true;
    int pause_ms = 1;
    while (!killed_) {
        const int left = deadline.left_ms();
        if (left == 0) {
            kill_now();
            break;
        }
        pollfd fds[2] = {};
        nfds_t n = 0;
        if (pipe_open) fds[n++] = {pipe_.get(), POLLIN, 0};
        if (pidfd_.valid()) fds[n++] = {pidfd_.get(), POLLIN, 0};
        int wait_ms = left;
        if (!pidfd_.valid()) {
            // No way to hear of the child's end: look for it at a growing pace.
            if (try_reap()) break;
            if (!pipe_open) wait_ms = std::min(left, pause_ms);
            pause_ms = std::min(pause_ms * 2, kReapPauseMaxMs);
        }
        const int ready = ::poll(n > 0 ? fds : nullptr, n, wait_ms);
        if (ready < 0 && errno != EINTR) {
            kill_now();
            break;
        }
        if (pipe_open && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            const Read r = read_available(kPassMax);
            if (r == Read::kStop) break;
            if (r == Read::kEof) pipe_open = false;
        }
        if (pidfd_.valid() && (fds[n - 1].revents & POLLIN) && try_reap()) break;
    }
    if (!reaped_ && !lost_ && wait_blocking() != 0) return -1;
    // The child has ended: all it wrote is in the pipe now, also when it
    // finished right as the limit passed (it then keeps its own exit status).
    if (pipe_open && !overflow_) (void)read_available(kDrainMax);
    return result();
}

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
    (void)::fcntl(read_end.get(), F_SETFL, (flags < 0 ? 0 : flags) | O_NONBLOCK);
    Child child(pid, read_end.release(), out);
    return child.run(deadline);
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

int run_first_line(const char* const argv[], int timeout_s, char* field, std::size_t size) {
    str_copy(field, size, "");
    StrBuf out;
    if (run_capture(argv, &out, timeout_s) < 0) return -1;
    const void* nl = std::memchr(out.c_str(), '\n', static_cast<std::size_t>(out.len));
    const std::size_t n =
        nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - out.c_str()) : out.len;
    if (size > 0) {
        const std::size_t keep = std::min(n, size - 1);
        std::memcpy(field, out.c_str(), keep);
        field[keep] = '\0';
    }
    return n > INT32_MAX ? INT32_MAX : static_cast<int>(n);
}

const char* arch_name() {
    if (s_cache.arch[0]) return s_cache.arch;
    static const char* const kUname[] = {"/bin/uname", "/usr/bin/uname"};
    char machine[64] = {};
    for (const char* path : kUname) {
        if (::access(path, X_OK) != 0) continue;
        const char* const argv[] = {path, "-m", nullptr};
        (void)run_first_line(argv, kUnameTimeoutS, machine, sizeof machine);
        break;
    }
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
        (void)std::snprintf(candidate, sizeof candidate, "%s/smartctl-%s", dir, arch_name());
        if (take_if_executable(candidate)) return s_cache.smartctl;
        (void)std::snprintf(candidate, sizeof candidate, "%s/smartctl", dir);
        if (take_if_executable(candidate)) return s_cache.smartctl;
    }
    for (const char* path : kSystemPaths)
        if (take_if_executable(path)) return s_cache.smartctl;
    return nullptr;
}
