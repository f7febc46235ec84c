// The number and duration texts, input by input, the 64-bit extremes and
// buffers too small for the text included.
#include "surface_ui/fmt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

template <typename Fn, typename T>
std::function<std::string(std::size_t)> text(Fn fn, T value) {
    return [=](std::size_t size) {
        char buf[48] = "untouched";
        fn(value, buf, size);
        return std::string(buf);
    };
}

TEST(Fmt, ExactTexts) {
    const struct {
        std::function<std::string(std::size_t)> format;
        const char* text;
        std::size_t size = 48;
    } cases[] = {
        {text(fmt_size_dec, 0), "0 B"},
        {text(fmt_size_dec, 999), "999 B"},
        {text(fmt_size_dec, 1000), "1.0 KB"},
        {text(fmt_size_dec, 999999), "1000.0 KB"},
        {text(fmt_size_dec, 4000787030016ULL), "4.0 TB"},
        {text(fmt_size_dec, 1000000000000000000ULL), "1000.0 PB"},
        {text(fmt_size_dec, std::numeric_limits<std::uint64_t>::max()), "18446.7 PB"},
        {text(fmt_thousands, 0), "0"},
        {text(fmt_thousands, 999), "999"},
        {text(fmt_thousands, -1000), "-1,000"},
        {text(fmt_thousands, 1234567), "1,234,567"},
        {text(fmt_thousands, kMax), "9,223,372,036,854,775,807"},
        {text(fmt_thousands, kMin), "-9,223,372,036,854,775,808"},
        {text(fmt_rate, 0.0), "0.0 MB/s"},
        {text(fmt_rate, 42.25), "42.2 MB/s"},
        {text(fmt_rate, 99.96), "100.0 MB/s"},
        {text(fmt_rate, 150.4), "150 MB/s"},
        {text(fmt_rate, 1023.9), "1024 MB/s"},
        {text(fmt_rate, 2048.0), "2.00 GB/s"},
        {text(fmt_rate, -3.0), "-3.0 MB/s"},
        {text(fmt_rate, kNaN), "nan MB/s"},
        {text(fmt_rate, kInf), "inf GB/s"},
        {text(fmt_duration, -5), "0 s"},
        {text(fmt_duration, kMin), "0 s"},
        {text(fmt_duration, 59), "59 s"},
        {text(fmt_duration, 65), "1 min 05 s"},
        {text(fmt_duration, 3599), "59 min 59 s"},
        {text(fmt_duration, 3600), "1 h 00 min"},
        {text(fmt_duration, 90061), "25 h 01 min"},
        {text(fmt_duration, kMax), "2562047788015215 h 30 min"},
        // Cut to the buffer, terminator included; a size of 0 writes nothing.
        {text(fmt_thousands, 1234567), "1,2", 4},
        {text(fmt_size_dec, 4000787030016ULL), "4.", 3},
        {text(fmt_rate, 42.25), "", 1},
        {text(fmt_duration, 65), "1 mi", 5},
        {text(fmt_duration, 65), "untouched", 0},
        {text(fmt_thousands, kMin), "untouched", 0},
    };
    int row = 0;
    for (const auto& c : cases) EXPECT_EQ(c.format(c.size), c.text) << "row " << row++;
}

}  // namespace
