// The read-only guard: nothing but VERIFY(16) without byte check or data, NVMe
// Verify, Identify Controller and the SMART / Health log ever reaches a device.
#include "surface_test/dev_ioctl.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <linux/nvme_ioctl.h>
#include <scsi/scsi_ioctl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/unique_fd.h"
#include "surface_test/dev_io.h"
#include "tests/support/fake_ioctl.h"
#include "tests/support/loop_device.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kAnyFd = 3;

// Sends through the guard and tells whether the request reached the fake
// device; a refusal must look the same every time.
bool reaches_device(const FakeIoctl& fake, unsigned long request, void* arg) {
    const std::size_t before = fake.sent().size();
    double elapsed = -1;
    errno = 0;
    const int rc = dev_ioctl(kAnyFd, request, arg, &elapsed);
    const bool sent = fake.sent().size() > before;
    if (!sent) {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(errno, EPERM);
        EXPECT_EQ(elapsed, 0.0);
    }
    return sent;
}

struct ScsiRequest {
    std::uint8_t cdb[32] = {kScsiOpVerify16};
    SgIoHdr hdr{};
    ScsiRequest() {
        hdr.interface_id = 'S';
        hdr.dxfer_direction = kSgDxferNone;
        hdr.cmd_len = 16;
        hdr.cmdp = cdb;
    }
};

NvmePassthruCmd nvme_cmd(std::uint8_t opcode, std::uint32_t cdw10) {
    NvmePassthruCmd c{};
    c.opcode = opcode;
    c.cdw10 = cdw10;
    return c;
}

TEST(DevGuard, ScsiPassesOnlyVerify16WithoutByteCheck) {
    FakeIoctl fake;
    for (int op = 0; op < 256; ++op) {
        ScsiRequest r;
        r.cdb[0] = static_cast<std::uint8_t>(op);
        EXPECT_EQ(reaches_device(fake, kSgIo, &r.hdr), op == 0x8F) << "opcode " << op;
    }
    for (int byte1 = 0; byte1 < 256; ++byte1) {
        ScsiRequest r;
        r.cdb[1] = static_cast<std::uint8_t>(byte1);
        EXPECT_EQ(reaches_device(fake, kSgIo, &r.hdr), (byte1 & 0x06) == 0) << "byte 1 " << byte1;
    }
    for (int len = 0; len <= 32; ++len) {
        ScsiRequest r;
        r.hdr.cmd_len = static_cast<unsigned char>(len);
        EXPECT_EQ(reaches_device(fake, kSgIo, &r.hdr), len == 16) << "length " << len;
    }
}

TEST(DevGuard, ScsiRequestMustMoveNoData) {
    FakeIoctl fake;
    std::uint8_t data[512];
    struct Case {
        const char* name;
        int direction;
        unsigned int length;
        unsigned short iovec_count;
        int interface_id;
    } cases[] = {
        {"to device", SG_DXFER_TO_DEV, 512, 0, 'S'},
        {"from device", SG_DXFER_FROM_DEV, 512, 0, 'S'},
        {"both ways", SG_DXFER_TO_FROM_DEV, 512, 0, 'S'},
        {"unknown direction", -5, 0, 0, 'S'},
        {"no direction, but a length", SG_DXFER_NONE, 512, 0, 'S'},
        {"scatter list", SG_DXFER_NONE, 0, 1, 'S'},
        {"another interface", SG_DXFER_NONE, 0, 0, 'Q'},
    };
    for (const Case& c : cases) {
        ScsiRequest r;
        r.hdr.dxfer_direction = c.direction;
        r.hdr.dxfer_len = c.length;
        r.hdr.dxferp = c.length ? data : nullptr;
        r.hdr.iovec_count = c.iovec_count;
        r.hdr.interface_id = c.interface_id;
        EXPECT_FALSE(reaches_device(fake, kSgIo, &r.hdr)) << c.name;
    }
    ScsiRequest no_cdb;
    no_cdb.hdr.cmdp = nullptr;
    EXPECT_FALSE(reaches_device(fake, kSgIo, &no_cdb.hdr));
    EXPECT_FALSE(reaches_device(fake, kSgIo, nullptr));
    EXPECT_TRUE(fake.sent().empty());
}

