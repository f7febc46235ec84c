// The themes, the worst code and look of a group of map cells, the head's
// glide, and whole maps drawn from state files into the grids of three
// terminal sizes.
#include "surface_ui/surface_map.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "surface_ui/screen.h"
#include "surface_ui/view.h"
#include "tests/support/fake_clock.h"
#include "tests/support/probe_state_dir.h"

namespace {

// A view over codes held by the test (never released through the view).
struct MemView {
    explicit MemView(std::string c, const char* status = "running", const char* phase = "verify")
        : codes(std::move(c)) {
        v.present = 1;
        std::strcpy(v.status, status);
        std::strcpy(v.phase, phase);
        v.map.cells = static_cast<std::int64_t>(codes.size());
        v.map.codes = codes.data();
        v.map.codes_len = v.map.cells;
    }
    std::string codes;
    ProbeView v{};
};

TEST(Theme, SixteenColourSlotsStayWithinSixteenColours) {
    EXPECT_EQ(kTheme16.c[0], 0);
    EXPECT_EQ(kTheme256.c[0], 1);
    for (int i = 1; i < kThemeSlots; ++i) {
        EXPECT_GE(kTheme16.c[i], 0) << i;
        EXPECT_LE(kTheme16.c[i], 15) << i;
        EXPECT_LE(kTheme256.c[i], 255) << i;
    }
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(kTheme16.c[23 + i], kTheme16.c[13 + i]) << i;
        EXPECT_EQ(kTheme256.c[23 + i], kTheme256.c[13 + i]) << i;
    }
    EXPECT_STREQ(kTheme16.glyph[4], "◆");
    EXPECT_EQ(g_theme, &kTheme256);
}

TEST(MapGroupCode, WorstCodeOfTheRevealedCells) {
    const struct {
        const char* name;
        std::string codes;
        std::int64_t g, k, reveal;
        char code;
    } cases[] = {
        {"fast and slower", ".ca", 3, 0, 3, 'c'},
        {"an error beats the slowest", ".fE", 3, 0, 3, 'E'},
        {"link beats other", "EL", 2, 0, 2, 'L'},
        {"bad beats everything", "aBfLE", 5, 0, 5, 'B'},
        {"second group", "aaBacd", 3, 1, 6, 'd'},
        {"last group is short", "aaaaB", 2, 2, 5, 'B'},
        {"beyond the reveal limit", "BBBB", 2, 1, 2, '.'},
        {"partly revealed", "aBBB", 2, 0, 1, 'a'},
        {"no code counts as not read", "Za?", 3, 0, 3, 'a'},
        {"group past the end", "aaaa", 2, 2, 4, '.'},
        {"negative group", "BBBB", 2, -1, 4, '.'},
        {"group size below 1 reads as 1", "aB", 0, 1, 2, 'B'},
    };
    for (const auto& c : cases) {
        MemView m(c.codes);
        EXPECT_EQ(map_group_code(&m.v, c.g, c.k, c.reveal), c.code) << c.name;
    }
    MemView none("aBc");
    none.v.map.codes = nullptr;
    EXPECT_EQ(map_group_code(&none.v, 1, 1, 3), '.');
    MemView short_codes("aB");  // fewer codes than cells
    short_codes.v.map.cells = 6;
    EXPECT_EQ(map_group_code(&short_codes.v, 2, 1, 6), '.');
}

// The colours of each code, in both themes, as the palette tables give them.
struct CodeLook {
    char code;
    int cell16, letter16, cell256, letter256;
    char letter;
};
constexpr CodeLook kLooks[] = {
    {'.', 8, 7, 236, 242, 0},   {'a', 2, 2, 35, 35, 0},      {'b', 10, 10, 71, 71, 0},
    {'c', 11, 11, 142, 142, 0}, {'d', 3, 3, 178, 178, 0},    {'e', 1, 1, 166, 166, 0},
    {'f', 5, 5, 124, 124, 0},   {'B', 9, 15, 196, 231, 'B'}, {'L', 13, 0, 99, 231, 'L'},
    {'E', 3, 0, 208, 16, 'E'},
};

const CodeLook& look_of(char code) {
    for (const CodeLook& l : kLooks)
        if (l.code == code) return l;
    return kLooks[0];
}

