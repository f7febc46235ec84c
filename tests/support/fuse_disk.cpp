#include "tests/support/fuse_disk.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

extern char** environ;

namespace {

const char* server_path() {
#ifdef CORVANTIS_FUSE_DISK_BIN
    return CORVANTIS_FUSE_DISK_BIN;
#else
    return "";
#endif
}

// The server's mount shows as a different device than the folder under it.
bool mounted(const std::string& mount, const std::string& file) {
    struct stat m {
    }, f{};
    return ::stat(mount.c_str(), &m) == 0 && ::stat(file.c_str(), &f) == 0 &&
           m.st_dev == f.st_dev && S_ISREG(f.st_mode);
}

bool reaped(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid;
}

bool wait_exit(pid_t pid) {
    return wait_until([pid] { return reaped(pid); }, 5);
}

std::string hex(std::uint64_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

}  // namespace

bool FuseDisk::available() {
    return server_path()[0] != '\0' && ::access(server_path(), X_OK) == 0 && ::geteuid() == 0 &&
           ::access("/dev/fuse", R_OK | W_OK) == 0;
}

FuseDisk::FuseDisk(const std::string& image)
    : mount_(dir_.path() + "/mnt"), file_(mount_ + "/disk.img"), config_(dir_.path() + "/rules") {
    if (!available()) {
        error_ = "the FUSE server was not built (libfuse3-dev) or this is no root with /dev/fuse";
        return;
    }
    ::mkdir(mount_.c_str(), 0755);
    write_config();
    const std::string log = dir_.path() + "/server.log";
    const std::string parent = std::to_string(::getpid());
    const char* const argv[] = {server_path(),   image.c_str(),  mount_.c_str(),
                                config_.c_str(), parent.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, server_path(), &actions, nullptr,
                                 const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error_ = "cannot start the FUSE server";
        return;
    }
    bool ended = false;
    if (wait_until([&] { return mounted(mount_, file_) || (ended = reaped(pid)); }, 5)) {
        if (ended) {
            error_ = "the FUSE server ended: " + read_file(log);
            return;
        }
        pid_ = pid;
        return;
    }
    ::kill(pid, SIGKILL);
    wait_exit(pid);
    ::umount2(mount_.c_str(), MNT_DETACH);
    error_ = "the FUSE server did not mount within 5 s: " + read_file(log);
}

FuseDisk::~FuseDisk() {
    if (pid_ <= 0) return;
    // SIGTERM makes the server unmount itself; a lazy unmount covers a
    // server that hung, or a loop device that still holds the file.
    ::kill(pid_, SIGTERM);
    if (!wait_exit(pid_)) {
        ::kill(pid_, SIGKILL);
        wait_exit(pid_);
    }
    ::umount2(mount_.c_str(), MNT_DETACH);
}

void FuseDisk::add_rule(const std::string& line) {
    rules_.push_back(line);
    write_config();
}

void FuseDisk::fail(std::uint64_t offset, std::uint64_t length, int err) {
    add_rule("fail " + hex(offset) + " " + hex(length) + " " + std::to_string(err));
}
void FuseDisk::slow(std::uint64_t offset, std::uint64_t length, int ms) {
    add_rule("slow " + hex(offset) + " " + hex(length) + " " + std::to_string(ms));
}
void FuseDisk::slow_per_mib(std::uint64_t offset, std::uint64_t length, int ms) {
    add_rule("slowmib " + hex(offset) + " " + hex(length) + " " + std::to_string(ms));
}
void FuseDisk::hold(std::uint64_t offset, std::uint64_t length) {
    add_rule("hold " + hex(offset) + " " + hex(length));
}
void FuseDisk::die_after_reads(std::uint64_t n) {
    add_rule("dead_after " + std::to_string(n));
}
void FuseDisk::die_from_offset(std::uint64_t offset) {
    add_rule("dead_from " + hex(offset));
}
void FuseDisk::clear() {
    rules_.clear();
    write_config();
}

// Replaced whole by rename, so the server never reads half a file.
void FuseDisk::write_config() const {
    std::string text;
    for (const std::string& r : rules_) text += r + "\n";
    const std::string tmp = config_ + ".tmp";
    write_file(tmp, text);
    std::rename(tmp.c_str(), config_.c_str());
}

FuseDisk::Stats FuseDisk::stats() const {
    Stats s;
    std::istringstream in(read_file(mount_ + "/stats"));
    std::string key;
    std::uint64_t value = 0;
    while (in >> key >> value) {
        if (key == "reads") s.reads = value;
        if (key == "bytes") s.bytes = value;
        if (key == "failed") s.failed = value;
    }
    return s;
}
