// Device commands: the exact requests sent, the classification of what drives
// answer (through the fake under the guard), the NVMe readers, and direct reads
// of a real loop device.
#include "surface_test/dev_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/unique_fd.h"
#include "tests/support/fake_ioctl.h"
#include "tests/support/loop_device.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kFd = 7;

// Sense data as drives return it.
// A SAS drive's medium error, fixed format with VALID and the failing LBA 0x2F1C4A0A.
const Bytes kSasMediumWithLba = {0xF0, 0x00, 0x03, 0x2F, 0x1C, 0x4A, 0x0A, 0x0A, 0x00,
                                 0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x80, 0x00, 0x02};
// The same without VALID: the information bytes must be ignored.
const Bytes kMediumNoLba = {0x70, 0x00, 0x03, 0x2F, 0x1C, 0x4A, 0x0A, 0x0A, 0x00,
                            0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00};
// A SATA disk behind libata: descriptor format, unrecovered read error, auto
// reallocate failed, with an information descriptor holding LBA 0x1_D1C0_BE40.
const Bytes kSataMediumDescriptor = {0x72, 0x03, 0x11, 0x04, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x0A,
                                     0x80, 0x00, 0x00, 0x00, 0x00, 0x01, 0xD1, 0xC0, 0xBE, 0x40};
// Unit attention: power on, reset or bus device reset occurred.
const Bytes kUnitAttention = {0x70, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00,
                              0x00, 0x00, 0x00, 0x29, 0x00, 0x00, 0x00, 0x00, 0x00};

Bytes fixed_sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    Bytes s(18, 0);
    s[0] = 0x70;
    s[2] = key;
    s[7] = 10;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

Bytes descriptor_sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    return {0x72, key, asc, ascq, 0, 0, 0, 0};
}

FakeAnswer sg_answer(std::uint8_t status, std::uint16_t host, std::uint16_t driver,
                     Bytes sense = {}) {
    FakeAnswer a;
    a.status = status;
    a.host_status = host;
    a.driver_status = driver;
    a.sense = std::move(sense);
    return a;
}

FakeAnswer failed_call(int err) {
    FakeAnswer a;
    a.rc = -1;
    a.err = err;
    return a;
}

FakeAnswer nvme_status(int status) {
    FakeAnswer a;
    a.rc = status;
    return a;
}

TEST(DevScsiVerify16, SendsTheExactReadOnlyRequest) {
    FakeIoctl fake;
    IoResult r;
    EXPECT_EQ(dev_scsi_verify16(kFd, 0x0123456789ABCDEFULL, 0x00ABCDEF, 30000, &r), kIoOk);
    ASSERT_EQ(fake.sent().size(), 1u);
    const SentIoctl& s = fake.sent()[0];
    EXPECT_EQ(s.fd, kFd);
    EXPECT_EQ(s.request, kSgIo);
    const Bytes cdb = {0x8F, 0x00, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB,
                       0xCD, 0xEF, 0x00, 0xAB, 0xCD, 0xEF, 0x00, 0x00};
    EXPECT_EQ(s.cdb, cdb);
    EXPECT_EQ(s.sg.interface_id, 'S');
    EXPECT_EQ(s.sg.dxfer_direction, kSgDxferNone);
    EXPECT_EQ(s.sg.dxfer_len, 0u);
    EXPECT_EQ(s.sg.dxferp, nullptr);
    EXPECT_EQ(s.sg.iovec_count, 0);
    EXPECT_EQ(s.sg.cmd_len, 16);
    EXPECT_EQ(s.sg.mx_sb_len, 64);
    EXPECT_NE(s.sg.sbp, nullptr);
    EXPECT_EQ(s.sg.timeout, 30000u);
    EXPECT_EQ(s.sg.flags, 0u);
    EXPECT_EQ(r.err, 0);
    EXPECT_EQ(r.sense.parsed, 0);
    EXPECT_EQ(r.sense.asc, -1);
}

// Shorthands for the table below: a CHECK CONDITION with the driver's sense
// flag, as the kernel reports a command that ended with sense data.
FakeAnswer check(Bytes sense) {
    return sg_answer(2, 0, 0x08, std::move(sense));
}

