// The test disks themselves: a loop device over a FuseDisk file really gives
// each chosen errno to an O_DIRECT read of the failed range, serves the rest
// unchanged, and dies with ENODEV when told to.
#include "tests/support/fuse_disk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/unique_fd.h"
#include "tests/support/loop_device.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::size_t kBlock = 4096;

struct AlignedFree {
    void operator()(void* p) const { std::free(p); }
};

// 0 when the block read back holds the image's pattern, else the read's errno
// (-1 for a short read or wrong data).
int direct_read(const std::string& dev, std::uint64_t offset) {
    UniqueFd fd(::open(dev.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
    if (!fd.valid()) return errno;
    std::unique_ptr<std::uint64_t[], AlignedFree> buf(
        static_cast<std::uint64_t*>(std::aligned_alloc(kBlock, kBlock)));
    const ssize_t n = ::pread(fd.get(), buf.get(), kBlock, static_cast<off_t>(offset));
    if (n < 0) return errno;
    if (n != static_cast<ssize_t>(kBlock)) return -1;
    for (std::size_t i = 0; i < kBlock / 8; ++i)
        if (buf[i] != pattern_word(offset + i * 8)) return -1;
    return 0;
}

class FuseDiskTest : public ::testing::Test {
   protected:
    void SetUp() override { write_pattern_image(image_.path() + "/disk.img", 16 * kMiB); }
    std::string image() const { return image_.path() + "/disk.img"; }
    TempDir image_;
};

TEST_F(FuseDiskTest, EachErrnoReachesADirectReadOfTheLoopDevice) {
    FuseDisk disk(image());
    REQUIRE_FUSE(disk);
    const int errs[] = {EIO, ENODATA, ETIMEDOUT, ENOLINK, EREMOTEIO, EILSEQ};
    for (std::size_t i = 0; i < std::size(errs); ++i) disk.fail((i + 1) * kMiB, kBlock, errs[i]);
    LoopDevice loop(disk.file(), {.read_only = true});
    REQUIRE_LOOP(loop);
    for (std::size_t i = 0; i < std::size(errs); ++i) {
        EXPECT_EQ(direct_read(loop.path(), (i + 1) * kMiB), errs[i]) << std::strerror(errs[i]);
        EXPECT_EQ(direct_read(loop.path(), (i + 1) * kMiB + kBlock), 0) << "the next block is good";
    }
    EXPECT_EQ(direct_read(loop.path(), 0), 0);
    disk.clear();
    EXPECT_EQ(direct_read(loop.path(), 2 * kMiB), 0) << "rules can be taken back during a test";
    const FuseDisk::Stats s = disk.stats();
    EXPECT_GE(s.failed, std::size(errs));
    EXPECT_GT(s.reads, s.failed);
}

TEST_F(FuseDiskTest, ADiskDiesForGoodAtTheChosenMoment) {
    FuseDisk disk(image());
    REQUIRE_FUSE(disk);
    LoopDevice loop(disk.file(), {.read_only = true});
    REQUIRE_LOOP(loop);
    disk.die_from_offset(8 * kMiB);
    EXPECT_EQ(direct_read(loop.path(), 4 * kMiB), 0);
    EXPECT_EQ(direct_read(loop.path(), 8 * kMiB), ENODEV);
    disk.clear();
    EXPECT_EQ(direct_read(loop.path(), 0), ENODEV) << "a dead disk stays dead";

    FuseDisk counted(image());
    REQUIRE_FUSE(counted);
    LoopDevice loop2(counted.file(), {.read_only = true});
    REQUIRE_LOOP(loop2);
    const std::uint64_t before = counted.stats().reads;  // losetup's own reads
    counted.die_after_reads(before + 1);
    EXPECT_EQ(direct_read(loop2.path(), 0), 0);
    EXPECT_EQ(direct_read(loop2.path(), 0), ENODEV);
}

TEST_F(FuseDiskTest, ASlowRangeAnswersLateButRight) {
    FuseDisk disk(image());
    REQUIRE_FUSE(disk);
    disk.slow(3 * kMiB, kBlock, 300);
    LoopDevice loop(disk.file(), {.read_only = true});
    REQUIRE_LOOP(loop);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(direct_read(loop.path(), 3 * kMiB), 0);
    // A lower bound only: the server sleeps at least that long.
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
}

}  // namespace
