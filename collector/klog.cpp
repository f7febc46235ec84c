#include "collector/klog.h"

#include <sys/klog.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/strbuf.h"
#include "core/util.h"

namespace {

constexpr int kSyslogReadAll = 3;
constexpr int kSyslogSizeBuffer = 10;

// The kernel prints at most 11 digits of seconds; a longer run of digits is
// not its stamp, and would not survive the "%.6f" round trip through meta.
constexpr std::size_t kStampMaxIntDigits = 15;

bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}
bool is_letter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_alnum(unsigned char c) {
    return is_digit(c) || is_letter(c);
}
bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// After "<prio>", or line itself when it has none; nullptr for "<" without ">".
const char* skip_priority(const char* line) {
    if (*line != '<') return line;
    const char* close = std::strchr(line, '>');
    return close ? close + 1 : nullptr;
}

// Parses "[ secs.usecs]" at p. Plain decimal digits only: the kernel writes no
// sign, exponent or hexadecimal, and accepting them would let a line such as
// "[inf]" freeze the scan's position. Stores the byte after "]" in *after.
double parse_stamp(const char* p, const char** after) {
    if (*p != '[') return -1.0;
    ++p;
    while (is_blank(*p)) ++p;
    const char* start = p;
    while (is_digit(static_cast<unsigned char>(*p))) ++p;
    const std::size_t int_digits = static_cast<std::size_t>(p - start);
    std::size_t frac_digits = 0;
    if (*p == '.') {
        const char* frac = ++p;
        while (is_digit(static_cast<unsigned char>(*p))) ++p;
        frac_digits = static_cast<std::size_t>(p - frac);
    }
    if (int_digits + frac_digits == 0 || int_digits > kStampMaxIntDigits || *p != ']') return -1.0;
    if (after) *after = p + 1;
    return std::strtod(start, nullptr);
}

bool dev_char_before_ok(unsigned char c) {
    return !is_alnum(c) && c != '_';
}

bool dev_char_after_ok(unsigned char c, const char* name, std::size_t name_len) {
    if (c == '\0') return true;
    if (!is_digit(static_cast<unsigned char>(name[name_len - 1]))) return !is_letter(c);
    if (std::strncmp(name, "nvme", 4) == 0 && (c == 'n' || c == 'p')) return true;
    return !is_alnum(c);
}

// The 12-character sysfs form of a PCI address: "0000:00:17.0".
bool is_pci_address(const char* c) {
    for (int i = 0; i < 12; ++i) {
        const char sep = (i == 4 || i == 7) ? ':' : (i == 10 ? '.' : '\0');
        if (sep ? c[i] != sep : !char_is_hex(static_cast<unsigned char>(c[i]))) return false;
    }
    return true;
}

void copy_component(char* field, const char* c, std::size_t n) {
    std::memcpy(field, c, n);
    field[n] = '\0';
}

}  // namespace

std::int64_t klog_read_all(StrBuf* out) {
    const int size = klogctl(kSyslogSizeBuffer, nullptr, 0);
    if (size < 1) return -1;
    std::unique_ptr<char, decltype(&std::free)> buf(
        static_cast<char*>(std::malloc(static_cast<std::size_t>(size) + 1)), &std::free);
    if (!buf) return -1;
    const int n = klogctl(kSyslogReadAll, buf.get(), size);
    if (n < 0) return -1;
    if (sb_append(out, buf.get(), static_cast<std::uint64_t>(n)) != 0) return -1;
    return n;
}

char* klog_next_line(char* text, std::uint64_t len, std::uint64_t* pos) {
    std::size_t n = 0;
    while (const char* line = text_next_line(text, len, pos, &n)) {
        // The line lies in text, which is ours to change: its newline (or the
        // terminator at text[len]) becomes its end.
        char* start = text + (line - text);
        start[n] = '\0';
        if (n > 0) return start;
    }
    return nullptr;
}