TEST(DevScsiVerify16, ClassifiesWhatDrivesAndKernelsAnswer) {
    const struct {
        const char* name;
        FakeAnswer answer;
        int code;
        int err;
    } cases[] = {
        {"good", sg_answer(0, 0, 0), kIoOk, 0},
        {"device removed", failed_call(ENODEV), kIoGone, ENODEV},
        {"no such device", failed_call(ENXIO), kIoGone, ENXIO},
        {"no SG_IO here", failed_call(ENOTTY), kIoUnsupported, ENOTTY},
        {"not supported", failed_call(EOPNOTSUPP), kIoUnsupported, EOPNOTSUPP},
        {"I/O error", failed_call(EIO), kIoFailed, EIO},
        {"kernel says EPERM", failed_call(EPERM), kIoFailed, EPERM},
        {"bad descriptor", failed_call(EBADF), kIoFailed, EBADF},
        {"no connection", sg_answer(0, 1, 0), kIoGone, 0},
        {"bad target beats sense", sg_answer(2, 4, 0x08, kSasMediumWithLba), kIoGone, 0},
        {"host time-out", sg_answer(0, 3, 0), kIoFailed, 0},
        {"parity", sg_answer(0, 6, 0), kIoLink, 0},
        {"host error, no sense", sg_answer(0, 7, 0), kIoFailed, 0},
        {"bus busy", sg_answer(0, 2, 0), kIoFailed, 0},
        {"driver time-out beats sense", sg_answer(2, 0, 0x06, kSasMediumWithLba), kIoFailed, 0},
        {"driver time-out, high bits", sg_answer(0, 0, 0x26), kIoFailed, 0},
        {"driver sense flag only", sg_answer(0, 0, 0x08, fixed_sense(0, 0, 0)), kIoOk, 0},
        {"driver error bits", sg_answer(0, 0, 0x04), kIoFailed, 0},
        {"SAS medium error with LBA", check(kSasMediumWithLba), kIoMedium, 0},
        {"medium error without LBA", check(kMediumNoLba), kIoMedium, 0},
        {"SATA descriptor medium", check(kSataMediumDescriptor), kIoMedium, 0},
        {"unit attention", check(kUnitAttention), kIoUnitAttention, 0},
        {"aborted, parity ASC 0x47", check(fixed_sense(0x0B, 0x47, 0x00)), kIoLink, 0},
        {"aborted, iuCRC descriptor", check(descriptor_sense(0x0B, 0x47, 0x03)), kIoLink, 0},
        {"aborted, other ASC", check(fixed_sense(0x0B, 0x4B, 0x00)), kIoFailed, 0},
        {"aborted, no ASC", check(fixed_sense(0x0B, 0x00, 0x00)), kIoFailed, 0},
        {"invalid opcode", check(fixed_sense(0x05, 0x20, 0x00)), kIoUnsupported, 0},
        {"invalid field in CDB", check(fixed_sense(0x05, 0x24, 0x00)), kIoUnsupported, 0},
        {"LBA out of range", check(fixed_sense(0x05, 0x21, 0x00)), kIoFailed, 0},
        {"not ready", check(fixed_sense(0x02, 0x04, 0x01)), kIoFailed, 0},
        {"hardware error", check(fixed_sense(0x04, 0x44, 0x00)), kIoFailed, 0},
        {"data protect", check(fixed_sense(0x07, 0x27, 0x00)), kIoFailed, 0},
        {"miscompare", check(fixed_sense(0x0E, 0x1D, 0x00)), kIoFailed, 0},
        {"recovered error", check(fixed_sense(0x01, 0x18, 0x00)), kIoOk, 0},
        {"recovered, host error", sg_answer(2, 7, 0x08, fixed_sense(0x01, 0x18, 0)), kIoFailed, 0},
        {"check condition, no sense key", check(fixed_sense(0, 0, 0)), kIoOk, 0},
        {"good status, key 0, host error", sg_answer(0, 7, 0, fixed_sense(0, 0, 0)), kIoFailed, 0},
        {"good status, medium key", sg_answer(0, 0, 0x08, kMediumNoLba), kIoMedium, 0},
        {"check condition, no sense", sg_answer(2, 0, 0), kIoFailed, 0},
        {"check condition, 2 sense bytes", check({0x70, 0x00}), kIoFailed, 0},
        {"check condition, unknown format", check({0x7F, 0x03, 0x03, 0x03}), kIoFailed, 0},
        {"good status, unknown sense", sg_answer(0, 0, 0, {0x7F, 0x03, 0x03, 0x03}), kIoOk, 0},
        {"reservation conflict", sg_answer(0x18, 0, 0), kIoFailed, 0},
        {"busy", sg_answer(0x08, 0, 0), kIoFailed, 0},
    };
    for (const auto& c : cases) {
        FakeIoctl fake;
        fake.push(c.answer);
        IoResult r;
        EXPECT_EQ(dev_scsi_verify16(kFd, 1000, 16, 30000, &r), c.code) << c.name;
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        if (c.answer.rc == 0) {
            EXPECT_EQ(r.scsi_status, c.answer.status) << c.name;
            EXPECT_EQ(r.host_status, c.answer.host_status) << c.name;
            EXPECT_EQ(r.driver_status, c.answer.driver_status) << c.name;
        }
    }
}

