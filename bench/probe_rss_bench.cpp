// Peak resident memory of a whole surface test (every phase, full mode) of a
// disk with 4096 cells: a sparse loop device of 32 GiB in RAM, seen by the
// run as /dev/sdq of a small fake /sys tree. The run happens in a child
// process, whose peak resident set the kernel reports when it ends. Prints the
// figure; asserts nothing.
//
//   probe_rss_bench [--size-gib N]
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "bench/ram_loop.h"
#include "core/paths.h"
#include "core/run.h"
#include "core/strbuf.h"
#include "core/util.h"
#include "surface_test/probe_run.h"
#include "surface_test/probe_state.h"

namespace {

void put(const std::string& path, const std::string& text) {
    std::ofstream(path) << text << "\n";
}

void mkdirs(const std::string& path) {
    for (std::size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0755);
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t size_gib = 32;
    for (int i = 1; i + 1 < argc; i += 2)
        if (!std::strcmp(argv[i], "--size-gib")) size_gib = std::strtoull(argv[i + 1], nullptr, 10);
    const std::uint64_t capacity = size_gib << 30;

    RamLoop disk(capacity);
    const std::string& loop = disk.dev();
    if (loop.empty()) return 1;

    char root_buf[] = "/tmp/corvantis-rss-root-XXXXXX";
    const std::string root = ::mkdtemp(root_buf);
    const std::string blk = root + "/sys/block/sdq";
    mkdirs(blk + "/device");
    mkdirs(blk + "/queue");
    mkdirs(root + "/dev");
    mkdirs(root + "/var");
    put(blk + "/size", std::to_string(capacity / 512));
    put(blk + "/queue/logical_block_size", "512");
    put(blk + "/queue/rotational", "0");
    put(blk + "/device/serial", "RSSBENCH01");
    put(blk + "/device/model", "Bench Disk");
    ::symlink(loop.c_str(), (root + "/dev/sdq").c_str());

    g_probe_root = root.c_str();
    std::snprintf(g_var_dir, kVarDirSize, "%s/var", root.c_str());
    std::snprintf(g_db_path, kDbPathSize, "%s/var/corvantis.db", root.c_str());

    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open("/dev/null", O_WRONLY);  // the run's log lines
        ::dup2(fd, 2);
        std::_Exit(probe_run("RSSBENCH01", "full"));
    }
    int status = 0;
    rusage ru{};
    ::wait4(pid, &status, 0, &ru);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf(
        "probe of a %llu GiB disk (4096 cells), full mode, every phase: exit %d in %.1f s; "
        "peak resident memory %.1f MiB\n",
        static_cast<unsigned long long>(size_gib), WIFEXITED(status) ? WEXITSTATUS(status) : -1, s,
        static_cast<double>(ru.ru_maxrss) / 1024);

    StrBuf out;
    const char* const rm[] = {"/bin/rm", "-rf", root.c_str(), nullptr};
    (void)run_capture(rm, &out, 60);  // a leftover folder in /tmp is harmless
    return 0;
}
