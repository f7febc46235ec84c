#include "tests/support/fake_ioctl.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {
FakeIoctl* s_active = nullptr;

void answer_sg_io(const FakeAnswer& a, SgIoHdr* h) {
    h->status = a.status;
    h->host_status = a.host_status;
    h->driver_status = a.driver_status;
    const std::size_t written = std::min<std::size_t>(a.sense.size(), h->mx_sb_len);
    if (written > 0) std::memcpy(h->sbp, a.sense.data(), written);
    h->sb_len_wr = static_cast<unsigned char>(a.sb_len_wr >= 0 ? a.sb_len_wr : int(written));
}

void answer_nvme_admin(const FakeAnswer& a, NvmePassthruCmd* c) {
    const std::size_t n = std::min<std::size_t>(a.data.size(), c->data_len);
    if (n > 0)
        std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(c->addr)), a.data.data(),
                    n);
}
}  // namespace

FakeIoctl::FakeIoctl() {
    if (s_active) throw std::logic_error("one FakeIoctl at a time");
    s_active = this;
    before_ = dev_ioctl_replace(answer_ioctl);
}

FakeIoctl::~FakeIoctl() {
    dev_ioctl_replace(before_);
    s_active = nullptr;
}

int FakeIoctl::answer_ioctl(int fd, unsigned long request, void* arg) {
    return s_active->answer(fd, request, arg);
}

int FakeIoctl::answer(int fd, unsigned long request, void* arg) {
    SentIoctl sent;
    sent.fd = fd;
    sent.request = request;
    if (request == kSgIo) {
        sent.sg = *static_cast<SgIoHdr*>(arg);
        sent.cdb.assign(sent.sg.cmdp, sent.sg.cmdp + sent.sg.cmd_len);
    }
    if (request == kNvmeIoctlIoCmd || request == kNvmeIoctlAdminCmd)
        sent.nvme = *static_cast<NvmePassthruCmd*>(arg);
    sent_.push_back(sent);

    FakeAnswer a;
    if (handler_) {
        a = handler_(sent);
    } else if (!queue_.empty()) {
        a = queue_.front();
        queue_.pop_front();
    }
    if (a.sleep_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(a.sleep_ms));
    if (a.rc < 0) {
        errno = a.err;
        return a.rc;
    }
    if (request == kSgIo) answer_sg_io(a, static_cast<SgIoHdr*>(arg));
    if (request == kNvmeIoctlAdminCmd) answer_nvme_admin(a, static_cast<NvmePassthruCmd*>(arg));
    if (request == kSgGetVersionNum) *static_cast<int*>(arg) = a.version;
    return a.rc;
}
