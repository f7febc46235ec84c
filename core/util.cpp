#include "core/util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/clock.h"
#include "core/strbuf.h"
#include "core/unique_fd.h"

void str_upper(char* text) {
    for (; *text; ++text)
        *text = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
}

void str_lower(char* text) {
    for (; *text; ++text)
        *text = static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
}

void str_trim(char* text) {
    std::size_t n = std::strlen(text);
    while (n > 0 && std::isspace(static_cast<unsigned char>(text[n - 1]))) text[--n] = '\0';
    std::size_t lead = 0;
    while (lead < n && std::isspace(static_cast<unsigned char>(text[lead]))) ++lead;
    if (lead > 0) std::memmove(text, text + lead, n - lead + 1);
}

int name_is_safe(const char* text, std::size_t max) {
    if (!text || !*text || *text == '.') return 0;
    std::size_t n = 0;
    for (const char* p = text; *p; ++p, ++n) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool ok = (c < 0x80 && std::isalnum(c)) || c == '.' || c == '-' || c == '_';
        if (!ok) return 0;
    }
    return n <= max ? 1 : 0;
}

void str_copy(char* field, std::size_t size, const char* text) {
    if (size == 0) return;
    if (!text) {
        field[0] = '\0';
        return;
    }
    std::size_t n = std::strlen(text);
    if (n > size - 1) n = size - 1;
    std::memcpy(field, text, n);
    field[n] = '\0';
}

int char_is_hex(int c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ? 1 : 0;
}

int utf8_char_len(const char* text, std::size_t n) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    if (n == 0) return 0;
    if (s[0] < 0x80) return 1;
    int len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (s[0] >= 0xC2 && s[0] <= 0xDF) {
        len = 2;
    } else if (s[0] >= 0xE0 && s[0] <= 0xEF) {
        len = 3;
        if (s[0] == 0xE0) lo = 0xA0;
        if (s[0] == 0xED) hi = 0x9F;
    } else if (s[0] >= 0xF0 && s[0] <= 0xF4) {
        len = 4;
        if (s[0] == 0xF0) lo = 0x90;
        if (s[0] == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (n < static_cast<std::size_t>(len) || s[1] < lo || s[1] > hi) return 0;
    for (int i = 2; i < len; ++i)
        if ((s[i] & 0xC0) != 0x80) return 0;
    return len;
}

std::size_t utf8_cut(const char* text, std::size_t n) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    std::size_t k = n;
    while (k > 0 && (s[k - 1] & 0xC0) == 0x80) --k;
    if (k == 0 || s[k - 1] < 0xC0) return n;
    const unsigned char lead = s[k - 1];
    const std::size_t need = lead >= 0xF0 ? 4 : (lead >= 0xE0 ? 3 : 2);
    return n - (k - 1) < need ? k - 1 : n;
}

void utf8_copy(char* field, std::size_t size, const char* text) {
    str_copy(field, size, text);
    if (size == 0 || !text) return;
    const std::size_t n = std::strlen(field);
    if (text[n] != '\0') field[utf8_cut(field, n)] = '\0';
}

void utf8_repair(char* text, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        const int len = utf8_char_len(text + i, n - i);
        if (len == 0) text[i] = '?';
        i += len ? static_cast<std::size_t>(len) : 1;
    }
}

const char* text_next_line(const char* text, std::uint64_t len, std::uint64_t* pos,
                           std::size_t* line_len) {
    if (*pos >= len) return nullptr;
    const char* start = text + *pos;
    const std::size_t rest = static_cast<std::size_t>(len - *pos);
    const void* nl = std::memchr(start, '\n', rest);
    const std::size_t n =
        nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - start) : rest;
    *pos += n + (nl ? 1 : 0);
    *line_len = n;
    return start;
}

std::int64_t file_read_all(const char* path, StrBuf* out, std::uint64_t max) {
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return -1;
    char chunk[8192];
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        total += static_cast<std::uint64_t>(n);
        if (total > max) return -1;
        if (sb_append(out, chunk, static_cast<std::uint64_t>(n)) != 0) return -1;
    }
    fd.reset();
    if (!out->data && sb_append(out, "", 0) != 0) return -1;
    return static_cast<std::int64_t>(total);
}

void file_read_line(const char* path, char* field, std::size_t size) {
    if (size == 0) return;
    field[0] = '\0';
    const UniqueFile f(std::fopen(path, "re"));
    if (!f) return;
    const int limit = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    if (!std::fgets(field, limit, f.get())) field[0] = '\0';
    char* nl = std::strchr(field, '\n');
    if (nl) *nl = '\0';
    str_trim(field);
}

namespace {

// Why what fstat describes may not be used through a name of ours; 0 when it
// may. A second name matters only where the file is written.
int kind_refusal(const struct stat& st, bool one_name) {
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    return one_name && st.st_nlink > 1 ? EMLINK : 0;
}

int open_checked(const char* path, int flags, mode_t mode, bool one_name) {
    // O_NONBLOCK: a FIFO planted at the name must not hang the open.
    UniqueFd fd(::open(path, (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    if (!fd.valid()) return -1;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return -1;
    if (const int err = kind_refusal(st, one_name)) {
        fd.reset();
        errno = err;
        return -1;
    }
    const int status = ::fcntl(fd.get(), F_GETFL);
    if (status < 0 ||
        ((flags & O_NONBLOCK) == 0 && ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0))
        return -1;
    if ((flags & O_TRUNC) != 0 && ::ftruncate(fd.get(), 0) != 0) return -1;
    return fd.release();
}

}  // namespace

int file_open_nofollow(const char* path, int flags, mode_t mode) {
    return open_checked(path, flags, mode, true);
}

int file_open_lock(const char* path) {
    UniqueFd fd(open_checked(path, O_RDWR | O_CREAT, 0600, false));
    // flock needs only a descriptor: a user who can open the file can hold it.
    // A file made before locks were kept to root may still be readable.
    if (!fd.valid() || ::fchmod(fd.get(), 0600) != 0) return -1;
    return fd.release();
}

int file_open_unshared(const char* path, int flags, mode_t mode) {
    const int fd = file_open_nofollow(path, flags, mode);
    if (fd >= 0 || errno != EMLINK) return fd;
    // A hard-linked backup holds the other name: it keeps the old contents,
    // and the program writes a new file of its own.
    if (::unlink(path) != 0) return -1;
    return file_open_nofollow(path, flags | O_CREAT | O_EXCL, mode);
}

int file_open_refused(int err) {
    return err == ELOOP || err == EISDIR || err == EINVAL || err == EMLINK ? 1 : 0;
}

double mono_ms() {
    return clock_mono_ms();
}
