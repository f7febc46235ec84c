// Where the collector meets the machine: the folder below which it finds the
// platform's files (enclosure files, /sys/block, the boot id, /sbin/log_tool)
// and the reader of the kernel's ring buffer. The real machine is the root ""
// and klog_read_all; tests put a fake tree and a recorded kernel log in their
// place, so that a whole poll runs in process without touching the host.
#pragma once

#include <cstddef>
#include <cstdint>

struct StrBuf;

struct Platform {
    const char* root;                        // "" for the real system
    std::int64_t (*klog_read)(StrBuf* out);  // appends the ring buffer; bytes or -1
};

// The platform in use.
const Platform& platform();
// Puts p in place of the real machine (nullptr puts it back); returns the one before.
Platform platform_replace(const Platform* p);
// root + a platform path ("/sys/block/sda"); false when it does not fit.
bool platform_path(char* buf, std::size_t size, const char* path);