// The failing LBA that the map uses to place a bad range exactly.
TEST(DevScsiVerify16, FailingLbaFromTheInformationField) {
    const struct {
        const char* name;
        FakeAnswer answer;
        int info_valid;
        std::uint64_t info;
    } cases[] = {
        {"fixed, VALID", check(kSasMediumWithLba), 1, 0x2F1C4A0A},
        {"fixed, not VALID", check(kMediumNoLba), 0, 0},
        {"descriptor", check(kSataMediumDescriptor), 1, 0x1D1C0BE40ULL},
        {"kept when the host status decides", sg_answer(2, 4, 0x08, kSasMediumWithLba), 1,
         0x2F1C4A0A},
        {"none after a failed call", failed_call(EIO), 0, 0},
    };
    for (const auto& c : cases) {
        FakeIoctl fake;
        fake.push(c.answer);
        IoResult r;
        dev_scsi_verify16(kFd, 0x2F1C4000, 4096, 30000, &r);
        EXPECT_EQ(r.sense.info_valid, c.info_valid) << c.name;
        EXPECT_EQ(r.sense.info, c.info) << c.name;
    }
}

TEST(DevScsiVerify16, ReportsTheParsedSense) {
    FakeIoctl fake;
    fake.push(sg_answer(2, 0, 0x08, kSataMediumDescriptor));
    fake.push(sg_answer(2, 0, 0x08, kUnitAttention));
    IoResult r;
    dev_scsi_verify16(kFd, 0, 8, 30000, &r);
    EXPECT_EQ(r.sense.parsed, 1);
    EXPECT_EQ(r.sense.key, 3);
    EXPECT_EQ(r.sense.asc, 0x11);
    EXPECT_EQ(r.sense.ascq, 0x04);
    dev_scsi_verify16(kFd, 0, 8, 30000, &r);
    EXPECT_EQ(r.sense.key, 6);
    EXPECT_EQ(r.sense.asc, 0x29);
    EXPECT_EQ(r.sense.ascq, 0x00);
}

// A result must never carry the failing LBA of an earlier command.
TEST(DevScsiVerify16, EveryCommandStartsFromACleanResult) {
    FakeIoctl fake;
    fake.push(sg_answer(2, 0, 0x08, kSasMediumWithLba));
    fake.push(sg_answer(0, 0, 0));
    fake.push(failed_call(EIO));
    IoResult r;
    ASSERT_EQ(dev_scsi_verify16(kFd, 0, 8, 30000, &r), kIoMedium);
    ASSERT_EQ(r.sense.info_valid, 1);
    EXPECT_EQ(dev_scsi_verify16(kFd, 8, 8, 30000, &r), kIoOk);
    EXPECT_EQ(r.sense.info_valid, 0);
    EXPECT_EQ(r.sense.info, 0u);
    EXPECT_EQ(r.sense.parsed, 0);
    EXPECT_EQ(r.scsi_status, 0);
    EXPECT_EQ(dev_scsi_verify16(kFd, 16, 8, 30000, &r), kIoFailed);
    EXPECT_EQ(r.driver_status, 0);
}

// The kernel may claim more sense bytes than the buffer holds; only the buffer is read.
TEST(DevScsiVerify16, SenseCountBeyondTheBufferIsCut) {
    FakeIoctl fake;
    Bytes sense = kSataMediumDescriptor;
    sense[7] = 0xFF;  // the header claims 255 more bytes
    FakeAnswer a = sg_answer(2, 0, 0x08, sense);
    a.sb_len_wr = 255;
    fake.push(a);
    IoResult r;
    EXPECT_EQ(dev_scsi_verify16(kFd, 0, 8, 30000, &r), kIoMedium);
    EXPECT_EQ(r.sense.info_valid, 1);
    EXPECT_EQ(r.sense.info, 0x1D1C0BE40ULL);
}

