// StrBuf: the one growable byte string of the program. Every JSON document,
// captured command output and file content is assembled or read into one.
//
// An all-zero StrBuf is a valid empty buffer; after every successful append
// data[len] is 0, so data can be used as a C string. A failed operation keeps
// the earlier content. The destructor releases the block, so an early return
// never leaks; sb_free may still be called explicitly.
#pragma once

#include <cstdint>

struct StrBuf {
    char* data = nullptr;
    std::uint64_t len = 0;
    std::uint64_t cap = 0;

    StrBuf() = default;
    ~StrBuf();
    StrBuf(const StrBuf&) = delete;
    StrBuf& operator=(const StrBuf&) = delete;
    StrBuf(StrBuf&& other) noexcept;
    StrBuf& operator=(StrBuf&& other) noexcept;

    // The text so far; "" while nothing was appended.
    const char* c_str() const { return data ? data : ""; }
};

void sb_init(StrBuf* sb);
void sb_free(StrBuf* sb);
// Room for n more bytes plus the terminator: 0, or -1 when memory runs out.
[[nodiscard]] int sb_reserve(StrBuf* sb, std::uint64_t n);
[[nodiscard]] int sb_append(StrBuf* sb, const void* bytes, std::uint64_t n);
void sb_append_str(StrBuf* sb, const char* text);
[[nodiscard]] int sb_printf(StrBuf* sb, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// A JSON string literal of the bytes of text, or the bare word null for nullptr.
void sb_append_json_str(StrBuf* sb, const char* text);
