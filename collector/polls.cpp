#include "collector/polls.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "collector/alert_push.h"
#include "collector/discovery.h"
#include "collector/disks_table.h"
#include "collector/klog_scan.h"
#include "collector/maintenance.h"
#include "collector/platform.h"
#include "collector/readings.h"
#include "collector/rules.h"
#include "collector/smart_collect.h"
#include "core/clock.h"
#include "core/db.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/util.h"

volatile std::sig_atomic_t g_poll_timeout = 0;
int g_tick_lock_fd = -1;

namespace {

// The summary of the last poll, logged only once its transaction has
// committed: a poll that rolls back must not read as stored.
char s_stored_line[160];

constexpr std::int64_t kHourS = 3600;
constexpr std::int64_t kOnTimeS = 900;
constexpr unsigned kBudgetS = 240;
constexpr std::int64_t kAdaptiveLookbackS = 10800;
constexpr std::int64_t kAdaptiveGapS = 840;
constexpr std::int64_t kPruneEveryS = 604800;
constexpr std::size_t kBootIdSize = 80;
constexpr std::size_t kPathSize = 700;

std::int64_t insert_poll(const char* kind, std::int64_t slot, std::int64_t start, int on_time) {
    const bool hourly = std::strcmp(kind, "hourly") == 0;
    DbStmt st(hourly ? "INSERT OR IGNORE INTO polls(kind,sched_slot_ts,started_ts,on_time) "
                       "VALUES('hourly',?,?,?)"
                     : "INSERT INTO polls(kind,sched_slot_ts,started_ts,on_time) VALUES(?,?,?,1)");
    int i = 1;
    if (!hourly) st.bind_text(i++, kind);
    st.bind_int(i++, slot);
    st.bind_int(i++, start);
    if (hourly) st.bind_int(i, on_time);
    if (st.step() != SQLITE_DONE || sqlite3_changes(g_db) == 0) return 0;
    return sqlite3_last_insert_rowid(g_db);
}

// A new boot id (or the first one) restarts the kernel-log bookkeeping.
void detect_boot(std::int64_t poll_id) {
    char path[kPathSize];
    char boot_id[kBootIdSize] = "";
    if (platform_path(path, sizeof path, "/proc/sys/kernel/random/boot_id"))
        file_read_line(path, boot_id, sizeof boot_id);
    if (!boot_id[0]) return;
    char stored[kBootIdSize];
    meta_get_str("boot_id", stored, sizeof stored);
    if (std::strcmp(stored, boot_id) == 0) return;
    event_add(0, poll_id, "boot_detected", "");
    meta_set("boot_id", boot_id);
    meta_set_int("dmesg_count", 0);
    meta_set("dmesg_last_ts", "");
}

// A present disk is gone when this poll did not see it. Its rows are told
// apart by id, not by last_seen_ts below the poll's start: a disk pulled
// within the second of the poll that last saw it would keep a last_seen_ts
// equal to the start of the poll its removal sets off, and stay "present".
void disappear_pass(std::int64_t poll_id, const DiskInfo* disks, int n) {
    std::vector<std::int64_t> gone;
    {
        DbStmt st("SELECT disk_id,last_seen_ts FROM disks WHERE present=1");
        while (st.step() == SQLITE_ROW) {
            const std::int64_t id = st.col_int(0);
            if (std::none_of(disks, disks + n, [id](const DiskInfo& d) { return d.disk_id == id; }))
                gone.push_back(id);
        }
    }
    for (const std::int64_t id : gone) {
        DbStmt up("UPDATE disks SET present=0 WHERE disk_id=?");
        up.bind_int(1, id);
        up.step();
        event_add(id, poll_id, "disappear", "");
        char label[kDiskLabelSize];
        disk_label(id, label, sizeof label);
        char message[280];
        (void)std::snprintf(message, sizeof message, "[Corvantis] %s: disk no longer present",
                            label);
        rule_raise(id, "R-DISAPPEAR", 1, 1, message);
    }
}

// One drive may stand in the inventory more than once (two paths to one SAS
// disk, say), every record mapping to one disks row. The drive is read
// through the first record that works and is unreadable only when none did:
// otherwise a failing path would journal it as broken every poll and a
// working one clear that again.
class ReadTally {
   public:
    bool was_read(std::int64_t disk_id) const { return contains(read_, disk_id); }
    void note(std::int64_t disk_id, bool read) {
        std::vector<std::int64_t>& to = read ? read_ : failed_;
        if (!contains(to, disk_id)) to.push_back(disk_id);
    }
    // Journals the disks that no record could read.
    void journal_unreadable(std::int64_t poll_id) const {
        for (const std::int64_t id : failed_)
            if (!was_read(id)) smart_collect_unreadable(id, poll_id);
    }

