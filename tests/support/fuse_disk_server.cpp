// corvantis_fuse_disk: a test-only FUSE file system that serves one disk
// image as <mountpoint>/disk.img and fails or slows chosen byte ranges, so
// that a loop device over that file gives the surface test real read errors
// of every kind (the loop driver hands the file system's errno to an O_DIRECT
// read of the loop device as it is).
//
//   corvantis_fuse_disk IMAGE MOUNTPOINT CONFIG PARENT_PID
//
// CONFIG is read for every request (replace it with rename), one rule a
// line, numbers in decimal or 0x hexadecimal, '#' starts a comment:
//   fail OFFSET LENGTH ERRNO    reads touching the range fail (EIO, ENODATA,
//                               ETIMEDOUT, ENOLINK, EREMOTEIO, EILSEQ, ENODEV
//                               or a number)
//   slow OFFSET LENGTH MS       reads touching the range take MS longer each
//   slowmib OFFSET LENGTH MS    ... MS longer per MiB read (independent of how
//                               the kernel splits a read into requests)
//   hold OFFSET LENGTH          reads touching the range wait until the rule
//                               is taken out (or the server is told to end)
//   dead_after N                reads after the N-th fail with ENODEV
//   dead_from OFFSET            once a read touches OFFSET or beyond, every
//                               read fails with ENODEV
// A disk that died stays dead even when the rule is taken out again.
//
// <mountpoint>/stats answers "reads N\nbytes N\nfailed N\n": read requests
// on disk.img, bytes served, requests failed.
//
// It runs in the foreground and single-threaded; SIGTERM, or the death of
// PARENT_PID (the test), unmounts it.
#define FUSE_USE_VERSION 35

#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr char kImageName[] = "/disk.img";
constexpr char kStatsName[] = "/stats";

struct Rule {
    enum Kind { kFail, kSlow, kSlowPerMib, kHold } kind;
    std::uint64_t offset, length;
    long value;  // errno or milliseconds
};

struct Config {
    std::vector<Rule> rules;
    std::int64_t dead_after = -1;  // -1: none
    std::int64_t dead_from = -1;   // -1: none
};

struct Server {
    int image_fd = -1;
    std::uint64_t size = 0;
    std::string config_path;
    std::string config_text;
    Config config;
    bool died = false;
    std::uint64_t reads = 0, bytes = 0, failed = 0;
};

Server g_server;

int errno_from_name(const std::string& word) {
    static const struct {
        const char* name;
        int value;
    } kNames[] = {{"EIO", EIO},         {"ENODATA", ENODATA},     {"ETIMEDOUT", ETIMEDOUT},
                  {"ENOLINK", ENOLINK}, {"EREMOTEIO", EREMOTEIO}, {"EILSEQ", EILSEQ},
                  {"ENODEV", ENODEV},   {"ENXIO", ENXIO}};
    for (const auto& n : kNames)
        if (word == n.name) return n.value;
    return static_cast<int>(std::strtol(word.c_str(), nullptr, 0));
}

std::uint64_t number(const std::string& word) {
    return std::strtoull(word.c_str(), nullptr, 0);
}

Config parse_config(const std::string& text) {
    Config c;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        std::istringstream words(line);
        std::string kind, a, b, v;
        if (!(words >> kind)) continue;
        words >> a >> b >> v;
        if (kind == "fail")
            c.rules.push_back({Rule::kFail, number(a), number(b), errno_from_name(v)});
        if (kind == "slow")
            c.rules.push_back({Rule::kSlow, number(a), number(b), std::atol(v.c_str())});
        if (kind == "slowmib")
            c.rules.push_back({Rule::kSlowPerMib, number(a), number(b), std::atol(v.c_str())});
        if (kind == "hold") c.rules.push_back({Rule::kHold, number(a), number(b), 0});
        if (kind == "dead_after") c.dead_after = static_cast<std::int64_t>(number(a));
        if (kind == "dead_from") c.dead_from = static_cast<std::int64_t>(number(a));
    }
    return c;
}

// Read again for every request: a test may change the rules at any moment,
// and file times are too coarse to notice two changes within a few ms.
void reload_config() {
    std::ifstream in(g_server.config_path);
    std::ostringstream text;
    text << in.rdbuf();
    if (text.str() == g_server.config_text) return;
    g_server.config_text = text.str();
    g_server.config = parse_config(g_server.config_text);
}

void sleep_ms(double ms) {
    if (ms <= 0) return;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms - static_cast<double>(ts.tv_sec) * 1000) * 1e6);
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool overlaps(const Rule& r, std::uint64_t off, std::uint64_t len) {
    return off < r.offset + r.length && r.offset < off + len;
}

bool held(std::uint64_t off, std::uint64_t len) {
    reload_config();
    for (const Rule& r : g_server.config.rules)
        if (r.kind == Rule::kHold && overlaps(r, off, len)) return true;
    return false;
}