TEST(DevScsiVerify16, ElapsedTimeCoversTheCommand) {
    FakeIoctl fake;
    FakeAnswer slow = sg_answer(0, 0, 0);
    slow.sleep_ms = 30;
    fake.push(slow);
    IoResult r;
    dev_scsi_verify16(kFd, 0, 8, 30000, &r);
    EXPECT_GE(r.elapsed_ms, 30.0);
}

TEST(DevSgSupportsV3, NeedsVersionAbove29999) {
    struct Case {
        FakeAnswer answer;
        int want;
    } cases[] = {{{}, 0}, {failed_call(EINVAL), 0}, {failed_call(ENOTTY), 0}};
    for (const Case& c : cases) {
        FakeIoctl fake;
        fake.push(c.answer);
        EXPECT_EQ(dev_sg_supports_v3(kFd), c.want);
    }
    for (auto [version, want] : {std::pair{29999, 0}, {30000, 1}, {30536, 1}, {20134, 0}}) {
        FakeIoctl fake;
        FakeAnswer a;
        a.version = version;
        fake.push(a);
        EXPECT_EQ(dev_sg_supports_v3(kFd), want) << version;
        ASSERT_EQ(fake.sent().size(), 1u);
        EXPECT_EQ(fake.sent()[0].request, kSgGetVersionNum);
    }
    FakeIoctl fake;
    EXPECT_EQ(dev_sg_supports_v3(-1), 0);
    EXPECT_TRUE(fake.sent().empty());
}

TEST(DevNvmeGetNsid, OnlyPositiveIdsCount) {
    for (auto [rc, want] : {std::pair{1, 1}, {3, 3}, {0, -1}, {-1, -1}}) {
        FakeIoctl fake;
        FakeAnswer a;
        a.rc = rc;
        a.err = ENOTTY;
        fake.push(a);
        EXPECT_EQ(dev_nvme_get_nsid(kFd), want) << rc;
        ASSERT_EQ(fake.sent().size(), 1u);
        EXPECT_EQ(fake.sent()[0].request, kNvmeIoctlId);
    }
}

TEST(DevNvmeVerify, SendsTheExactCommand) {
    struct Case {
        std::uint64_t lba;
        std::uint32_t blocks;
        std::uint32_t cdw10, cdw11, cdw12;
    } cases[] = {
        {0x000000123456789AULL, 2048, 0x3456789A, 0x12, 2047},
        {0xFFFFFFFFFFFFFFFFULL, 1, 0xFFFFFFFF, 0xFFFFFFFF, 0},
        {0, 0, 0, 0, 0},
        {4096, 65536, 4096, 0, 0xFFFF},
    };
    for (const Case& c : cases) {
        FakeIoctl fake;
        IoResult r;
        EXPECT_EQ(dev_nvme_verify(kFd, 1, c.lba, c.blocks, 30000, &r), kIoOk);
        ASSERT_EQ(fake.sent().size(), 1u);
        const SentIoctl& s = fake.sent()[0];
        EXPECT_EQ(s.request, kNvmeIoctlIoCmd);
        EXPECT_EQ(s.fd, kFd);
        EXPECT_EQ(s.nvme.opcode, 0x0C);
        EXPECT_EQ(s.nvme.nsid, 1u);
        EXPECT_EQ(s.nvme.cdw10, c.cdw10);
        EXPECT_EQ(s.nvme.cdw11, c.cdw11);
        EXPECT_EQ(s.nvme.cdw12, c.cdw12);
        EXPECT_EQ(s.nvme.addr, 0u);
        EXPECT_EQ(s.nvme.data_len, 0u);
        EXPECT_EQ(s.nvme.timeout_ms, 30000u);
    }
}

// More blocks than the 16-bit count holds would verify fewer blocks than asked
// and report success for the rest: such a command is not sent.
TEST(DevNvmeVerify, RefusesCountsTheCommandCannotHold) {
    FakeIoctl fake;
    IoResult r;
    EXPECT_EQ(dev_nvme_verify(kFd, 1, 0, 65537, 30000, &r), kIoFailed);
    EXPECT_EQ(r.err, EINVAL);
    EXPECT_EQ(r.elapsed_ms, 0.0);
    EXPECT_TRUE(fake.sent().empty());
}