TEST(MapGroupStyle, HeadAndTrail) {
    // 16 groups of one cell: E at 7, B at 8; the head on group 10.
    MemView m("aaaaaaaEBaaaaaaa");
    const struct {
        std::int64_t k;
        int blink;
        int cell, letter_color;
        char letter;
    } cases[] = {
        {10, 0, 51, 16, 0},   {10, 1, 87, 16, 0}, {9, 0, 45, 45, 0}, {8, 0, 196, 231, 'B'},
        {7, 0, 208, 16, 'E'}, {6, 0, 25, 25, 0},  {5, 0, 35, 35, 0}, {11, 0, 35, 35, 0},
    };
    for (const auto& c : cases) {
        int cell = 0, letter_color = 0;
        char letter = 0;
        map_group_style(&m.v, 1, c.k, 16, 10, c.blink, &cell, &letter_color, &letter);
        EXPECT_EQ(cell, c.cell) << c.k << "/" << c.blink;
        EXPECT_EQ(letter_color, c.letter_color) << c.k;
        EXPECT_EQ(letter, c.letter) << c.k;
    }
    MemView plain("aaaaaaaaaaaaaaaa");
    const int trail[] = {45, 39, 33, 25};  // 1 to 4 groups behind the head
    for (int behind = 1; behind <= 4; ++behind) {
        int cell = 0, letter_color = 0;
        char letter = 0;
        map_group_style(&plain.v, 1, 10 - behind, 16, 10, 0, &cell, &letter_color, &letter);
        EXPECT_EQ(cell, trail[behind - 1]) << behind;
    }
}

TEST(MapHeadAnim, GlidesAtTheEnginesPace) {
    FakeClock clock;
    MemView m(std::string(4096, 'a'));
    m.v.started_ts = 1000;
    m.v.map.done = 100;
    HeadAnim anim{};
    map_head_anim_update(&anim, &m.v);  // a new run: snap
    EXPECT_EQ(anim.shown, 100);
    EXPECT_EQ(map_head_anim_shown(&anim, clock.mono_ms()), 100);

    const struct {
        double after_ms;
        std::int64_t done;
        double dur_ms;
    } steps[] = {{1000, 104, 1000}, {200, 110, 300}, {5000, 120, 1600}, {700, 130, 700}};
    for (const auto& s : steps) {
        clock.advance_ms(s.after_ms);
        const double from = map_head_anim_shown(&anim, clock.mono_ms());
        m.v.map.done = s.done;
        map_head_anim_update(&anim, &m.v);
        EXPECT_EQ(anim.dur_ms, s.dur_ms) << s.done;
        EXPECT_EQ(anim.from, from) << s.done;
        EXPECT_DOUBLE_EQ(map_head_anim_shown(&anim, clock.mono_ms() + s.dur_ms / 2),
                         from + (s.done - from) / 2)
            << s.done;
        EXPECT_EQ(map_head_anim_shown(&anim, clock.mono_ms() + s.dur_ms), s.done) << s.done;
    }
    // The same count again changes nothing.
    clock.advance_ms(400);
    const HeadAnim before = anim;
    map_head_anim_update(&anim, &m.v);
    EXPECT_EQ(anim.t0_ms, before.t0_ms);

    const struct {
        const char* name;
        const char* status;
        std::int64_t started_ts;
        std::int64_t done;
    } snaps[] = {
        {"finished", "done", 1000, 4000},
        {"a new run", "running", 2000, 5},
        {"count went back", "running", 2000, 2},
    };
    for (const auto& s : snaps) {
        clock.advance_ms(100);
        std::strcpy(m.v.status, s.status);
        m.v.started_ts = s.started_ts;
        m.v.map.done = s.done;
        map_head_anim_update(&anim, &m.v);
        EXPECT_EQ(map_head_anim_shown(&anim, clock.mono_ms()), s.done) << s.name;
    }
}

