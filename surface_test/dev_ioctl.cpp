#include "surface_test/dev_ioctl.h"

#include <sys/ioctl.h>

#include <cerrno>

#include "core/util.h"

namespace {

constexpr std::uint8_t kVerify16BytchkBits = 0x06;  // byte 1, bits 1 and 2

int kernel_ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}

DevIoctlFn s_send = kernel_ioctl;

// Only a version 3 record is understood here; another interface id would give
// the fields below another meaning, so it is refused rather than guessed at.
bool scsi_allowed(const SgIoHdr* h) {
    if (!h || h->interface_id != 'S' || !h->cmdp || h->cmd_len != 16) return false;
    if (h->cmdp[0] != kScsiOpVerify16 || (h->cmdp[1] & kVerify16BytchkBits) != 0) return false;
    return h->dxfer_direction == kSgDxferNone && h->dxfer_len == 0 && h->iovec_count == 0;
}

// Verify moves no data, so a command that names a buffer is not the one this
// program builds.
bool nvme_io_allowed(const NvmePassthruCmd* c) {
    return c && c->opcode == kNvmeOpVerify && c->addr == 0 && c->data_len == 0 &&
           c->metadata == 0 && c->metadata_len == 0;
}

bool nvme_admin_allowed(const NvmePassthruCmd* c) {
    if (!c) return false;
    const std::uint32_t low_byte = c->cdw10 & 0xFF;  // CNS of Identify, log id of Get Log Page
    if (c->opcode == kNvmeOpIdentify) return low_byte == kNvmeCnsController;
    if (c->opcode == kNvmeOpGetLogPage) return low_byte == kNvmeLogSmartHealth;
    return false;
}

bool guard_allows(unsigned long request, const void* arg) {
    switch (request) {
        case kSgGetVersionNum:
        case kNvmeIoctlId:
            return true;  // driver queries: nothing reaches the disk
        case kSgIo:
            return scsi_allowed(static_cast<const SgIoHdr*>(arg));
        case kNvmeIoctlIoCmd:
            return nvme_io_allowed(static_cast<const NvmePassthruCmd*>(arg));
        case kNvmeIoctlAdminCmd:
            return nvme_admin_allowed(static_cast<const NvmePassthruCmd*>(arg));
        default:
            return false;
    }
}

}  // namespace

int dev_ioctl(int fd, unsigned long request, void* arg, double* elapsed_ms) {
    if (elapsed_ms) *elapsed_ms = 0;
    if (!guard_allows(request, arg)) {
        errno = EPERM;
        return -1;
    }
    const double start = mono_ms();
    const int rc = s_send(fd, request, arg);
    const int saved_errno = errno;
    if (elapsed_ms) *elapsed_ms = mono_ms() - start;
    errno = saved_errno;
    return rc;
}

DevIoctlFn dev_ioctl_replace(DevIoctlFn fn) {
    const DevIoctlFn before = s_send;
    s_send = fn ? fn : kernel_ioctl;
    return before;
}
