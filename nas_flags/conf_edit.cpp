#include "nas_flags/conf_edit.h"

#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <pthread.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "collector/nas_conf.h"
#include "collector/wwn.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/strbuf.h"
#include "core/unique_fd.h"
#include "core/util.h"

namespace {

// Longer keys cannot name a flag of a WWN the program accepts; cutting them
// here only keeps the field on the stack.
constexpr std::size_t kLineKeySize = 4096;
constexpr int kLockTries = 101;
constexpr double kLockPauseMs = 100.0;
constexpr int kMaxRetries = 3;
// Runs hold the temporaries' lock only while they write, read and rename a
// file; a second is plenty, and it is waited for while the INI lock is held.
constexpr int kTempLockTries = 11;

bool equal_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool has_flag_prefix(std::string_view key) {
    return key.size() >= kKeyPrefixLen &&
           equal_nocase(key.substr(0, kKeyPrefixLen), kFlagKeyPrefix);
}

bool line_names_flag(const char* line, std::size_t n, std::string_view key) {
    char line_key[kLineKeySize];
    char value[2];
    if (!ini_split_line(line, n, line_key, sizeof line_key, value, sizeof value)) return false;
    return conf_key_names_flag(line_key, key) != 0;
}

bool text_has_flag(const StrBuf& text, std::string_view key) {
    bool found = false;
    conf_for_each_line(text.data, text.len, [&](const char* line, std::size_t n, std::size_t) {
        if (!found) found = line_names_flag(line, n, key);
    });
    return found;
}

// file_read_all leaves errno alone when the file is only too large.
int read_conf(const char* path, StrBuf* out) {
    errno = 0;
    if (file_read_all(path, out, kNasConfReadMax) >= 0) return 0;
    return errno ? errno : EFBIG;
}

void set_detail(ConfRewrite* r, const char* what, int err) {
    std::snprintf(r->detail, sizeof r->detail, "%s: %s", what, std::strerror(err));
}

void base64(const unsigned char* in, std::size_t n, std::string* out) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < n; i += 3) {
        const unsigned v =
            (in[i] << 16) | (i + 1 < n ? in[i + 1] << 8 : 0) | (i + 2 < n ? in[i + 2] : 0);
        out->push_back(kAlphabet[(v >> 18) & 63]);
        out->push_back(kAlphabet[(v >> 12) & 63]);
        out->push_back(i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=');
        out->push_back(i + 2 < n ? kAlphabet[v & 63] : '=');
    }
}

// The NAS's INI lock, released (F_UNLCK, then close) when it goes out of scope.
class ConfLock {
   public:
    enum Result { kHeld, kNoLock, kBusy, kRefused };

    ConfLock() = default;
    ~ConfLock() { release(); }
    ConfLock(const ConfLock&) = delete;
    ConfLock& operator=(const ConfLock&) = delete;

    // One try. Without a lock folder, or on a read-only one, there is no lock
    // file now nor on the next try: the caller goes on without the lock
    // instead of waiting for it. A lease that another process holds on the
    // file (EWOULDBLOCK: the open does not wait for it) ends when its holder
    // lets go, as a held lock does. The lock folder is open to every user:
    // anything else at the lock's name, a link or a socket that the kernel
    // refuses root in that sticky folder included, was put there by someone
    // else, and is neither followed nor taken as no lock (error() says why).
    Result try_lock(const char* path) {
        UniqueFd fd(file_open_nofollow(path, O_RDWR | O_CREAT, 0666));
        if (!fd.valid()) {
            error_ = errno;
            if (error_ == ENOENT || error_ == ENOTDIR || error_ == EROFS) return kNoLock;
            return error_ == EWOULDBLOCK ? kBusy : kRefused;
        }
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        // A lock refused for any reason is tried again: going on unlocked
        // could lose an edit of the NAS's tools, waiting only delays us.
        if (::fcntl(fd.get(), F_SETLK, &fl) != 0) return kBusy;
        // A holder may have removed and re-created the lock file between our
        // open and our lock: a lock on the old inode excludes nobody.
        struct stat by_fd {};
        struct stat by_path {};
        if (::fstat(fd.get(), &by_fd) != 0 || ::stat(path, &by_path) != 0 ||
            by_fd.st_dev != by_path.st_dev || by_fd.st_ino != by_path.st_ino)
            return kBusy;
        fd_ = std::move(fd);
        return kHeld;
    }

