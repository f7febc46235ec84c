#include "nas_flags/flag_clear.h"

#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "collector/discovery.h"
#include "collector/nas_conf.h"
#include "collector/wwn.h"
#include "core/clock.h"
#include "core/db.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/run.h"
#include "core/strbuf.h"
#include "core/util.h"
#include "nas_flags/flags.h"

namespace {

constexpr std::size_t kWwnArgMax = 64;
constexpr std::int64_t kProbeMaxAge = 604800;
constexpr int kDbBusyMs = 60000;
constexpr int kHalTimeoutS = 15;
constexpr int kHalChecks = 41;
constexpr double kHalCheckPauseMs = 250.0;
constexpr std::size_t kHalOutputMax = 400;
constexpr char kDefaultPath[] = "/usr/sbin:/usr/bin:/bin:/usr/local/sbin:/usr/local/bin";

enum Exit { kExitCleared = 0, kExitError = 1, kExitRefused = 3 };

// Everything one run carries from the flag it found to its reply.
struct FlagClear {
    const char* path;            // the configuration file
    char key[kNasKeySize];       // the flag's key, as written
    char wwn[kNasKeySize];       // the key after its prefix, as written
    char dev_id[kNasValueSize];  // the NAS's device id, "" when the file has none
    char serial[80];             // the inventory disk, "" when not present
    char dev[32];
    std::int64_t probe_id;
    char status[16];
    char verdict[16];
    std::int64_t probe_ts;
    char backup[900];
    char hal_path[4096];
    int hal_rc;
    char hal_output[kHalOutputMax + 1];
    const char* method;
    bool rewrite_ran;
    ConfRewrite rw;
    char detail[kConfDetailSize];
};

// Calls fn(key, value) for every key line of text until it returns true.
template <typename Fn>
void find_key_line(const StrBuf& text, Fn fn) {
    char key[kNasKeySize];
    char value[kNasValueSize];
    bool done = false;
    conf_for_each_line(text.data, text.len, [&](const char* line, std::size_t n, std::size_t) {
        // A key that fills its field may have been cut: it names no flag exactly.
        if (done || !ini_split_line(line, n, key, sizeof key, value, sizeof value) ||
            std::strlen(key) >= sizeof key - 1)
            return;
        done = fn(key, value);
    });
}

// The flag and the device id of the disk, looked up in the whole file: a NAS
// with thousands of keys must not hide the one asked for.
bool find_flag(const StrBuf& text, const char* wwn_arg, FlagClear* fc) {
    bool found = false;
    find_key_line(text, [&](const char* key, const char*) {
        if (std::strncmp(key, kFlagKeyPrefix, kKeyPrefixLen) != 0 ||
            !wwn_equal(key + kKeyPrefixLen, wwn_arg))
            return false;
        str_copy(fc->key, sizeof fc->key, key);
        str_copy(fc->wwn, sizeof fc->wwn, key + kKeyPrefixLen);
        found = true;
        return true;
    });
    if (!found) return false;
    find_key_line(text, [&](const char* key, const char* value) {
        if (std::strncmp(key, kDevKeyPrefix, kKeyPrefixLen) != 0 ||
            !wwn_equal(key + kKeyPrefixLen, fc->wwn))
            return false;
        str_copy(fc->dev_id, sizeof fc->dev_id, value);
        return true;
    });
    return true;
}

void find_inventory_disk(const char* sys_root, FlagClear* fc) {
    std::unique_ptr<DiskBrief[]> inventory(new (std::nothrow) DiskBrief[kDiskMax]());
    const int count = inventory ? disk_list_ids_under(sys_root, inventory.get(), kDiskMax) : 0;
    if (const DiskBrief* d = flags_find_disk(inventory.get(), count, fc->wwn)) {
        str_copy(fc->serial, sizeof fc->serial, d->serial);
        str_copy(fc->dev, sizeof fc->dev, d->dev);
    }
}

// The newest probe of the disk: its WWN equal by wwn_equal, or its serial
// equal (ignoring case) to the WWN text or to the inventory disk's serial.
// Rows are compared here, not in SQL, so that the WWN is matched the same
// way as everywhere else.
bool find_probe(FlagClear* fc) {
    DbStmt st(
        "SELECT probe_id,status,verdict,COALESCE(finished_ts,started_ts),wwn,serial FROM probes "
        "ORDER BY COALESCE(finished_ts,started_ts) DESC, probe_id DESC");
    while (st.step() == SQLITE_ROW) {
        const char* serial = st.col_text(5);
        const bool match = wwn_equal(st.col_text(4), fc->wwn) || strcasecmp(serial, fc->wwn) == 0 ||
                           (fc->serial[0] && strcasecmp(serial, fc->serial) == 0);
        if (!match) continue;
        fc->probe_id = st.col_int(0);
        str_copy(fc->status, sizeof fc->status, st.col_text(1));
        str_copy(fc->verdict, sizeof fc->verdict, st.col_text(2));
        fc->probe_ts = st.col_int(3);
        return fc->probe_id > 0;
    }
    return false;
}

int refuse(const char* code, std::int64_t probe_id) {
    StrBuf line;
    (void)sb_printf(&line, "{\"ok\":false,\"refused\":\"%s\"", code);
    if (probe_id > 0)
        (void)sb_printf(&line, ",\"probe_id\":%lld", static_cast<long long>(probe_id));
    sb_append_str(&line, "}\n");
    flags_print_line(&line);
    return kExitRefused;
}

const char* null_if_empty(const char* text) {
    return text[0] ? text : nullptr;
}

// The refusal code for the probe found, or nullptr when it allows the clear.
const char* judge_probe(const FlagClear& fc) {
    if (fc.probe_ts < clock_now() - kProbeMaxAge) return "probe_old";
    if (std::strcmp(fc.verdict, "bad") == 0) return "verdict_bad";
    if (std::strcmp(fc.status, "done") != 0) return "verdict_inconclusive";
    if (std::strcmp(fc.verdict, "good") != 0 && std::strcmp(fc.verdict, "link") != 0)
        return "verdict_inconclusive";
    return nullptr;
}

// The configuration as read, kept whole before anything may change it. It
// is written under a temporary name and linked into place, so a backup file
// that exists is always complete, and an existing one is never replaced.
bool write_backup(const StrBuf& text, const char* wwn_arg, FlagClear* fc,
                  const ConfRewriteHooks* hooks) {
    char dir[kVarDirSize + 16];
    std::snprintf(dir, sizeof dir, "%s/flag-backups", g_var_dir);
    ::mkdir(dir, 0700);
    // The name carries the WWN as the file writes it when that is safe in a
    // file name, else as the caller gave it (checked already).
    const char* name = name_is_safe(fc->wwn, kWwnArgMax) ? fc->wwn : wwn_arg;
    const int n = std::snprintf(fc->backup, sizeof fc->backup, "%s/conf-%lld-%s.bak", dir,
                                static_cast<long long>(clock_now()), name);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof fc->backup) return false;
    conf_sweep_temps(dir, kBackupTempPrefix);
    const ConfTempScope scope;
    if (scope.error()) return false;
    std::string tmp;
    int err = 0;
    if (conf_write_temp((std::string(dir) + "/" + kBackupTempPrefix + "XXXXXX").c_str(), text,
                        nullptr, &tmp, &err))
        return false;
    if (hooks && hooks->after_temp_written) hooks->after_temp_written(hooks->arg);
    const bool linked = ::link(tmp.c_str(), fc->backup) == 0;
    ::unlink(tmp.c_str());
    if (linked) conf_fsync_dir(dir);
    return linked;
}