TEST(DevNvmeVerify, ClassifiesCompletionStatusAndErrors) {
    struct Case {
        const char* name;
        FakeAnswer answer;
        int code;
        int err;
        int status;
    } cases[] = {
        {"success", nvme_status(0), kIoOk, 0, 0},
        {"unrecovered read error", nvme_status(0x0281), kIoMedium, 0, 0x0281},
        {"same, do not retry", nvme_status(0x4281), kIoMedium, 0, 0x4281},
        {"end-to-end guard check", nvme_status(0x0282), kIoMedium, 0, 0x0282},
        {"compare failure", nvme_status(0x0285), kIoMedium, 0, 0x0285},
        {"invalid opcode", nvme_status(0x0001), kIoUnsupported, 0, 0x0001},
        {"invalid field", nvme_status(0x0002), kIoUnsupported, 0, 0x0002},
        {"invalid field, do not retry", nvme_status(0x4002), kIoUnsupported, 0, 0x4002},
        {"data transfer error", nvme_status(0x0004), kIoFailed, 0, 0x0004},
        {"internal error", nvme_status(0x0006), kIoFailed, 0, 0x0006},
        {"LBA out of range", nvme_status(0x0080), kIoFailed, 0, 0x0080},
        {"command specific", nvme_status(0x0180), kIoFailed, 0, 0x0180},
        {"path error", nvme_status(0x0371), kIoFailed, 0, 0x0371},
        {"vendor specific", nvme_status(0x0701), kIoFailed, 0, 0x0701},
        {"device removed", failed_call(ENODEV), kIoGone, ENODEV, 0},
        {"no such device", failed_call(ENXIO), kIoGone, ENXIO, 0},
        {"not a namespace", failed_call(ENOTTY), kIoFailed, ENOTTY, 0},
        {"interrupted", failed_call(EINTR), kIoFailed, EINTR, 0},
        {"I/O error", failed_call(EIO), kIoFailed, EIO, 0},
    };
    for (const Case& c : cases) {
        FakeIoctl fake;
        fake.push(c.answer);
        IoResult r;
        EXPECT_EQ(dev_nvme_verify(kFd, 1, 0, 8, 30000, &r), c.code) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(r.scsi_status, c.status) << c.name;
        EXPECT_EQ(r.sense.info_valid, 0) << c.name;
    }
}

struct AlignedBuf {
    explicit AlignedBuf(std::size_t n)
        : size(n),
          p(static_cast<std::uint8_t*>(std::aligned_alloc(4096, (n + 4095) / 4096 * 4096))) {}
    ~AlignedBuf() { std::free(p); }
    std::size_t size;
    std::uint8_t* p;
};

TEST(DevNvmeAdmin, IdentifyControllerRequestAndBuffer) {
    FakeIoctl fake;
    FakeAnswer a;
    a.data = {0x4D, 0x14, 0x4D, 0x14};  // vendor and subsystem vendor id
    fake.push(a);
    AlignedBuf buf(kNvmeIdentifySize);
    std::memset(buf.p, 0xAA, buf.size);
    EXPECT_EQ(dev_nvme_identify_ctrl(kFd, buf.p), 0);
    ASSERT_EQ(fake.sent().size(), 1u);
    const NvmePassthruCmd& c = fake.sent()[0].nvme;
    EXPECT_EQ(fake.sent()[0].request, kNvmeIoctlAdminCmd);
    EXPECT_EQ(c.opcode, 0x06);
    EXPECT_EQ(c.nsid, 0u);
    EXPECT_EQ(c.addr, reinterpret_cast<std::uintptr_t>(buf.p));
    EXPECT_EQ(c.data_len, 4096u);
    EXPECT_EQ(c.cdw10, 1u);
    EXPECT_EQ(c.timeout_ms, 10000u);
    EXPECT_EQ(buf.p[0], 0x4D);
    for (std::size_t i = 4; i < buf.size; ++i) ASSERT_EQ(buf.p[i], 0) << "byte " << i;
}

