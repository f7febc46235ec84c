#include "tests/support/kmsg.h"

#include <fcntl.h>
#include <unistd.h>

#include "core/unique_fd.h"

bool kmsg_write(const std::string& text, int prio) {
    // One open per line: the kernel limits how many lines one open file may
    // write in a burst.
    UniqueFd fd(::open("/dev/kmsg", O_WRONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    const std::string line = "<" + std::to_string(prio) + ">" + text + "\n";
    return ::write(fd.get(), line.data(), line.size()) == static_cast<ssize_t>(line.size());
}