   private:
    static bool contains(const std::vector<std::int64_t>& ids, std::int64_t id) {
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    }
    std::vector<std::int64_t> read_;
    std::vector<std::int64_t> failed_;
};

void klog_and_crc(const char* kind, std::int64_t poll_id, const DiskInfo* disks, int n,
                  bool filtered) {
    std::unique_ptr<KlogTarget[]> targets(new (std::nothrow) KlogTarget[n > 0 ? n : 1]);
    if (!targets) return;
    for (int i = 0; i < n; ++i) {
        const std::int64_t id = disks[i].disk_id != 0 ? disks[i].disk_id : disk_lookup_id(disks[i]);
        klog_target_init_under(platform().root, &targets[i], id, disks[i].dev);
    }
    if (std::strcmp(kind, "hourly") == 0 || std::strcmp(kind, "manual") == 0)
        klog_scan(poll_id, targets.get(), n);
    if (!filtered) rule_crc_controller(targets.get(), n);
}

// Closes the polls row; returns the poll's end time.
std::int64_t finish_poll(std::int64_t poll_id, std::int64_t start, int visited) {
    const std::int64_t end = clock_now();
    DbStmt st(
        "UPDATE polls SET finished_ts=?,status=?,disks_seen=?,rows_written=?,duration_ms=? WHERE "
        "poll_id=?");
    st.bind_int(1, end);
    st.bind_text(2, g_poll_timeout ? "partial" : "ok");
    st.bind_int(3, visited);
    st.bind_int(4, g_rows_written);
    st.bind_int(5, (end - start) * 1000);
    st.bind_int(6, poll_id);
    st.step();
    meta_set_int("last_tick_ts", end);
    return end;
}

void arm_budget() {
    struct sigaction sa {};
    sa.sa_handler = poll_on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    (void)sigaction(SIGALRM, &sa, nullptr);
    (void)alarm(kBudgetS);
}

// A bad counter rose, or smartctl failed on a disk, within three hours.
bool adaptive_due(std::int64_t now) {
    {
        DbStmt st(
            "SELECT 1 FROM readings_latest L WHERE L.ns='ata' AND L.attr_id IN (5,197,198,187) "
            "AND L.value_raw > COALESCE((SELECT R.value_raw FROM readings R WHERE "
            "R.disk_id=L.disk_id   AND R.ns='ata' AND R.attr_id=L.attr_id AND R.ts<=? ORDER BY "
            "R.ts DESC LIMIT 1), L.value_raw) LIMIT 1");
        st.bind_int(1, now - kAdaptiveLookbackS);
        if (st.step() == SQLITE_ROW) return true;
    }
    DbStmt st("SELECT 1 FROM events WHERE type='smart_error' AND ts>? LIMIT 1");
    st.bind_int(1, now - kAdaptiveLookbackS);
    return st.step() == SQLITE_ROW;
}

bool hourly_done(std::int64_t slot) {
    DbStmt st("SELECT 1 FROM polls WHERE kind='hourly' AND sched_slot_ts=?");
    st.bind_int(1, slot);
    return st.step() == SQLITE_ROW;
}

// true when the poll lock is held; otherwise *code is the command's answer:
// 0 when another poll runs (this one is simply not needed), 1 when the lock
// file cannot be had (already logged).
bool lock_for_poll(bool say_busy, int* code) {
    const int lk = tick_lock_acquire();
    if (lk == 0) return true;
    if (lk == 1 && say_busy) log_msg("another tick running");
    *code = lk == 1 ? 0 : 1;
    return false;
}

// Runs the command's poll inside one write transaction, then pushes the
// alerts it raised. 0, or 1 after logging when the transaction could not
// begin or commit.
template <typename Poll>
int run_committed(const char* cmd, Poll poll) {
    {
        DbTxn txn;
        if (!txn.ok()) {
            log_msg("%s: the poll's transaction could not begin", cmd);
            return 1;
        }
        poll();
        if (txn.commit() != 0) {
            poll_forget_summary();
            log_msg("%s: the poll could not be committed; nothing of it was stored", cmd);
            return 1;
        }
    }
    poll_log_stored();
    alert_push_pending();
    return 0;
}

}  // namespace