TEST(DevGuard, NvmeIoPassesOnlyVerifyWithoutBuffers) {
    FakeIoctl fake;
    for (int op = 0; op < 256; ++op) {
        NvmePassthruCmd c = nvme_cmd(static_cast<std::uint8_t>(op), 0);
        EXPECT_EQ(reaches_device(fake, kNvmeIoctlIoCmd, &c), op == 0x0C) << "opcode " << op;
    }
    std::uint8_t data[4096];
    const auto addr = reinterpret_cast<std::uintptr_t>(data);
    NvmePassthruCmd with_data = nvme_cmd(kNvmeOpVerify, 0);
    with_data.addr = addr;
    with_data.data_len = sizeof data;
    NvmePassthruCmd with_addr = nvme_cmd(kNvmeOpVerify, 0);
    with_addr.addr = addr;
    NvmePassthruCmd with_meta = nvme_cmd(kNvmeOpVerify, 0);
    with_meta.metadata = addr;
    with_meta.metadata_len = 64;
    for (NvmePassthruCmd* c : {&with_data, &with_addr, &with_meta})
        EXPECT_FALSE(reaches_device(fake, kNvmeIoctlIoCmd, c));
    EXPECT_FALSE(reaches_device(fake, kNvmeIoctlIoCmd, nullptr));
}

TEST(DevGuard, NvmeAdminPassesOnlyIdentifyControllerAndSmartLog) {
    FakeIoctl fake;
    for (int op = 0; op < 256; ++op) {
        for (std::uint32_t low : {1u, 2u}) {
            NvmePassthruCmd c = nvme_cmd(static_cast<std::uint8_t>(op), low);
            const bool want = (op == 0x06 && low == 1) || (op == 0x02 && low == 2);
            EXPECT_EQ(reaches_device(fake, kNvmeIoctlAdminCmd, &c), want) << op << "/" << low;
        }
    }
    for (std::uint32_t low = 0; low < 256; ++low) {
        NvmePassthruCmd identify = nvme_cmd(kNvmeOpIdentify, 0x00010000 | low);
        EXPECT_EQ(reaches_device(fake, kNvmeIoctlAdminCmd, &identify), low == 1) << "CNS " << low;
        NvmePassthruCmd log = nvme_cmd(kNvmeOpGetLogPage, 0x007F0000 | low);
        EXPECT_EQ(reaches_device(fake, kNvmeIoctlAdminCmd, &log), low == 2) << "log " << low;
    }
    EXPECT_FALSE(reaches_device(fake, kNvmeIoctlAdminCmd, nullptr));
}

TEST(DevGuard, OtherRequestsNeverReachTheDevice) {
    FakeIoctl fake;
    std::uint64_t scratch[64] = {};
    const unsigned long requests[] = {
        BLKDISCARD,
        BLKZEROOUT,
        BLKSECDISCARD,
        BLKFLSBUF,
        BLKRRPART,
        NVME_IOCTL_SUBMIT_IO,
        NVME_IOCTL_RESET,
        NVME_IOCTL_SUBSYS_RESET,
        NVME_IOCTL_RESCAN,
        NVME_IOCTL_ADMIN64_CMD,
        NVME_IOCTL_IO64_CMD,
        NVME_IOCTL_IO64_CMD_VEC,
        SG_SCSI_RESET,
        SG_SET_RESERVED_SIZE,
        SG_SET_FORCE_PACK_ID,
        SCSI_IOCTL_SEND_COMMAND,
        HDIO_DRIVE_CMD,
        HDIO_DRIVE_TASK,
        HDIO_DRIVE_TASKFILE,
        0,
        0xFFFFFFFFUL,
    };
    for (unsigned long request : requests)
        EXPECT_FALSE(reaches_device(fake, request, scratch)) << std::hex << request;
    EXPECT_TRUE(fake.sent().empty());

    // The two driver queries carry no command and pass.
    int version = 0;
    EXPECT_TRUE(reaches_device(fake, kSgGetVersionNum, &version));
    EXPECT_TRUE(reaches_device(fake, kNvmeIoctlId, nullptr));
}

TEST(DevGuard, RefusedScsiCommandIsAFailureWithErr1) {
    FakeIoctl fake;
    std::uint8_t verify_bytchk[16] = {0x8F, 0x02};
    std::uint8_t write16[16] = {0x8A};
    std::uint8_t verify10[10] = {0x2F};
    std::uint8_t unmap[10] = {0x42};
    struct Case {
        const std::uint8_t* cdb;
        std::size_t len;
    } cases[] = {{verify_bytchk, 16}, {write16, 16}, {verify10, 10},          {unmap, 10},
                 {nullptr, 16},       {write16, 0},  {verify_bytchk + 0, 300}};
    for (const Case& c : cases) {
        IoResult r;
        r.elapsed_ms = 99;
        EXPECT_EQ(dev_sg_command(kAnyFd, c.cdb, c.len, 30000, &r), kIoFailed);
        EXPECT_EQ(r.err, 1);
        EXPECT_EQ(r.elapsed_ms, 0.0);
        EXPECT_EQ(r.sense.parsed, 0);
    }
    EXPECT_TRUE(fake.sent().empty());
}

