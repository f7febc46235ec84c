#include "collector/wwn.h"

#include <cctype>
#include <cstring>

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

char fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// ASCII letters fold; every other byte, NUL included, must match exactly.
bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equal_nocase(text.substr(0, prefix.size()), prefix);
}

std::string_view trim_end(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// The WWN proper inside text: no blanks before, no prefix, no white space after.
std::string_view wwn_core(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    for (std::string_view prefix : {"naa.", "eui.", "t10.", "0x"}) {
        if (starts_with_nocase(text, prefix)) {
            text.remove_prefix(prefix.size());
            break;
        }
    }
    return trim_end(text);
}

}  // namespace

void wwn_strip_prefix(const char* in, char* out, std::size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    if (!in || size < 2) return;
    // Cutting to the field first and trimming after keeps a cut that lands on
    // white space from leaving it at the end.
    std::string_view core = wwn_core(in);
    if (core.size() > size - 1) core = trim_end(core.substr(0, size - 1));
    std::memcpy(out, core.data(), core.size());
    out[core.size()] = '\0';
}

void wwn_strip_prefix_checked(const char* in, char* out, std::size_t size) {
    wwn_strip_prefix(in, out, size);
}

int wwn_equal(std::string_view a, std::string_view b) {
    a = wwn_core(a);
    b = wwn_core(b);
    return !a.empty() && equal_nocase(a, b) ? 1 : 0;
}

int wwn_equal(const char* a, const char* b) {
    if (!a || !b) return 0;
    return wwn_equal(std::string_view(a), std::string_view(b));
}
