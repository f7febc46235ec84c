// The number and duration texts, input by input, the 64-bit extremes and
// buffers too small for the text included.
#include "surface_ui/fmt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(Fmt, SizesInDecimalUnits) {
    const struct {
        std::uint64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 B"},
        {512, "512 B"},
        {999, "999 B"},
        {1000, "1.0 KB"},
        {999999, "1000.0 KB"},
        {1500000, "1.5 MB"},
        {4000787030016ULL, "4.0 TB"},
        {1000000000000000ULL, "1.0 PB"},
        {1000000000000000000ULL, "1000.0 PB"},
        {std::numeric_limits<std::uint64_t>::max(), "18446.7 PB"},
    };
    for (const auto& c : cases) {
        char buf[32];
        fmt_size_dec(c.bytes, buf, sizeof buf);
        EXPECT_STREQ(buf, c.text) << c.bytes;
    }
}

TEST(Fmt, ThousandsSeparators) {
    const struct {
        std::int64_t value;
        const char* text;
    } cases[] = {
        {0, "0"},
        {999, "999"},
        {1000, "1,000"},
        {-1000, "-1,000"},
        {-1, "-1"},
        {123456, "123,456"},
        {1234567, "1,234,567"},
        {-9223372036854775807LL, "-9,223,372,036,854,775,807"},
        {kMax, "9,223,372,036,854,775,807"},
        {kMin, "-9,223,372,036,854,775,808"},
    };
    for (const auto& c : cases) {
        char buf[32];
        fmt_thousands(c.value, buf, sizeof buf);
        EXPECT_STREQ(buf, c.text) << c.value;
    }
}

TEST(Fmt, Rates) {
    const struct {
        double rate;
        const char* text;
    } cases[] = {
        {0, "0.0 MB/s"},
        {42.25, "42.2 MB/s"},
        {99.96, "100.0 MB/s"},
        {150.4, "150 MB/s"},
        {1023.9, "1024 MB/s"},
        {2048, "2.00 GB/s"},
        {-3, "-3.0 MB/s"},
        {std::numeric_limits<double>::quiet_NaN(), "nan MB/s"},
        {std::numeric_limits<double>::infinity(), "inf GB/s"},
    };
    for (const auto& c : cases) {
        char buf[32];
        fmt_rate(c.rate, buf, sizeof buf);
        EXPECT_STREQ(buf, c.text) << c.rate;
    }
}

TEST(Fmt, Durations) {
    const struct {
        std::int64_t seconds;
        const char* text;
    } cases[] = {
        {-5, "0 s"},
        {kMin, "0 s"},
        {0, "0 s"},
        {59, "59 s"},
        {60, "1 min 00 s"},
        {65, "1 min 05 s"},
        {3599, "59 min 59 s"},
        {3600, "1 h 00 min"},
        {90061, "25 h 01 min"},
        {kMax, "2562047788015215 h 30 min"},
    };
    for (const auto& c : cases) {
        char buf[40];
        fmt_duration(c.seconds, buf, sizeof buf);
        EXPECT_STREQ(buf, c.text) << c.seconds;
    }
}

TEST(Fmt, TextsAreCutToTheBuffer) {
    char buf[8] = "xxxxxxx";
    fmt_thousands(1234567, buf, 4);
    EXPECT_STREQ(buf, "1,2");
    fmt_size_dec(4000787030016ULL, buf, 3);
    EXPECT_STREQ(buf, "4.");
    fmt_rate(42.25, buf, 1);
    EXPECT_STREQ(buf, "");
    fmt_duration(65, buf, 5);
    EXPECT_STREQ(buf, "1 mi");
    buf[0] = 'k';
    fmt_duration(65, buf, 0);
    fmt_thousands(kMin, buf, 0);
    EXPECT_EQ(buf[0], 'k');
}

}  // namespace
