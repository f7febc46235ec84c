// Editing the NAS configuration file: which lines are one disk's error flag,
// the text without them, the NAS's lock on the file, and the locked rewrite
// that puts the new text in place.
//
// The NAS's own tools edit the same file. They take a write lock by fcntl on
// "/var/lock/INI_<base64 of the path>.lck"; the rewrite takes the same lock,
// and renames its new text into place only when the file is still the text
// it started from, so an edit of theirs is never lost and the file on disk is
// always either the old text or the new one, whole.
#pragma once

#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/unique_fd.h"
#include "core/util.h"

struct StrBuf;
struct stat;

inline constexpr std::size_t kConfLockSize = 700;
inline constexpr std::size_t kConfDetailSize = 300;
inline constexpr char kNasLockDir[] = "/var/lock";
inline constexpr char kFlagKeyPrefix[] = "pd_err_wwn_";
inline constexpr char kDevKeyPrefix[] = "pd_dev_wwn_";
inline constexpr std::size_t kKeyPrefixLen = sizeof kFlagKeyPrefix - 1;
// Names of the temporary files, each followed by six letters or digits: the
// new text beside the configuration file, the backup in its folder.
inline constexpr char kConfTempPrefix[] = ".conf.corvantis.";
inline constexpr char kBackupTempPrefix[] = ".conf-backup.";
// The lock that runs take while their temporary files may exist, in the data folder.
inline constexpr char kConfTempLock[] = ".conf-temp.lock";

// Calls fn(line, length without the newline, length with it) for every line
// of text, the last one also when it has no newline.
template <typename Fn>
void conf_for_each_line(const char* text, std::uint64_t len, Fn fn) {
    std::uint64_t pos = 0;
    std::size_t n = 0;
    while (const char* line = text_next_line(text, len, &pos, &n))
        fn(line, n, static_cast<std::size_t>(text + pos - line));
}

// 1 when line_key names the same flag as key: equal ignoring case, or both
// "pd_err_wwn_" keys (the prefix in any case) whose WWNs are equal by wwn_equal.
int conf_key_names_flag(std::string_view line_key, std::string_view key);

// Copies text into out line by line (each with its own line end), leaving out
// every key line that names the flag key; returns the number left out, or -1
// (out emptied) when out cannot hold the text: a short copy must never be
// taken for the file. out holds a valid (possibly empty) text afterwards.
int conf_drop_key_lines(const char* text, std::uint64_t len, const char* key, StrBuf* out);

// Reads the file at path again: 1 when a key line names the flag key, 0 when
// none does, -1 when the file cannot be read or holds more than 1 MiB (which
// callers must count as still flagged).
int conf_has_flag_key(const char* path, const char* key);

// "<dir>/INI_<base64 of path>.lck" into field. 0 when the base64 text would
// need more than 1023 characters or holds a "/", or the result does not fit;
// else 1. conf_lock_path uses the NAS's lock folder.
int conf_lock_path_in(const char* dir, const char* path, char* field, std::size_t size);
int conf_lock_path(const char* path, char* field, std::size_t size);

// Writes text to a new file made from pattern (a path ending in "XXXXXX",
// which becomes the name, into *name) and puts it on disk with fsync. With st
// the file gets its owner and permission bits, else it stays 0600. nullptr on
// success; otherwise the step that failed ("mkstemp" or "write") with its
// errno in *err, the file removed.
const char* conf_write_temp(const char* pattern, const StrBuf& text, const struct stat* st,
                            std::string* name, int* err);
// fsync of a folder, after a name in it changed; failures are ignored.
void conf_fsync_dir(const char* dir);

// Held for as long as a temporary file of this run may exist. SIGTERM,
// SIGINT, SIGHUP and SIGQUIT wait meanwhile: a stop ends the process only
// once the file is renamed or removed. A shared flock on the temporaries'
// lock (kConfTempLock in the data folder, which only root can open) keeps
// conf_sweep_temps of another run away from the file. error() is 0 when that
// lock is held, else why not (EWOULDBLOCK: not within a second); no
// temporary file may be made without it.
class ConfTempScope {
   public:
    ConfTempScope();
    ~ConfTempScope();
    ConfTempScope(const ConfTempScope&) = delete;
    ConfTempScope& operator=(const ConfTempScope&) = delete;

    int error() const { return error_; }

   private:
    UniqueFd lock_;
    int error_ = 0;
    sigset_t old_mask_{};
};

// Removes from dir what runs that were killed outright (SIGKILL, a power
// cut) left under a temporary name of prefix, under an exclusive flock on
// the temporaries' lock. When another run's ConfTempScope keeps that lock
// for more than a second, nothing is removed and the log says so.
void conf_sweep_temps(const char* dir, const char* prefix);

// What a rewrite did, for the reply.
struct ConfRewrite {
    char conf_lock[kConfLockSize];  // lock path held, or the one that stayed locked; "" for none
    char detail[kConfDetailSize];   // why it failed; "" otherwise
    std::int32_t conf_retries;      // re-reads that found the file changed, 0..3
};

enum ConfRewriteOutcome { kRewriteFailed = -1, kRewriteDone = 0, kRewriteNothingToDrop = 1 };

// Called after each temporary file is written: the backup's, before it is
// linked to its name, and each new text's, before the file is read again.
// Tests change the file or end the process there.
struct ConfRewriteHooks {
    void (*after_temp_written)(void* arg) = nullptr;
    void* arg = nullptr;
};

// Removes every line of the flag key from the file at path under the NAS's
// lock (taken in lock_dir). A path that is a symbolic link is rewritten at its
// target, and the lock is named from the target's path. Returns a
// ConfRewriteOutcome; r says which lock was used and why a rewrite failed.
int conf_rewrite_without(const char* path, const char* key, const char* lock_dir, ConfRewrite* r,
                         const ConfRewriteHooks* hooks = nullptr);
