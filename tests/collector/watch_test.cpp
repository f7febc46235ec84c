// The hot-swap watch in process: which uevents count, the settle wait, the
// poll after each event, and receive failures; messages and failures come
// through the receive seam, the settle wait through the fake clock.
#include "collector/watch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "tests/support/fake_collector.h"

namespace {

std::string msg(std::vector<std::string> fields) {
    std::string m;
    for (const std::string& f : fields) m += f + '\0';
    return m;
}

TEST(Watch, WhichUeventsCount) {
    struct Case {
        std::string m;
        int action;
    } cases[] = {
        {msg({"add@/devices/virtual/block/loop7", "ACTION=add", "SUBSYSTEM=block",
              "DEVNAME=loop7"}),
         kUeventAdd},
        {msg({"remove@/block/sdb", "SUBSYSTEM=block", "ACTION=remove"}), kUeventRemove},
        {msg({"change@/block/sdb", "ACTION=change", "SUBSYSTEM=block"}), kUeventNone},
        {msg({"add@/usb/1-1", "ACTION=add", "SUBSYSTEM=usb"}), kUeventNone},
        {msg({"ACTION=add", "SUBSYSTEM=blockx"}), kUeventNone},
        {msg({"ACTION=remove", "ACTION=add", "SUBSYSTEM=block"}), kUeventAdd},
        {"ACTION=add\0SUBSYSTEM=block" + std::string(), kUeventNone},
        {std::string("ACTION=add\0SUBSYSTEM=block", 26), kUeventAdd},  // last field without NUL
        {"", kUeventNone},
    };
    for (const Case& c : cases) EXPECT_EQ(uevent_action(c.m.data(), c.m.size()), c.action) << c.m;
}

// What the fake receive hands out: a message, or a failure with its errno.
struct Receive {
    std::string message;
    int error = 0;
};
std::deque<Receive> s_queue;

ssize_t fake_recv(int, void* buf, std::size_t len) {
    if (s_queue.empty()) {
        errno = EBADF;
        return -1;
    }
    const Receive r = s_queue.front();
    s_queue.pop_front();
    if (r.error) {
        errno = r.error;
        return -1;
    }
    const std::size_t n = std::min(len, r.message.size());
    std::memcpy(buf, r.message.data(), n);
    return static_cast<ssize_t>(n);
}

TEST(Watch, EachEventPollsAndFailuresAreLoud) {
    FakeCollector fc;
    fc.add({.dev = "sda", .serial = "S1", .slot = 1}, ata_reply({}));
    const std::string add = msg({"add@/block/sdb", "ACTION=add", "SUBSYSTEM=block"});
    s_queue = {{add},
               {msg({"change@/block/sda", "ACTION=change", "SUBSYSTEM=block"})},
               {"", EAGAIN},
               {"", EINTR},
               {msg({"remove@/block/sdb", "ACTION=remove", "SUBSYSTEM=block"})},
               {"", ENOBUFS},
               {add}};
    fc.clock.on_sleep([&](double) {
        // The disk settles in while the watch waits.
        if (fc.clock.slept_ms() >= 30000) fc.add({.dev = "sdb", .serial = "S2", .slot = 2}, "");
    });
    const WatchRecvFn before = watch_recv_replace(fake_recv);
    testing::internal::CaptureStderr();
    const int rc = cmd_watch();
    const std::string err = testing::internal::GetCapturedStderr();
    watch_recv_replace(before);

    EXPECT_EQ(rc, 1);
    EXPECT_EQ(fc.clock.slept_ms(), 30000);
    EXPECT_EQ(fc.rows("SELECT kind,sched_slot_ts,on_time FROM polls"),
              std::vector<std::string>(4, "hotswap|" + std::to_string(kFakeStart - 300) + "|1"));
    EXPECT_EQ(fc.rows("SELECT serial FROM disks ORDER BY disk_id"),
              (std::vector<std::string>{"S1", "S2"}));
    for (const char* line :
         {"corvantisd watch started (netlink uevent)",
          "uevent: block add \xE2\x80\x94 settling 15s", "uevent: block remove",
          "uevent: events were lost", "watch: receive failed: Bad file descriptor"})
        EXPECT_NE(err.find(line), std::string::npos) << line << "\n" << err;
}

}  // namespace
