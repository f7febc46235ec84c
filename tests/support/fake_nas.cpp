#include "tests/support/fake_nas.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

bool is_symlink(const char* path) {
    struct stat st{};
    return ::lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// Folders under / that get an overlay of their own: /usr and /etc always,
// /sbin and /bin only where they are not links into /usr.
std::vector<std::string> overlay_roots() {
    std::vector<std::string> roots = {"/usr", "/etc"};
    for (const char* dir : {"/sbin", "/bin"})
        if (!is_symlink(dir)) roots.push_back(dir);
    return roots;
}

std::string layer_name(const std::string& root) { return root.substr(1); }

// Child side, between fork and exec: only system calls and _exit.
[[noreturn]] void child_fail(int status_fd, const char* step) {
    char msg[512];
    const int n = std::snprintf(msg, sizeof msg, "fakenas: %s: %s", step, std::strerror(errno));
    if (n > 0) (void)!::write(status_fd, msg, static_cast<size_t>(n));
    ::_exit(125);
}

void child_mount_fake_nas(const std::string& base, int status_fd) {
    if (::unshare(CLONE_NEWNS) != 0) child_fail(status_fd, "unshare");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        child_fail(status_fd, "make / private");
    for (const std::string& root : overlay_roots()) {
        const std::string layer = base + "/" + layer_name(root);
        const std::string opts = "lowerdir=" + root + ",upperdir=" + layer + ".up,workdir=" + layer + ".work";
        if (::mount("overlay", root.c_str(), "overlay", 0, opts.c_str()) != 0)
            child_fail(status_fd, root.c_str());
    }
    // /dev gets an overlay only when the test made device nodes of its own.
    struct stat dev_up {};
    if (::stat((base + "/dev.up").c_str(), &dev_up) == 0) {
        const std::string opts = "lowerdir=/dev,upperdir=" + base + "/dev.up,workdir=" + base + "/dev.work";
        if (::mount("overlay", "/dev", "overlay", 0, opts.c_str()) != 0) child_fail(status_fd, "/dev");
    }
    const std::pair<std::string, const char*> binds[] = {
        {base + "/mnt", "/mnt"},
        {base + "/varlock", "/var/lock"},
        {base + "/sysblock", "/sys/block"},
        {base + "/boot_id", "/proc/sys/kernel/random/boot_id"},
    };
    for (const auto& [from, to] : binds)
        if (::mount(from.c_str(), to, nullptr, MS_BIND, nullptr) != 0) child_fail(status_fd, to);
}

}  // namespace

bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci && (std::strcmp(ci, "true") == 0 || std::strcmp(ci, "1") == 0);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
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

FakeNas::FakeNas() : base_(dir_.path()) {
    for (const std::string& root : overlay_roots()) {
        make_dirs(base_ + "/" + layer_name(root) + ".up");
        make_dirs(base_ + "/" + layer_name(root) + ".work");
    }
    make_dirs(base_ + "/mnt");
    make_dirs(base_ + "/varlock");
    make_dirs(base_ + "/sysblock");
    set_boot_id("00000000-0000-4000-8000-000000000001");
    // The NAS's registry names the package root, so that a run without
    // --qpkg-root never falls back to a folder beside the executable.
    put_script("/sbin/getcfg", "echo " + pkg_root() + "\n");
}

std::string FakeNas::host_path(const std::string& platform_path) const {
    std::string p = platform_path;
    // Where /sbin and /bin are links into /usr, their files live in the /usr layer.
    for (const char* dir : {"/sbin", "/bin"})
        if (is_symlink(dir) && (p == dir || starts_with(p, std::string(dir) + "/"))) p = "/usr" + p;
    for (const std::string& root : overlay_roots())
        if (p == root || starts_with(p, root + "/")) return base_ + "/" + layer_name(root) + ".up" + p.substr(root.size());
    if (p == "/mnt" || starts_with(p, "/mnt/")) return base_ + "/mnt" + p.substr(4);
    if (p == "/var/lock" || starts_with(p, "/var/lock/")) return base_ + "/varlock" + p.substr(9);
    if (p == "/sys/block" || starts_with(p, "/sys/block/")) return base_ + "/sysblock" + p.substr(10);
    throw std::runtime_error("no fake for " + platform_path);
}

void FakeNas::put_file(const std::string& platform_path, const std::string& content, mode_t mode) {
    write_file(host_path(platform_path), content, mode);
}

void FakeNas::put_symlink(const std::string& platform_path, const std::string& target) {
    const std::string host = host_path(platform_path);
    make_dirs(host.substr(0, host.rfind('/')));
    ::unlink(host.c_str());
    if (::symlink(target.c_str(), host.c_str()) != 0) throw std::runtime_error("symlink " + host);
}

void FakeNas::make_dir(const std::string& platform_path) { make_dirs(host_path(platform_path)); }

void FakeNas::put_script(const std::string& platform_path, const std::string& body) {
    put_file(platform_path, "#!/bin/sh\n" + body, 0755);
}

void FakeNas::set_boot_id(const std::string& id) { write_file(base_ + "/boot_id", id + "\n"); }

namespace {

// The argument and environment vectors of one run of the executable.
struct ExecWords {
    std::string exe;
    std::vector<std::string> words, env_words;
    std::vector<char*> argv, envp;

