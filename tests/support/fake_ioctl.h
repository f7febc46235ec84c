// FakeIoctl: stands in for the kernel underneath the device-command guard for
// as long as it lives, so that the layers above meet recorded device answers
// without a SCSI or NVMe device. It keeps a copy of every request that got past
// the guard, and answers each from the handler when one is set (a disk whose
// answer depends on the LBA asked for), else from a queue (a plain success when
// it is empty).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

#include "surface_test/dev_ioctl.h"

struct FakeAnswer {
    int rc = 0;   // what the ioctl returns; for an NVMe command a positive value is its status
    int err = 0;  // errno when rc is negative
    // SG_IO: the status fields, the sense bytes written (cut to the request's
    // room) and the count claimed in sb_len_wr (the bytes written when -1).
    std::uint8_t status = 0;
    std::uint16_t host_status = 0;
    std::uint16_t driver_status = 0;
    std::vector<std::uint8_t> sense;
    int sb_len_wr = -1;
    std::vector<std::uint8_t> data;  // NVMe admin: copied into the data buffer
    int version = 0;                 // SG_GET_VERSION_NUM
    int sleep_ms = 0;                // how long the "device" takes
};

struct SentIoctl {
    int fd = -1;
    unsigned long request = 0;
    std::vector<std::uint8_t> cdb;  // SG_IO
    SgIoHdr sg{};
    NvmePassthruCmd nvme{};
};

class FakeIoctl {
   public:
    using Handler = std::function<FakeAnswer(const SentIoctl& sent)>;

    FakeIoctl();
    ~FakeIoctl();
    FakeIoctl(const FakeIoctl&) = delete;
    FakeIoctl& operator=(const FakeIoctl&) = delete;

    void push(const FakeAnswer& answer) { queue_.push_back(answer); }
    void set_handler(Handler h) { handler_ = std::move(h); }
    const std::vector<SentIoctl>& sent() const { return sent_; }

   private:
    static int answer_ioctl(int fd, unsigned long request, void* arg);
    int answer(int fd, unsigned long request, void* arg);

    DevIoctlFn before_ = nullptr;
    std::deque<FakeAnswer> queue_;
    Handler handler_;
    std::vector<SentIoctl> sent_;
};
