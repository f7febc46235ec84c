#include "surface_ui/fmt.h"

#include <cstdio>

void fmt_size_dec(std::uint64_t bytes, char* buf, std::size_t size) {
    if (size == 0) return;
    double v = static_cast<double>(bytes);
    if (v < 1000.0) {
        std::snprintf(buf, size, "%.0f %s", v, "B");
        return;
    }
    static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB"};
    int unit = -1;
    while (unit < 4 && (unit < 0 || v >= 1000.0)) {
        v /= 1000.0;
        ++unit;
    }
    std::snprintf(buf, size, "%.1f %s", v, kUnits[unit]);
}

void fmt_thousands(std::int64_t value, char* buf, std::size_t size) {
    if (size == 0) return;
    // The magnitude in unsigned arithmetic: -INT64_MIN has no signed value.
    const std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char digits[24];
    const int n =
        std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(magnitude));
    char text[32];
    std::size_t len = 0;
    if (value < 0) text[len++] = '-';
    for (int i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) text[len++] = ',';
        text[len++] = digits[i];
    }
    text[len] = '\0';
    std::snprintf(buf, size, "%s", text);
}

void fmt_rate(double mib_per_s, char* buf, std::size_t size) {
    if (size == 0) return;
    if (mib_per_s >= 1024.0)
        std::snprintf(buf, size, "%.2f GB/s", mib_per_s / 1024.0);
    else if (mib_per_s >= 100.0)
        std::snprintf(buf, size, "%.0f MB/s", mib_per_s);
    else
        std::snprintf(buf, size, "%.1f MB/s", mib_per_s);
}

void fmt_duration(std::int64_t seconds, char* buf, std::size_t size) {
    if (size == 0) return;
    const long long s = seconds < 0 ? 0 : seconds;
    if (s < 60)
        std::snprintf(buf, size, "%lld s", s);
    else if (s < 3600)
        std::snprintf(buf, size, "%lld min %02lld s", s / 60, s % 60);
    else
        std::snprintf(buf, size, "%lld h %02lld min", s / 3600, s % 3600 / 60);
}