TEST(MapLayout, ChoosesTheLargestCharactersThatFit) {
    const struct {
        std::int64_t cells;
        int iw, ih;
        int kind;
        std::int64_t group, units, columns, unit_rows, char_rows;
    } cases[] = {
        {100, 76, 17, 1, 1, 100, 6, 17, 17},     {4096, 76, 17, 3, 2, 2048, 61, 34, 17},
        {2584, 76, 17, 2, 1, 2584, 76, 34, 17},  {4096, 79, 33, 2, 1, 4096, 63, 66, 33},
        {4096, 153, 53, 1, 1, 4096, 78, 53, 53}, {1, 76, 17, 1, 1, 1, 1, 1, 1},
        {4096, 4, 2, 3, 256, 16, 4, 4, 2},       {4096, 3, 17, 0, 0, 0, 0, 0, 0},
        {4096, 76, 1, 0, 0, 0, 0, 0, 0},         {0, 76, 17, 0, 0, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        MapLayout l{};
        map_layout(c.cells, c.iw, c.ih, &l);
        EXPECT_EQ(l.kind, c.kind) << c.cells << " in " << c.iw << "x" << c.ih;
        EXPECT_EQ(l.group, c.group) << c.cells << " in " << c.iw << "x" << c.ih;
        EXPECT_EQ(l.units, c.units) << c.cells << " in " << c.iw << "x" << c.ih;
        EXPECT_EQ(l.columns, c.columns) << c.cells << " in " << c.iw << "x" << c.ih;
        EXPECT_EQ(l.unit_rows, c.unit_rows) << c.cells << " in " << c.iw << "x" << c.ih;
        EXPECT_EQ(l.char_rows, c.char_rows) << c.cells << " in " << c.iw << "x" << c.ih;
    }
}

// ---- whole maps from state files ----

constexpr char kRank[] = ".abcdefELB";

// Cell i's code: every speed grade and every error, spread over the map.
char code_at(std::int64_t i) {
    if (i % 97 == 13) return 'B';
    if (i % 89 == 7) return 'L';
    if (i % 83 == 5) return 'E';
    return "aabacdaef"[i % 9];
}

struct Expected {
    char code;
    int cell, letter_color;
    char letter;
};

// What unit u must show, worked out from the codes alone.
Expected expected_unit(const std::string& codes, std::int64_t g, std::int64_t u,
                       std::int64_t reveal, std::int64_t head, int blink) {
    const auto n = static_cast<std::int64_t>(codes.size());
    char worst = '.';
    for (std::int64_t i = u * g; i < std::min(u * g + g, n); ++i)
        if (i < reveal && std::strchr(kRank, codes[i]) > std::strchr(kRank, worst))
            worst = codes[i];
    const CodeLook& l = look_of(worst);
    const bool is16 = g_theme == &kTheme16;
    Expected e{worst, is16 ? l.cell16 : l.cell256, is16 ? l.letter16 : l.letter256, l.letter};
    const int head_cell[2][2] = {{51, 87}, {14, 6}};
    const int trail[2][4] = {{45, 39, 33, 25}, {6, 6, 4, 4}};
    if (u == head) {
        e.cell = head_cell[is16][blink];
        e.letter_color = is16 ? 0 : 16;
        e.letter = 0;
    } else if (head >= 0 && head - u >= 1 && head - u <= 4 && !l.letter) {
        e.cell = e.letter_color = trail[is16][head - u - 1];
    }
    return e;
}

using S = std::string;
using std::make_tuple;
using Look = std::tuple<S, int, int, int>;  // glyph, fg, bg, bold

// What the character at column col, row row of the map must show.
Look expected_look(const std::string& codes, const MapLayout& l, std::int64_t col, std::int64_t row,
                   std::int64_t done, std::int64_t head, int blink) {
    const Look blank{" ", -1, -1, 0};
    if (col < 0 || col >= l.columns || row < 0 || row >= l.char_rows) return blank;
    if (l.kind == 1) {
        const std::int64_t u = row * l.columns + col;
        if (u >= l.units) return blank;
        const Expected e = expected_unit(codes, 1, u, done, head, blink);
        if (e.letter) return {S(1, e.letter), e.letter_color, e.cell, 1};
        if (e.code == '.' && u != head) return {"·", g_theme->c[3], g_theme->c[12], 0};
        return {" ", e.letter_color, e.cell, 0};
    }
    const std::int64_t upper = 2 * row * l.columns + col, lower = upper + l.columns;
    if (upper >= l.units) return blank;
    return {"▀", expected_unit(codes, l.group, upper, done, head, blink).cell,
            lower < l.units ? expected_unit(codes, l.group, lower, done, head, blink).cell : -1, 0};
}

class MapDraw : public ::testing::Test {
   protected:
    void TearDown() override {
        view_free(&view_);
        g_theme = &kTheme256;
    }
    // A state file of a test mapping n cells, done of them read so far.
    std::string load(std::int64_t n, std::int64_t done, const char* status) {
        std::string codes(static_cast<std::size_t>(n), '.');
        for (std::int64_t i = 0; i < n; ++i) codes[i] = i < done ? code_at(i) : '.';
        std::ostringstream doc;
        doc << R"({"v":1,"serial":"S1","status":")" << status << R"(","phase":"verify","pid":)"
            << ::getpid() << R"(,"started_ts":1799990000,"updated_ts":1800000000,)"
            << R"("map":{"cells":)" << n << R"(,"cell_bytes":1048576,"method":"verify","done":)"
            << done << R"(,"codes":")" << codes << R"("}})";
        dir_.write_state("S1", doc.str());
        EXPECT_EQ(view_load("S1", &view_), 0);
        return codes;
    }

    FakeClock clock_{1800000000};
    ProbeStateDir dir_;
    ProbeView view_{};
};

TEST_F(MapDraw, StateFilesOfEverySizeInThreeTerminalSizes) {
    // The inner area of the map box on the test screen of each terminal size.
    const struct {
        int w, h, iw, ih;
    } screens[] = {{80, 24, 76, 17}, {120, 40, 79, 33}, {200, 60, 153, 53}};
    int kinds_seen[4] = {};
    for (const auto& s : screens) {
        for (const std::int64_t n : {1, 100, 1000, 2584, 4096}) {
            for (const Theme* theme : {&kTheme16, &kTheme256}) {
                g_theme = theme;
                const std::int64_t done = n * 3 / 5;
                const std::string codes = load(n, done, "running");
                HeadAnim anim{};
                map_head_anim_update(&anim, &view_);
                scr_resize(s.w, s.h);
                scr_clear();
                const double now = clock_.mono_ms();
                const MapLayout l = map_draw(&view_, &anim, 2, 2, s.iw, s.ih, now);
                const std::string where = std::to_string(n) + " cells at " + std::to_string(s.w) +
                                          "x" + std::to_string(s.h) +
                                          (theme == &kTheme16 ? " 16" : " 256");
                ASSERT_GT(l.kind, 0) << where;
                kinds_seen[l.kind]++;
                ASSERT_LE(l.columns, s.iw) << where;
                ASSERT_LE(l.char_rows, s.ih) << where;
                ASSERT_GE(l.units * l.group, n) << where;
                const int blink = map_blink_phase(now);
                const std::int64_t head = done < n ? done / l.group : -1;
                const std::int64_t x0 = 2 + (s.iw - l.columns) / 2;
                const std::int64_t y0 = 2 + (s.ih - l.char_rows) / 2;
                for (int y = 0; y < s.h; ++y) {
                    for (int x = 0; x < s.w; ++x) {
                        const ScreenCell& c = g_cells[y * s.w + x];
                        ASSERT_EQ(make_tuple(S(c.glyph), c.fg, c.bg, c.bold),
                                  expected_look(codes, l, x - x0, y - y0, done, head, blink))
                            << where << " at " << x << "," << y;
                    }
                }
            }
        }
    }
    EXPECT_GT(kinds_seen[1], 0);
    EXPECT_GT(kinds_seen[2], 0);
    EXPECT_GT(kinds_seen[3], 0);
}

TEST_F(MapDraw, HeadOnlyWhileTheMapIsReadAndBlinking) {
    load(100, 40, "running");
    HeadAnim anim{};
    map_head_anim_update(&anim, &view_);
    scr_resize(80, 24);
    const struct {
        const char* name;
        const char* status;
        const char* phase;
        double now_offset_ms;
        int head_bg;  // colour of cell 40; -2: not the head
    } cases[] = {
        {"verify, blink 1", "running", "verify", 0, 87},
        {"verify, blink 0", "running", "verify", 300, 51},
        {"another phase", "running", "repeat", 0, -2},
        {"finished", "done", "verify", 0, -2},
    };
    for (const auto& c : cases) {
        std::strcpy(view_.status, c.status);
        std::strcpy(view_.phase, c.phase);
        scr_clear();
        const double now = clock_.mono_ms() + c.now_offset_ms;
        const MapLayout l = map_draw(&view_, &anim, 2, 2, 76, 17, now);
        ASSERT_EQ(l.kind, 1);
        const std::int64_t x0 = 2 + (76 - l.columns) / 2, y0 = 2 + (17 - l.char_rows) / 2;
        auto cell = [&](std::int64_t u) -> const ScreenCell& {
            return g_cells[(y0 + u / l.columns) * 80 + x0 + u % l.columns];
        };
        if (c.head_bg != -2) {
            EXPECT_EQ(cell(40).bg, c.head_bg) << c.name;
            EXPECT_STREQ(cell(41).glyph, "·") << c.name << ": cells past the head look unread";
        } else {
            EXPECT_NE(cell(40).bg, 87) << c.name;
            EXPECT_NE(cell(40).bg, 51) << c.name;
        }
    }
}

TEST_F(MapDraw, NothingForAViewWithoutATestOrAnAreaTooSmall) {
    HeadAnim anim{};
    scr_resize(20, 10);
    scr_clear();
    EXPECT_EQ(map_draw(&view_, &anim, 0, 0, 20, 10, 0).kind, 0);
    load(100, 10, "running");
    EXPECT_EQ(map_draw(&view_, &anim, 0, 0, 3, 10, 0).kind, 0);
    EXPECT_EQ(map_draw(&view_, &anim, 0, 0, 20, 1, 0).kind, 0);
    for (int i = 0; i < 200; ++i) EXPECT_STREQ(g_cells[i].glyph, " ");
    // An area larger than the grid is clipped, not overrun.
    EXPECT_EQ(map_draw(&view_, &anim, -5, -5, 1000, 1000, 0).kind, 1);
}

}  // namespace