// On a real block device: the guard refuses requests that would change it,
// which the kernel itself carries out when asked directly.
TEST(DevGuard, RefusedRequestsLeaveARealDeviceUnchanged) {
    TempDir dir;
    const std::string image = dir.path() + "/disk.img";
    constexpr std::uint64_t kSize = 2 << 20;
    write_pattern_image(image, kSize);
    LoopDevice loop(image);
    REQUIRE_LOOP(loop);
    UniqueFd fd(::open(loop.path().c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());

    std::uint64_t first_mib[2] = {0, 1 << 20};
    for (unsigned long request : {BLKZEROOUT, BLKDISCARD}) {
        errno = 0;
        EXPECT_EQ(dev_ioctl(fd.get(), request, first_mib, nullptr), -1);
        EXPECT_EQ(errno, EPERM);
    }
    std::uint64_t second_mib[2] = {1 << 20, 1 << 20};
    ASSERT_EQ(::ioctl(fd.get(), BLKZEROOUT, second_mib), 0) << "the control request must work";
    fd.reset();

    std::ifstream in(image, std::ios::binary);
    std::vector<std::uint64_t> words(kSize / 8);
    in.read(reinterpret_cast<char*>(words.data()), kSize);
    ASSERT_TRUE(in);
    for (std::size_t i = 0; i < words.size() / 2; ++i)
        ASSERT_EQ(words[i], pattern_word(i * 8)) << "word " << i;
    for (std::size_t i = words.size() / 2; i < words.size(); ++i) ASSERT_EQ(words[i], 0u);
}

// The records written here must match what this machine's kernel reads.
TEST(DevRecords, MatchTheInstalledKernelInterface) {
    EXPECT_EQ(kSgGetVersionNum, static_cast<unsigned long>(SG_GET_VERSION_NUM));
    EXPECT_EQ(kSgIo, static_cast<unsigned long>(SG_IO));
    EXPECT_EQ(kSgDxferNone, SG_DXFER_NONE);
    EXPECT_EQ(kNvmeIoctlId, static_cast<unsigned long>(NVME_IOCTL_ID));
    EXPECT_EQ(kNvmeIoctlAdminCmd, static_cast<unsigned long>(NVME_IOCTL_ADMIN_CMD));
    EXPECT_EQ(kNvmeIoctlIoCmd, static_cast<unsigned long>(NVME_IOCTL_IO_CMD));

#define SAME_FIELD(ours, theirs, field) \
    EXPECT_EQ(offsetof(ours, field), offsetof(theirs, field)) << #field
    EXPECT_EQ(sizeof(SgIoHdr), sizeof(sg_io_hdr_t));
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, dxfer_direction);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, cmd_len);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, mx_sb_len);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, iovec_count);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, dxfer_len);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, dxferp);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, cmdp);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, sbp);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, timeout);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, flags);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, status);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, sb_len_wr);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, host_status);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, driver_status);
    SAME_FIELD(SgIoHdr, sg_io_hdr_t, info);

    EXPECT_EQ(sizeof(NvmePassthruCmd), sizeof(nvme_passthru_cmd));
    SAME_FIELD(NvmePassthruCmd, nvme_passthru_cmd, opcode);
    SAME_FIELD(NvmePassthruCmd, nvme_passthru_cmd, nsid);
    SAME_FIELD(NvmePassthruCmd, nvme_passthru_cmd, metadata);
    SAME_FIELD(NvmePassthruCmd, nvme_passthru_cmd, addr);
    SAME_FIELD(NvmePassthruCmd, nvme_passthru_cmd, metadata_len);
    SAME_FIELD(NvmePassthruCmd, nvme_passthru_cmd, data_len);
    SAME_FIELD(NvmePassthruCmd, nvme_passthru_cmd, cdw10);
    SAME_FIELD(NvmePassthruCmd, nvme_passthru_cmd, cdw12);
    SAME_FIELD(NvmePassthruCmd, nvme_passthru_cmd, timeout_ms);
    SAME_FIELD(NvmePassthruCmd, nvme_passthru_cmd, result);
#undef SAME_FIELD
}

// The guard holds only while no other file of the surface test talks to the
// kernel's ioctl on its own.
TEST(DevGuard, NoOtherSurfaceTestFileCallsIoctl) {
    const std::filesystem::path src =
        std::filesystem::path(CORVANTIS_TEST_DATA).parent_path().parent_path() / "surface_test";
    const std::regex call(R"((^|[^A-Za-z0-9_])ioctl\s*\()");
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(src)) {
        ++files;
        if (entry.path().filename() == "dev_ioctl.cpp") continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_FALSE(std::regex_search(text.str(), call)) << entry.path();
    }
    EXPECT_GE(files, 3);
}

}  // namespace