    void release() {
        if (!fd_.valid()) return;
        struct flock fl {};
        fl.l_type = F_UNLCK;
        fl.l_whence = SEEK_SET;
        (void)::fcntl(fd_.get(), F_SETLK, &fl);
        fd_.reset();
    }

    int error() const { return error_; }

   private:
    UniqueFd fd_;
    int error_ = 0;
};

// Takes the lock at r->conf_lock within its 101 tries. false when it stayed
// locked or what stands at its name is refused (r->detail says so); true
// when held or when there is no lock to take (r->conf_lock then emptied).
bool take_lock(ConfLock* lock, ConfRewrite* r) {
    char why[96] = "stayed locked for 10 s";
    for (int attempt = 1; attempt <= kLockTries; ++attempt) {
        const ConfLock::Result got = lock->try_lock(r->conf_lock);
        if (got == ConfLock::kHeld) return true;
        if (got == ConfLock::kNoLock) {
            r->conf_lock[0] = '\0';
            return true;
        }
        if (got == ConfLock::kRefused) {
            if (file_open_refused(lock->error()))
                str_copy(why, sizeof why, "is not a regular file");
            else
                std::snprintf(why, sizeof why, "cannot be opened: %s",
                              std::strerror(lock->error()));
            break;
        }
        if (attempt < kLockTries) clock_sleep_ms(kLockPauseMs);
    }
    StrBuf detail;
    (void)sb_printf(&detail, "conf_locked: %s %s", r->conf_lock, why);
    str_copy(r->detail, sizeof r->detail, detail.c_str());
    return false;
}

int write_all(int fd, const char* data, std::uint64_t len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        data += n;
        len -= static_cast<std::uint64_t>(n);
    }
    return 0;
}

// prefix and then the six letters or digits that mkstemp puts in place of "XXXXXX".
bool is_temp_name(const char* name, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    if (std::strncmp(name, prefix, n) != 0 || std::strlen(name + n) != 6) return false;
    for (const char* p = name + n; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x80 || !std::isalnum(c)) return false;
    }
    return true;
}

// The temporaries' lock in the data folder, a lock file of the program's own.
UniqueFd open_temp_lock() {
    char path[kVarDirSize + sizeof kConfTempLock + 1];
    std::snprintf(path, sizeof path, "%s/%s", g_var_dir, kConfTempLock);
    return UniqueFd(file_open_lock(path));
}

