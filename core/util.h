// Small text, file and clock helpers shared by every subsystem.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct StrBuf;

// In place: ASCII letters to upper or lower case.
void str_upper(char* text);
void str_lower(char* text);
// In place: removes white space at both ends.
void str_trim(char* text);
// 1 when text may become part of a file name: non-empty, at most max bytes, not
// starting with '.', and only ASCII letters, digits, '.', '-' and '_'.
int name_is_safe(const char* text, std::size_t max);
// Bounded copy with terminator; a missing text gives an empty field; size 0 does nothing.
void str_copy(char* field, std::size_t size, const char* text);
// 1 when c (a byte value) is an ASCII hexadecimal digit.
int char_is_hex(int c);
// Bytes of the UTF-8 character at text (at most n bytes there): 1 to 4, or 0
// when they do not begin one (a stray or overlong byte, a surrogate, a
// sequence cut short). Control characters count as characters.
int utf8_char_len(const char* text, std::size_t n);
// n, or the start of text's last character when the first n bytes end inside
// it: where text may be cut without leaving half a character.
std::size_t utf8_cut(const char* text, std::size_t n);
// str_copy whose cut never leaves half a UTF-8 character at the end.
void utf8_copy(char* field, std::size_t size, const char* text);
// In place, over text[0, n): every byte that is no part of a UTF-8 character
// becomes "?", so that the text is valid UTF-8 for a strict reader.
void utf8_repair(char* text, std::size_t n);
// The line of text[0, len) that begins at *pos: returns its first byte and
// stores its length without the newline in *line_len; *pos moves past the
// newline. nullptr once *pos has reached len. The text is not changed; a last
// line without a newline counts, an empty text has no line.
const char* text_next_line(const char* text, std::uint64_t len, std::uint64_t* pos,
                           std::size_t* line_len);

// Appends the whole file to out. Returns the bytes read, or -1 when the file
// cannot be opened or read, holds more than max bytes, or does not fit in memory.
[[nodiscard]] std::int64_t file_read_all(const char* path, StrBuf* out, std::uint64_t max);
// The first line of a file, trimmed, into field; empty when the file is missing.
void file_read_line(const char* path, char* field, std::size_t size);

// open(2) of a file that root writes in a folder where someone else may have
// planted the name first. A symbolic link there is never followed (ELOOP);
// a folder (EISDIR), any other kind of file (EINVAL) or a file with more than
// one name (EMLINK) is refused before any byte of it changes: O_TRUNC is
// applied only after that check. O_CLOEXEC is always added. The descriptor,
// or -1 with errno set.
[[nodiscard]] int file_open_nofollow(const char* path, int flags, mode_t mode);
// A lock file of the program, opened for flock as file_open_nofollow opens
// it, but under any number of names; created or set to mode 0600, so that no
// other user can open it and so hold or keep its lock. The descriptor, or -1
// with errno set.
[[nodiscard]] int file_open_lock(const char* path);
// file_open_nofollow for a file the program writes; one with a second name is
// not refused but unlinked and made anew (O_EXCL), so that nothing is written
// through the other name.
[[nodiscard]] int file_open_unshared(const char* path, int flags, mode_t mode);
// 1 when err is one of file_open_nofollow's refusals of what stands at the name.
int file_open_refused(int err);

// Monotonic clock in milliseconds (the clock of core/clock.h).
double mono_ms();
