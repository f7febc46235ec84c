// RamLoop: a sparse file of the benchmark's own in RAM (/dev/shm by default)
// attached read-only as a loop device; detached and removed when it goes.
// Reading its holes costs no disk time, so the figures measure the reader.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/run.h"
#include "core/strbuf.h"

class RamLoop {
   public:
    RamLoop(std::uint64_t size, const std::string& dir = "/dev/shm") {
        image_ = dir + "/corvantis-bench-XXXXXX";
        const int fd = ::mkstemp(image_.data());
        const bool made = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(size)) == 0;
        if (fd >= 0) ::close(fd);
        if (!made) {
            std::fprintf(stderr, "cannot make a sparse image in %s\n", dir.c_str());
            return;
        }
        const char* const argv[] = {"/sbin/losetup", "--find",       "--show",
                                    "--read-only",   image_.c_str(), nullptr};
        StrBuf out;
        if (run_capture(argv, &out, 60) == 0) dev_ = out.c_str();
        while (!dev_.empty() && dev_.back() == '\n') dev_.pop_back();
        if (dev_.empty()) std::fprintf(stderr, "losetup failed (root needed)\n");
    }
    ~RamLoop() {
        if (!dev_.empty()) {
            const char* const argv[] = {"/sbin/losetup", "--detach", dev_.c_str(), nullptr};
            StrBuf out;
            (void)run_capture(argv, &out, 60);  // nothing to do about a failed detach here
        }
        ::unlink(image_.c_str());
    }
    RamLoop(const RamLoop&) = delete;
    RamLoop& operator=(const RamLoop&) = delete;

    // "/dev/loopN"; empty when the device could not be made.
    const std::string& dev() const { return dev_; }
    const std::string& image() const { return image_; }

   private:
    std::string image_;
    std::string dev_;
};
