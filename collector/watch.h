// The hot-swap watch: a resident process that listens to the kernel's block
// device uevents on a netlink socket and runs a hot-swap poll whenever a disk
// is added (after letting it settle) or removed. It re-executes itself, same
// pid and arguments, when its executable file has been replaced (a package
// upgrade), so that the resident process always runs the installed version.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Does not return while the socket works; 1 when the socket cannot be made
// or bound, or when receiving fails for good.
int cmd_watch();

enum UeventAction { kUeventNone = 0, kUeventAdd = 1, kUeventRemove = 2 };
// What one kernel uevent message (NUL-separated fields, len bytes) asks for:
// a block device added or removed, or nothing.
int uevent_action(const char* msg, std::size_t len);

// The receive call under the watch loop (recv by default). Tests feed
// messages and failures through it; returns the one before.
using WatchRecvFn = ssize_t (*)(int fd, void* buf, std::size_t len);
WatchRecvFn watch_recv_replace(WatchRecvFn fn);