double klog_line_timestamp(const char* line) {
    const char* p = skip_priority(line);
    return p ? parse_stamp(p, nullptr) : -1.0;
}

const char* klog_line_strip_prefix(const char* line) {
    const char* p = skip_priority(line);
    if (!p) return line;
    // Only a real stamp is cut: with kernel time stamps off, a line may begin
    // with a bracketed tag ("[drm] ...") that belongs to its text.
    const char* after = nullptr;
    if (parse_stamp(p, &after) >= 0.0) {
        p = after;
        while (is_blank(*p)) ++p;
    }
    return p;
}

int klog_line_classify(const char* line) {
    static const char* const kMedia[] = {"Medium Error", "MEDIUM ERROR", "Unrecovered read error",
                                         "critical medium error", "MediaError"};
    static const char* const kLink[] = {"BadCRC",
                                        "hard resetting link",
                                        "limiting SATA link speed",
                                        "SError",
                                        "COMRESET",
                                        "link is slow to respond",
                                        "SATA link down",
                                        "ATA bus error",
                                        "interface fatal error"};
    for (const char* pattern : kMedia)
        if (std::strstr(line, pattern)) return kKlogMedia;
    if (str_find_word(line, "UNC")) return kKlogMedia;
    for (const char* pattern : kLink)
        if (std::strstr(line, pattern)) return kKlogLink;
    if (str_find_word(line, "ICRC")) return kKlogLink;
    return kKlogNone;
}

int klog_line_mentions_dev(const char* line, const char* name) {
    if (!line || !name) return 0;
    const std::size_t n = std::strlen(name);
    if (n == 0) return 0;
    for (const char* p = std::strstr(line, name); p; p = std::strstr(p + 1, name)) {
        const bool before = p == line || dev_char_before_ok(static_cast<unsigned char>(p[-1]));
        if (before && dev_char_after_ok(static_cast<unsigned char>(p[n]), name, n)) return 1;
    }
    return 0;
}

int str_find_word(const char* text, const char* word) {
    if (!text || !word) return 0;
    const std::size_t n = std::strlen(word);
    if (n == 0) return 0;
    for (const char* p = std::strstr(text, word); p; p = std::strstr(p + 1, word)) {
        const bool before = p == text || !is_alnum(static_cast<unsigned char>(p[-1]));
        if (before && !is_alnum(static_cast<unsigned char>(p[n]))) return 1;
    }
    return 0;
}

int str_is_prefix_digits(const char* component, std::size_t length, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    if (length <= n || std::strncmp(component, prefix, n) != 0) return 0;
    for (std::size_t i = n; i < length; ++i)
        if (!is_digit(static_cast<unsigned char>(component[i]))) return 0;
    return 1;
}

int sysfs_path_controller(const char* path, char* ctrl, std::size_t ctrl_size, char* port,
                          std::size_t port_size) {
    if (ctrl_size > 0) ctrl[0] = '\0';
    if (port_size > 0) port[0] = '\0';
    if (!path) return 0;
    const char* addr = nullptr;
    bool stop = false;
    for (const char* p = path; *p;) {
        if (*p == '/') {
            ++p;
            continue;
        }
        const char* c = p;
        while (*p && *p != '/') ++p;
        const std::size_t n = static_cast<std::size_t>(p - c);
        if (str_is_prefix_digits(c, n, "ata")) {
            if (n < port_size) copy_component(port, c, n);
            stop = true;
        } else if (n == 12 && !stop) {
            if (is_pci_address(c))
                addr = c;
            else if (str_is_prefix_digits(c, n, "host"))
                stop = true;
        } else if (str_is_prefix_digits(c, n, "host") ||
                   (n == 4 && std::strncmp(c, "nvme", 4) == 0)) {
            stop = true;
        }
    }
    if (!addr || 12 >= ctrl_size) return 0;
    copy_component(ctrl, addr, 12);
    return 1;
}
