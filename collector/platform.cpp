#include "collector/platform.h"

#include <cstdio>

#include "collector/klog.h"

namespace {

const Platform kRealMachine{"", klog_read_all};
Platform s_platform = kRealMachine;

}  // namespace

const Platform& platform() {
    return s_platform;
}

Platform platform_replace(const Platform* p) {
    const Platform before = s_platform;
    s_platform = p ? *p : kRealMachine;
    return before;
}

bool platform_path(char* buf, std::size_t size, const char* path) {
    const int n = std::snprintf(buf, size, "%s%s", s_platform.root, path);
    return n >= 0 && static_cast<std::size_t>(n) < size;
}
