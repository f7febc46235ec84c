// LoopDevice: a loop block device over an image file of the test's own,
// attached with losetup and detached again when it goes out of scope.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "tests/support/fake_nas.h"  // in_ci

struct LoopOptions {
    bool read_only = false;      // needed over a FuseDisk file, which is read-only
    unsigned logical_block = 0;  // --sector-size (512, 4096); 0 keeps the default
};

class LoopDevice {
   public:
    // Attaches image; path() stays empty when that fails and error() says why.
    explicit LoopDevice(const std::string& image, const LoopOptions& opts = {});
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }
    // The kernel name ("loop3").
    std::string name() const;
    // Its size in 512-byte sectors and its logical block size, as sysfs shows them.
    std::uint64_t sectors() const;
    unsigned logical_block() const;

   private:
    std::string path_;
    std::string error_;
};

// Writes an image file of size bytes in which every 8-byte word holds
// pattern_word(its offset).
void write_pattern_image(const std::string& image, std::uint64_t size);
std::uint64_t pattern_word(std::uint64_t offset);

// Outside CI a machine without loop devices skips the test; in CI it fails.
#define REQUIRE_LOOP(loop)                                               \
    do {                                                                 \
        if ((loop).path().empty()) {                                     \
            if (in_ci()) FAIL() << "no loop device: " << (loop).error(); \
            GTEST_SKIP() << "no loop device: " << (loop).error();        \
        }                                                                \
    } while (0)
