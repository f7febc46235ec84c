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
#include <vector>

#include "surface_ui/surface_map.h"
#include "tests/support/fake_clock.h"
#include "tests/support/pseudo_terminal.h"

namespace {

struct Cell {
    int x, y;
    const char* glyph;
    int fg, bg, bold;
};

const ScreenCell& at(int x, int y) {
    return g_cells[y * g_cols + x];
}

bool is_blank(const ScreenCell& c) {
    return std::string(c.glyph) == " " && c.fg == -1 && c.bg == -1 && c.bold == 0;
}

int drawn_cells() {
    int n = 0;
    for (int i = 0; i < g_cols * g_rows; ++i) n += is_blank(g_cells[i]) ? 0 : 1;
    return n;
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
constexpr int kFrame = 239;
constexpr int kLabel = 245;

TEST_F(ScreenGrid, EachPrimitiveDrawsExactlyItsCells) {
    const std::string thirty(30, 'v');
    const struct {
        const char* name;
        std::function<int()> draw;
        int result;
        std::vector<Cell> cells;
    } cases[] = {
        {"put",
         [] {
             scr_put(3, 2, "x", 1, 2, 1);
             return 0;
         },
         0,
         {{3, 2, "x", 1, 2, 1}}},
        {"put right of the grid",
         [] {
             scr_put(20, 0, "x", 1, 2, 1);
             return 0;
         },
         0,
         {}},
        {"put above the grid",
         [] {
             scr_put(0, -1, "x", 1, 2, 1);
             return 0;
         },
         0,
         {}},
        {"put keeps one code point",
         [] {
             scr_put(0, 0, "é!", 3, -1, 0);
             return 0;
         },
         0,
         {{0, 0, "é", 3, -1, 0}}},
        {"put of an escape byte",
         [] {
             scr_put(0, 0, "\x1b[2J", 3, -1, 0);
             return 0;
         },
         0,
         {{0, 0, "?", 3, -1, 0}}},
        {"put of a C1 control",
         [] {
             scr_put(0, 0, "\xc2\x9b", 3, -1, 0);
             return 0;
         },
         0,
         {{0, 0, "?", 3, -1, 0}}},
        {"fill clipped at the top left",
         [] {
             scr_fill(-2, -1, 4, 3, 5);
             return 0;
         },
         0,
         {{0, 0, " ", -1, 5, 0},
          {1, 0, " ", -1, 5, 0},
          {0, 1, " ", -1, 5, 0},
          {1, 1, " ", -1, 5, 0}}},
        {"fill of no width",
         [] {
             scr_fill(0, 0, 0, 3, 5);
             return 0;
         },
         0,
         {}},
        {"fill of negative height",
         [] {
             scr_fill(0, 0, 3, -3, 5);
             return 0;
         },
         0,
         {}},
        {"text cut to maxw in code points",
         [] { return scr_text(1, 1, 3, "h\xc3\xa9llo", 7, 8, 1); },
         3,
         {{1, 1, "h", 7, 8, 1}, {2, 1, "é", 7, 8, 1}, {3, 1, "l", 7, 8, 1}}},
        {"text clipped by the grid's edge counts its cells",
         [] { return scr_text(18, 0, 10, "abcd", 1, -1, 0); },
         4,
         {{18, 0, "a", 1, -1, 0}, {19, 0, "b", 1, -1, 0}}},
        {"text with an escape sequence",
         [] { return scr_text(0, 0, 9, "a\x1b[2Jb", 1, -1, 0); },
         6,
         {{0, 0, "a", 1, -1, 0},
          {1, 0, "?", 1, -1, 0},
          {2, 0, "[", 1, -1, 0},
          {3, 0, "2", 1, -1, 0},
          {4, 0, "J", 1, -1, 0},
          {5, 0, "b", 1, -1, 0}}},
        {"text ending inside a sequence",
         [] { return scr_text(0, 0, 9, "ab\xe2\x94", 1, -1, 0); },
         3,
         {{0, 0, "a", 1, -1, 0}, {1, 0, "b", 1, -1, 0}, {2, 0, "?", 1, -1, 0}}},
        {"text with maxw 0", [] { return scr_text(0, 0, 0, "abc", 1, -1, 0); }, 0, {}},
        {"printf",
         [] { return scr_printf(0, 5, 20, 4, -1, 0, "%d%%", 42); },
         3,
         {{0, 5, "4", 4, -1, 0}, {1, 5, "2", 4, -1, 0}, {2, 5, "%", 4, -1, 0}}},
        {"label and a short value at the right",
         [] {
             scr_label_value(0, 0, 20, "Size", "4 TB", 9);
             return 0;
         },
         0,
         {{0, 0, "S", kLabel, -1, 0},
          {1, 0, "i", kLabel, -1, 0},
          {2, 0, "z", kLabel, -1, 0},
          {3, 0, "e", kLabel, -1, 0},
          {16, 0, "4", 9, -1, 1},
          {17, 0, " ", 9, -1, 1},
          {18, 0, "T", 9, -1, 1},
          {19, 0, "B", 9, -1, 1}}},
        {"label and a long value cut after one blank",
         [&] {
             scr_label_value(0, 1, 20, "Model", thirty.c_str(), 9);
             return 0;
         },
         0,
         {{0, 1, "M", kLabel, -1, 0},
          {1, 1, "o", kLabel, -1, 0},
          {2, 1, "d", kLabel, -1, 0},
          {3, 1, "e", kLabel, -1, 0},
          {4, 1, "l", kLabel, -1, 0},
          {6, 1, "v", 9, -1, 1},
          {7, 1, "v", 9, -1, 1},
          {8, 1, "v", 9, -1, 1},
          {9, 1, "v", 9, -1, 1},
          {10, 1, "v", 9, -1, 1},
          {11, 1, "v", 9, -1, 1},
          {12, 1, "v", 9, -1, 1},
          {13, 1, "v", 9, -1, 1},
          {14, 1, "v", 9, -1, 1},
          {15, 1, "v", 9, -1, 1},
          {16, 1, "v", 9, -1, 1},
          {17, 1, "v", 9, -1, 1},
          {18, 1, "v", 9, -1, 1},
          {19, 1, "v", 9, -1, 1}}},
        {"label with no room for the value",
         [] {
             scr_label_value(0, 0, 3, "Size", "4 TB", 9);
             return 0;
         },
         0,
         {{0, 0, "S", kLabel, -1, 0}, {1, 0, "i", kLabel, -1, 0}, {2, 0, "z", kLabel, -1, 0}}},
        {"wrap at a blank",
         [] { return scr_wrap(0, 0, 7, 5, "abc def ghi", 1); },
         2,
         {{0, 0, "a", 1, -1, 0},
          {1, 0, "b", 1, -1, 0},
          {2, 0, "c", 1, -1, 0},
          {3, 0, " ", 1, -1, 0},
          {4, 0, "d", 1, -1, 0},
          {5, 0, "e", 1, -1, 0},
          {6, 0, "f", 1, -1, 0},
          {0, 1, "g", 1, -1, 0},
          {1, 1, "h", 1, -1, 0},
          {2, 1, "i", 1, -1, 0}}},
        {"wrap of one long word is cut hard",
         [] { return scr_wrap(0, 0, 3, 5, "abcdefgh", 1); },
         3,
         {{0, 0, "a", 1, -1, 0},
          {1, 0, "b", 1, -1, 0},
          {2, 0, "c", 1, -1, 0},
          {0, 1, "d", 1, -1, 0},
          {1, 1, "e", 1, -1, 0},
          {2, 1, "f", 1, -1, 0},
          {0, 2, "g", 1, -1, 0},
          {1, 2, "h", 1, -1, 0}}},
        {"wrap stops at max lines",
         [] { return scr_wrap(0, 0, 3, 1, "abc def", 1); },
         1,
         {{0, 0, "a", 1, -1, 0}, {1, 0, "b", 1, -1, 0}, {2, 0, "c", 1, -1, 0}}},
        {"wrap draws one line even for max lines 0",
         [] { return scr_wrap(0, 0, 3, 0, "ab", 1); },
         1,
         {{0, 0, "a", 1, -1, 0}, {1, 0, "b", 1, -1, 0}}},
        {"wrap at width 0 draws nothing", [] { return scr_wrap(0, 0, 0, 5, "abc", 1); }, 0, {}},
        {"wrap at a negative width draws nothing",
         [] { return scr_wrap(0, 0, -4, 5, "a", 1); },
         0,
         {}},
        {"box with a title",
         [] {
             scr_box(0, 0, 9, 3, "Disks");
             return 0;
         },
         0,
         {{0, 0, "╭", kFrame, -1, 0}, {1, 0, " ", -1, -1, 0},     {2, 0, "D", kLabel, -1, 1},
          {3, 0, "i", kLabel, -1, 1}, {4, 0, "s", kLabel, -1, 1}, {5, 0, "k", kLabel, -1, 1},
          {6, 0, " ", -1, -1, 0},     {7, 0, "─", kFrame, -1, 0}, {8, 0, "╮", kFrame, -1, 0},
          {0, 1, "│", kFrame, -1, 0}, {8, 1, "│", kFrame, -1, 0}, {0, 2, "╰", kFrame, -1, 0},
          {1, 2, "─", kFrame, -1, 0}, {2, 2, "─", kFrame, -1, 0}, {3, 2, "─", kFrame, -1, 0},
          {4, 2, "─", kFrame, -1, 0}, {5, 2, "─", kFrame, -1, 0}, {6, 2, "─", kFrame, -1, 0},
          {7, 2, "─", kFrame, -1, 0}, {8, 2, "╯", kFrame, -1, 0}}},
        {"box of 2 x 2 is its corners",
         [] {
             scr_box(18, 4, 2, 2, "Title");
             return 0;
         },
         0,
         {{18, 4, "╭", kFrame, -1, 0},
          {19, 4, "╮", kFrame, -1, 0},
          {18, 5, "╰", kFrame, -1, 0},
          {19, 5, "╯", kFrame, -1, 0}}},
        {"box of no width",
         [] {
             scr_box(0, 0, 0, 4, "x");
             return 0;
         },
         0,
         {}},
        {"sparkline right-aligned with a gap",
         [] {
             const float s[] = {0, -1000, 7};
             scr_sparkline(0, 3, 10, s, 3, 7, 0, 7);
             return 0;
         },
         0,
         {{7, 3, "▁", 7, -1, 0}, {9, 3, "█", 7, -1, 0}}},
        {"sparkline of the last w samples",
         [] {
             const float s[] = {7, 7, 0, 3.5f};
             scr_sparkline(0, 3, 2, s, 4, 7, 0, 7);
             return 0;
         },
         0,
         {{0, 3, "▁", 7, -1, 0}, {1, 3, "▄", 7, -1, 0}}},
        {"sparkline with lo equal to hi",
         [] {
             const float s[] = {5, 9};
             scr_sparkline(0, 3, 2, s, 2, 7, 4, 4);
             return 0;
         },
         0,
         {{0, 3, "▁", 7, -1, 0}, {1, 3, "▁", 7, -1, 0}}},
        {"sparkline of numbers that are none",
         [] {
             const float s[] = {std::numeric_limits<float>::quiet_NaN(),
                                std::numeric_limits<float>::infinity()};
             scr_sparkline(0, 3, 2, s, 2, 7, 0, 1);
             return 0;
         },
         0,
         {{0, 3, "▁", 7, -1, 0}, {1, 3, "█", 7, -1, 0}}},
    };
    for (const auto& c : cases) {
        scr_clear();
        EXPECT_EQ(c.draw(), c.result) << c.name;
        for (const Cell& e : c.cells) {
            const ScreenCell& got = at(e.x, e.y);
            EXPECT_STREQ(got.glyph, e.glyph) << c.name << " at " << e.x << "," << e.y;
            EXPECT_EQ(got.fg, e.fg) << c.name << " at " << e.x << "," << e.y;
            EXPECT_EQ(got.bg, e.bg) << c.name << " at " << e.x << "," << e.y;
            EXPECT_EQ(got.bold, e.bold) << c.name << " at " << e.x << "," << e.y;
        }
        int expected_drawn = 0;
        for (const Cell& e : c.cells) expected_drawn += is_blank(at(e.x, e.y)) ? 0 : 1;
        EXPECT_EQ(drawn_cells(), expected_drawn) << c.name << ": cells drawn outside the list";
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
            scr_fill(0, 0, v, v, 2);
            scr_text(v, 0, INT_MAX, huge.c_str(), 1, -1, 0);
            scr_text(0, v, v, "abc", 1, -1, 0);
            scr_label_value(v, 0, v, "label", huge.c_str(), 1);
            scr_label_value(0, 0, INT_MAX, huge.c_str(), "v", 1);
            scr_wrap(v, v, v, v, huge.c_str(), 1);
            scr_wrap(0, INT_MAX, 7, INT_MAX, "a b c d e f g h", 1);
            scr_box(v, v, INT_MAX, INT_MAX, "title");
            scr_box(INT_MAX, INT_MAX, v, v, "title");
            scr_sparkline(v, v, INT_MAX, samples, 3, 1, 0, 3);
            scr_sparkline(0, 0, v, samples, v < 0 ? v : 3, 1, 3, 0);
        }
    }
    EXPECT_EQ(scr_resize(1 << 30, 1 << 30), 0);
    EXPECT_EQ(g_cols, kScrMaxCols);
    EXPECT_EQ(g_rows, kScrMaxRows);
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
