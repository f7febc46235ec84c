// CPU and terminal output of probe-ui on the test screen while a test runs:
// the real executable in a pseudo-terminal of each size, following a state
// file that this program rewrites once a second as a running full test does
// (a 4096-cell map filling up, speed and temperature histories). Measures the
// UI's user and system time from /proc/<pid>/stat and the bytes it writes to
// the terminal. Prints figures; asserts nothing.
//
//   probe_ui_cpu_bench [seconds per run (30)] [path of corvantisd]
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

std::string history(int n, int base, int spread) {
    std::string s = "[";
    for (int i = 0; i < n; ++i) {
        if (i) s += ',';
        s += std::to_string(base + i * 7 % spread);
    }
    return s + "]";
}

// The state document of a running full test with done of 4096 cells read.
std::string state(int done, long long now) {
    std::string codes(4096, '.');
    for (int i = 0; i < done; ++i) codes[i] = "aaab"[i % 4];
    if (done > 700) codes[700] = 'e';
    if (done > 1500) codes[1500] = 'B';
    std::ostringstream d;
    d << R"({"v":1,"serial":"BENCH1","wwn":"","model":"WDC WD40EFRX-68N32N0","dev":"/dev/sdb",)"
      << R"("kind":"sat","mode":"full","pid":)" << ::getpid()
      << R"(,"status":"running","error":"","phase":"verify","started_ts":)" << now - 600
      << R"(,"updated_ts":)" << now << R"(,"finished_ts":0,"eta_s":3000,)"
      << R"("capacity_bytes":4000787030016,"logical_block_size":512,"md_member":"","md_all":"",)"
      << R"("controller":"","ata_port":"ata3","selftest":{"type":"short","status":"skipped",)"
      << R"("remaining_pct":0,"lba_first_error":null},"map":{"cells":4096,)"
      << R"("cell_bytes":976224256,"method":"verify","done":)" << done << R"(,"codes":")" << codes
      << R"("},"buckets_ms":[10,25,50,150,500],"stats":{"verify_mib":)" << done * 931
      << R"(,"verify_errors":1,"read_samples":0,"read_errors":0,"slow_cells":1},)"
      << R"("speed":{"cur_mibs":182.4,"avg_mibs":175.0,"dev_mibs":180.2,"peak_mibs":201.3,)"
      << R"("max_rate_mibs":0,"idle_s":0,"step_s":2,"hist":)" << history(120, 150, 50)
      << R"(},"thermal":{"sensor":"smart","state":"ok","temp_c":41,"max_c":43,"limit_c":55,)"
      << R"("warm_c":52,"resume_c":50,"limit_src":"default","duty_pct":100,"pauses":0,)"
      << R"("paused_s":0,"slowed_s":0,"hist":)" << history(120, 38, 6)
      << R"(},"bad":[],"snap0":{},"snap1":{},"deltas":{},"siblings":[],"verdict":null})";
    return d.str();
}

void publish(const std::string& dir, int done) {
    const std::string path = dir + "/var/corvantis/probe/BENCH1.json";
    std::ofstream(path + ".tmp", std::ios::trunc) << state(done, std::time(nullptr));
    std::rename((path + ".tmp").c_str(), path.c_str());
}

// User plus system time of pid, in seconds.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
    unsigned long long utime = 0, stime = 0;
    fields >> utime >> stime;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct Figures {
    double cpu_pct, bytes_per_s;
};

Figures run(const std::string& exe, const std::string& dir, int cols, int rows, const char* term,
            int seconds) {
    publish(dir, 100);
    winsize ws{};
    ws.ws_col = static_cast<unsigned short>(cols);
    ws.ws_row = static_cast<unsigned short>(rows);
    int master = -1;
    const pid_t ui = ::forkpty(&master, nullptr, nullptr, &ws);
    if (ui == 0) {
        ::setenv("TERM", term, 1);
        ::unsetenv("COLORTERM");
        ::execl(exe.c_str(), exe.c_str(), "probe-ui", "--serial", "BENCH1", "--qpkg-root",
                dir.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // The first second draws the first frames and reads the file once: not counted.
    auto drain_until = [&](Clock::time_point end, long long* bytes) {
        char buf[65536];
        int done = 100;
        auto next = Clock::now();
        while (Clock::now() < end) {
            if (Clock::now() >= next) {
                publish(dir, done = (done + 3) % 4096);
                next += std::chrono::seconds(1);
            }
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                const ssize_t n = ::read(master, buf, sizeof buf);
                if (n > 0 && bytes) *bytes += n;
            }
        }
    };
    drain_until(Clock::now() + std::chrono::seconds(1), nullptr);
    long long bytes = 0;
    const double cpu0 = cpu_seconds(ui);
    const auto t0 = Clock::now();
    drain_until(t0 + std::chrono::seconds(seconds), &bytes);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpu_seconds(ui) - cpu0;
    ::kill(ui, SIGTERM);
    drain_until(Clock::now() + std::chrono::milliseconds(300), nullptr);
    ::waitpid(ui, nullptr, 0);
    ::close(master);
    return {cpu / wall * 100.0, static_cast<double>(bytes) / wall};
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    std::string exe = argc > 2 ? argv[2] : "";
    if (exe.empty()) {
        char self[4096];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        self[n > 0 ? n : 0] = '\0';
        const std::string path = self;
        const std::size_t slash = path.rfind('/');
        exe =
            (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/corvantisd";
    }
    char tmpl[] = "/tmp/probe-ui-bench-XXXXXX";
    if (!::mkdtemp(tmpl) || ::access(exe.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "needs %s and a temporary folder\n", exe.c_str());
        return 1;
    }
    const std::string dir = tmpl;
    std::filesystem::create_directories(dir + "/var/corvantis/probe");
    std::printf(
        "probe-ui on the test screen of a running test, %d s per run, the state file\n"
        "rewritten once a second (%s)\n",
        seconds, exe.c_str());
    std::printf("%-9s %-16s %12s %16s\n", "size", "TERM", "CPU % core", "bytes/s to tty");
    const struct {
        int cols, rows;
        const char* term;
    } runs[] = {{80, 24, "xterm-256color"},
                {120, 40, "xterm-256color"},
                {200, 60, "xterm-256color"},
                {200, 60, "xterm"}};
    for (const auto& r : runs) {
        const Figures f = run(exe, dir, r.cols, r.rows, r.term, seconds);
        std::printf("%3dx%-5d %-16s %12.2f %16.0f\n", r.cols, r.rows, r.term, f.cpu_pct,
                    f.bytes_per_s);
        std::fflush(stdout);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
