// The collector's own cost: a dump of 24 disks answered by an instant fake
// smartctl against the same 24 smartctl runs alone, the rows a second,
// unchanged dump writes, and the database's growth over 1000 hourly polls of
// 24 unchanged disks. Runs in a scratch folder; prints figures, asserts nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "collector/platform.h"
#include "collector/polls.h"
#include "core/clock.h"
#include "core/db.h"
#include "core/paths.h"
#include "core/run.h"
#include "core/strbuf.h"
#include "core/util.h"

namespace {

constexpr int kDisks = 24;
constexpr int kHourlyPolls = 1000;

std::string s_reply;
std::int64_t s_now = 1800000000;

void put(const std::string& path, const std::string& text, mode_t mode = 0644) {
    for (size_t pos = 1; (pos = path.find('/', pos)) != std::string::npos; ++pos)
        ::mkdir(path.substr(0, pos).c_str(), 0755);
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

std::int64_t no_klog(StrBuf*) {
    return 0;
}

// The 1000 polls do not start 24000 processes: smartctl answers in process.
int instant_reply(const char* const argv[], StrBuf* out, int) {
    for (const char* const* a = argv; *a; ++a)
        if (std::string(*a) == "farm") return 0;
    return sb_append(out, s_reply.data(), s_reply.size()) == 0 ? 0 : -1;
}

std::int64_t fake_now() {
    return s_now;
}
double fake_mono() {
    return static_cast<double>(s_now) * 1000.0;
}
void fake_sleep(double) {}

std::int64_t file_size(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

long long rows_written_of_last_poll() {
    DbStmt st("SELECT rows_written FROM polls ORDER BY poll_id DESC LIMIT 1");
    return st.step() == 100 ? static_cast<long long>(st.col_int(0)) : -1;
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/corvantis-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    const std::string root = dir + "/root";
    s_reply = slurp(std::string(CORVANTIS_TEST_DATA) + "/smartctl/ata-hdd-wd181kryz-all.json");
    put(dir + "/reply.json", s_reply);
    put(dir + "/smartctl", "#!/bin/sh\nexec cat " + dir + "/reply.json\n", 0755);
    for (int i = 0; i < kDisks; ++i) {
        const std::string block = root + "/sys/block/sd" + static_cast<char>('a' + i);
        put(block + "/device/serial", "SER" + std::to_string(i) + "\n");
        put(block + "/device/model", "WDC WD181KRYZ\n");
        put(block + "/queue/rotational", "1\n");
        put(block + "/size", "35156656128\n");
    }
    const Platform p{root.c_str(), no_klog};
    platform_replace(&p);
    smartctl_path_remember((dir + "/smartctl").c_str());
    str_copy(g_var_dir, sizeof g_var_dir, dir.c_str());
    str_copy(g_db_path, sizeof g_db_path, (dir + "/corvantis.db").c_str());
    if (db_open(1) != 0) return 1;
    ::freopen("/dev/null", "w", stderr);  // the polls' log lines

    // 24 smartctl runs alone.
    const char* argv[] = {smartctl_path(), "-x", "-j", "/dev/sda", nullptr};
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kDisks; ++i) {
        StrBuf out;
        (void)run_capture(argv, &out, 30);
    }
    const double runs_ms = ms_since(t0);

    t0 = std::chrono::steady_clock::now();
    cmd_dump(nullptr);
    tick_lock_release();
    const double first_ms = ms_since(t0);
    t0 = std::chrono::steady_clock::now();
    cmd_dump(nullptr);
    tick_lock_release();
    const double second_ms = ms_since(t0);
    const long long second_rows = rows_written_of_last_poll();

    std::printf("24 smartctl runs alone:              %8.1f ms\n", runs_ms);
    std::printf("first dump of 24 disks:              %8.1f ms (%.2f ms a disk over smartctl)\n",
                first_ms, (first_ms - runs_ms) / kDisks);
    std::printf("second, unchanged dump:              %8.1f ms (%.2f ms a disk over smartctl)\n",
                second_ms, (second_ms - runs_ms) / kDisks);
    std::printf("readings rows of the unchanged dump: %8lld\n", second_rows);

    // 1000 hourly polls, one an hour, in process.
    const ClockFns fake{fake_now, fake_mono, fake_sleep};
    clock_replace(&fake);
    run_capture_replace(instant_reply);
    const std::int64_t before = file_size(g_db_path);
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kHourlyPolls; ++i) {
        s_now += 3600;
        DbTxn txn;
        poll_run("hourly", s_now - s_now % 3600, 1, nullptr);
        if (txn.commit() != 0) return 1;
    }
    const double polls_ms = ms_since(t0);
    const std::int64_t after = file_size(g_db_path);
    std::printf(
        "1000 hourly polls of 24 unchanged disks: %.0f ms; database %lld -> %lld bytes "
        "(+%.1f bytes a poll)\n",
        polls_ms, static_cast<long long>(before), static_cast<long long>(after),
        static_cast<double>(after - before) / kHourlyPolls);
    db_close();
    std::system(("rm -rf " + dir).c_str());
    return 0;
}