// flock op on fd, tried kTempLockTries times kLockPauseMs apart. 0 when
// taken, else the errno (EWOULDBLOCK: held by another run all along).
int flock_within(int fd, int op) {
    for (int attempt = 1;; ++attempt) {
        if (::flock(fd, op | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK || attempt >= kTempLockTries) return errno;
        clock_sleep_ms(kLockPauseMs);
    }
}

bool same_text(const StrBuf& a, const StrBuf& b) {
    return a.len == b.len && (a.len == 0 || std::memcmp(a.data, b.data, a.len) == 0);
}

struct Target {
    char path[PATH_MAX];  // the configuration file itself, links resolved
    char dir[PATH_MAX];   // its folder, where the new text is made
    struct stat st;
};

// Rewrites t.path from current (its text as read under the lock) until the
// rename lands on an unchanged file, at most four times.
int rewrite_loop(Target& t, const char* key, StrBuf current, ConfRewrite* r,
                 const ConfRewriteHooks* hooks) {
    const std::string tmp_pattern = std::string(t.dir) + "/" + kConfTempPrefix + "XXXXXX";
    for (;;) {
        StrBuf next;
        const int dropped = conf_drop_key_lines(current.data, current.len, key, &next);
        if (dropped < 0) {
            set_detail(r, "copy", ENOMEM);
            return kRewriteFailed;
        }
        if (dropped == 0) return kRewriteNothingToDrop;
        const ConfTempScope scope;
        if (scope.error()) {
            set_detail(r, "temp lock", scope.error());
            return kRewriteFailed;
        }
        std::string tmp;
        int err = 0;
        if (const char* step = conf_write_temp(tmp_pattern.c_str(), next, &t.st, &tmp, &err)) {
            set_detail(r, step, err);
            return kRewriteFailed;
        }
        if (hooks && hooks->after_temp_written) hooks->after_temp_written(hooks->arg);
        StrBuf again;
        if ((err = read_conf(t.path, &again)) != 0) {
            ::unlink(tmp.c_str());
            set_detail(r, "re-read", err);
            return kRewriteFailed;
        }
        if (same_text(again, current)) {
            if (::rename(tmp.c_str(), t.path) != 0) {
                err = errno;
                ::unlink(tmp.c_str());
                set_detail(r, "rename", err);
                return kRewriteFailed;
            }
            conf_fsync_dir(t.dir);
            return kRewriteDone;
        }
        ::unlink(tmp.c_str());
        if (r->conf_retries >= kMaxRetries) {
            str_copy(r->detail, sizeof r->detail,
                     "conf_changing: the file changed during 4 rewrite attempts");
            return kRewriteFailed;
        }
        ++r->conf_retries;
        current = std::move(again);
        if (::stat(t.path, &t.st) != 0) {
            set_detail(r, "stat", errno);
            return kRewriteFailed;
        }
    }
}

}  // namespace

const char* conf_write_temp(const char* pattern, const StrBuf& text, const struct stat* st,
                            std::string* name, int* err) {
    *name = pattern;
    UniqueFd fd(::mkostemp(name->data(), O_CLOEXEC));
    if (!fd.valid()) {
        *err = errno;
        return "mkstemp";
    }
    *err = write_all(fd.get(), text.data, text.len);
    // Owner before mode: changing the owner may clear set-id bits.
    if (st && !*err && ::fchown(fd.get(), st->st_uid, st->st_gid) != 0) *err = errno;
    if (st && !*err && ::fchmod(fd.get(), st->st_mode & 07777) != 0) *err = errno;
    if (!*err && ::fsync(fd.get()) != 0) *err = errno;
    if (!*err && ::close(fd.release()) != 0) *err = errno;
    if (!*err) return nullptr;
    ::unlink(name->c_str());
    return "write";
}

void conf_fsync_dir(const char* dir) {
    UniqueFd fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) (void)::fsync(fd.get());
}

ConfTempScope::ConfTempScope() : lock_(open_temp_lock()) {
    // A sweep holds the lock only while it removes names.
    error_ = lock_.valid() ? flock_within(lock_.get(), LOCK_SH) : errno;
    sigset_t stops;
    sigemptyset(&stops);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&stops, sig);
    (void)pthread_sigmask(SIG_BLOCK, &stops, &old_mask_);
}

ConfTempScope::~ConfTempScope() {
    lock_.reset();
    // A stop that came meanwhile takes effect here.
    (void)pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}

void conf_sweep_temps(const char* dir, const char* prefix) {
    // The exclusive lock is refused while a run holds a temporary file: a
    // name that is not ours to remove looks the same as a leftover.
    const UniqueFd lock(open_temp_lock());
    const int err = lock.valid() ? flock_within(lock.get(), LOCK_EX) : errno;
    if (err) {
        log_msg("flag-clear: leftover temporary files in %s are not removed: %s/%s: %s", dir,
                g_var_dir, kConfTempLock, std::strerror(err));
        return;
    }
    const UniqueDir d(::opendir(dir));
    if (!d) return;
    while (const dirent* e = ::readdir(d.get()))
        if (is_temp_name(e->d_name, prefix)) (void)::unlinkat(::dirfd(d.get()), e->d_name, 0);
}