TEST(DevNvmeAdmin, SmartLogRequest) {
    FakeIoctl fake;
    AlignedBuf buf(kNvmeSmartLogSize);
    EXPECT_EQ(dev_nvme_get_smart_log(kFd, buf.p), 0);
    ASSERT_EQ(fake.sent().size(), 1u);
    const NvmePassthruCmd& c = fake.sent()[0].nvme;
    EXPECT_EQ(c.opcode, 0x02);
    EXPECT_EQ(c.nsid, 0xFFFFFFFFu);
    EXPECT_EQ(c.data_len, 512u);
    EXPECT_EQ(c.cdw10, 0x007F0002u);
    EXPECT_EQ(c.timeout_ms, 5000u);
}

TEST(DevNvmeAdmin, AnythingButZeroFailsAndLeavesAZeroedBuffer) {
    const FakeAnswer answers[] = {nvme_status(0x0002), nvme_status(0x4109), failed_call(ENOTTY),
                                  failed_call(ENODEV)};
    for (const FakeAnswer& a : answers) {
        FakeIoctl fake;
        fake.push(a);
        fake.push(a);
        AlignedBuf id(kNvmeIdentifySize), log(kNvmeSmartLogSize);
        std::memset(id.p, 0xAA, id.size);
        std::memset(log.p, 0xAA, log.size);
        EXPECT_EQ(dev_nvme_identify_ctrl(kFd, id.p), -1);
        EXPECT_EQ(dev_nvme_get_smart_log(kFd, log.p), -1);
        EXPECT_EQ(id.p[0] | id.p[4095] | log.p[0] | log.p[511], 0);
    }
    FakeIoctl fake;
    EXPECT_EQ(dev_nvme_identify_ctrl(kFd, nullptr), -1);
    EXPECT_EQ(dev_nvme_get_smart_log(kFd, nullptr), -1);
    EXPECT_TRUE(fake.sent().empty());
}

// ---- readers of Identify Controller and the SMART / Health log ----

std::vector<std::uint8_t> identify_data(std::size_t len, std::uint16_t oncs, std::uint16_t wctemp,
                                        std::uint16_t cctemp) {
    std::vector<std::uint8_t> id(len, 0);
    auto put16 = [&](std::size_t at, std::uint16_t v) {
        if (at + 1 < len) id[at] = v & 0xFF, id[at + 1] = v >> 8;
    };
    put16(520, oncs);
    put16(266, wctemp);
    put16(268, cctemp);
    return id;
}

TEST(DevNvmeIdentify, VerifySupportIsOncsBit7) {
    struct Case {
        std::size_t len;
        std::uint16_t oncs;
        int want;
    } cases[] = {
        {4096, 0x005F, 0},  // Compare, Write Uncorrectable, DSM, Write Zeroes and more
        {4096, 0x00DF, 1},  // the same with Verify
        {4096, 0x0080, 1}, {4096, 0x8000, 0}, {4096, 0xFF7F, 0},
        {522, 0x0080, 1},  {521, 0x0080, 0},  {0, 0x0080, 0},
    };
    for (const Case& c : cases) {
        const auto id = identify_data(4096, c.oncs, 0, 0);
        EXPECT_EQ(dev_nvme_has_verify(id.data(), c.len), c.want) << c.len << " " << c.oncs;
    }
    EXPECT_EQ(dev_nvme_has_verify(nullptr, 4096), 0);
}

TEST(DevNvmeIdentify, TemperatureThresholdsInCelsius) {
    struct Case {
        std::size_t len;
        std::uint16_t wctemp, cctemp;
        int want_w, want_c;
    } cases[] = {
        {4096, 358, 358, 85, 85},  // 85 C warning and critical, as many consumer drives
        {4096, 343, 353, 70, 80}, {4096, 0, 0, 0, 0},  // not reported
        {4096, 273, 400, 0, 0},  // 0 C and 127 C fall outside the accepted range
        {4096, 274, 399, 1, 126}, {4096, 0xFFFF, 65535, 0, 0}, {270, 343, 353, 70, 80},
        {269, 343, 353, 0, 0},    {0, 343, 353, 0, 0},
    };
    for (const Case& c : cases) {
        const auto id = identify_data(4096, 0, c.wctemp, c.cctemp);
        int w = -7, cc = -7;
        dev_nvme_temp_thresholds(id.data(), c.len, &w, &cc);
        EXPECT_EQ(w, c.want_w) << c.len << " " << c.wctemp;
        EXPECT_EQ(cc, c.want_c) << c.len << " " << c.cctemp;
    }
    int w = -7, cc = -7;
    dev_nvme_temp_thresholds(nullptr, 4096, &w, &cc);
    EXPECT_EQ(w + cc, 0);
}

