// The cell grid and its drawing primitives (compared cell by cell), the flush
// captured as the terminal would receive it, and the toast.
#include "surface_ui/screen.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "surface_ui/surface_map.h"
#include "tests/support/fake_clock.h"
#include "tests/support/pseudo_terminal.h"

namespace {

// Cells drawn in a row from (x, y), one per code point of glyphs, all with the
// same colours.
struct CellRun {
    int x, y;
    const char* glyphs;
    int fg, bg, bold;
};

const ScreenCell& at(int x, int y) {
    return g_cells[y * g_cols + x];
}

bool is_blank(const ScreenCell& c) {
    return std::string(c.glyph) == " " && c.fg == -1 && c.bg == -1 && c.bold == 0;
}

// Checks the runs and that every other cell is still blank.
void expect_cells(const std::vector<CellRun>& runs, const std::string& name) {
    std::vector<bool> listed(static_cast<std::size_t>(g_cols * g_rows));
    for (const CellRun& r : runs) {
        int x = r.x;
        for (const char* p = r.glyphs; *p; ++x) {
            std::string glyph(1, *p++);
            while ((*p & 0xC0) == 0x80) glyph += *p++;
            const ScreenCell& got = at(x, r.y);
            listed[r.y * g_cols + x] = true;
            EXPECT_EQ(got.glyph, glyph) << name << " at " << x << "," << r.y;
            EXPECT_EQ(std::make_tuple(got.fg, got.bg, got.bold),
                      std::make_tuple(r.fg, r.bg, r.bold))
                << name << " at " << x << "," << r.y;
        }
    }
    for (int i = 0; i < g_cols * g_rows; ++i)
        EXPECT_TRUE(listed[i] || is_blank(g_cells[i]))
            << name << ": drawn at " << i % g_cols << "," << i / g_cols;
}

class ScreenGrid : public ::testing::Test {
   protected:
    void SetUp() override {
        g_theme = &kTheme256;
        scr_resize(20, 6);
        scr_clear();
    }
    void TearDown() override { g_theme = &kTheme256; }
};

// Frame colour and label colour of the 256-colour theme.
constexpr int F = 239;
constexpr int L = 245;

TEST_F(ScreenGrid, EachPrimitiveDrawsExactlyItsCells) {
    const std::string thirty(30, 'v');
    const float gap[] = {0, -1000, 7}, last[] = {7, 7, 0, 3.5f}, flat[] = {5, 9};
    const float none[] = {std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity()};
    const struct {
        const char* name;
        std::function<int()> draw;
        int result;
        std::vector<CellRun> runs;
    } cases[] = {
        {"put", [] { return scr_put(3, 2, "x", 1, 2, 1), 0; }, 0, {{3, 2, "x", 1, 2, 1}}},
        {"put outside",
         [] { return scr_put(20, 0, "x", 1, 2, 1), scr_put(0, -1, "x", 1, 2, 1), 0; },
         0,
         {}},
        {"put keeps one code point",
         [] { return scr_put(0, 0, "é!", 3, -1, 0), 0; },
         0,
         {{0, 0, "é", 3, -1, 0}}},
        {"put of an escape byte",
         [] { return scr_put(0, 0, "\x1b[2J", 3, -1, 0), 0; },
         0,
         {{0, 0, "?", 3, -1, 0}}},
        {"fill clipped",
         [] { return scr_fill(-2, -1, 4, 3, 5), 0; },
         0,
         {{0, 0, "  ", -1, 5, 0}, {0, 1, "  ", -1, 5, 0}}},
        {"fill of no size",
         [] { return scr_fill(0, 0, 0, 3, 5), scr_fill(0, 0, 3, -3, 5), 0; },
         0,
         {}},
        {"text cut in code points",
         [] { return scr_text(1, 1, 3, "h\xc3\xa9llo", 7, 8, 1); },
         3,
         {{1, 1, "hél", 7, 8, 1}}},
        {"text clipped counts its cells",
         [] { return scr_text(18, 0, 10, "abcd", 1, -1, 0); },
         4,
         {{18, 0, "ab", 1, -1, 0}}},
        {"text with an escape",
         [] { return scr_text(0, 0, 9, "a\x1b[2Jb", 1, -1, 0); },
         6,
         {{0, 0, "a?[2Jb", 1, -1, 0}}},
        {"text ending inside a sequence",
         [] { return scr_text(0, 0, 9, "ab\xe2\x94", 1, -1, 0); },
         4,
         {{0, 0, "ab??", 1, -1, 0}}},
        {"printf",
         [] { return scr_printf(0, 5, 20, 4, -1, 0, "%d%%", 42); },
         3,
         {{0, 5, "42%", 4, -1, 0}}},
        {"label and value",
         [] { return scr_label_value(0, 0, 20, "Size", "4 TB", 9), 0; },
         0,
         {{0, 0, "Size", L, -1, 0}, {16, 0, "4 TB", 9, -1, 1}}},
        {"label and a long value",
         [&] { return scr_label_value(0, 1, 20, "Model", thirty.c_str(), 9), 0; },
         0,
         {{0, 1, "Model", L, -1, 0}, {6, 1, "vvvvvvvvvvvvvv", 9, -1, 1}}},
        {"label and a stray continuation byte",
         [] { return scr_label_value(5, 0, 14, "", "\x88", 9), 0; },
         0,
         {{18, 0, "?", 9, -1, 1}}},
        {"label and broken UTF-8 of a bridge chip",
         [] {
             return scr_label_value(0, 0, 15, "Model", "\x80\x80\x80\x41\x62\xe6\x86\x5a", 9), 0;
         },
         0,
         {{0, 0, "Model", L, -1, 0}, {7, 0, "???Ab??Z", 9, -1, 1}}},
        {"label without room",
         [] { return scr_label_value(0, 0, 3, "Size", "4 TB", 9), 0; },
         0,
         {{0, 0, "Siz", L, -1, 0}}},
        {"wrap at a blank",
         [] { return scr_wrap(0, 0, 7, 5, "abc def ghi", 1); },
         2,
         {{0, 0, "abc def", 1, -1, 0}, {0, 1, "ghi", 1, -1, 0}}},
        {"wrap cuts a long word",
         [] { return scr_wrap(0, 0, 3, 5, "abcdefgh", 1); },
         3,
         {{0, 0, "abc", 1, -1, 0}, {0, 1, "def", 1, -1, 0}, {0, 2, "gh", 1, -1, 0}}},
        {"wrap counts cells",
         [] { return scr_wrap(0, 0, 3, 5, "ééééé ü", 1); },
         3,
         {{0, 0, "ééé", 1, -1, 0}, {0, 1, "éé", 1, -1, 0}, {0, 2, "ü", 1, -1, 0}}},
        {"wrap stops at max lines",
         [] { return scr_wrap(0, 0, 3, 1, "abc def", 1); },
         1,
         {{0, 0, "abc", 1, -1, 0}}},
        {"wrap makes no line of trailing blanks",
         [] { return scr_wrap(0, 0, 1, 9, "m ", 1); },
         1,
         {{0, 0, "m", 1, -1, 0}}},
        {"wrap gives one line for max 0",
         [] { return scr_wrap(0, 0, 3, 0, "ab", 1); },
         1,
         {{0, 0, "ab", 1, -1, 0}}},
        {"wrap at width 0 or less",
         [] { return scr_wrap(0, 0, 0, 5, "a", 1) + scr_wrap(0, 0, -4, 5, "a", 1); },
         0,
         {}},
        {"box with a title",
         [] { return scr_box(0, 0, 9, 3, "Disks"), 0; },
         0,
         {{0, 0, "╭", F, -1, 0},
          {1, 0, " ", -1, -1, 0},
          {2, 0, "Disk", L, -1, 1},
          {6, 0, " ", -1, -1, 0},
          {7, 0, "─╮", F, -1, 0},
          {0, 1, "│", F, -1, 0},
          {8, 1, "│", F, -1, 0},
          {0, 2, "╰───────╯", F, -1, 0}}},
        {"box of 2 x 2",
         [] { return scr_box(18, 4, 2, 2, "Title"), 0; },
         0,
         {{18, 4, "╭╮", F, -1, 0}, {18, 5, "╰╯", F, -1, 0}}},
        {"sparkline at the right, with a gap",
         [&] { return scr_sparkline(0, 3, 10, gap, 3, 7, 0, 7), 0; },
         0,
         {{7, 3, "▁", 7, -1, 0}, {9, 3, "█", 7, -1, 0}}},
        {"sparkline of the last w",
         [&] { return scr_sparkline(0, 3, 2, last, 4, 7, 0, 7), 0; },
         0,
         {{0, 3, "▁▄", 7, -1, 0}}},
        {"sparkline with lo = hi",
         [&] { return scr_sparkline(0, 3, 2, flat, 2, 7, 4, 4), 0; },
         0,
         {{0, 3, "▁▁", 7, -1, 0}}},
        {"sparkline of NaN and infinity",
         [&] { return scr_sparkline(0, 3, 2, none, 2, 7, 0, 1), 0; },
         0,
         {{0, 3, "▁█", 7, -1, 0}}},
    };
    for (const auto& c : cases) {
        scr_clear();
        EXPECT_EQ(c.draw(), c.result) << c.name;
        expect_cells(c.runs, c.name);
    }
}

TEST_F(ScreenGrid, NoSizeOrPositionBreaksAPrimitive) {
    const std::string huge(1 << 16, 'w');
    const float samples[] = {1, 2, 3};
    for (const auto& size : std::vector<std::pair<int, int>>{{0, 0}, {-5, -5}, {1, 1}, {20, 6}}) {
        scr_resize(size.first, size.second);
        scr_clear();
        for (const int v : {INT_MIN, -1, 0, 1, INT_MAX}) {
            scr_put(v, v, "x", 1, 1, 1);
            scr_fill(v, v, INT_MAX, INT_MAX, 2);
            scr_text(v, v, INT_MAX, huge.c_str(), 1, -1, 0);
            scr_label_value(v, 0, v, huge.c_str(), huge.c_str(), 1);
            scr_wrap(v, v, v, v, huge.c_str(), 1);
            scr_wrap(0, INT_MAX, 7, INT_MAX, "a b c d e f g h", 1);
            scr_box(v, v, INT_MAX, INT_MAX, "title");
            scr_box(INT_MAX, INT_MAX, v, v, "title");
            scr_sparkline(v, v, INT_MAX, samples, 3, 1, 0, 3);
            scr_sparkline(0, 0, v, samples, v < 0 ? v : 3, 1, 3, 0);
        }
    }
    EXPECT_EQ(scr_resize(1 << 30, 1 << 30), 0);
    EXPECT_EQ(std::make_pair(g_cols, g_rows), std::make_pair(kScrMaxCols, kScrMaxRows));
    EXPECT_EQ(scr_resize(-3, 5), 0);
    EXPECT_EQ(g_cols, 0);
}

// Everything one flush writes, and the number of write calls it took: each
// write is one message on a sequenced-packet socket.
struct Flushed {
    std::string bytes;
    int writes = 0;
};

Flushed capture_flush() {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    const int big = 4 << 20;
    ::setsockopt(sv[0], SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big);
    ::setsockopt(sv[1], SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    {
        FdRedirect out(sv[0], STDOUT_FILENO);
        scr_flush();
    }
    Flushed f;
    std::vector<char> buf(big);
    for (;;) {
        const ssize_t n = ::recv(sv[1], buf.data(), buf.size(), MSG_DONTWAIT);
        if (n <= 0) break;
        f.bytes.append(buf.data(), static_cast<std::size_t>(n));
        f.writes++;
    }
    ::close(sv[0]);
    ::close(sv[1]);
    return f;
}

TEST_F(ScreenGrid, FlushWritesTheFrameInOneWriteInEitherPalette) {
    scr_resize(4, 2);
    scr_clear();
    scr_put(0, 0, "a", 7, 8, 1);
    scr_put(1, 0, "b", 7, 8, 1);
    scr_put(2, 0, "─", 15, -1, 0);
    scr_put(0, 1, "c", 8, 15, 0);
    const struct {
        const char* name;
        const Theme* theme;
        std::string frame;
    } cases[] = {
        {"16 colours", &kTheme16,
         "\x1b[H\x1b[1;1H\x1b[0;1;37;100mab\x1b[0;97m─\x1b[0m \x1b[2;1H\x1b[0;90;107mc\x1b[0m   "
         "\x1b[0m"},
        {"256 colours", &kTheme256,
         "\x1b[H\x1b[1;1H\x1b[0;1;38;5;7;48;5;8mab\x1b[0;38;5;15m─\x1b[0m "
         "\x1b[2;1H\x1b[0;38;5;8;48;5;15mc\x1b[0m   \x1b[0m"},
    };
    for (const auto& c : cases) {
        g_theme = c.theme;
        const Flushed f = capture_flush();
        EXPECT_EQ(f.bytes, c.frame) << c.name;
        EXPECT_EQ(f.writes, 1) << c.name;
    }
}

TEST_F(ScreenGrid, FlushOfAnEmptyGridAndOfCellsNeverDrawn) {
    scr_resize(0, 0);
    EXPECT_EQ(capture_flush().bytes, "\x1b[H\x1b[0m");
    scr_resize(3, 1);  // zero-filled, not cleared
    EXPECT_EQ(capture_flush().bytes, "\x1b[H\x1b[1;1H\x1b[0;38;5;0;48;5;0m   \x1b[0m");
}

TEST_F(ScreenGrid, LargeFrameIsStillOneWrite) {
    scr_resize(200, 60);
    scr_clear();
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 200; ++x)
            scr_put(x, y, "▀", (x * 7 + y) % 256, (x + y * 3) % 256, x & 1);
    const Flushed f = capture_flush();
    EXPECT_EQ(f.writes, 1);
    EXPECT_GT(f.bytes.size(), 200u * 60u * 3u);
}

// A grid larger than the terminal would wrap and scroll: only what the
// terminal shows is written.
TEST_F(ScreenGrid, FlushIsCutToTheTerminalSize) {
    PseudoTerminal pty(10, 3);
    pty.make_raw();
    scr_resize(20, 6);
    scr_clear();
    for (int y = 0; y < 6; ++y) scr_text(0, y, 20, "0123456789ABCDEFGHIJ", 1, -1, 0);
    {
        FdRedirect out(pty.slave(), STDOUT_FILENO);
        scr_flush();
    }
    const std::string out = pty.drain();
    EXPECT_EQ(out,
              "\x1b[H\x1b[1;1H\x1b[0;38;5;1m0123456789\x1b[2;1H\x1b[0;38;5;1m0123456789"
              "\x1b[3;1H\x1b[0;38;5;1m0123456789\x1b[0m");
}

TEST(ScreenText, CleaningLeavesNoControlCharacter) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"WDC WD40EFRX", "WDC WD40EFRX"},
        {"a\x1b[31mb", "a?[31mb"},
        {"tab\there\r\n", "tab?here??"},
        {"del\x7f", "del?"},
        {"csi \xc2\x9b"
         "2J",
         "csi ??2J"},
        {"caf\xc3\xa9 \xe2\x97\x86", "caf\xc3\xa9 \xe2\x97\x86"},
        {"lone \xff byte", "lone ? byte"},
        {"cut \xe2\x94", "cut ??"},
        {"overlong \xc0\xaf", "overlong ??"},
        {"surrogate \xed\xa0\x80", "surrogate ???"},
        {"", ""},
    };
    for (const auto& c : cases) {
        std::string text = c.in;
        ui_clean_text(text.data());
        EXPECT_EQ(text, c.out) << c.in;
    }
    EXPECT_EQ(ui_text_cells("h\xc3\xa9llo \xe2\x97\x86"), 7);
}

TEST(ScreenToast, ShowsForFourSecondsCutAndCleaned) {
    FakeClock clock;
    EXPECT_EQ(ui_toast_text(), nullptr);
    ui_flash("Starting the %s test.", "quick");
    ASSERT_NE(ui_toast_text(), nullptr);
    EXPECT_STREQ(ui_toast_text(), "Starting the quick test.");
    clock.advance_ms(3999);
    EXPECT_NE(ui_toast_text(), nullptr);
    clock.advance_ms(1);
    EXPECT_EQ(ui_toast_text(), nullptr);

    ui_flash("%s", std::string(300, 'x').c_str());
    EXPECT_EQ(std::string(ui_toast_text()), std::string(199, 'x'));
    ui_flash("serial %s", "A\x1b]0;owned\x07");
    EXPECT_STREQ(ui_toast_text(), "serial A?]0;owned?");
}

}  // namespace
