#include "surface_ui/spawn.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/cli.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/unique_fd.h"
#include "core/util.h"
#include "surface_ui/view.h"

namespace {

// A log that grew past this is started afresh by the next test.
constexpr off_t kLogLimitBytes = 1 << 20;

UiSpawnFn s_spawn = nullptr;

// The file a detached test of serial writes its output to ("" when the
// serial cannot name a file).
void probe_log_path(const char* serial, char* buf, std::size_t size) {
    if (size == 0) return;
    buf[0] = '\0';
    if (!serial || !name_is_safe(serial, 79)) return;
    const int n = std::snprintf(buf, size, "%s/probe/%s.log", g_var_dir, serial);
    if (n < 0 || static_cast<std::size_t>(n) >= size) buf[0] = '\0';
}

// Where the test's output goes: its log, else /dev/null, else nothing changes.
int open_output(const char* serial) {
    char path[800];
    probe_log_path(serial, path, sizeof path);
    if (path[0]) {
        char dir[700];
        std::snprintf(dir, sizeof dir, "%s/probe", g_var_dir);
        ::mkdir(dir, 0755);
        const int fd = file_open_unshared(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            struct stat st {};
            if (::fstat(fd, &st) == 0 && st.st_size > kLogLimitBytes) (void)!::ftruncate(fd, 0);
            return fd;
        }
        log_msg("cannot open the test's log %s: %s", path, std::strerror(errno));
    }
    return ::open("/dev/null", O_WRONLY | O_CLOEXEC);
}

// 0, 1 and 2 must reach the test: dup2 makes copies without close-on-exec,
// and a descriptor that already has the number only loses the flag.
void put_on(int fd, int target) {
    if (fd < 0) return;
    // Nothing can be reported from here: a failure leaves the test that stream.
    if (fd == target)
        (void)::fcntl(fd, F_SETFD, 0);
    else
        (void)::dup2(fd, target);
}

// The first child: a session of its own, far from the UI's terminal, then the
// test as its child and an immediate exit, so that nobody has to wait for the
// test and it never becomes the UI's zombie.
// Between fork and exec it makes system calls only.
[[noreturn]] void intermediate(const ProbeArgv& a, int in, int out) {
    ::setsid();
    put_on(in, 0);
    put_on(out, 1);
    put_on(out, 2);
    if (::fork() != 0) ::_exit(0);
    ::execv(a.exe, a.argv);
    ::_exit(127);
}

}  // namespace

void ui_rate_arg(double mib_per_s, char* buf, std::size_t size) {
    if (size == 0) return;
    if (!std::isfinite(mib_per_s) || mib_per_s <= 0) {
        std::snprintf(buf, size, "0");
        return;
    }
    if (mib_per_s == std::floor(mib_per_s) && mib_per_s < 1e15) {
        std::snprintf(buf, size, "%.0f", mib_per_s);
        return;
    }
    // The shortest text that reads back as the same double.
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(buf, size, "%.*g", digits, mib_per_s);
        if (std::strtod(buf, nullptr) == mib_per_s) return;
    }
}

void ui_probe_argv(ProbeArgv* a, const char* exe, const char* serial, const char* mode) {
    str_copy(a->exe, sizeof a->exe, exe);
    if (g_temp_limit < 0)
        std::snprintf(a->temp_limit, sizeof a->temp_limit, "auto");
    else if (g_temp_limit == 0)
        std::snprintf(a->temp_limit, sizeof a->temp_limit, "off");
    else
        std::snprintf(a->temp_limit, sizeof a->temp_limit, "%d", g_temp_limit);
    ui_rate_arg(g_max_rate, a->max_rate, sizeof a->max_rate);
    static char probe[] = "probe", serial_opt[] = "--serial", mode_opt[] = "--mode",
                json[] = "--json", root_opt[] = "--qpkg-root", temp_opt[] = "--temp-limit",
                rate_opt[] = "--max-rate";
    char* words[] = {a->exe,        probe,
                     serial_opt,    const_cast<char*>(serial),
                     mode_opt,      const_cast<char*>(mode),
                     json,          root_opt,
                     g_root,        temp_opt,
                     a->temp_limit, rate_opt,
                     a->max_rate,   nullptr};
    static_assert(sizeof words / sizeof words[0] == kProbeArgvWords + 1);
    std::memcpy(a->argv, words, sizeof words);
}

int ui_spawn_probe_exe(const char* exe, const char* serial, const char* mode) {
    if (!exe || !*exe || !serial || !mode) return -1;
    ProbeArgv a;
    ui_probe_argv(&a, exe, serial, mode);
    const UniqueFd in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const UniqueFd out(open_output(serial));
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) intermediate(a, in.get(), out.get());
    // A signal (a resize, a key's interrupt) must not leave the child unwaited.
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

int ui_spawn_probe(const char* serial, const char* mode) {
    if (s_spawn) return s_spawn(serial, mode);
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return -1;
    exe[n] = '\0';
    return ui_spawn_probe_exe(exe, serial, mode);
}

UiSpawnFn ui_spawn_replace(UiSpawnFn fn) {
    const UiSpawnFn before = s_spawn;
    s_spawn = fn;
    return before;
}

RunMark ui_run_mark(const ProbeView* view) {
    return view->present ? RunMark{view->started_ts, view->pid} : RunMark{0, 0};
}

bool ui_run_is_new(const ProbeView* view, const RunMark& before) {
    if (!view->present) return false;
    return view_running(view) || view->started_ts > before.started_ts || view->pid != before.pid;
}