bool is_executable_file(const char* path) {
    struct stat st {};
    return ::access(path, X_OK) == 0 && ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// 0 when the flag is gone from an intact file, 1 while it is there, -1 when
// the file cannot be trusted after hal_event (fc->detail says why): missing,
// unreadable, over 1 MiB, emptied, or cut in the middle of a line although
// the text without the flag would not be.
int check_after_hal(FlagClear* fc, const StrBuf& expected) {
    StrBuf text;
    errno = 0;
    if (file_read_all(fc->path, &text, kNasConfReadMax) < 0) {
        std::snprintf(fc->detail, sizeof fc->detail, "conf_unreadable: %s after hal_event: %s",
                      fc->path, errno ? std::strerror(errno) : "over 1 MiB");
        return -1;
    }
    const char* damage = nullptr;
    if (text.len == 0 && expected.len > 0)
        damage = "is empty";
    else if (expected.len > 0 && expected.data[expected.len - 1] == '\n' && text.len > 0 &&
             text.data[text.len - 1] != '\n')
        damage = "ends in the middle of a line";
    if (damage) {
        std::snprintf(fc->detail, sizeof fc->detail, "conf_damaged: %s %s after hal_event",
                      fc->path, damage);
        return -1;
    }
    StrBuf rest;
    const int dropped = conf_drop_key_lines(text.data, text.len, fc->key, &rest);
    if (dropped < 0) {
        std::snprintf(fc->detail, sizeof fc->detail, "conf_unreadable: %s after hal_event: %s",
                      fc->path, std::strerror(ENOMEM));
        return -1;
    }
    return dropped > 0 ? 1 : 0;
}

// Asks the NAS to clear the error and waits up to ten seconds for the flag
// line to go. Returns what check_after_hal gave last, or 1 when hal_event
// could not be asked (no executable, no device id).
int clear_through_nas(FlagClear* fc, const StrBuf& expected) {
    char arg[96];
    const int n = std::snprintf(arg, sizeof arg, "dev_id=%s", fc->dev_id);
    // A device id cut to fit would name another device.
    if (!fc->hal_path[0] || !fc->dev_id[0] || n < 0 || static_cast<std::size_t>(n) >= sizeof arg)
        return 1;
    const char* const argv[] = {fc->hal_path, "--pd_clear_error", arg, nullptr};
    StrBuf out;
    fc->hal_rc = run_capture(argv, &out, kHalTimeoutS);
    utf8_copy(fc->hal_output, sizeof fc->hal_output, out.c_str());
    int state = 1;
    for (int check = 1; check <= kHalChecks; ++check) {
        state = check_after_hal(fc, expected);
        if (state == 0) break;
        if (check < kHalChecks) clock_sleep_ms(kHalCheckPauseMs);
    }
    if (state != -1) fc->detail[0] = '\0';
    return state;
}

void append_hal_tail(StrBuf* line, const FlagClear& fc) {
    sb_append_str(line, ",\"hal_event\":{\"path\":");
    sb_append_json_str(line, null_if_empty(fc.hal_path));
    (void)sb_printf(line, ",\"rc\":%d,\"output\":", fc.hal_rc);
    sb_append_json_str(line, fc.hal_output);
    (void)sb_printf(line, "},\"probe_id\":%lld}\n", static_cast<long long>(fc.probe_id));
}

void append_common(StrBuf* line, const FlagClear& fc) {
    sb_append_str(line, ",\"backup\":");
    sb_append_json_str(line, fc.backup);
    sb_append_str(line, ",\"key\":");
    sb_append_json_str(line, fc.key);
    sb_append_str(line, ",\"dev_id\":");
    sb_append_json_str(line, null_if_empty(fc.dev_id));
}

void append_lock(StrBuf* line, const FlagClear& fc) {
    sb_append_str(line, ",\"conf_lock\":");
    sb_append_json_str(line, null_if_empty(fc.rw.conf_lock));
    (void)sb_printf(line, ",\"conf_retries\":%d", fc.rw.conf_retries);
}

void record_event(const FlagClear& fc) {
    char wwn[kNasKeySize];
    wwn_strip_prefix(fc.wwn, wwn, sizeof wwn);
    const std::int64_t disk_id = disk_find_by_serial_or_wwn(fc.serial, wwn);
    StrBuf detail;
    sb_append_str(&detail, "{\"wwn\":");
    sb_append_json_str(&detail, fc.wwn);
    sb_append_str(&detail, ",\"key\":");
    sb_append_json_str(&detail, fc.key);
    sb_append_str(&detail, ",\"dev_id\":");
    sb_append_json_str(&detail, null_if_empty(fc.dev_id));
    sb_append_str(&detail, ",\"method\":");
    sb_append_json_str(&detail, fc.method);
    sb_append_str(&detail, ",\"backup\":");
    sb_append_json_str(&detail, fc.backup);
    (void)sb_printf(&detail, ",\"hal_rc\":%d,\"conf_retries\":%d,\"probe_id\":%lld}", fc.hal_rc,
                    fc.rw.conf_retries, static_cast<long long>(fc.probe_id));
    // The flag is gone either way and the reply says so; only the log can
    // tell that the history lacks it.
    DbTxn txn;
    if (txn.ok()) event_add(disk_id, 0, "flag_cleared", detail.c_str());
    if (!txn.ok() || txn.commit() != 0)
        log_msg("flag-clear: the flag_cleared event could not be recorded in %s", g_db_path);
}

int reply_cleared(const FlagClear& fc) {
    record_event(fc);
    db_close();
    StrBuf line;
    sb_append_str(&line, "{\"ok\":true,\"method\":");
    sb_append_json_str(&line, fc.method);
    append_common(&line, fc);
    if (fc.rewrite_ran) append_lock(&line, fc);
    append_hal_tail(&line, fc);
    flags_print_line(&line);
    return kExitCleared;
}

int reply_still_flagged(const FlagClear& fc) {
    db_close();
    StrBuf line;
    sb_append_str(&line, "{\"ok\":false,\"error\":\"still_flagged\",\"detail\":");
    sb_append_json_str(&line, fc.detail[0] ? fc.detail : "the line is still in the file");
    append_common(&line, fc);
    append_lock(&line, fc);
    append_hal_tail(&line, fc);
    flags_print_line(&line);
    return kExitError;
}

// After the rewrite (or when hal_event had already been asked): whether the
// flag is really gone, a file that cannot be read counting as flagged.
int judge_rewrite(FlagClear* fc, int outcome, bool hal_ran, const StrBuf& expected) {
    if (outcome == kRewriteFailed) {
        str_copy(fc->detail, sizeof fc->detail, fc->rw.detail);
        return reply_still_flagged(*fc);
    }
    fc->method = outcome == kRewriteDone ? "file" : "hal_event";
    int state = 0;
    if (outcome == kRewriteNothingToDrop && hal_ran) {
        state = check_after_hal(fc, expected);
    } else {
        state = conf_has_flag_key(fc->path, fc->key);
        if (state < 0)
            std::snprintf(fc->detail, sizeof fc->detail, "conf_unreadable: %s after the rewrite",
                          fc->path);
    }
    return state == 0 ? reply_cleared(*fc) : reply_still_flagged(*fc);
}

// Steps from the probe check on, with the database open.
int clear_with_probe(FlagClear* fc, const StrBuf& text, const char* wwn_arg,
                     const FlagClearEnv& env) {
    if (const char* refusal = judge_probe(*fc)) return refuse(refusal, fc->probe_id);
    if (!write_backup(text, wwn_arg, fc, env.hooks)) {
        flags_print_error("backup_failed", fc->backup);
        return kExitError;
    }
    flag_clear_find_hal_event(env.hal_event, fc->hal_path, sizeof fc->hal_path);
    StrBuf expected;
    // A text this process cannot hold twice cannot be judged or rewritten.
    if (conf_drop_key_lines(text.data, text.len, fc->key, &expected) < 0) {
        flags_print_error("conf_unreadable", fc->path);
        return kExitError;
    }
    const int state = clear_through_nas(fc, expected);
    const bool hal_ran = fc->hal_rc != -2;
    if (state == 0) {
        fc->method = "hal_event";
        return reply_cleared(*fc);
    }
    // A file hal_event left damaged is not rewritten from what is left of it:
    // the backup holds the text to put back.
    if (state < 0) return reply_still_flagged(*fc);
    fc->rewrite_ran = true;
    const int outcome = conf_rewrite_without(fc->path, fc->key, env.lock_dir, &fc->rw, env.hooks);
    return judge_rewrite(fc, outcome, hal_ran, expected);
}

}  // namespace