std::vector<std::uint8_t> smart_log(std::uint8_t warning, std::uint16_t kelvin,
                                    const std::uint32_t tmt[4]) {
    std::vector<std::uint8_t> log(512, 0);
    log[0] = warning;
    log[1] = kelvin & 0xFF;
    log[2] = kelvin >> 8;
    log[3] = 99;  // available spare
    for (int i = 0; i < 4; ++i)
        for (int b = 0; b < 4; ++b) log[216 + 4 * i + b] = (tmt[i] >> (8 * b)) & 0xFF;
    return log;
}

TEST(DevNvmeSmartLog, ParsesTemperatureWarningAndThermalManagement) {
    const std::uint32_t tmt[4] = {17, 3, 0x00012345, 0xFFFFFFF0};
    struct Case {
        std::uint8_t warning;
        std::uint16_t kelvin;
        std::size_t len;
        int ok;
        int temp_c;
        bool fields;
    } cases[] = {
        {0x00, 308, 512, 1, 35, true},  // a drive idling at 35 C
        {0x10, 313, 512, 1, 40, true},  // volatile memory backup failed
        {0x02, 360, 232, 1, 87, true},  // over temperature, shortest log that holds the fields
        {0x00, 233, 512, 1, -40, true}, {0x00, 400, 512, 1, 127, true},
        {0x00, 232, 512, 0, 0, true},   {0x00, 401, 512, 0, 0, true},
        {0x00, 0, 512, 0, 0, true},     // temperature not reported
        {0x04, 308, 231, 0, 0, false},  // too short: nothing
        {0x04, 308, 0, 0, 0, false},
    };
    for (const Case& c : cases) {
        const auto log = smart_log(c.warning, c.kelvin, tmt);
        NvmeThermalLog out;
        std::memset(&out, 0x5A, sizeof out);
        EXPECT_EQ(dev_nvme_smart_log_parse(log.data(), c.len, &out), c.ok)
            << c.kelvin << " " << c.len;
        EXPECT_EQ(out.temp_c, c.temp_c) << c.kelvin;
        EXPECT_EQ(out.critical_warning, c.fields ? c.warning : 0);
        EXPECT_EQ(out.tmt1_transitions, c.fields ? tmt[0] : 0u);
        EXPECT_EQ(out.tmt2_transitions, c.fields ? tmt[1] : 0u);
        EXPECT_EQ(out.tmt1_time_s, c.fields ? tmt[2] : 0u);
        EXPECT_EQ(out.tmt2_time_s, c.fields ? tmt[3] : 0u);
    }
}

TEST(MapCodeGrade, LettersOfTheResultCodes) {
    const struct {
        int code;
        char grade;
    } cases[] = {{0, 0}, {1, 'B'}, {2, 'L'}, {3, 'E'}, {4, 0},
                 {5, 0}, {6, 'E'}, {7, 0},   {-1, 0},  {1000, 0}};
    for (const auto& c : cases) EXPECT_EQ(map_code_grade(c.code), c.grade) << c.code;
}

// ---- the real kernel: a loop device ----

class DevLoop : public ::testing::Test {
   protected:
    static constexpr std::uint64_t kSize = (2 << 20) + 3 * 4096;

