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

#include "core/run.h"
#include "core/strbuf.h"
#include "core/unique_fd.h"
#include "tests/support/fake_disk.h"
#include "tests/support/fake_smartctl.h"
#include "tests/support/kmsg.h"
#include "tests/support/loop_device.h"
#include "tests/support/smartctl_samples.h"

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

TEST_F(FuseDiskTest, ALoopDeviceStandsInForAFakeDisk) {
    FuseDisk disk(image());
    REQUIRE_FUSE(disk);
    disk.fail(5 * kMiB, kBlock, ENODATA);
    LoopDevice loop(disk.file(), {.read_only = true, .logical_block = 4096});
    REQUIRE_LOOP(loop);
    TempDir root;
    fake_disk_on_loop(fake_disk_root(root.path()), root.path(), {.dev = "sdkq", .serial = "LOOP1"},
                      loop);
    EXPECT_EQ(read_file(root.path() + "/sys/block/sdkq/size"),
              std::to_string(16 * kMiB / 512) + "\n");
    EXPECT_EQ(read_file(root.path() + "/sys/block/sdkq/queue/logical_block_size"), "4096\n");
    EXPECT_EQ(direct_read(root.path() + "/dev/sdkq", 5 * kMiB), ENODATA);
    EXPECT_EQ(direct_read(root.path() + "/dev/sdkq", 6 * kMiB), 0);
}

// The pieces an end-to-end run meets inside the fake NAS: the disk's node in
// the sealed /dev, its sysfs folders, its ATA port counters, the fake smartctl
// and the kernel log.
TEST_F(FuseDiskTest, InsideTheFakeNasTheDiskAndItsToolsAreWhereTheProgramLooks) {
    REQUIRE_FAKE_NAS();
    FuseDisk disk(image());
    REQUIRE_FUSE(disk);
    disk.fail(5 * kMiB, kBlock, ENOLINK);
    LoopDevice loop(disk.file(), {.read_only = true});
    REQUIRE_LOOP(loop);
    FakeNas nas;
    const FakeDisk sdkq{.dev = "sdkq", .serial = "LOOP2"};
    fake_disk_on_loop(nas, sdkq, loop);
    const std::string port = fake_disk_ata_port(sdkq);
    fake_ata_port(fake_disk_root(nas), port, "6.0 Gbps", "[ 1.5]MediaError\n");
    FakeSmartctl sc = FakeSmartctl::in(nas);
    sc.reply("sdkq", kScSnapshot, smartctl_sample("emulated/smartctl-x-sata.json"));
    const RunResult r = nas.run_function([&](std::string& out) {
        out += std::to_string(direct_read("/dev/sdkq", 5 * kMiB)) + " ";
        out += std::to_string(direct_read("/dev/sdkq", 0)) + " ";
        out += read_file("/sys/block/sdkq/size");
        out += read_file("/sys/class/ata_link/link" + port.substr(3) + "/sata_spd");
        const char* const argv[] = {"/usr/sbin/smartctl", "-x",   "-j", "-d", "sat",
                                    "/dev/sdkq",          nullptr};
        StrBuf reply;
        out += std::to_string(run_capture(argv, &reply, 10)) + " ";
        out += std::to_string(std::string(reply.c_str()).find("RIGSATA0001") != std::string::npos) +
               " ";
        out += std::to_string(kmsg_write("corvantis test: kernel log inside the fake NAS", 7));
        return 0;
    });
    ASSERT_TRUE(r.harness_ok) << r.err;
    EXPECT_EQ(r.out, std::to_string(ENOLINK) + " 0 " + std::to_string(16 * kMiB / 512) +
                         "\n6.0 Gbps\n0 1 1");
    EXPECT_EQ(sc.calls(), (std::vector<std::string>{"-x -j -d sat /dev/sdkq"}));
}

}  // namespace