void flag_clear_find_hal_event(const char* fixed, char* out, std::size_t size) {
    str_copy(out, size, "");
    if (fixed && is_executable_file(fixed)) {
        str_copy(out, size, fixed);
        return;
    }
    const char* env = std::getenv("PATH");
    char dirs[1024];
    str_copy(dirs, sizeof dirs, env && *env ? env : kDefaultPath);
    char* save = nullptr;
    for (char* dir = strtok_r(dirs, ":", &save); dir; dir = strtok_r(nullptr, ":", &save)) {
        if (dir[0] != '/') continue;
        const int n = std::snprintf(out, size, "%s/hal_event", dir);
        if (n > 0 && static_cast<std::size_t>(n) < size && is_executable_file(out)) return;
    }
    str_copy(out, size, "");
}

int flag_clear_run(const char* wwn_arg, const char* conf, const FlagClearEnv& env) {
    if (!wwn_arg || !name_is_safe(wwn_arg, kWwnArgMax)) {
        flags_print_error("bad_wwn", nullptr);
        return kExitError;
    }
    std::unique_ptr<FlagClear> fc(new (std::nothrow) FlagClear());
    if (!fc) {
        flags_print_error("conf_unreadable", conf ? conf : kNasConfPath);
        return kExitError;
    }
    fc->path = conf ? conf : kNasConfPath;
    fc->hal_rc = -2;
    StrBuf text;
    if (file_read_all(fc->path, &text, kNasConfReadMax) < 0) {
        flags_print_error("conf_unreadable", fc->path);
        return kExitError;
    }
    if (!find_flag(text, wwn_arg, fc.get())) return refuse("not_flagged", 0);
    find_inventory_disk(env.sys_root, fc.get());

    struct stat st {};
    if (::stat(g_db_path, &st) != 0) return refuse("no_probe", 0);
    if (db_open(0) != 0) return refuse("no_probe", 0);
    DbCloser closer;
    sqlite3_busy_timeout(g_db, kDbBusyMs);
    if (!find_probe(fc.get())) return refuse("no_probe", 0);
    return clear_with_probe(fc.get(), text, wwn_arg, env);
}

int cmd_flag_clear(const char* wwn, const char* conf) {
    return flag_clear_run(wwn, conf, FlagClearEnv{});
}
