#include "core/strbuf.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string text_of(const StrBuf& sb) {
    return std::string(sb.c_str(), sb.len);
}

TEST(StrBuf, GrowsByTheDoublingRule) {
    StrBuf a;
    ASSERT_EQ(sb_append(&a, "x", 1), 0);
    EXPECT_EQ(a.cap, 512u);

    StrBuf b;
    const std::string six_hundred(600, 'y');
    ASSERT_EQ(sb_append(&b, six_hundred.data(), six_hundred.size()), 0);
    EXPECT_EQ(b.cap, 1024u);

    StrBuf c;
    const std::string full(511, 'z');
    ASSERT_EQ(sb_append(&c, full.data(), full.size()), 0);
    EXPECT_EQ(c.cap, 512u);
    ASSERT_EQ(sb_append(&c, "!", 1), 0);
    EXPECT_EQ(c.cap, 1024u);
    EXPECT_EQ(c.len, 512u);
    EXPECT_EQ(c.data[c.len], '\0');
}

TEST(StrBuf, EmptyBufferIsAValidText) {
    StrBuf sb;
    EXPECT_STREQ(sb.c_str(), "");
    ASSERT_EQ(sb_append(&sb, "", 0), 0);
    ASSERT_NE(sb.data, nullptr);
    EXPECT_STREQ(sb.data, "");
    sb_free(&sb);
    EXPECT_EQ(sb.data, nullptr);
    EXPECT_EQ(sb.len, 0u);
    EXPECT_EQ(sb.cap, 0u);
}

TEST(StrBuf, ImpossibleReservationKeepsTheContent) {
    StrBuf sb;
    sb_append_str(&sb, "kept");
    EXPECT_EQ(sb_reserve(&sb, ~0ull - 2), -1);
    EXPECT_EQ(text_of(sb), "kept");
}

TEST(StrBuf, PrintfBothSidesOfTheLocalField) {
    for (size_t n : {511u, 512u, 5000u}) {
        StrBuf sb;
        sb_append_str(&sb, "<");
        const std::string body(n, 'q');
        ASSERT_EQ(sb_printf(&sb, "%s|%d", body.c_str(), 7), 0);
        EXPECT_EQ(text_of(sb), "<" + body + "|7") << n;
        EXPECT_EQ(sb.len, n + 3);
    }
}

TEST(StrBuf, MoveTransfersOwnership) {
    StrBuf a;
    sb_append_str(&a, "hello");
    StrBuf b(std::move(a));
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(text_of(b), "hello");
    StrBuf c;
    sb_append_str(&c, "old");
    c = std::move(b);
    EXPECT_EQ(text_of(c), "hello");
}

TEST(JsonString, EscapesExactlyTheControlBytes) {
    struct Case {
        const char* in;
        const char* want;
    } cases[] = {
        {nullptr, "null"},
        {"", "\"\""},
        {"a\tb\x01\xC3", "\"a\\tb\\u0001\xC3\""},
        {"q\"b\\s/", "\"q\\\"b\\\\s/\""},
        {"\n\r\b\f\x1f\x7f", "\"\\n\\r\\u0008\\u000c\\u001f\x7f\""},
    };
    for (const Case& c : cases) {
        StrBuf sb;
        sb_append_json_str(&sb, c.in);
        EXPECT_EQ(text_of(sb), c.want) << (c.in ? c.in : "(none)");
    }
}

}  // namespace
