// Device commands of the surface test: the only commands it ever sends to a
// disk, all read-only, each turned into one IoResult with a small result code.
//
// Three transports: SCSI VERIFY(16) through SG_IO (SATA and SAS disks), NVMe
// Verify, Identify Controller and the SMART / Health log through NVMe
// pass-through, and direct reads on a descriptor opened with O_DIRECT. Every
// pass-through command goes through dev_ioctl (surface_test/dev_ioctl.h), whose
// read-only guard refuses anything else. Nothing here logs or retries, and the
// layer keeps no state: descriptors, namespace id and buffers are the caller's.
#pragma once

#include <cstddef>
#include <cstdint>

// Result codes, shared by all transports.
enum IoCode {
    kIoOk = 0,             // success
    kIoMedium = 1,         // medium error
    kIoLink = 2,           // link (transport) error
    kIoFailed = 3,         // any other failure, also refused, timed-out and short commands
    kIoUnsupported = 4,    // command not supported
    kIoUnitAttention = 5,  // the caller sends the command once more
    kIoGone = 6,           // device gone
};

// Parsed sense data; asc and ascq are -1 when absent.
struct SenseInfo {
    std::int32_t parsed;  // 1 when the sense data was recognised
    std::int32_t key;     // sense key 0..15
    std::int32_t asc;
    std::int32_t ascq;
    std::int32_t info_valid;  // 1 when an information field (the failing LBA) was found
    std::uint64_t info;
};

// The outcome of one device command.
struct IoResult {
    std::int32_t code;           // IoCode
    std::int32_t err;            // errno of a failed call; 1 (EPERM) when the guard refused;
                                 // 5 (EIO) when a read returned no bytes
    std::int32_t scsi_status;    // SG_IO status byte; NVMe Verify: the completion status
    std::int32_t host_status;    // SG_IO only
    std::int32_t driver_status;  // SG_IO only
    SenseInfo sense;             // SG_IO only
    double elapsed_ms;           // the command's time on the monotonic clock
};

// Fields of the NVMe SMART / Health Information log that the thermal guard uses.
struct NvmeThermalLog {
    std::int32_t temp_c;  // composite temperature
    std::int32_t critical_warning;
    std::uint32_t tmt1_transitions;  // thermal management temperature 1 and 2
    std::uint32_t tmt2_transitions;
    std::uint32_t tmt1_time_s;
    std::uint32_t tmt2_time_s;
};

inline constexpr std::size_t kSgSenseSize = 64;
inline constexpr std::size_t kNvmeIdentifySize = 4096;
inline constexpr std::size_t kNvmeSmartLogSize = 512;

// 1 when SG_GET_VERSION_NUM works and reports version 3 or later (above 29999);
// 0 for a negative descriptor or a failed ioctl.
int dev_sg_supports_v3(int fd);
// VERIFY(16) of blocks from lba, inside the drive: no data moves. Returns r->code.
int dev_scsi_verify16(int fd, std::uint64_t lba, std::uint32_t blocks, std::uint32_t timeout_ms,
                      IoResult* r);
// Sends one SCSI command without data transfer (the guard admits VERIFY(16)
// only) and classifies the answer. Returns r->code.
int dev_sg_command(int fd, const std::uint8_t* cdb, std::size_t cdb_len, std::uint32_t timeout_ms,
                   IoResult* r);
// The namespace id of an NVMe namespace device, or -1.
int dev_nvme_get_nsid(int fd);
// Identify Controller into buf (kNvmeIdentifySize bytes, zeroed first): 0, or
// -1 when refused or when the ioctl returns anything but 0.
int dev_nvme_identify_ctrl(int fd, void* buf);
// The SMART / Health log into buf (kNvmeSmartLogSize bytes, zeroed first): 0 or -1.
int dev_nvme_get_smart_log(int fd, void* buf);
// NVMe Verify of blocks (at most 65536) from lba in namespace nsid. Returns r->code.
int dev_nvme_verify(int fd, std::uint32_t nsid, std::uint64_t lba, std::uint32_t blocks,
                    std::uint32_t timeout_ms, IoResult* r);
// Reads length bytes at offset into buf, all or nothing. Returns r->code.
int dev_pread_range(int fd, std::uint64_t offset, std::uint64_t length, void* buf, IoResult* r);

// Readers of Identify Controller data; a buffer too short for a field gives 0.
int dev_nvme_has_verify(const void* id, std::size_t len);
void dev_nvme_temp_thresholds(const void* id, std::size_t len, int* wctemp_c, int* cctemp_c);
// Fills out from a SMART / Health log (zeroed when the log is shorter than 232
// bytes); 1 when the composite temperature is valid, else 0.
int dev_nvme_smart_log_parse(const void* log, std::size_t len, NvmeThermalLog* out);

// The map letter of a result code: 1 'B', 2 'L', 3 and 6 'E'; 0 for any other.
char map_code_grade(int code);

// Zeroes a result, with asc and ascq -1.
void dev_result_clear(IoResult* r);
// Parses len sense bytes (fixed or descriptor format) into out, reading none
// beyond len; out is cleared first.
void dev_sense_parse(const void* sense, std::size_t len, SenseInfo* out);
// Classifies an SG_IO outcome already stored in r (err, scsi_status,
// host_status, driver_status) with the sense bytes the kernel wrote: fills
// r->sense and r->code and returns the code.
int dev_sg_classify(IoResult* r, const void* sense, std::size_t len);
