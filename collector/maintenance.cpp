#include "collector/maintenance.h"

#include <sqlite3.h>

#include <cstdio>

#include "core/clock.h"
#include "core/db.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/strbuf.h"
#include "core/util.h"

namespace {

constexpr std::int64_t kDmesgKeepS = 2592000;  // 30 days
constexpr std::size_t kSerialSize = 80;

// The disk's rows in every table that belongs to a disk. polls, probes and
// dmesg_lines are kept: polls belong to no disk, test results and kernel
// lines stay history.
constexpr const char* kDiskTables[] = {"readings",     "readings_latest", "events",
                                       "slot_history", "alerts",          "rule_state"};

std::int64_t disk_id_of(const char* serial) {
    DbStmt st("SELECT disk_id FROM disks WHERE serial=?");
    st.bind_text(1, serial);
    return st.step() == SQLITE_ROW ? st.col_int(0) : 0;
}

int delete_rows(const char* table, std::int64_t disk_id) {
    char sql[128];
    (void)std::snprintf(sql, sizeof sql, "DELETE FROM %s WHERE disk_id=%lld", table,
                        static_cast<long long>(disk_id));
    return db_exec(sql);
}

// All of the disk's rows, or none of them. 1 deleted, 0 no such disk, -1 failed.
int forget_in_txn(const char* serial, std::int64_t* id) {
    DbTxn txn;
    if (!txn.ok()) return -1;
    // Looked up inside the transaction: a disk forgotten by another process
    // meanwhile is "no disk", never a success that deleted nothing.
    *id = disk_id_of(serial);
    if (*id == 0) return 0;
    for (const char* table : kDiskTables)
        if (delete_rows(table, *id) != 0) return -1;
    if (delete_rows("disks", *id) != 0) return -1;
    if (sqlite3_changes(g_db) == 0) return 0;
    return txn.commit() == 0 ? 1 : -1;
}

std::int64_t count_of(const char* sql) {
    DbStmt st(sql);
    return st.step() == SQLITE_ROW ? st.col_int(0) : 0;
}

}  // namespace

int cmd_forget(const char* serial) {
    if (!serial || !*serial) {
        log_msg("forget needs --serial");
        return 2;
    }
    char upper[kSerialSize];
    str_copy(upper, sizeof upper, serial);
    str_upper(upper);
    std::int64_t id = 0;
    const int rc = forget_in_txn(upper, &id);
    if (rc < 0) {
        log_msg("forget %s: the database refused the deletion; nothing was removed", upper);
        return 1;
    }
    if (rc == 0) {
        log_msg("no disk with serial %s", upper);
        return 1;
    }
    (void)db_exec("PRAGMA incremental_vacuum(2000)");
    log_msg("forgot disk %s (id %lld)", upper, static_cast<long long>(id));
    return 0;
}

int prune_dmesg(std::int64_t now) {
    char sql[160];
    (void)std::snprintf(sql, sizeof sql, "DELETE FROM dmesg_lines WHERE wall_ts < %lld",
                        static_cast<long long>(now - kDmesgKeepS));
    {
        // The deletion and its stamp together: a prune that did not happen
        // is not counted as this week's.
        DbTxn txn;
        if (txn.ok() && db_exec(sql) == 0) meta_set_int("last_prune_ts", now);
        if (!txn.ok() || txn.commit() != 0) {
            log_msg("prune: old kernel-log lines could not be deleted");
            return -1;
        }
    }
    // Only gives freed pages back to the file system; the lines are gone
    // either way (a failure is logged).
    (void)db_exec("PRAGMA incremental_vacuum(2000)");
    return 0;
}

int cmd_prune() {
    return prune_dmesg(clock_now()) == 0 ? 0 : 1;
}

int cmd_status() {
    const std::int64_t disks = count_of("SELECT COUNT(*) FROM disks");
    const std::int64_t polls = count_of("SELECT COUNT(*) FROM polls");
    const std::int64_t readings = count_of("SELECT COUNT(*) FROM readings");
    const std::int64_t events = count_of("SELECT COUNT(*) FROM events");
    const std::int64_t alerts = count_of("SELECT COUNT(*) FROM alerts");
    const std::int64_t unpushed = count_of("SELECT COUNT(*) FROM alerts WHERE pushed_ts IS NULL");
    const std::int64_t last_poll = count_of("SELECT MAX(started_ts) FROM polls");
    StrBuf line;
    sb_append_str(&line, "{\"collector\":\"ok\",\"db\":");
    sb_append_json_str(&line, g_db_path);
    (void)sb_printf(
        &line,
        ",\"version\":\"1.0\",\"counts\":{\"disks\":%lld,\"polls\":%lld,\"readings\":%lld,"
        "\"events\":%lld,\"alerts\":%lld,\"unpushed\":%lld},\"last_poll\":%lld}\n",
        static_cast<long long>(disks), static_cast<long long>(polls),
        static_cast<long long>(readings), static_cast<long long>(events),
        static_cast<long long>(alerts), static_cast<long long>(unpushed),
        static_cast<long long>(last_poll));
    (void)std::fwrite(line.c_str(), 1, line.len, stdout);
    (void)std::fflush(stdout);
    return 0;
}
