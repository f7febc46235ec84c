#include "surface_test/dev_io.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/util.h"
#include "surface_test/dev_ioctl.h"

static_assert(sizeof(off_t) == 8, "surface offsets beyond 2 GiB need a 64-bit off_t");

namespace {

constexpr int kSgVersion3 = 30000;
constexpr int kScsiCheckCondition = 2;
constexpr std::uint32_t kNvmeAllNamespaces = 0xFFFFFFFF;
constexpr std::uint32_t kIdentifyTimeoutMs = 10000;
constexpr std::uint32_t kSmartLogTimeoutMs = 5000;
// The block count of NVMe Verify is a 16-bit field holding count - 1.
constexpr std::uint32_t kNvmeMaxVerifyBlocks = 65536;
// Largest single read the kernel performs; a multiple of 4096, so that the
// next piece of a direct read stays aligned.
constexpr std::uint64_t kMaxReadPiece = 0x7FFFF000;

std::uint64_t be_get(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

void be_put(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}

std::uint32_t le_get(const std::uint8_t* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

int errno_or_eio() {
    return errno != 0 ? errno : EIO;
}

int code_of_errno(int err) {
    return err == ENODEV || err == ENXIO ? kIoGone : kIoFailed;
}

// ---- sense data ----

void sense_parse_fixed(const std::uint8_t* s, std::size_t len, SenseInfo* out) {
    if (len < 3) return;
    out->parsed = 1;
    out->key = s[2] & 0x0F;
    if (len >= 7 && (s[0] & 0x80)) {
        out->info = be_get(s + 3, 4);
        out->info_valid = 1;
    }
    if (len >= 13) out->asc = s[12];
    if (len >= 14) out->ascq = s[13];
}

// The descriptors are walked within the bytes written and within the length
// the header claims, whichever ends first; one that runs past that end stops
// the walk.
void sense_walk_descriptors(const std::uint8_t* s, std::size_t limit, SenseInfo* out) {
    std::size_t off = 8;
    while (limit - off >= 2) {
        const std::size_t add = s[off + 1];
        if (off + add + 2 > limit) break;
        if (s[off] == 0 && add > 9 && (s[off + 2] & 0x80)) {
            out->info = be_get(s + off + 4, 8);
            out->info_valid = 1;
        }
        off += add + 2;
    }
}

void sense_parse_descriptor(const std::uint8_t* s, std::size_t len, SenseInfo* out) {
    if (len < 4) return;
    out->parsed = 1;
    out->key = s[1] & 0x0F;
    out->asc = s[2];
    out->ascq = s[3];
    if (len < 8) return;
    const std::size_t limit = std::min<std::size_t>(len, std::size_t{s[7]} + 8);
    if (limit > 9) sense_walk_descriptors(s, limit, out);
}

// ---- SG_IO classification ----

int sg_code_of_errno(int err) {
    if (err == ENODEV || err == ENXIO) return kIoGone;
    if (err == ENOTTY || err == EOPNOTSUPP) return kIoUnsupported;
    return kIoFailed;
}

int sg_code_of_sense(const IoResult* r) {
    switch (r->sense.key) {
        case 0x0:  // no sense
        case 0x1:  // recovered error
            return r->host_status == 0 ? kIoOk : kIoFailed;
        case 0x3:
            return kIoMedium;
        case 0x5:  // illegal request: invalid opcode or invalid field in CDB
            return r->sense.asc == 0x20 || r->sense.asc == 0x24 ? kIoUnsupported : kIoFailed;
        case 0x6:
            return kIoUnitAttention;
        case 0xB:  // aborted command; ASC 0x47 is a parity error on the link
            return r->sense.asc == 0x47 ? kIoLink : kIoFailed;
        default:
            return kIoFailed;
    }
}

int sg_code(const IoResult* r) {
    if (r->err != 0) return sg_code_of_errno(r->err);
    if (r->host_status == 1 || r->host_status == 4) return kIoGone;  // no connection, bad target
    if (r->host_status == 3) return kIoFailed;                       // time-out
    if (r->host_status == 6) return kIoLink;                         // parity
    if ((r->driver_status & 0x0F) == 6) return kIoFailed;            // driver time-out
    const bool check_condition = r->scsi_status == kScsiCheckCondition;
    if (r->sense.parsed && (check_condition || r->sense.key != 0)) return sg_code_of_sense(r);
    if (!r->sense.parsed && check_condition) return kIoFailed;
    const bool clean = r->scsi_status == 0 && r->host_status == 0 && (r->driver_status & 7) == 0;
    return clean ? kIoOk : kIoFailed;
}

// ---- NVMe ----

int nvme_code_of_status(int status) {
    if (status == 0) return kIoOk;
    const int sc = status & 0xFF;
    const int sct = (status >> 8) & 0x7;
    if (sct == 2) return kIoMedium;  // media and data integrity errors
    if (sct != 0) return kIoFailed;
    return sc == 1 || sc == 2 ? kIoUnsupported : kIoFailed;  // invalid opcode or field
}

int nvme_admin(int fd, std::uint8_t opcode, std::uint32_t nsid, void* buf, std::size_t len,
               std::uint32_t cdw10, std::uint32_t timeout_ms) {
    if (!buf) return -1;
    std::memset(buf, 0, len);
    NvmePassthruCmd cmd{};
    cmd.opcode = opcode;
    cmd.nsid = nsid;
    cmd.addr = reinterpret_cast<std::uintptr_t>(buf);
    cmd.data_len = static_cast<std::uint32_t>(len);
    cmd.cdw10 = cdw10;
    cmd.timeout_ms = timeout_ms;
    return dev_ioctl(fd, kNvmeIoctlAdminCmd, &cmd, nullptr) == 0 ? 0 : -1;
}

// Dword 10 of Get Log Page: the log id and the count of dwords minus one.
std::uint32_t nvme_log_dword10(std::uint32_t log_id, std::size_t bytes) {
    if (bytes < 4) return log_id;
    return log_id | static_cast<std::uint32_t>((bytes / 4 - 1) << 16);
}

int kelvin_threshold_to_c(std::uint32_t kelvin) {
    return kelvin >= 274 && kelvin <= 399 ? static_cast<int>(kelvin) - 273 : 0;
}

}  // namespace

void dev_result_clear(IoResult* r) {
    *r = IoResult{};
    r->sense.asc = -1;
    r->sense.ascq = -1;
}

void dev_sense_parse(const void* sense, std::size_t len, SenseInfo* out) {
    *out = SenseInfo{};
    out->asc = -1;
    out->ascq = -1;
    const auto* s = static_cast<const std::uint8_t*>(sense);
    if (!s || len < 2) return;
    const int response = s[0] & 0x7F;
    if (response == 0x70 || response == 0x71) sense_parse_fixed(s, len, out);
    if (response == 0x72 || response == 0x73) sense_parse_descriptor(s, len, out);
}

int dev_sg_classify(IoResult* r, const void* sense, std::size_t len) {
    dev_sense_parse(r->err == 0 ? sense : nullptr, len, &r->sense);
    r->code = sg_code(r);
    return r->code;
}

int dev_sg_supports_v3(int fd) {
    if (fd < 0) return 0;
    int version = 0;
    if (dev_ioctl(fd, kSgGetVersionNum, &version, nullptr) < 0) return 0;
    return version >= kSgVersion3 ? 1 : 0;
}

int dev_sg_command(int fd, const std::uint8_t* cdb, std::size_t cdb_len, std::uint32_t timeout_ms,
                   IoResult* r) {
    dev_result_clear(r);
    std::uint8_t sense[kSgSenseSize] = {};
    SgIoHdr h{};
    h.interface_id = 'S';
    h.dxfer_direction = kSgDxferNone;
    h.cmd_len = static_cast<unsigned char>(cdb_len <= 0xFF ? cdb_len : 0);
    h.mx_sb_len = sizeof sense;
    h.cmdp = const_cast<std::uint8_t*>(cdb);  // the kernel only reads it
    h.sbp = sense;
    h.timeout = timeout_ms;
    if (dev_ioctl(fd, kSgIo, &h, &r->elapsed_ms) < 0) {
        r->err = errno_or_eio();
        return dev_sg_classify(r, nullptr, 0);
    }
    r->scsi_status = h.status;
    r->host_status = h.host_status;
    r->driver_status = h.driver_status;
    return dev_sg_classify(r, sense, std::min<std::size_t>(h.sb_len_wr, sizeof sense));
}

int dev_scsi_verify16(int fd, std::uint64_t lba, std::uint32_t blocks, std::uint32_t timeout_ms,
                      IoResult* r) {
    std::uint8_t cdb[16] = {};
    cdb[0] = kScsiOpVerify16;  // byte 1 stays 0: BYTCHK 0, nothing is transferred
    be_put(cdb + 2, lba, 8);
    be_put(cdb + 10, blocks, 4);
    return dev_sg_command(fd, cdb, sizeof cdb, timeout_ms, r);
}

int dev_nvme_get_nsid(int fd) {
    const int nsid = dev_ioctl(fd, kNvmeIoctlId, nullptr, nullptr);
    return nsid > 0 ? nsid : -1;
}

int dev_nvme_identify_ctrl(int fd, void* buf) {
    return nvme_admin(fd, kNvmeOpIdentify, 0, buf, kNvmeIdentifySize, kNvmeCnsController,
                      kIdentifyTimeoutMs);
}

int dev_nvme_get_smart_log(int fd, void* buf) {
    return nvme_admin(fd, kNvmeOpGetLogPage, kNvmeAllNamespaces, buf, kNvmeSmartLogSize,
                      nvme_log_dword10(kNvmeLogSmartHealth, kNvmeSmartLogSize), kSmartLogTimeoutMs);
}

int dev_nvme_verify(int fd, std::uint32_t nsid, std::uint64_t lba, std::uint32_t blocks,
                    std::uint32_t timeout_ms, IoResult* r) {
    dev_result_clear(r);
    // A larger count would be cut to its low 16 bits and the drive would
    // verify fewer blocks than asked, reporting success for blocks it never read.
    if (blocks > kNvmeMaxVerifyBlocks) {
        r->err = EINVAL;
        r->code = kIoFailed;
        return r->code;
    }
    NvmePassthruCmd cmd{};
    cmd.opcode = kNvmeOpVerify;
    cmd.nsid = nsid;
    cmd.cdw10 = static_cast<std::uint32_t>(lba);
    cmd.cdw11 = static_cast<std::uint32_t>(lba >> 32);
    cmd.cdw12 = blocks == 0 ? 0 : (blocks - 1) & 0xFFFF;
    cmd.timeout_ms = timeout_ms;
    const int rc = dev_ioctl(fd, kNvmeIoctlIoCmd, &cmd, &r->elapsed_ms);
    if (rc < 0) {
        r->err = errno_or_eio();
        r->code = code_of_errno(r->err);
    } else {
        r->scsi_status = rc;
        r->code = nvme_code_of_status(rc);
    }
    return r->code;
}

int dev_pread_range(int fd, std::uint64_t offset, std::uint64_t length, void* buf, IoResult* r) {
    dev_result_clear(r);
    if (length == 0) return kIoOk;
    auto* out = static_cast<std::uint8_t*>(buf);
    const double start = mono_ms();
    std::uint64_t done = 0;
    while (done < length) {
        const auto piece = static_cast<std::size_t>(std::min(length - done, kMaxReadPiece));
        const ssize_t n = ::pread(fd, out + done, piece, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            r->err = n < 0 ? errno_or_eio() : EIO;  // 0 bytes: the end of the device
            break;
        }
        done += static_cast<std::uint64_t>(n);
    }
    r->elapsed_ms = mono_ms() - start;
    r->code = done == length ? kIoOk : code_of_errno(r->err);
    return r->code;
}

int dev_nvme_has_verify(const void* id, std::size_t len) {
    if (!id || len < 522) return 0;
    const std::uint32_t oncs = le_get(static_cast<const std::uint8_t*>(id) + 520, 2);
    return static_cast<int>((oncs >> 7) & 1U);
}

void dev_nvme_temp_thresholds(const void* id, std::size_t len, int* wctemp_c, int* cctemp_c) {
    *wctemp_c = 0;
    *cctemp_c = 0;
    if (!id || len < 270) return;
    const auto* p = static_cast<const std::uint8_t*>(id);
    *wctemp_c = kelvin_threshold_to_c(le_get(p + 266, 2));
    *cctemp_c = kelvin_threshold_to_c(le_get(p + 268, 2));
}

int dev_nvme_smart_log_parse(const void* log, std::size_t len, NvmeThermalLog* out) {
    *out = NvmeThermalLog{};
    if (!log || len < 232) return 0;
    const auto* p = static_cast<const std::uint8_t*>(log);
    out->critical_warning = p[0];
    out->tmt1_transitions = le_get(p + 216, 4);
    out->tmt2_transitions = le_get(p + 220, 4);
    out->tmt1_time_s = le_get(p + 224, 4);
    out->tmt2_time_s = le_get(p + 228, 4);
    const std::uint32_t kelvin = le_get(p + 1, 2);
    if (kelvin < 233 || kelvin > 400) return 0;
    out->temp_c = static_cast<int>(kelvin) - 273;
    return 1;
}

char map_code_grade(int code) {
    static constexpr char kGrade[6] = {'B', 'L', 'E', 0, 0, 'E'};
    return code >= 1 && code <= 6 ? kGrade[code - 1] : '\0';
}
