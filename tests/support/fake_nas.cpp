#include "tests/support/fake_nas.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

#include "core/unique_fd.h"

extern char** environ;

namespace {

bool is_symlink(const char* path) {
    struct stat st {};
    return ::lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

bool is_dir(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool under(const std::string& path, const std::string& dir) {
    return path == dir || starts_with(path, dir + "/");
}

// Folders that the fake NAS replaces with folders of the test: /usr always,
// /sbin and /bin only where they are not links into /usr.
std::vector<std::string> sealed_roots() {
    std::vector<std::string> roots = {"/usr"};
    for (const char* dir : {"/sbin", "/bin"})
        if (!is_symlink(dir)) roots.push_back(dir);
    return roots;
}

std::string layer_name(const std::string& root) {
    return root.substr(1);
}

// Every folder in which the program, a fake or a shell looks a program up.
constexpr const char* kProgramDirs[] = {
    "/usr/app/qorm/bin", "/usr/app/qorm/dist/smartmontools/bin",
    "/usr/local/sbin",   "/usr/local/bin",
    "/usr/sbin",         "/sbin",
    "/usr/bin",          "/bin",
};

// What the executables need of the host's /usr to start at all (the loader
// and the libraries, among them the sanitizer runtimes) and the data that the
// C library and smartctl read (time zones, drive database). No program is
// ever looked up in these folders.
constexpr const char* kHostUsrParts[] = {"/usr/lib", "/usr/lib64", "/usr/share"};

// The nodes every run gets; anything more a test exposes with put_device.
constexpr const char* kStandardDevices[] = {"null", "zero", "urandom", "kmsg", "tty"};

struct FileId {
    dev_t dev;
    ino_t ino;
    bool operator==(const FileId& o) const { return dev == o.dev && ino == o.ino; }
};

// Child side, between fork and exec: only system calls and _exit.
[[noreturn]] void child_fail(int status_fd, const char* step) {
    char msg[512];
    const int n = std::snprintf(msg, sizeof msg, "fakenas: %s: %s", step, std::strerror(errno));
    if (n > 0) (void)!::write(status_fd, msg, static_cast<size_t>(n));
    ::_exit(125);
}

void bind_mount(const std::string& from, const std::string& to, bool read_only, int status_fd) {
    if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        child_fail(status_fd, to.c_str());
    if (read_only &&
        ::mount(nullptr, to.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        child_fail(status_fd, to.c_str());
}

// What stat() says of every entry of dir (links followed), by its path.
std::vector<std::pair<std::string, struct stat>> entries_of(const char* dir) {
    std::vector<std::pair<std::string, struct stat>> found;
    for (const std::string& name : dir_names(dir)) {
        struct stat st {};
        const std::string path = std::string(dir) + "/" + name;
        if (name[0] != '.' && ::stat(path.c_str(), &st) == 0) found.emplace_back(path, st);
    }
    return found;
}

// Identity of every program the host has where programs are looked up.
std::vector<FileId> host_programs() {
    std::vector<FileId> ids;
    for (const char* dir : kProgramDirs)
        for (const auto& [path, st] : entries_of(dir))
            if (S_ISREG(st.st_mode)) ids.push_back({st.st_dev, st.st_ino});
    return ids;
}

}  // namespace

// Sealed mounts of one run, worked out by the parent and carried out by the
// child between fork and exec.
struct SealPlan {
    std::string base;
    std::vector<std::pair<std::string, std::string>> host_parts;  // host folder -> mount point
    std::vector<std::pair<std::string, std::string>> programs;    // host file -> mount point
    std::vector<std::pair<std::string, std::string>> devices;     // host node -> mount point
    std::vector<FileId> allowed_programs;
    std::vector<dev_t> allowed_devices;
};

namespace {

void mount_fake_nas(const SealPlan& seal, int status_fd) {
    const std::string& base = seal.base;
    if (::unshare(CLONE_NEWNS) != 0) child_fail(status_fd, "unshare");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        child_fail(status_fd, "make / private");
    // First everything that still needs the host's own paths as its source;
    // the mounts land in the test's folders, which only then cover the host's.
    for (const auto& [from, to] : seal.host_parts) bind_mount(from, to, true, status_fd);
    for (const auto& [from, to] : seal.programs) bind_mount(from, to, true, status_fd);
    for (const auto& [from, to] : seal.devices) bind_mount(from, to, false, status_fd);
    const std::string etc_opts =
        "lowerdir=/etc,upperdir=" + base + "/etc.up,workdir=" + base + "/etc.work";
    if (::mount("overlay", "/etc", "overlay", 0, etc_opts.c_str()) != 0)
        child_fail(status_fd, "/etc");
    for (const std::string& root : sealed_roots())
        bind_mount(base + "/" + layer_name(root) + ".up", root, false, status_fd);
    const std::pair<std::string, const char*> binds[] = {
        {base + "/dev", "/dev"},
        {base + "/mnt", "/mnt"},
        {base + "/varlock", "/var/lock"},
        {base + "/sysblock", "/sys/block"},
        {base + "/sysclass", "/sys/class"},
        {base + "/boot_id", "/proc/sys/kernel/random/boot_id"},
    };
    for (const auto& [from, to] : binds) bind_mount(from, to, false, status_fd);
}

template <typename T>
bool contains(const std::vector<T>& v, const T& x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

// Inside the sealed namespace: what a host program or device would look like
// if one showed through, each as one line; empty when the seal holds.
std::string seal_breaches(const SealPlan& seal, const std::vector<FileId>& host) {
    std::string found;
    for (const char* dir : kProgramDirs) {
        for (const auto& [path, st] : entries_of(dir)) {
            const FileId id{st.st_dev, st.st_ino};
            if (contains(host, id) && !contains(seal.allowed_programs, id))
                found += "host program reachable: " + path + "\n";
        }
    }
    for (const auto& [path, st] : entries_of("/dev")) {
        const bool node = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
        if (node && !contains(seal.allowed_devices, st.st_rdev))
            found += "host device reachable: " + path + "\n";
    }
    struct stat ours {};
    struct stat seen {};
    if (::stat((seal.base + "/sysblock").c_str(), &ours) != 0 || ::stat("/sys/block", &seen) != 0 ||
        !(FileId{ours.st_dev, ours.st_ino} == FileId{seen.st_dev, seen.st_ino}))
        found += "host /sys/block reachable\n";
    return found;
}

}  // namespace

bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci && (std::strcmp(ci, "true") == 0 || std::strcmp(ci, "1") == 0);
}

bool wait_until(const std::function<bool()>& ok, int timeout_s) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    while (std::chrono::steady_clock::now() < end) {
        if (ok()) return true;
        ::usleep(20000);
    }
    return ok();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string test_data_file(const std::string& relative) {
    const std::string path = std::string(CORVANTIS_TEST_DATA) + "/" + relative;
    if (::access(path.c_str(), R_OK) != 0) ADD_FAILURE() << "no test data " << relative;
    return read_file(path);
}

std::vector<std::string> dir_names(const std::string& dir) {
    std::vector<std::string> names;
    if (const UniqueDir d{::opendir(dir.c_str())}) {
        while (const dirent* e = ::readdir(d.get())) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool become_nobody_in(const std::string& dir, const std::function<bool(int dirfd)>& fn) {
    constexpr uid_t kNobody = 65534;
    const UniqueFd d(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return d.valid() && ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 &&
           ::setuid(kNobody) == 0 && fn(d.get());
}

bool as_nobody_in(const std::string& dir, const std::function<bool(int dirfd)>& fn) {
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) ::_exit(become_nobody_in(dir, fn) ? 0 : 1);
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void make_dirs(const std::string& path) {
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        ::mkdir(path.substr(0, pos).c_str(), 0755);
    }
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
    make_dirs(path.substr(0, path.rfind('/')));
    ::unlink(path.c_str());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
    ::chmod(path.c_str(), mode);
}

bool FakeNas::available() {
    if (::geteuid() != 0) return false;
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(::unshare(CLONE_NEWNS) == 0 ? 0 : 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const char* const kFakeNasTools[] = {
    "sh",   "cat", "sleep", "env",   "true",  "false", "ls",     "rm",    "mkdir",
    "mv",   "cp",  "ln",    "touch", "chmod", "date",  "head",   "tail",  "wc",
    "grep", "sed", "tr",    "tee",   "dd",    "mount", "umount", nullptr,
};

FakeNas::FakeNas() : base_(dir_.path()) {
    for (const std::string& root : sealed_roots())
        make_dirs(base_ + "/" + layer_name(root) + ".up");
    for (const char* dir :
         {"/etc.up", "/etc.work", "/mnt", "/varlock", "/sysblock", "/sysclass", "/dev"})
        make_dirs(base_ + dir);
    for (const char* dev : kStandardDevices)
        put_device(std::string("/dev/") + dev, std::string("/dev/") + dev);
    // What /dev always holds besides nodes: the links into the process's own descriptors.
    const std::pair<const char*, const char*> links[] = {
        {"/dev/fd", "/proc/self/fd"},
        {"/dev/stdin", "/proc/self/fd/0"},
        {"/dev/stdout", "/proc/self/fd/1"},
        {"/dev/stderr", "/proc/self/fd/2"},
    };
    for (const auto& [link, target] : links) put_symlink(link, target);
    for (const char* const* tool = kFakeNasTools; *tool; ++tool) {
        for (const char* dir : {"/usr/bin", "/bin"}) {
            const std::string host = std::string(dir) + "/" + *tool;
            if (::access(host.c_str(), X_OK) != 0) continue;
            put_host_program(std::string("/bin/") + *tool, host);
            break;
        }
    }
    write_file(base_ + "/boot_id", "00000000-0000-4000-8000-000000000001\n");
    // The NAS's registry names the package root, so that a run without
    // --qpkg-root never falls back to a folder beside the executable.
    put_script("/sbin/getcfg", "echo " + pkg_root() + "\n");
}

std::string FakeNas::host_path(const std::string& platform_path) const {
    std::string p = platform_path;
    // Where /sbin and /bin are links into /usr, their files live in the /usr layer.
    for (const char* dir : {"/sbin", "/bin"})
        if (is_symlink(dir) && under(p, dir)) p = "/usr" + p;
    for (const std::string& root : sealed_roots())
        if (under(p, root)) return base_ + "/" + layer_name(root) + ".up" + p.substr(root.size());
    if (under(p, "/etc")) return base_ + "/etc.up" + p.substr(4);
    if (under(p, "/mnt")) return base_ + "/mnt" + p.substr(4);
    if (under(p, "/var/lock")) return base_ + "/varlock" + p.substr(9);
    if (under(p, "/dev")) return base_ + "/dev" + p.substr(4);
    if (under(p, "/sys/block")) return base_ + "/sysblock" + p.substr(10);
    if (under(p, "/sys/class")) return base_ + "/sysclass" + p.substr(10);
    throw std::runtime_error("no fake for " + platform_path);
}

void FakeNas::put_file(const std::string& platform_path, const std::string& content, mode_t mode) {
    const std::string host = host_path(platform_path);
    programs_.erase(host);
    devices_.erase(host);
    write_file(host, content, mode);
}

void FakeNas::put_symlink(const std::string& platform_path, const std::string& target) {
    const std::string host = host_path(platform_path);
    programs_.erase(host);
    devices_.erase(host);
    make_dirs(host.substr(0, host.rfind('/')));
    ::unlink(host.c_str());
    if (::symlink(target.c_str(), host.c_str()) != 0) throw std::runtime_error("symlink " + host);
}

void FakeNas::make_dir(const std::string& platform_path) {
    make_dirs(host_path(platform_path));
}

void FakeNas::put_script(const std::string& platform_path, const std::string& body) {
    put_file(platform_path, "#!/bin/sh\n" + body, 0755);
}

void FakeNas::put_device(const std::string& platform_path, const std::string& host_node) {
    if (!under(platform_path, "/dev")) throw std::runtime_error("not below /dev: " + platform_path);
    const std::string host = host_path(platform_path);
    programs_.erase(host);
    devices_[host] = host_node;
}

void FakeNas::put_host_program(const std::string& platform_path, const std::string& host_file) {
    const std::string host = host_path(platform_path);
    devices_.erase(host);
    programs_[host] = host_file;
}

std::function<void(int)> FakeNas::exec_in_namespace(const std::vector<std::string>& args,
                                                    const RunOptions& opts) const {
    const std::string exe = opts.exe.empty() ? std::string(CORVANTISD_BIN) : opts.exe;
    std::vector<std::string> words;
    if (!opts.no_argv0) words.push_back(opts.argv0.empty() ? exe : opts.argv0);
    words.insert(words.end(), args.begin(), args.end());

    std::vector<std::string> env_words;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool drop = false;
        for (const auto& u : opts.env_unset) drop |= (u == name);
        for (const auto& kv : opts.env_set) drop |= (kv.first == name);
        if (!drop) env_words.push_back(entry);
    }
    for (const auto& kv : opts.env_set) env_words.push_back(kv.first + "=" + kv.second);

    return [exe, words, env_words](int status_fd) mutable {
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& w : env_words) envp.push_back(w.data());
        envp.push_back(nullptr);
        ::execve(exe.c_str(), argv.data(), envp.data());
        child_fail(status_fd, "execve");
    };
}

RunResult FakeNas::run(const std::vector<std::string>& args, const RunOptions& opts) const {
    return spawn(exec_in_namespace(args, opts), opts.timeout_s, opts.kill_after_us,
                 opts.kill_signal);
}

NasProcess FakeNas::start(const std::vector<std::string>& args, const RunOptions& opts) const {
    static int serial = 0;
    return launch(exec_in_namespace(args, opts), "bg" + std::to_string(++serial));
}

std::string FakeNas::err_so_far(const NasProcess& p) {
    return read_file(p.err_path);
}

RunResult FakeNas::run_function(const std::function<int(std::string& out)>& fn,
                                int timeout_s) const {
    return spawn(
        [&](int status_fd) {
            // The namespace stands: the harness has nothing more to report,
            // and the parent must not block on this pipe while fn runs.
            ::close(status_fd);
            std::string text;
            int rc = 126;
            // Nothing may unwind out of here into the test runner's own code.
            try {
                rc = fn(text);
            } catch (...) {
                text += "\nfn threw";
            }
            for (size_t done = 0; done < text.size();) {
                const ssize_t n = ::write(1, text.data() + done, text.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            ::_exit(rc);
        },
        timeout_s);
}

SealPlan FakeNas::make_seal() const {
    SealPlan seal;
    seal.base = base_;
    for (const char* part : kHostUsrParts) {
        if (!is_dir(part) || is_symlink(part)) continue;
        make_dirs(host_path(part));
        seal.host_parts.emplace_back(part, host_path(part));
    }
    const auto mount_point = [](const std::string& host) {
        struct stat st {};
        if (::lstat(host.c_str(), &st) != 0) write_file(host, "");
    };
    for (const auto& [host, from] : programs_) {
        struct stat st {};
        if (::stat(from.c_str(), &st) != 0) continue;
        mount_point(host);
        seal.programs.emplace_back(from, host);
        seal.allowed_programs.push_back({st.st_dev, st.st_ino});
    }
    for (const auto& [host, from] : devices_) {
        struct stat st {};
        if (::stat(from.c_str(), &st) != 0) continue;
        mount_point(host);
        seal.devices.emplace_back(from, host);
        seal.allowed_devices.push_back(st.st_rdev);
    }
    return seal;
}

RunResult FakeNas::spawn(const std::function<void(int status_fd)>& in_namespace, int timeout_s,
                         int kill_after_us, int kill_signal) const {
    const NasProcess p = launch(in_namespace, "run");
    // The status pipe closed at the exec: the program runs from here on.
    if (kill_after_us >= 0) {
        ::usleep(static_cast<useconds_t>(kill_after_us));
        ::kill(p.pid, kill_signal);
    }
    return wait(p, timeout_s);
}

NasProcess FakeNas::launch(const std::function<void(int status_fd)>& in_namespace,
                           const std::string& tag) const {
    NasProcess p;
    p.out_path = base_ + "/" + tag + ".out";
    p.err_path = base_ + "/" + tag + ".err";

    SealPlan seal = make_seal();
    int status_pipe[2];
    if (::pipe2(status_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::close(status_pipe[0]);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) child_fail(status_pipe[1], "open streams");
        const std::vector<FileId> host = host_programs();
        mount_fake_nas(seal, status_pipe[1]);
        if (::chdir("/") != 0) child_fail(status_pipe[1], "chdir");
        const std::string breaches = seal_breaches(seal, host);
        if (!breaches.empty()) {
            const std::string msg = "fakenas: the seal is broken:\n" + breaches;
            (void)!::write(status_pipe[1], msg.data(), msg.size());
            ::_exit(125);
        }
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        in_namespace(status_pipe[1]);
        ::_exit(125);
    }
    ::close(status_pipe[1]);
    char buf[512];
    ssize_t n;
    while ((n = ::read(status_pipe[0], buf, sizeof buf)) > 0)
        p.harness_error.append(buf, static_cast<size_t>(n));
    ::close(status_pipe[0]);

    p.pid = pid;
    return p;
}

RunResult FakeNas::wait(const NasProcess& p, int timeout_s) const {
    RunResult r;
    int status = 0;
    const pid_t pid = p.pid;
    // The child's end makes its pidfd readable: no polling pace to wait out.
    const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    pollfd end{pidfd.get(), POLLIN, 0};
    int ready = 0;
    while (pidfd.valid() && (ready = ::poll(&end, 1, timeout_s * 1000)) < 0 && errno == EINTR) {
    }
    if (pidfd.valid() && ready == 0) {
        ::kill(pid, SIGKILL);
        ADD_FAILURE() << "the fake-NAS child did not end within " << timeout_s << " s";
    }
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.harness_ok = p.harness_error.empty();
    if (!r.harness_ok) ADD_FAILURE() << p.harness_error;
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    r.out = read_file(p.out_path);
    r.err = read_file(p.err_path);
    if (r.err.find("Sanitizer") != std::string::npos ||
        r.err.find("runtime error:") != std::string::npos)
        ADD_FAILURE() << "sanitizer report from the fake-NAS child:\n" << r.err;
    return r;
}
