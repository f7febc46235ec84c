// Lines written into the real kernel log through /dev/kmsg (root only), as a
// disk driver would print them, with the kernel's own time stamp.
//
// The kernel log is shared by every test on the machine: name the disks of
// such a test with names no other test uses (sdkz, ata97), so that its lines
// count for nobody else.
#pragma once

#include <string>

// Writes text as one line at priority prio (3 = error). false when /dev/kmsg
// cannot be written (not root, or no such device).
bool kmsg_write(const std::string& text, int prio = 3);

// Outside CI a machine whose kernel log cannot be written skips the test.
#define REQUIRE_KMSG()                                                        \
    do {                                                                      \
        if (!kmsg_write("corvantis test: kernel log check", 7)) {             \
            if (in_ci()) FAIL() << "cannot write the kernel log (/dev/kmsg)"; \
            GTEST_SKIP() << "cannot write the kernel log (/dev/kmsg)";        \
        }                                                                     \
    } while (0)
