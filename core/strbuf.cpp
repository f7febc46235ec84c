#include "core/strbuf.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

StrBuf::~StrBuf() {
    sb_free(this);
}

StrBuf::StrBuf(StrBuf&& other) noexcept : data(other.data), len(other.len), cap(other.cap) {
    sb_init(&other);
}

StrBuf& StrBuf::operator=(StrBuf&& other) noexcept {
    if (this != &other) {
        sb_free(this);
        data = other.data;
        len = other.len;
        cap = other.cap;
        sb_init(&other);
    }
    return *this;
}

void sb_init(StrBuf* sb) {
    sb->data = nullptr;
    sb->len = 0;
    sb->cap = 0;
}

void sb_free(StrBuf* sb) {
    std::free(sb->data);
    sb_init(sb);
}

int sb_reserve(StrBuf* sb, std::uint64_t n) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::size_t>::max() / 2;
    if (n >= kMax - sb->len) return -1;
    const std::uint64_t need = n + 1;
    if (sb->data && sb->cap - sb->len >= need) return 0;
    std::uint64_t cap = sb->data ? sb->cap * 2 : 512;
    while (cap - sb->len < need) {
        if (cap > kMax) return -1;
        cap *= 2;
    }
    void* block = std::realloc(sb->data, static_cast<std::size_t>(cap));
    if (!block) return -1;
    sb->data = static_cast<char*>(block);
    sb->cap = cap;
    return 0;
}

int sb_append(StrBuf* sb, const void* bytes, std::uint64_t n) {
    if (sb_reserve(sb, n) != 0) return -1;
    if (n > 0) std::memcpy(sb->data + sb->len, bytes, static_cast<std::size_t>(n));
    sb->len += n;
    sb->data[sb->len] = '\0';
    return 0;
}

namespace {

// The writers that return nothing: a failed append keeps the earlier content,
// and the caller sees a shorter text.
void put(StrBuf* sb, const void* bytes, std::uint64_t n) {
    (void)sb_append(sb, bytes, n);
}

}  // namespace

void sb_append_str(StrBuf* sb, const char* text) {
    if (text) put(sb, text, std::strlen(text));
}

int sb_printf(StrBuf* sb, const char* fmt, ...) {
    char local[512];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(local, sizeof local, fmt, ap);
    va_end(ap);
    if (n < 0) return -1;
    if (n < static_cast<int>(sizeof local))
        return sb_append(sb, local, static_cast<std::uint64_t>(n));

    // Too long for the local field: format a second time straight into the buffer.
    if (sb_reserve(sb, static_cast<std::uint64_t>(n)) != 0) return -1;
    va_start(ap, fmt);
    (void)std::vsnprintf(sb->data + sb->len, static_cast<std::size_t>(n) + 1, fmt, ap);
    va_end(ap);
    sb->len += static_cast<std::uint64_t>(n);
    return 0;
}

void sb_append_json_str(StrBuf* sb, const char* text) {
    if (!text) {
        put(sb, "null", 4);
        return;
    }
    put(sb, "\"", 1);
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        switch (*p) {
            case '"':
                put(sb, "\\\"", 2);
                break;
            case '\\':
                put(sb, "\\\\", 2);
                break;
            case '\n':
                put(sb, "\\n", 2);
                break;
            case '\r':
                put(sb, "\\r", 2);
                break;
            case '\t':
                put(sb, "\\t", 2);
                break;
            default:
                if (*p < 0x20) {
                    char esc[8];
                    (void)std::snprintf(esc, sizeof esc, "\\u%04x", *p);
                    put(sb, esc, 6);
                } else {
                    put(sb, p, 1);
                }
        }
    }
    put(sb, "\"", 1);
}
