// FakeNas: runs the real corvantisd executable as a separate process inside a
// private mount namespace, over a small fake NAS that the test lays out. The
// namespace is sealed from the host: nothing that the test did not put there
// can be found where the program looks for programs or devices.
//
//   /usr      the test's own folder (so /usr/app/qorm/..., /usr/local/sbin,
//             /usr/sbin, /usr/bin and, through the host's links, /sbin and
//             /bin hold only the test's scripts), plus read-only views of the
//             host's /usr/lib, /usr/lib64 and /usr/share (loader, libraries,
//             time zones) and of the few host tools that script fakes use
//             (kFakeNasTools). No host smartctl, getcfg, log_tool, hal_event
//             or uname is ever visible.
//   /etc      overlay over the host's (enclosure files, /etc/config/...)
//   /mnt      an empty folder of the test (the NAS configuration lives here)
//   /var/lock an empty folder of the test (the NAS's INI lock files)
//   /dev      the test's own folder: null, zero, urandom, kmsg and tty of the
//             host, and only the device nodes the test exposes (put_device)
//   /sys/block  a folder of fake disk folders
//   /sys/class  a folder of the test (ata_link, ata_device: fake_ata_port)
//   /proc/sys/kernel/random/boot_id  a file of the test
//
// By default /sbin/getcfg prints pkg_root(), as the NAS's registry would.
// Every run first checks the seal inside the namespace and fails the test
// when a host program or device node is reachable there.
//
// Nothing is written to the host's real paths: every write lands in a
// temporary folder that is removed with the fixture.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

struct SealPlan;

struct RunOptions {
    std::vector<std::pair<std::string, std::string>> env_set;
    std::vector<std::string> env_unset;
    std::string exe;         // executable to run; the built corvantisd when empty
    std::string argv0;       // argv[0]; the executable's path when empty
    bool no_argv0 = false;   // start with an empty argument vector
    int timeout_s = 60;      // killed with SIGKILL past this
    int kill_after_us = -1;  // kill_signal this long after the program started (>= 0)
    int kill_signal = SIGKILL;
};

// A corvantisd started in the background (see FakeNas::start).
struct NasProcess {
    pid_t pid = -1;
    std::string out_path;
    std::string err_path;
    std::string harness_error;
};

struct RunResult {
    std::string out;
    std::string err;
    int exit_code = -1;  // the exit status, or -1 when killed by a signal
    int signal = 0;
    bool harness_ok = false;  // the namespace and mounts were made
};

class FakeNas {
   public:
    FakeNas();
    FakeNas(const FakeNas&) = delete;
    FakeNas& operator=(const FakeNas&) = delete;

    // Whether this process may build the namespace (root). In CI a missing
    // privilege must fail the test, never skip it: see REQUIRE_FAKE_NAS.
    static bool available();

    // The test's own folder (outside the mounted paths, visible inside too).
    const std::string& base() const { return base_; }
    // A package root folder under base(), not created yet.
    std::string pkg_root() const { return base_ + "/pkg"; }

    // Host folder that stands for a platform path inside the namespace.
    std::string host_path(const std::string& platform_path) const;
    // Writes a file at a platform path ("/sbin/getcfg", "/etc/enclosure_0.conf", ...).
    void put_file(const std::string& platform_path, const std::string& content, mode_t mode = 0644);
    void put_symlink(const std::string& platform_path, const std::string& target);
    void make_dir(const std::string& platform_path);
    // A shell script at a platform path: "#!/bin/sh\n" + body, mode 0755.
    void put_script(const std::string& platform_path, const std::string& body);
    // Makes the host's device node host_node (a loop device the test attached,
    // say) appear at platform_path under /dev inside the namespace.
    void put_device(const std::string& platform_path, const std::string& host_node);
    // Makes a host program (the real smartctl, for tests on emulated disks)
    // appear at platform_path: the one way a host program may be seen inside.
    void put_host_program(const std::string& platform_path, const std::string& host_file);

    // Runs corvantisd with args (after argv[0]) inside the fake NAS.
    RunResult run(const std::vector<std::string>& args, const RunOptions& opts = {}) const;
    // The same without waiting: returns once the program runs (pid is its
    // process id; tests may signal it). Each start gets output files of its own.
    NasProcess start(const std::vector<std::string>& args, const RunOptions& opts = {}) const;
    // Waits for a started program, killing it with SIGKILL past timeout_s.
    RunResult wait(const NasProcess& p, int timeout_s = 60) const;
    // What a started program has written to standard error so far.
    static std::string err_so_far(const NasProcess& p);

    // Runs fn in a forked child of the test process inside the fake NAS, for
    // code that no command reaches yet or whose process-wide state must start
    // fresh. What fn puts into out comes back as out (with anything the child
    // wrote to standard output), fn's result as exit_code. Assertions inside
    // fn do not reach the test: hand the facts back and check them here.
    RunResult run_function(const std::function<int(std::string& out)>& fn,
                           int timeout_s = 60) const;

   private:
    SealPlan make_seal() const;
    // Forks a child that enters the namespace, mounts the fake NAS, takes its
    // standard streams from /dev/null and the result files, then calls
    // in_namespace (which must not return); waits at most timeout_s seconds.
    RunResult spawn(const std::function<void(int status_fd)>& in_namespace, int timeout_s,
                    int kill_after_us = -1, int kill_signal = SIGKILL) const;
    NasProcess launch(const std::function<void(int status_fd)>& in_namespace,
                      const std::string& tag) const;
    // The exec of corvantisd with args and opts, as the child runs it inside the namespace.
    std::function<void(int)> exec_in_namespace(const std::vector<std::string>& args,
                                               const RunOptions& opts) const;

    TempDir dir_;
    std::string base_;
    // Files bound read-only from the host at their namespace paths: the device
    // nodes, the tools and whatever the test exposed.
    std::map<std::string, std::string> devices_;
    std::map<std::string, std::string> programs_;
};

// The host tools the sealed /bin holds for script fakes: a shell and the
// plain file and text tools a fake's few lines may need.
extern const char* const kFakeNasTools[];

// Host-side helpers used by tests around FakeNas.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
void make_dirs(const std::string& path);
// The names in a folder but "." and "..", sorted; none when it cannot be read.
std::vector<std::string> dir_names(const std::string& dir);
// Runs fn in a child process as the ordinary user nobody (uid and gid
// 65534), with dirfd a descriptor of dir taken before the change of user, so
// that only dir itself must be open to nobody. True when fn returned true.
bool as_nobody_in(const std::string& dir, const std::function<bool(int dirfd)>& fn);
// The same without the fork: the calling process (a child of the test, such
// as a LockHolder's) becomes nobody for good, then calls fn.
bool become_nobody_in(const std::string& dir, const std::function<bool(int dirfd)>& fn);
// The whole content of a file under tests/data (path relative to it); a file
// that is not there fails the test.
std::string test_data_file(const std::string& relative);
bool in_ci();
// Polls until ok() holds; false after timeout_s. Other processes are followed
// this way: a test waits for a state, never for a time.
bool wait_until(const std::function<bool()>& ok, int timeout_s = 60);

#define REQUIRE_FAKE_NAS()                                                         \
    do {                                                                           \
        if (!FakeNas::available()) {                                               \
            if (in_ci()) FAIL() << "the fake NAS needs root and mount namespaces"; \
            GTEST_SKIP() << "needs root and mount namespaces";                     \
        }                                                                          \
    } while (0)
