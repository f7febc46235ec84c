// hw_devcheck: runs inside the test guest and sends the surface test's device
// commands to one real disk through the library's command layer, printing one
// line per command that the host compares with what each driver is known to
// answer.
//
//   hw_devcheck LABEL DEVICE SECTOR
//
// Every line is "LABEL CHECK FIELDS". The "clean" checks read the first MiB;
// the "bad" ones the 4 KiB unit holding the 512-byte SECTOR (bad on some
// disks, not on others). read16_bad is the one command here that the layer
// never sends itself: a SCSI READ(16) through SG_IO, so that the layer's sense
// parser meets the sense data a real driver builds for a read that fails.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/unique_fd.h"
#include "surface_test/dev_io.h"
#include "surface_test/dev_ioctl.h"

namespace {

constexpr std::uint32_t kTimeoutMs = 30000;
constexpr std::uint64_t kUnit = 4096;
constexpr std::uint32_t kCleanBlocks = 2048;      // 1 MiB of 512-byte blocks
constexpr std::uint32_t kOverVerifyLimit = 2048;  // above QEMU's default NVMe verify size limit

const char* g_label = "";

std::string sense_text(const SenseInfo& s) {
    if (!s.parsed) return "none";
    char buf[96];
    std::snprintf(buf, sizeof buf, "%x/%02x/%02x", s.key, s.asc & 0xFF, s.ascq & 0xFF);
    std::string text = buf;
    if (s.info_valid) text += " info=" + std::to_string(s.info);
    return text;
}

void print_sg(const char* check, const IoResult& r) {
    std::printf("%s %s code=%d err=%d status=0x%02x host=%d driver=0x%02x sense=%s\n", g_label,
                check, r.code, r.err, r.scsi_status, r.host_status, r.driver_status,
                sense_text(r.sense).c_str());
}

void print_nvme(const char* check, const IoResult& r) {
    std::printf("%s %s code=%d err=%d status=0x%x\n", g_label, check, r.code, r.err, r.scsi_status);
}

void print_read(const char* check, const IoResult& r) {
    std::printf("%s %s code=%d err=%d\n", g_label, check, r.code, r.err);
}

// A READ(16) of blocks at lba, sent straight to the kernel (the layer's guard
// admits VERIFY only), with the outcome classified by the layer.
IoResult sg_read16(int fd, std::uint64_t lba, std::uint32_t blocks, void* buf, std::size_t len) {
    IoResult r;
    dev_result_clear(&r);
    std::uint8_t cdb[16] = {0x88};
    for (int i = 0; i < 8; ++i) cdb[2 + i] = static_cast<std::uint8_t>(lba >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i) cdb[10 + i] = static_cast<std::uint8_t>(blocks >> (24 - 8 * i));
    std::uint8_t sense[kSgSenseSize] = {};
    SgIoHdr h{};
    h.interface_id = 'S';
    h.dxfer_direction = -3;  // from the device
    h.dxfer_len = static_cast<unsigned>(len);
    h.dxferp = buf;
    h.cmd_len = sizeof cdb;
    h.mx_sb_len = sizeof sense;
    h.cmdp = cdb;
    h.sbp = sense;
    h.timeout = kTimeoutMs;
    if (::ioctl(fd, kSgIo, &h) < 0) {
        r.err = errno;
        dev_sg_classify(&r, nullptr, 0);
        return r;
    }
    r.scsi_status = h.status;
    r.host_status = h.host_status;
    r.driver_status = h.driver_status;
    dev_sg_classify(&r, sense, h.sb_len_wr < sizeof sense ? h.sb_len_wr : sizeof sense);
    return r;
}

void check_scsi(const char* dev, std::uint64_t bad_lba) {
    UniqueFd sg(::open(dev, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    std::printf("%s sg_v3 %d\n", g_label, dev_sg_supports_v3(sg.get()));
    IoResult r;
    dev_scsi_verify16(sg.get(), 0, kCleanBlocks, kTimeoutMs, &r);
    print_sg("verify16_clean", r);
    dev_scsi_verify16(sg.get(), bad_lba, kUnit / 512, kTimeoutMs, &r);
    print_sg("verify16_bad", r);
    void* buf = std::aligned_alloc(kUnit, kUnit);
    print_sg("read16_bad", sg_read16(sg.get(), bad_lba, kUnit / 512, buf, kUnit));
    std::free(buf);
}

void check_nvme(int fd, std::uint64_t bad_lba) {
    const int nsid = dev_nvme_get_nsid(fd);
    std::printf("%s nsid %d\n", g_label, nsid);
    void* id = std::aligned_alloc(kUnit, kNvmeIdentifySize);
    const int id_rc = dev_nvme_identify_ctrl(fd, id);
    int wctemp = 0;
    int cctemp = 0;
    dev_nvme_temp_thresholds(id, kNvmeIdentifySize, &wctemp, &cctemp);
    std::printf("%s identify rc=%d has_verify=%d wctemp=%d cctemp=%d\n", g_label, id_rc,
                dev_nvme_has_verify(id, kNvmeIdentifySize), wctemp, cctemp);
    std::free(id);
    void* log = std::aligned_alloc(kUnit, kUnit);  // aligned_alloc wants whole units
    const int log_rc = dev_nvme_get_smart_log(fd, log);
    NvmeThermalLog t;
    const int temp_ok = dev_nvme_smart_log_parse(log, kNvmeSmartLogSize, &t);
    std::printf("%s smart_log rc=%d temp_ok=%d temp=%d warning=%d\n", g_label, log_rc, temp_ok,
                t.temp_c, t.critical_warning);
    std::free(log);
    IoResult r;
    dev_nvme_verify(fd, static_cast<std::uint32_t>(nsid), 0, kCleanBlocks / 2, kTimeoutMs, &r);
    print_nvme("nvme_verify_clean", r);
    dev_nvme_verify(fd, static_cast<std::uint32_t>(nsid), bad_lba, kUnit / 512, kTimeoutMs, &r);
    print_nvme("nvme_verify_bad", r);
    dev_nvme_verify(fd, static_cast<std::uint32_t>(nsid), 0, kOverVerifyLimit, kTimeoutMs, &r);
    print_nvme("nvme_verify_over_limit", r);
}

void check_reads(int fd, std::uint64_t bad_lba) {
    void* buf = std::aligned_alloc(kUnit, 1 << 20);
    IoResult r;
    dev_pread_range(fd, 0, 1 << 20, buf, &r);
    print_read("pread_clean", r);
    dev_pread_range(fd, bad_lba * 512, kUnit, buf, &r);
    print_read("pread_bad", r);
    std::free(buf);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: hw_devcheck LABEL DEVICE SECTOR\n");
        return 2;
    }
    g_label = argv[1];
    const char* dev = argv[2];
    const std::uint64_t bad_lba =
        std::strtoull(argv[3], nullptr, 10) / (kUnit / 512) * (kUnit / 512);
    UniqueFd io(::open(dev, O_RDONLY | O_DIRECT | O_CLOEXEC));
    if (!io.valid()) {
        std::printf("%s open err=%d\n", g_label, errno);
        return 1;
    }
    if (std::strncmp(dev, "/dev/nvme", 9) == 0)
        check_nvme(io.get(), bad_lba);
    else
        check_scsi(dev, bad_lba);
    check_reads(io.get(), bad_lba);
    return 0;
}
