#include "collector/watch.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "collector/alert_push.h"
#include "collector/polls.h"
#include "core/cli.h"
#include "core/clock.h"
#include "core/db.h"
#include "core/log.h"
#include "core/unique_fd.h"

namespace {

constexpr int kSettleS = 15;
constexpr int kReceiveTimeoutS = 60;
constexpr std::size_t kMessageMax = 8191;
constexpr std::size_t kExePathMax = 4095;
constexpr char kDeleted[] = " (deleted)";
constexpr std::size_t kDeletedLen = sizeof kDeleted - 1;

ssize_t real_recv(int fd, void* buf, std::size_t len) {
    return ::recv(fd, buf, len, 0);
}

WatchRecvFn s_recv = real_recv;

// Fields are n bytes long; the last one of a message may lack its NUL.
bool field_starts(const char* field, std::size_t n, const char* prefix) {
    const std::size_t p = std::strlen(prefix);
    return n >= p && std::memcmp(field, prefix, p) == 0;
}

bool field_is(const char* field, std::size_t n, const char* text) {
    return n == std::strlen(text) && std::memcmp(field, text, n) == 0;
}

// A package upgrade replaces the file we run from: /proc/self/exe then
// names the old, deleted file. Exec the new one in place (same pid, same
// arguments); the socket is closed by the exec.
void reexec_if_replaced() {
    char path[kExePathMax + 1];
    const ssize_t n = ::readlink("/proc/self/exe", path, kExePathMax);
    if (n <= static_cast<ssize_t>(kDeletedLen)) return;
    path[n] = '\0';
    char* tail = path + n - kDeletedLen;
    if (std::strcmp(tail, kDeleted) != 0) return;
    *tail = '\0';
    if (!g_argv || ::access(path, X_OK) != 0) return;
    log_msg("watch: %s was replaced, executing the new binary", path);
    ::execv(path, g_argv);  // returns only on failure
    log_msg("watch: exec failed: %s", std::strerror(errno));
}

// The whole settle time, even if a signal cuts one sleep short.
void settle() {
    const double until = clock_mono_ms() + kSettleS * 1000.0;
    for (double left = until - clock_mono_ms(); left > 0; left = until - clock_mono_ms())
        clock_sleep_ms(left);
}

void hotswap_poll() {
    if (db_open(1) != 0) return;
    if (tick_lock_acquire() == 0) {
        DbTxn txn;
        if (txn.ok()) poll_run("hotswap", poll_hour_slot(clock_now()), 1, nullptr);
        if (txn.ok() && txn.commit() == 0) {
            poll_log_stored();
            alert_push_pending();
        } else {
            poll_forget_summary();
            log_msg("watch: the hot-swap poll could not be stored");
        }
    }
    tick_lock_release();
    db_close();
}

UniqueFd open_uevent_socket() {
    UniqueFd sock(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    if (!sock.valid()) {
        log_msg("netlink socket: %s", std::strerror(errno));
        return sock;
    }
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = 0;
    addr.nl_groups = 1;  // the kernel's own uevents, not udev's
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        log_msg("netlink bind: %s", std::strerror(errno));
        sock.reset();
        return sock;
    }
    // The re-execution check runs at least once a minute without events.
    timeval tv{kReceiveTimeoutS, 0};
    (void)::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return sock;
}

}  // namespace

int uevent_action(const char* msg, std::size_t len) {
    bool block = false;
    bool add = false;
    bool remove = false;
    for (std::size_t pos = 0; pos < len;) {
        const char* field = msg + pos;
        const std::size_t n = ::strnlen(field, len - pos);
        if (field_is(field, n, "SUBSYSTEM=block"))
            block = true;
        else if (field_starts(field, n, "ACTION=add"))
            add = true;
        else if (field_starts(field, n, "ACTION=remove"))
            remove = true;
        pos += n + 1;
    }
    if (!block) return kUeventNone;
    if (add) return kUeventAdd;
    return remove ? kUeventRemove : kUeventNone;
}

WatchRecvFn watch_recv_replace(WatchRecvFn fn) {
    const WatchRecvFn before = s_recv;
    s_recv = fn ? fn : real_recv;
    return before;
}

int cmd_watch() {
    const UniqueFd sock = open_uevent_socket();
    if (!sock.valid()) return 1;
    log_msg("corvantisd watch started (netlink uevent)");
    char buf[kMessageMax + 1];
    for (;;) {
        reexec_if_replaced();
        const ssize_t n = s_recv(sock.get(), buf, kMessageMax);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            if (errno == ENOBUFS) {
                // A burst overflowed the socket: some disks may have come or
                // gone unseen, so look at all of them once.
                log_msg("uevent: events were lost (receive buffer full) \xE2\x80\x94 polling");
                hotswap_poll();
                continue;
            }
            log_msg("watch: receive failed: %s", std::strerror(errno));
            return 1;
        }
        buf[n] = '\0';
        const int action = uevent_action(buf, static_cast<std::size_t>(n));
        if (action == kUeventNone) continue;
        if (action == kUeventAdd) {
            log_msg("uevent: block add \xE2\x80\x94 settling %ds", kSettleS);
            settle();
        } else {
            log_msg("uevent: block remove");
        }
        hotswap_poll();
    }
}