// 0 to serve the read, else the errno it fails with; waits while the read is
// held and sleeps the latency first.
int judge_read(std::uint64_t off, std::uint64_t len) {
    fuse_session* session = fuse_get_session(fuse_get_context()->fuse);
    while (held(off, len) && !fuse_session_exited(session)) sleep_ms(10);
    reload_config();
    const Config& c = g_server.config;
    if ((c.dead_after >= 0 && g_server.reads > static_cast<std::uint64_t>(c.dead_after)) ||
        (c.dead_from >= 0 && off + len > static_cast<std::uint64_t>(c.dead_from)))
        g_server.died = true;
    if (g_server.died) return ENODEV;
    double delay = 0;
    int err = 0;
    for (const Rule& r : c.rules) {
        if (!overlaps(r, off, len)) continue;
        if (r.kind == Rule::kFail && err == 0) err = static_cast<int>(r.value);
        if (r.kind == Rule::kSlow) delay += static_cast<double>(r.value);
        if (r.kind == Rule::kSlowPerMib)
            delay += static_cast<double>(r.value) * static_cast<double>(len) / (1024.0 * 1024.0);
    }
    sleep_ms(delay);
    return err;
}

std::string stats_text() {
    char text[160];
    std::snprintf(text, sizeof text, "reads %llu\nbytes %llu\nfailed %llu\n",
                  static_cast<unsigned long long>(g_server.reads),
                  static_cast<unsigned long long>(g_server.bytes),
                  static_cast<unsigned long long>(g_server.failed));
    return text;
}

int fs_getattr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    st->st_nlink = 1;
    if (std::strcmp(path, kImageName) == 0) {
        st->st_mode = S_IFREG | 0444;
        st->st_size = static_cast<off_t>(g_server.size);
        return 0;
    }
    if (std::strcmp(path, kStatsName) == 0) {
        st->st_mode = S_IFREG | 0444;
        st->st_size = 4096;  // an upper bound; reads return the text's length
        return 0;
    }
    return -ENOENT;
}

int fs_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOENT;
    for (const char* name : {".", "..", kImageName + 1, kStatsName + 1})
        fill(buf, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int fs_open(const char* path, fuse_file_info* fi) {
    if (std::strcmp(path, kImageName) != 0 && std::strcmp(path, kStatsName) != 0) return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    // No page cache: every read of the loop device must reach the rules.
    fi->direct_io = 1;
    fi->keep_cache = 0;
    return 0;
}

int fs_read(const char* path, char* buf, size_t size, off_t off, fuse_file_info*) {
    if (std::strcmp(path, kStatsName) == 0) {
        const std::string text = stats_text();
        if (off >= static_cast<off_t>(text.size())) return 0;
        const size_t n = std::min(size, text.size() - static_cast<size_t>(off));
        std::memcpy(buf, text.data() + off, n);
        return static_cast<int>(n);
    }
    if (std::strcmp(path, kImageName) != 0) return -ENOENT;
    const auto offset = static_cast<std::uint64_t>(off);
    if (offset >= g_server.size) return 0;
    const std::uint64_t len = std::min<std::uint64_t>(size, g_server.size - offset);
    ++g_server.reads;
    const int err = judge_read(offset, len);
    if (err != 0) {
        ++g_server.failed;
        return -err;
    }
    const ssize_t got = ::pread(g_server.image_fd, buf, len, off);
    if (got < 0) {
        ++g_server.failed;
        return -errno;
    }
    g_server.bytes += static_cast<std::uint64_t>(got);
    return static_cast<int>(got);
}

void* fs_init(fuse_conn_info*, fuse_config* cfg) {
    cfg->direct_io = 1;
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s IMAGE MOUNTPOINT CONFIG PARENT_PID\n", argv[0]);
        return 2;
    }
    // The test that started us may die without stopping us: follow it.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != static_cast<pid_t>(std::atol(argv[4]))) return 3;

    g_server.image_fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (g_server.image_fd < 0 || ::fstat(g_server.image_fd, &st) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    g_server.size = static_cast<std::uint64_t>(st.st_size);
    g_server.config_path = argv[3];
    reload_config();

    fuse_operations ops{};
    ops.getattr = fs_getattr;
    ops.readdir = fs_readdir;
    ops.open = fs_open;
    ops.read = fs_read;
    ops.init = fs_init;
    // Foreground, single-threaded; root's own mount, which the loop driver may read.
    char* fuse_argv[] = {argv[0],
                         argv[2],
                         const_cast<char*>("-f"),
                         const_cast<char*>("-s"),
                         const_cast<char*>("-o"),
                         const_cast<char*>("ro,fsname=corvantis_fuse_disk"),
                         nullptr};
    return fuse_main(6, fuse_argv, &ops, nullptr);
}
