// Cost of running an outside program: run_capture on /bin/true against the
// least any runner must do (posix_spawn, poll on the pipe, waitpid).
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "core/clock.h"
#include "core/run.h"
#include "core/strbuf.h"

extern char** environ;

namespace {

// The real clock: no test replaces it here.
double now_ms() {
    return clock_mono_ms();
}

int bare_spawn_poll(const char* path) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    char* const argv[] = {const_cast<char*>(path), nullptr};
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, path, &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return -1;
    }
    char buf[8192];
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, -1) < 0) continue;
        if (::read(fds[0], buf, sizeof buf) <= 0) break;
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int via_run_capture(const char* path) {
    const char* const argv[] = {path, nullptr};
    StrBuf out;
    return run_capture(argv, &out, 10);
}

double per_run_ms(int (*fn)(const char*), const char* path, int runs) {
    const double t0 = now_ms();
    for (int i = 0; i < runs; ++i)
        if (fn(path) != 0) return -1.0;
    return (now_ms() - t0) / runs;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "/bin/true";
    const int runs = 500;
    (void)per_run_ms(bare_spawn_poll, path, 20);  // warm the page cache
    double best_bare = 1e9, best_run = 1e9;
    for (int round = 0; round < 5; ++round) {
        const double bare = per_run_ms(bare_spawn_poll, path, runs);
        const double run = per_run_ms(via_run_capture, path, runs);
        if (bare < 0 || run < 0) {
            std::fprintf(stderr, "%s did not run\n", path);
            return 1;
        }
        if (bare < best_bare) best_bare = bare;
        if (run < best_run) best_run = run;
    }
    std::printf("%s, best of 5 rounds of %d runs:\n", path, runs);
    std::printf("  posix_spawn + poll + waitpid: %.3f ms a run\n", best_bare);
    std::printf("  run_capture:                  %.3f ms a run (%.2fx)\n", best_run,
                best_run / best_bare);
    return 0;
}
