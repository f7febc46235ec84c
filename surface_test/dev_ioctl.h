// The one door through which the surface test's commands reach a device.
//
// dev_ioctl is the only caller of the kernel's ioctl in the surface test. It
// lets through the two driver queries (SCSI generic version, NVMe namespace id)
// and exactly these read-only commands:
//   - SG_IO: VERIFY(16) with BYTCHK 0 and no data transfer;
//   - NVMe I/O: Verify, naming no data or metadata buffer;
//   - NVMe admin: Identify Controller, and Get Log Page of the SMART / Health log.
// Every other request, and every other command inside an allowed request, is
// refused with EPERM before anything is sent. Because the check sits in the
// same function as the send, no caller can reach a disk without passing it.
//
// Tests replace the kernel's ioctl underneath the check (dev_ioctl_replace) to
// hand the layer above recorded device answers without a device.
#pragma once

#include <cstddef>
#include <cstdint>

// Request numbers as the Linux kernel defines them on x86 and ARM.
inline constexpr unsigned long kSgGetVersionNum = 0x2282;
inline constexpr unsigned long kSgIo = 0x2285;
inline constexpr unsigned long kNvmeIoctlId = 0x4E40;
inline constexpr unsigned long kNvmeIoctlAdminCmd = 0xC0484E41;
inline constexpr unsigned long kNvmeIoctlIoCmd = 0xC0484E43;

// Transfer direction "none" of an SG_IO request.
inline constexpr int kSgDxferNone = -1;

// The commands the guard admits, shared with the code that builds them.
inline constexpr std::uint8_t kScsiOpVerify16 = 0x8F;
inline constexpr std::uint8_t kNvmeOpVerify = 0x0C;
inline constexpr std::uint8_t kNvmeOpIdentify = 0x06;
inline constexpr std::uint8_t kNvmeOpGetLogPage = 0x02;
inline constexpr std::uint32_t kNvmeCnsController = 1;   // Identify: low byte of dword 10
inline constexpr std::uint32_t kNvmeLogSmartHealth = 2;  // Get Log Page: low byte of dword 10

// The SCSI generic version 3 request record of SG_IO, as the kernel reads it.
struct SgIoHdr {
    int interface_id;  // always 'S'
    int dxfer_direction;
    unsigned char cmd_len;
    unsigned char mx_sb_len;  // room in sbp
    unsigned short iovec_count;
    unsigned int dxfer_len;
    void* dxferp;
    unsigned char* cmdp;
    unsigned char* sbp;
    unsigned int timeout;  // milliseconds
    unsigned int flags;
    int pack_id;
    void* usr_ptr;
    unsigned char status;  // SCSI status byte
    unsigned char masked_status;
    unsigned char msg_status;
    unsigned char sb_len_wr;  // sense bytes the kernel wrote
    unsigned short host_status;
    unsigned short driver_status;
    int resid;
    unsigned int duration;
    unsigned int info;
};

// The kernel's NVMe pass-through command record (admin and I/O alike).
struct NvmePassthruCmd {
    std::uint8_t opcode;
    std::uint8_t flags;
    std::uint16_t rsvd1;
    std::uint32_t nsid;
    std::uint32_t cdw2;
    std::uint32_t cdw3;
    std::uint64_t metadata;
    std::uint64_t addr;  // data buffer address
    std::uint32_t metadata_len;
    std::uint32_t data_len;
    std::uint32_t cdw10;
    std::uint32_t cdw11;
    std::uint32_t cdw12;
    std::uint32_t cdw13;
    std::uint32_t cdw14;
    std::uint32_t cdw15;
    std::uint32_t timeout_ms;
    std::uint32_t result;
};

static_assert(sizeof(NvmePassthruCmd) == 72, "the request numbers encode a 72-byte record");
static_assert(offsetof(NvmePassthruCmd, addr) == 24 && offsetof(NvmePassthruCmd, cdw10) == 40 &&
                  offsetof(NvmePassthruCmd, timeout_ms) == 64,
              "NVMe pass-through record layout");
static_assert(sizeof(SgIoHdr) == (sizeof(void*) == 8 ? 88 : 64), "SG_IO record layout");

// Sends one request: the guard above first, then the ioctl. A refusal returns
// -1 with errno EPERM. Otherwise the ioctl's return value with its errno.
// *elapsed_ms (may be null) gets the time of the ioctl alone, 0 when refused.
int dev_ioctl(int fd, unsigned long request, void* arg, double* elapsed_ms);

// The function dev_ioctl calls once its guard allowed a request.
using DevIoctlFn = int (*)(int fd, unsigned long request, void* arg);
// Puts fn in the kernel's place (nullptr puts the kernel back); returns the one before.
DevIoctlFn dev_ioctl_replace(DevIoctlFn fn);
