// FakeNas: runs the real corvantisd executable as a separate process inside a
// private mount namespace, over a small fake NAS that the test lays out:
//
//   /usr      overlay whose upper layer the test writes (so /sbin/getcfg,
//             /sbin/log_tool, /sbin/hal_event, /usr/sbin/smartctl and
//             /usr/app/qorm/... are the test's own scripts and files)
//   /etc      overlay as well (enclosure files, /etc/config/...)
//   /mnt      an empty folder of the test (the NAS configuration lives here)
//   /var/lock an empty folder of the test (the NAS's INI lock files)
//   /sys/block  a folder of fake disk folders
//   /proc/sys/kernel/random/boot_id  a file of the test
//
// By default /sbin/getcfg prints pkg_root(), as the NAS's registry would.
//
// Nothing is written to the host's real paths: every write lands in a
// temporary folder that is removed with the fixture.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

struct RunOptions {
    std::vector<std::pair<std::string, std::string>> env_set;
    std::vector<std::string> env_unset;
    std::string exe;          // executable to run; the built corvantisd when empty
    std::string argv0;        // argv[0]; the executable's path when empty
    bool no_argv0 = false;    // start with an empty argument vector
    std::string stdin_data;   // fed on standard input (else /dev/null)
    int timeout_s = 60;       // killed with SIGKILL past this
    int kill_after_us = -1;   // SIGKILL this long after the program started (>= 0)
};

struct RunResult {
    std::string out;
    std::string err;
    int exit_code = -1;  // the exit status, or -1 when killed by a signal
    int signal = 0;
    bool harness_ok = false;  // the namespace and mounts were made
};

class NasProcess;

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
    void set_boot_id(const std::string& id);

    // Runs corvantisd with args (after argv[0]) inside the fake NAS.
    RunResult run(const std::vector<std::string>& args, const RunOptions& opts = {}) const;
    // Starts corvantisd and returns once it runs (after its exec); the test
    // goes on beside it (signals, a second run) and waits for it later.
    NasProcess start(const std::vector<std::string>& args, const RunOptions& opts = {}) const;

    // A block device node /dev/<name> inside the fake NAS with the numbers of
    // host_device (a loop device), so that a test disk may be an "sd" disk.
    // The host's /dev is not touched: the fake NAS then overlays /dev.
    void put_block_device(const std::string& name, const std::string& host_device);

    // Runs fn in a forked child of the test process inside the fake NAS, for
    // code that no command reaches yet or whose process-wide state must start
    // fresh. What fn puts into out comes back as out (with anything the child
    // wrote to standard output), fn's result as exit_code. Assertions inside
    // fn do not reach the test: hand the facts back and check them here.
    RunResult run_function(const std::function<int(std::string& out)>& fn, int timeout_s = 60) const;

private:
    friend class NasProcess;
    struct Launched {
        pid_t pid = -1;
        std::string out_path, err_path;
        std::string harness_error;  // empty when the namespace and mounts were made
    };
    // Forks a child that enters the namespace, mounts the fake NAS, takes its
    // standard streams from stdin_data and <name>.out / <name>.err in base(),
    // calls in_namespace (which must not return), and returns once the child
    // reached it (exec'ed or closed the status pipe).
    Launched launch(const std::function<void(int status_fd)>& in_namespace, const std::string& stdin_data,
                    const std::string& name) const;
    // Waits at most timeout_s seconds for a launched child and reads its output.
    static RunResult collect(const Launched& l, int timeout_s);
    // Forks a child that enters the namespace, mounts the fake NAS, takes its
    // standard streams from stdin_data and the result files, then calls
    // in_namespace (which must not return); waits at most timeout_s seconds.
    RunResult spawn(const std::function<void(int status_fd)>& in_namespace, const std::string& stdin_data,
                    int timeout_s, int kill_after_us = -1) const;

    TempDir dir_;
    std::string base_;
};

// A corvantisd started by FakeNas::start. Waited for (at most its timeout)
// when it goes out of scope, so no test leaves it behind.
class NasProcess {
public:
    ~NasProcess();
    NasProcess(NasProcess&& other) noexcept
        : launched_(other.launched_), timeout_s_(other.timeout_s_), waited_(other.waited_) {
        other.waited_ = true;
    }
    NasProcess(const NasProcess&) = delete;
    NasProcess& operator=(const NasProcess&) = delete;

    pid_t pid() const { return launched_.pid; }
    void signal(int sig) const;
    // Still running (not yet ended, or ended but not waited for).
    bool running() const;
    // Waits for the end; a second call gives an empty result.
    RunResult wait();

private:
    friend class FakeNas;
    NasProcess(FakeNas::Launched l, int timeout_s) : launched_(std::move(l)), timeout_s_(timeout_s) {}
    FakeNas::Launched launched_;
    int timeout_s_;
    bool waited_ = false;
};

// Host-side helpers used by tests around FakeNas.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
void make_dirs(const std::string& path);
bool in_ci();

#define REQUIRE_FAKE_NAS()                                                         \
    do {                                                                           \
        if (!FakeNas::available()) {                                               \
            if (in_ci()) FAIL() << "the fake NAS needs root and mount namespaces"; \
            GTEST_SKIP() << "needs root and mount namespaces";                     \
        }                                                                          \
    } while (0)