    void SetUp() override {
        write_pattern_image(image_, kSize);
        loop_ = std::make_unique<LoopDevice>(image_);
        REQUIRE_LOOP(*loop_);
        fd_.reset(::open(loop_->path().c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
        ASSERT_TRUE(fd_.valid()) << loop_->path();
    }

    static void expect_pattern(const std::uint8_t* p, std::uint64_t offset, std::uint64_t length) {
        for (std::uint64_t at = 0; at < length; at += 8) {
            std::uint64_t word;
            std::memcpy(&word, p + at, 8);
            ASSERT_EQ(word, pattern_word(offset + at)) << "byte " << offset + at;
        }
    }

    TempDir dir_;
    std::string image_ = dir_.path() + "/disk.img";
    std::unique_ptr<LoopDevice> loop_;
    UniqueFd fd_;
};

TEST_F(DevLoop, DirectReadsReturnTheDeviceContent) {
    AlignedBuf buf(kSize);
    const struct {
        std::uint64_t offset, length;
    } cases[] = {{0, 4096}, {12288, 65536}, {1 << 20, 1 << 20}, {kSize - 4096, 4096}, {0, kSize}};
    for (const auto& c : cases) {
        IoResult r;
        EXPECT_EQ(dev_pread_range(fd_.get(), c.offset, c.length, buf.p, &r), kIoOk) << c.offset;
        EXPECT_EQ(r.err, 0);
        EXPECT_GE(r.elapsed_ms, 0.0);
        expect_pattern(buf.p, c.offset, c.length);
    }
}

TEST_F(DevLoop, ReadsPastTheEndFailWithEio) {
    AlignedBuf buf(1 << 20);
    const struct {
        std::uint64_t offset, length, readable;
    } cases[] = {{kSize - 4096, 8192, 4096},
                 {kSize - 12288, 1 << 20, 12288},
                 {kSize, 4096, 0},
                 {kSize + (1 << 20), 4096, 0}};
    for (const auto& c : cases) {
        std::memset(buf.p, 0, buf.size);
        IoResult r;
        EXPECT_EQ(dev_pread_range(fd_.get(), c.offset, c.length, buf.p, &r), kIoFailed) << c.offset;
        EXPECT_EQ(r.code, kIoFailed);
        EXPECT_EQ(r.err, EIO);
        expect_pattern(buf.p, c.offset, c.readable);
    }
}

TEST_F(DevLoop, ZeroLengthReadSucceedsWithoutTouchingTheBuffer) {
    AlignedBuf buf(4096);
    std::memset(buf.p, 0xAA, buf.size);
    for (std::uint64_t offset : {std::uint64_t{0}, kSize, kSize * 4}) {
        IoResult r;
        r.err = 9;
        EXPECT_EQ(dev_pread_range(fd_.get(), offset, 0, buf.p, &r), kIoOk);
        EXPECT_EQ(r.err, 0);
        EXPECT_EQ(r.elapsed_ms, 0.0);
    }
    EXPECT_EQ(buf.p[0] & buf.p[4095], 0xAA);
}

TEST_F(DevLoop, KernelErrorsOfDirectReads) {
    AlignedBuf buf(8192);
    UniqueFd dir(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const struct {
        const char* name;
        int fd;
        std::uint64_t offset;
        std::uint8_t* buf;
        int err;
    } cases[] = {
        {"buffer not aligned", fd_.get(), 0, buf.p + 1, EINVAL},
        {"offset not aligned", fd_.get(), 100, buf.p, EINVAL},
        {"closed descriptor", -1, 0, buf.p, EBADF},
        {"a directory", dir.get(), 0, buf.p, EISDIR},
    };
    for (const auto& c : cases) {
        IoResult r;
        EXPECT_EQ(dev_pread_range(c.fd, c.offset, 4096, c.buf, &r), kIoFailed) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

// A block device without SCSI generic or NVMe support answers the queries
// harmlessly, and the commands fail without touching its data.
TEST_F(DevLoop, PassThroughOnAPlainBlockDevice) {
    UniqueFd sg(::open(loop_->path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(sg.valid());
    EXPECT_EQ(dev_sg_supports_v3(sg.get()), 0);
    EXPECT_EQ(dev_nvme_get_nsid(fd_.get()), -1);

    AlignedBuf id(kNvmeIdentifySize);
    std::memset(id.p, 0xAA, id.size);
    EXPECT_EQ(dev_nvme_identify_ctrl(fd_.get(), id.p), -1);
    EXPECT_EQ(id.p[0] | id.p[4095], 0);
    AlignedBuf log(kNvmeSmartLogSize);
    EXPECT_EQ(dev_nvme_get_smart_log(fd_.get(), log.p), -1);

    IoResult r;
    EXPECT_NE(dev_scsi_verify16(sg.get(), 0, 8, 30000, &r), kIoOk);
    EXPECT_TRUE(r.err == EINVAL || r.err == ENOTTY) << r.err;
    EXPECT_NE(dev_nvme_verify(fd_.get(), 1, 0, 8, 30000, &r), kIoOk);
    EXPECT_TRUE(r.err == EINVAL || r.err == ENOTTY) << r.err;

    AlignedBuf buf(kSize);
    ASSERT_EQ(dev_pread_range(fd_.get(), 0, kSize, buf.p, &r), kIoOk);
    expect_pattern(buf.p, 0, kSize);
}

}  // namespace
