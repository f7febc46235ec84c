// FuseDisk: a disk image served by the test-only FUSE server
// (tests/support/fuse_disk_server.cpp) with chosen read faults. A loop device
// over file() passes each fault to an O_DIRECT read of the loop device with
// the same errno, so the surface test meets real medium (ENODATA), transport
// (ENOLINK), time-out (ETIMEDOUT) and other errors, slow ranges, and a disk
// that dies (ENODEV) on this machine.
//
//   FuseDisk disk(image);             // mounts; unmounted when it goes
//   REQUIRE_FUSE(disk);
//   disk.fail(1 << 20, 4096, ENODATA);
//   LoopDevice loop(disk.file());     // declared after disk: detached first
//
// The rules take effect for the next read; they may change while a run goes on.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/fake_nas.h"  // in_ci
#include "tests/support/temp_dir.h"

class FuseDisk {
   public:
    // Serves image (a file of the test's own, read-only) as file(). ok() is
    // false, with error() saying why, when the server could not mount it.
    explicit FuseDisk(const std::string& image);
    // Stops the server and unmounts, also when a test failed on the way.
    ~FuseDisk();
    FuseDisk(const FuseDisk&) = delete;
    FuseDisk& operator=(const FuseDisk&) = delete;

    // The server was built (libfuse3 found) and this process may mount (root, /dev/fuse).
    static bool available();

    bool ok() const { return pid_ > 0; }
    const std::string& error() const { return error_; }
    // <mountpoint>/disk.img.
    const std::string& file() const { return file_; }

    // Reads touching [offset, offset + length) fail with err.
    void fail(std::uint64_t offset, std::uint64_t length, int err);
    // Reads touching the range take ms longer each (a request is at most the
    // kernel's FUSE request size, so one large read may pay it several times).
    void slow(std::uint64_t offset, std::uint64_t length, int ms);
    // Reads touching the range take ms longer per MiB they read.
    void slow_per_mib(std::uint64_t offset, std::uint64_t length, int ms);
    // Reads touching the range wait until clear() (a disk that takes as long
    // to answer as the test wants). The server answers nothing else meanwhile.
    void hold(std::uint64_t offset, std::uint64_t length);
    // Every read after the n-th (counted from the mount) fails with ENODEV.
    void die_after_reads(std::uint64_t n);
    // Once a read reaches offset, every read fails with ENODEV.
    void die_from_offset(std::uint64_t offset);
    // Drops every rule (a disk that died stays dead).
    void clear();

    struct Stats {
        std::uint64_t reads = 0;  // read requests on the image, failed ones included
        std::uint64_t bytes = 0;
        std::uint64_t failed = 0;
    };
    Stats stats() const;

   private:
    void add_rule(const std::string& line);
    void write_config() const;

    TempDir dir_;
    std::string mount_;
    std::string file_;
    std::string config_;
    std::string error_;
    std::vector<std::string> rules_;
    pid_t pid_ = -1;
};

// Outside CI a machine without FUSE skips the test; in CI it fails.
#define REQUIRE_FUSE(disk)                                                  \
    do {                                                                    \
        if (!(disk).ok()) {                                                 \
            if (in_ci()) FAIL() << "no FUSE test disk: " << (disk).error(); \
            GTEST_SKIP() << "no FUSE test disk: " << (disk).error();        \
        }                                                                   \
    } while (0)