std::int64_t poll_hour_slot(std::int64_t t) {
    return t - t % kHourS;
}

int tick_lock_acquire() {
    char path[kPathSize];
    (void)std::snprintf(path, sizeof path, "%s/.tick.lock", g_var_dir);
    const int fd = file_open_lock(path);
    if (fd < 0) {
        log_msg("cannot open poll lock %s: %s", path, std::strerror(errno));
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        tick_lock_release();
        g_tick_lock_fd = fd;
        return 0;
    }
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return 1;
    log_msg("cannot lock %s: %s", path, std::strerror(err));
    return -1;
}

void tick_lock_release() {
    if (g_tick_lock_fd < 0) return;
    ::close(g_tick_lock_fd);
    g_tick_lock_fd = -1;
}

void poll_on_alarm(int) {
    g_poll_timeout = 1;
}

void poll_log_stored() {
    if (s_stored_line[0]) log_msg("%s", s_stored_line);
    poll_forget_summary();
}

void poll_forget_summary() {
    s_stored_line[0] = '\0';
}

int poll_run(const char* kind, std::int64_t slot, int on_time, const char* filter) {
    poll_forget_summary();
    const std::int64_t start = clock_now();
    const std::int64_t poll_id = insert_poll(kind, slot, start, on_time);
    if (poll_id == 0) return 0;
    detect_boot(poll_id);

    std::unique_ptr<DiskInfo[]> disks(new (std::nothrow) DiskInfo[kDiskMax]());
    const int n = disks ? disk_discover_under(platform().root, disks.get(), kDiskMax) : 0;
    g_rows_written = 0;
    const bool filtered = filter != nullptr;
    int visited = 0;
    ReadTally tally;
    int i = 0;
    // A failed statement has ended the transaction's work: the disks left
    // would only run smartctl for nothing.
    for (; i < n && !db_txn_failed(); ++i) {
        DiskInfo& d = disks[i];
        if (filtered && *filter && std::strcmp(d.serial, filter) != 0) continue;
        if (disk_upsert(&d, poll_id) != 0 && !tally.was_read(d.disk_id))
            tally.note(d.disk_id, smart_collect_disk(&d, poll_id) != 0);
        ++visited;
        if (g_poll_timeout) {
            log_msg("timeout \xE2\x80\x94 committing partial");
            ++i;
            break;
        }
    }
    tally.journal_unreadable(poll_id);
    // Without an inventory every disk would look gone.
    if (!filtered && disks && i == n) disappear_pass(poll_id, disks.get(), n);
    klog_and_crc(kind, poll_id, disks.get(), n, filtered);
    const std::int64_t end = finish_poll(poll_id, start, visited);
    if (db_txn_failed()) return -1;
    (void)std::snprintf(
        s_stored_line, sizeof s_stored_line, "%s poll #%lld: %d disks, %lld delta rows, %llds",
        kind, static_cast<long long>(poll_id), visited, static_cast<long long>(g_rows_written),
        static_cast<long long>(end - start));
    return 1;
}

int cmd_tick() {
    int code = 0;
    if (!lock_for_poll(true, &code)) return code;
    arm_budget();
    const std::int64_t now = clock_now();
    const std::int64_t slot = poll_hour_slot(now);
    const bool have_hourly = hourly_done(slot);
    const int rc = run_committed("tick", [&] {
        if (!have_hourly)
            poll_run("hourly", slot, now % kHourS < kOnTimeS ? 1 : 0, nullptr);
        else if (adaptive_due(now) &&
                 clock_seconds_since(meta_get_int("last_tick_ts", 0), now) >= kAdaptiveGapS)
            poll_run("adaptive", slot, 1, nullptr);
    });
    if (rc != 0) return rc;
    if (clock_seconds_since(meta_get_int("last_prune_ts", 0), now) > kPruneEveryS)
        (void)prune_dmesg(now);
    return 0;
}

int cmd_dump(const char* serial) {
    int code = 0;
    if (!lock_for_poll(false, &code)) return code;
    arm_budget();
    return run_committed("dump",
                         [serial] { poll_run("manual", poll_hour_slot(clock_now()), 1, serial); });
}