int conf_key_names_flag(std::string_view line_key, std::string_view key) {
    if (key.empty()) return 0;
    if (equal_nocase(line_key, key)) return 1;
    if (!has_flag_prefix(line_key) || !has_flag_prefix(key)) return 0;
    return wwn_equal(line_key.substr(kKeyPrefixLen), key.substr(kKeyPrefixLen));
}

int conf_drop_key_lines(const char* text, std::uint64_t len, const char* key, StrBuf* out) {
    // Room for the whole text first: the appends below then cannot fail.
    if (sb_reserve(out, text && key ? len : 0) != 0) {
        sb_free(out);
        (void)sb_append(out, "", 0);
        return -1;
    }
    if (!out->data) (void)sb_append(out, "", 0);
    if (!text || !key) return 0;
    int dropped = 0;
    conf_for_each_line(text, len, [&](const char* line, std::size_t n, std::size_t whole) {
        if (line_names_flag(line, n, key))
            ++dropped;
        else
            (void)sb_append(out, line, whole);
    });
    return dropped;
}

int conf_has_flag_key(const char* path, const char* key) {
    StrBuf text;
    if (read_conf(path, &text) != 0) return -1;
    return text_has_flag(text, key ? key : "") ? 1 : 0;
}

int conf_lock_path_in(const char* dir, const char* path, char* field, std::size_t size) {
    str_copy(field, size, "");
    const std::size_t n = std::strlen(path);
    if ((n + 2) / 3 * 4 > 1023) return 0;
    std::string encoded;
    base64(reinterpret_cast<const unsigned char*>(path), n, &encoded);
    if (encoded.find('/') != std::string::npos) return 0;
    const int len = std::snprintf(field, size, "%s/INI_%s.lck", dir, encoded.c_str());
    if (len < 0 || static_cast<std::size_t>(len) >= size) {
        str_copy(field, size, "");
        return 0;
    }
    return 1;
}

int conf_lock_path(const char* path, char* field, std::size_t size) {
    return conf_lock_path_in(kNasLockDir, path, field, size);
}

int conf_rewrite_without(const char* path, const char* key, const char* lock_dir, ConfRewrite* r,
                         const ConfRewriteHooks* hooks) {
    std::memset(r, 0, sizeof *r);
    Target t{};
    // The NAS's tools lock the file by its real name: a link in between must
    // neither give us another lock nor be replaced by a plain file.
    // A file that is not there is locked by the name given; its stat under
    // the lock then reports it.
    if (!::realpath(path, t.path)) {
        const int err = errno;
        if (err != ENOENT || std::strlen(path) >= sizeof t.path) {
            set_detail(r, "stat", err);
            return kRewriteFailed;
        }
        str_copy(t.path, sizeof t.path, path);
    }
    char copy[PATH_MAX];
    str_copy(copy, sizeof copy, t.path);
    str_copy(t.dir, sizeof t.dir, ::dirname(copy));

    ConfLock lock;
    if (conf_lock_path_in(lock_dir, t.path, r->conf_lock, sizeof r->conf_lock) &&
        !take_lock(&lock, r))
        return kRewriteFailed;
    conf_sweep_temps(t.dir, kConfTempPrefix);
    if (::stat(t.path, &t.st) != 0) {
        set_detail(r, "stat", errno);
        return kRewriteFailed;
    }
    StrBuf text;
    if (const int err = read_conf(t.path, &text); err) {
        set_detail(r, "read", err);
        return kRewriteFailed;
    }
    return rewrite_loop(t, key, std::move(text), r, hooks);
}