    ExecWords(const std::vector<std::string>& args, const RunOptions& opts) {
        exe = opts.exe.empty() ? std::string(CORVANTISD_BIN) : opts.exe;
        if (!opts.no_argv0) words.push_back(opts.argv0.empty() ? exe : opts.argv0);
        words.insert(words.end(), args.begin(), args.end());
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            bool drop = false;
            for (const auto& u : opts.env_unset) drop |= (u == name);
            for (const auto& kv : opts.env_set) drop |= (kv.first == name);
            if (!drop) env_words.push_back(entry);
        }
        for (const auto& kv : opts.env_set) env_words.push_back(kv.first + "=" + kv.second);
        for (std::string& w : env_words) envp.push_back(w.data());
        envp.push_back(nullptr);
    }
    [[noreturn]] void exec(int status_fd) {
        ::execve(exe.c_str(), argv.data(), envp.data());
        child_fail(status_fd, "execve");
    }
};

}  // namespace

RunResult FakeNas::run(const std::vector<std::string>& args, const RunOptions& opts) const {
    ExecWords w(args, opts);
    return spawn([&](int status_fd) { w.exec(status_fd); }, opts.stdin_data, opts.timeout_s, opts.kill_after_us);
}

NasProcess FakeNas::start(const std::vector<std::string>& args, const RunOptions& opts) const {
    ExecWords w(args, opts);
    static int s_started = 0;
    const Launched l =
        launch([&](int status_fd) { w.exec(status_fd); }, opts.stdin_data, "started" + std::to_string(++s_started));
    return NasProcess(l, opts.timeout_s);
}

NasProcess::~NasProcess() {
    if (!waited_) (void)wait();
}

void NasProcess::signal(int sig) const {
    if (!waited_) ::kill(launched_.pid, sig);
}

RunResult NasProcess::wait() {
    if (waited_) return RunResult{};
    waited_ = true;
    return FakeNas::collect(launched_, timeout_s_);
}

bool NasProcess::running() const {
    if (waited_) return false;
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(launched_.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

void FakeNas::put_block_device(const std::string& name, const std::string& host_device) {
    struct stat st {};
    if (::stat(host_device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        throw std::runtime_error("no block device " + host_device);
    make_dirs(base_ + "/dev.up");
    make_dirs(base_ + "/dev.work");
    const std::string node = base_ + "/dev.up/" + name;
    ::unlink(node.c_str());
    if (::mknod(node.c_str(), S_IFBLK | 0600, st.st_rdev) != 0) throw std::runtime_error("mknod " + node);
}

RunResult FakeNas::run_function(const std::function<int(std::string& out)>& fn, int timeout_s) const {
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
        "", timeout_s);
}

RunResult FakeNas::spawn(const std::function<void(int status_fd)>& in_namespace, const std::string& stdin_data,
                         int timeout_s, int kill_after_us) const {
    const Launched l = launch(in_namespace, stdin_data, "run");
    // The status pipe closed at the exec: the program runs from here on.
    if (kill_after_us >= 0) {
        ::usleep(static_cast<useconds_t>(kill_after_us));
        ::kill(l.pid, SIGKILL);
    }
    return collect(l, timeout_s);
}

FakeNas::Launched FakeNas::launch(const std::function<void(int status_fd)>& in_namespace,
                                  const std::string& stdin_data, const std::string& name) const {
    Launched l;
    l.out_path = base_ + "/" + name + ".out";
    l.err_path = base_ + "/" + name + ".err";
    const std::string in_path = base_ + "/" + name + ".in";
    write_file(in_path, stdin_data);

    int status_pipe[2];
    if (::pipe2(status_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::close(status_pipe[0]);
        const int in = ::open(in_path.c_str(), O_RDONLY);
        const int out = ::open(l.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(l.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) child_fail(status_pipe[1], "open streams");
        child_mount_fake_nas(base_, status_pipe[1]);
        if (::chdir("/") != 0) child_fail(status_pipe[1], "chdir");
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        in_namespace(status_pipe[1]);
        ::_exit(125);
    }
    ::close(status_pipe[1]);
    char buf[512];
    ssize_t n;
    while ((n = ::read(status_pipe[0], buf, sizeof buf)) > 0) l.harness_error.append(buf, static_cast<size_t>(n));
    ::close(status_pipe[0]);
    l.pid = pid;
    return l;
}

RunResult FakeNas::collect(const Launched& l, int timeout_s) {
    RunResult r;
    int status = 0;
    const int max_polls = timeout_s * 100;
    int polls = 0;
    for (;;) {
        const pid_t w = ::waitpid(l.pid, &status, WNOHANG);
        if (w == l.pid) break;
        if (w < 0 && errno != EINTR) break;
        if (++polls > max_polls) {
            ::kill(l.pid, SIGKILL);
            ::waitpid(l.pid, &status, 0);
            ADD_FAILURE() << "the fake-NAS child did not end within " << timeout_s << " s";
            break;
        }
        ::usleep(10000);
    }
    r.harness_ok = l.harness_error.empty();
    if (!r.harness_ok) ADD_FAILURE() << l.harness_error;
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    r.out = read_file(l.out_path);
    r.err = read_file(l.err_path);
    if (r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error:") != std::string::npos)
        ADD_FAILURE() << "sanitizer report from the fake-NAS child:\n" << r.err;
    return r;
}
