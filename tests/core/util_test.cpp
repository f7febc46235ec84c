#include "core/util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/strbuf.h"
#include "tests/support/fake_nas.h"
#include "tests/support/temp_dir.h"

namespace {

std::size_t open_fd_count() {
    return dir_names("/proc/self/fd").size();
}

TEST(NameIsSafe, AcceptsOnlyPlainFileNameWords) {
    const std::string sixty_four(64, 'A');
    struct Case {
        std::string text;
        int want;
    } cases[] = {
        {sixty_four, 1},    {sixty_four + "B", 0},
        {".hidden", 0},     {"", 0},
        {"a/b", 0},         {"a b", 0},
        {"..", 0},          {"WD-WCC4N1234567_x.9", 1},
        {"caf\xC3\xA9", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(name_is_safe(c.text.c_str(), 64), c.want) << c.text;
    EXPECT_EQ(name_is_safe(nullptr, 64), 0);
}

TEST(TextUtils, CopyTrimAndCase) {
    char field[4];
    str_copy(field, sizeof field, "abcdef");
    EXPECT_STREQ(field, "abc");
    str_copy(field, sizeof field, nullptr);
    EXPECT_STREQ(field, "");
    field[0] = 'x';
    str_copy(field, 0, "abc");
    EXPECT_EQ(field[0], 'x');

    char t[] = " \t lead and trail \n ";
    str_trim(t);
    EXPECT_STREQ(t, "lead and trail");
    char blank[] = " \n\t ";
    str_trim(blank);
    EXPECT_STREQ(blank, "");

    char u[] = "wd-Wcc\xC3\xA9";
    str_upper(u);
    EXPECT_STREQ(u, "WD-WCC\xC3\xA9");
    str_lower(u);
    EXPECT_STREQ(u, "wd-wcc\xC3\xA9");
}

TEST(TextUtils, HexDigitsAreTheAsciiOnesOnly) {
    std::string hex;
    for (int c = 0; c < 256; ++c)
        if (char_is_hex(c)) hex += static_cast<char>(c);
    EXPECT_EQ(hex, "0123456789ABCDEFabcdef");
}

TEST(TextUtils, LinesOfAText) {
    const struct {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"\n", {""}},
        {"a", {"a"}},
        {"a\n", {"a"}},
        {"a\n\nb", {"a", "", "b"}},
        {"a\r\nb\n\n", {"a\r", "b", ""}},
        {std::string("x\0y\nz", 5), {std::string("x\0y", 3), "z"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> got;
        std::uint64_t pos = 0;
        std::size_t n = 0;
        while (const char* line = text_next_line(c.text.data(), c.text.size(), &pos, &n))
            got.emplace_back(line, n);
        EXPECT_EQ(got, c.lines) << c.text;
        EXPECT_EQ(pos, c.text.size());
    }
}

TEST(FileReadAll, ReadsWholeFilesWithinTheLimit) {
    TempDir dir;
    const std::string empty = dir.path() + "/empty";
    write_file(empty, "");
    StrBuf sb;
    EXPECT_EQ(file_read_all(empty.c_str(), &sb, 10), 0);
    ASSERT_NE(sb.data, nullptr);
    EXPECT_STREQ(sb.data, "");

    const std::string big = dir.path() + "/big";
    write_file(big, std::string(20000, 'b'));
    StrBuf whole;
    EXPECT_EQ(file_read_all(big.c_str(), &whole, 20000), 20000);
    EXPECT_EQ(whole.len, 20000u);

    StrBuf over;
    EXPECT_EQ(file_read_all(big.c_str(), &over, 19999), -1);
    EXPECT_EQ(over.len, 16384u) << "chunks before the one that crossed the limit stay";
}

TEST(FileReadAll, ClosesItsDescriptorOnEveryPath) {
    TempDir dir;
    const std::string big = dir.path() + "/big";
    write_file(big, std::string(9000, 'b'));
    const std::size_t before = open_fd_count();
    for (int i = 0; i < 50; ++i) {
        StrBuf sb;
        EXPECT_EQ(file_read_all(big.c_str(), &sb, 100), -1);         // over the limit
        EXPECT_EQ(file_read_all(dir.path().c_str(), &sb, 100), -1);  // read error (a folder)
        EXPECT_EQ(file_read_all((dir.path() + "/none").c_str(), &sb, 100), -1);
        EXPECT_EQ(file_read_all(big.c_str(), &sb, 100000), 9000);
    }
    EXPECT_EQ(open_fd_count(), before);
}

TEST(FileReadLine, FirstLineTrimmed) {
    TempDir dir;
    const std::string f = dir.path() + "/line";
    write_file(f, "  WDC WD40EFRX  \nsecond\n");
    char field[64];
    file_read_line(f.c_str(), field, sizeof field);
    EXPECT_STREQ(field, "WDC WD40EFRX");
    char small[5];
    file_read_line(f.c_str(), small, sizeof small);
    EXPECT_STREQ(small, "WD") << "at most size - 1 bytes are read before trimming";
    file_read_line((dir.path() + "/none").c_str(), field, sizeof field);
    EXPECT_STREQ(field, "");
}

TEST(MonoMs, NeverGoesBackwards) {
    const double a = mono_ms();
    ::usleep(2000);
    const double b = mono_ms();
    EXPECT_GE(b - a, 1.0);
}

}  // namespace
