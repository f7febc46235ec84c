#include "surface_test/probe_result.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/db.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/strbuf.h"
#include "core/util.h"
#include "surface_test/probe_state.h"

namespace {

// A poll may hold the database for minutes; the result of a test that ran
// for hours is worth waiting that long for.
constexpr int kResultBusyTimeoutMs = 300000;
constexpr std::uint64_t kCmdlineMax = 65536;
constexpr int kCmdlineArgsMax = 32;
// /proc/locks lists every lock of the system, thousands on a busy file
// server; a longer list is not read, and the lock is then not told from it.
constexpr std::uint64_t kProcLocksMax = 4194304;

constexpr char kProbesTable[] =
    "CREATE TABLE IF NOT EXISTS probes(probe_id INTEGER PRIMARY KEY,disk_id INTEGER,serial TEXT "
    "NOT NULL,wwn TEXT,mode TEXT NOT NULL,status TEXT NOT NULL,verdict TEXT,started_ts INTEGER "
    "NOT NULL,finished_ts INTEGER,result_json TEXT);CREATE INDEX IF NOT EXISTS probes_serial ON "
    "probes(serial,finished_ts);";

std::int64_t cannot_open() {
    log_msg("probe: cannot open %s, result kept in the state file only", g_db_path);
    return 0;
}

// SQLite's own reason is logged already.
std::int64_t not_stored() {
    log_msg("probe: the result could not be stored in %s", g_db_path);
    return 0;
}

void event_probe_done(std::int64_t disk_id, std::int64_t probe_id, const char* serial,
                      const char* mode, const char* status, const char* verdict) {
    StrBuf detail;
    if (sb_printf(&detail, "{\"probe_id\":%lld,\"serial\":", static_cast<long long>(probe_id)) != 0)
        return;  // out of memory: the row stands without its event
    sb_append_json_str(&detail, serial);
    sb_append_str(&detail, ",\"mode\":");
    sb_append_json_str(&detail, mode);
    sb_append_str(&detail, ",\"status\":");
    sb_append_json_str(&detail, status);
    sb_append_str(&detail, ",\"verdict\":");
    sb_append_json_str(&detail, verdict);
    sb_append_str(&detail, "}");
    event_add(disk_id, 0, "probe_done", detail.c_str());
}

// What a line of /proc/locks says of the file st describes. Only an exclusive
// flock is the test's: anyone who can open the file may hold a shared one.
// Lines of requests still waiting for a lock ("N: -> FLOCK ...") hold
// nothing; the file is named as major:minor (hexadecimal) and inode.
enum class LocksLine { kOther, kHeld, kSameInode };

LocksLine locks_line_about(const char* text, std::size_t len, const struct stat& st) {
    char line[256];
    std::snprintf(line, sizeof line, "%.*s", static_cast<int>(std::min<std::size_t>(len, 255)),
                  text);
    char type[16], access[16];
    unsigned maj = 0, min = 0;
    unsigned long long ino = 0;
    if (std::sscanf(line, "%*d: %15s %*s %15s %*d %x:%x:%llu", type, access, &maj, &min, &ino) !=
            5 ||
        std::strcmp(type, "FLOCK") != 0 || std::strcmp(access, "WRITE") != 0 || ino != st.st_ino)
        return LocksLine::kOther;
    return maj == major(st.st_dev) && min == minor(st.st_dev) ? LocksLine::kHeld
                                                              : LocksLine::kSameInode;
}

}  // namespace

std::int64_t probe_db_record(const char* serial, const char* wwn, const char* mode,
                             const char* status, const char* verdict, std::int64_t started_ts,
                             std::int64_t finished_ts, const char* result_json) {
    struct stat st {};
    const bool existed = ::stat(g_db_path, &st) == 0;
    if (db_open(existed ? 0 : 1) != 0) return cannot_open();
    DbCloser closer;
    sqlite3_busy_timeout(g_db, kResultBusyTimeoutMs);
    // An older database may predate the table.
    if (existed && db_exec(kProbesTable) != 0) return cannot_open();
    const std::int64_t disk_id = disk_find_by_serial_or_wwn(serial, wwn);
    // The row and its event are stored together or not at all.
    DbTxn txn;
    if (!txn.ok()) return not_stored();
    std::int64_t probe_id = 0;
    {
        DbStmt ins(
            "INSERT INTO probes(disk_id,serial,wwn,mode,status,verdict,started_ts,finished_ts,"
            "result_json) VALUES(?,?,?,?,?,?,?,?,?)");
        if (!ins.ok()) return 0;
        ins.bind_id(1, disk_id);
        ins.bind_text(2, serial);
        ins.bind_text(3, wwn && *wwn ? wwn : nullptr);
        ins.bind_text(4, mode);
        ins.bind_text(5, status);
        ins.bind_text(6, verdict);
        ins.bind_int(7, started_ts);
        ins.bind_int(8, finished_ts);
        ins.bind_text(9, result_json);
        if (ins.step() != SQLITE_DONE) {
            log_msg("probe: insert failed: %s", sqlite3_errmsg(g_db));
            return 0;
        }
        probe_id = sqlite3_last_insert_rowid(g_db);
    }
    event_probe_done(disk_id, probe_id, serial, mode, status, verdict);
    return txn.commit() == 0 ? probe_id : not_stored();
}

int probe_pid_is_probe(pid_t pid, const char* serial) {
    if (!serial) return 0;
    char path[600];
    if (probe_path(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(pid)) != 0) return 0;
    StrBuf text;
    if (file_read_all(path, &text, kCmdlineMax) <= 0) return 0;
    // The arguments are NUL-terminated, one after the other.
    std::string_view args[kCmdlineArgsMax];
    int n = 0;
    for (std::uint64_t pos = 0; pos < text.len && n < kCmdlineArgsMax;) {
        const std::string_view arg(text.data + pos);
        args[n++] = arg;
        pos += arg.size() + 1;
    }
    if (n < 4) return 0;
    const std::size_t slash = args[0].rfind('/');
    const std::string_view base =
        slash == std::string_view::npos ? args[0] : args[0].substr(slash + 1);
    if (base.substr(0, 10) != "corvantisd" || args[1] != "probe") return 0;
    for (int i = 2; i + 1 < n; ++i)
        if (args[i] == "--serial" && args[i + 1] == serial) return 1;
    return 0;
}

int probe_lock_held(const char* serial) {
    char path[800];
    struct stat st {};
    if (!serial || !name_is_safe(serial, 79) ||
        probe_format(path, sizeof path, "%s/probe/%s.lock", g_var_dir, serial) != 0 ||
        ::lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    char locks_path[600];
    StrBuf locks;
    if (probe_path(locks_path, sizeof locks_path, "/proc/locks") != 0 ||
        file_read_all(locks_path, &locks, kProcLocksMax) < 0)
        return -1;
    // btrfs names the file by the file system's device where stat gives the
    // subvolume's, and inode numbers repeat across subvolumes: the same inode
    // on another device may be this file, or another.
    int held = 0;
    std::uint64_t pos = 0;
    std::size_t len = 0;
    while (const char* line = text_next_line(locks.data, locks.len, &pos, &len)) {
        const LocksLine about = locks_line_about(line, len, st);
        if (about == LocksLine::kHeld) return 1;
        if (about == LocksLine::kSameInode) held = -1;
    }
    return held;
}

void probe_reply(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
