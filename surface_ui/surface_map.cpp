#include "surface_ui/surface_map.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/clock.h"
#include "surface_ui/screen.h"
#include "surface_ui/view.h"

const Theme kTheme16 = {
    {0, 7, 7, 8,  8,  15, 4, 14, 10, 11, 9, 13, 8, 2, 10, 11, 3, 1, 5, 9, 13,
     3, 7, 2, 10, 11, 3,  1, 5,  15, 0,  0, 14, 6, 6, 6,  4,  4, 6, 8, 0, 7},
    {"●", "◉", "○", "•", "◆"},
};

const Theme kTheme256 = {
    {1,   252, 245, 240, 239, 231, 24, 45,  41,  214, 203, 141, 236, 35,
     71,  142, 178, 166, 124, 196, 99, 208, 242, 35,  71,  142, 178, 166,
     124, 231, 231, 16,  51,  87,  45, 39,  33,  25,  39,  237, 16,  245},
    {"●", "◉", "○", "•", "◆"},
};

const Theme* g_theme = &kTheme256;

namespace {

// Severity of a map code; anything that is no code counts as not read.
int code_rank(char c) {
    switch (c) {
        case 'a':
        case 'b':
        case 'c':
        case 'd':
        case 'e':
        case 'f':
            return c - 'a' + 1;
        case 'E':
            return 7;
        case 'L':
            return 8;
        case 'B':
            return 9;
        default:
            return 0;
    }
}

constexpr char kCodesByRank[] = ".abcdefELB";

bool is_error_code(char code) {
    return code == 'B' || code == 'E' || code == 'L';
}

struct UnitStyle {
    char code;
    int cell;
    int letter_color;
    char letter;
};

UnitStyle style_of(const ProbeView* view, std::int64_t g, std::int64_t k, std::int64_t reveal,
                   std::int64_t head, int blink) {
    const std::int32_t* T = g_theme->c;
    UnitStyle s{map_group_code(view, g, k, reveal), T[12], T[22], 0};
    const int rank = code_rank(s.code);
    if (rank >= 1 && rank <= 6) {
        s.cell = T[12 + rank];
        s.letter_color = T[22 + rank];
    } else if (rank >= 7) {
        const int slot = s.code == 'B' ? 0 : s.code == 'L' ? 1 : 2;
        s.cell = T[19 + slot];
        s.letter_color = T[29 + slot];
        s.letter = s.code;
    }
    if (head < 0) return s;
    if (head == k) {
        s.cell = T[32 + (blink & 1)];
        s.letter_color = T[40];
        s.letter = 0;
    } else if (head - k >= 1 && head - k <= 4 && !is_error_code(s.code)) {
        s.cell = T[33 + (head - k)];
        s.letter_color = s.cell;
    }
    return s;
}

std::int64_t ceil_div(std::int64_t a, std::int64_t b) {
    return (a + b - 1) / b;
}

void draw_one_per_char(const ProbeView* view, const MapLayout& l, std::int64_t x0, std::int64_t y0,
                       std::int64_t reveal, std::int64_t head, int blink) {
    const std::int32_t* T = g_theme->c;
    for (std::int64_t u = 0; u < l.units; ++u) {
        const UnitStyle s = style_of(view, l.group, u, reveal, head, blink);
        const int x = static_cast<int>(x0 + u % l.columns);
        const int y = static_cast<int>(y0 + u / l.columns);
        const char letter[2] = {s.letter, '\0'};
        if (s.letter)
            scr_put(x, y, letter, s.letter_color, s.cell, 1);
        else if (s.code == '.' && u != head)
            scr_put(x, y, "·", T[3], T[12], 0);
        else
            scr_put(x, y, " ", s.letter_color, s.cell, 0);
    }
}

// Each character shows an upper unit in its foreground and a lower one in its
// background.
void draw_two_per_char(const ProbeView* view, const MapLayout& l, std::int64_t x0, std::int64_t y0,
                       std::int64_t reveal, std::int64_t head, int blink) {
    for (std::int64_t r = 0; r < l.char_rows; ++r) {
        for (std::int64_t c = 0; c < l.columns; ++c) {
            const std::int64_t upper = 2 * r * l.columns + c;
            if (upper >= l.units) break;
            const std::int64_t lower = upper + l.columns;
            const int fg = style_of(view, l.group, upper, reveal, head, blink).cell;
            const int bg =
                lower < l.units ? style_of(view, l.group, lower, reveal, head, blink).cell : -1;
            scr_put(static_cast<int>(x0 + c), static_cast<int>(y0 + r), "▀", fg, bg, 0);
        }
    }
}

}  // namespace

void map_head_anim_update(HeadAnim* anim, const ProbeView* view) {
    const double now = clock_mono_ms();
    const double d = static_cast<double>(view->map.done);
    if (!view_running(view) || view->started_ts != anim->started_ts || anim->shown > d) {
        anim->to = anim->shown = anim->from = d;
    } else if (d != anim->to) {
        anim->from = anim->shown;
        anim->to = d;
        anim->t0_ms = now;
        anim->dur_ms = anim->last_change_ms <= 0
                           ? 1000.0
                           : std::clamp(now - anim->last_change_ms, 300.0, 1600.0);
        anim->last_change_ms = now;
    }
    if (anim->last_change_ms <= 0) anim->last_change_ms = now;
    anim->started_ts = view->started_ts;
}

double map_head_anim_shown(HeadAnim* anim, double now_ms) {
    double t = 1.0;
    if (anim->dur_ms > 0) t = std::clamp((now_ms - anim->t0_ms) / anim->dur_ms, 0.0, 1.0);
    anim->shown = anim->from + (anim->to - anim->from) * t;
    return anim->shown;
}

int map_blink_phase(double now_ms) {
    return static_cast<int>(static_cast<std::int64_t>(std::floor(now_ms / 300.0)) & 1);
}

char map_group_code(const ProbeView* view, std::int64_t g, std::int64_t k, std::int64_t reveal) {
    const std::int64_t n = view->map.cells;
    if (g < 1) g = 1;
    if (k < 0 || n < 1 || k >= ceil_div(n, g)) return '.';
    const std::int64_t start = k * g;
    const std::int64_t end = std::min(start + g, n);
    const std::int64_t known =
        view->map.codes ? std::min({end, reveal, view->map.codes_len}) : start;
    int worst = 0;
    for (std::int64_t i = start; i < known; ++i)
        worst = std::max(worst, code_rank(view->map.codes[i]));
    return kCodesByRank[worst];
}

void map_group_style(const ProbeView* view, std::int64_t g, std::int64_t k, std::int64_t reveal,
                     std::int64_t head, int blink, int* cell_color, int* letter_color,
                     char* letter) {
    const UnitStyle s = style_of(view, g, k, reveal, head, blink);
    *cell_color = s.cell;
    *letter_color = s.letter_color;
    *letter = s.letter;
}

void map_layout(std::int64_t cells, int iw, int ih, MapLayout* out) {
    *out = MapLayout{};
    if (cells < 1 || iw < 4 || ih < 2) return;
    MapLayout l{};
    l.group = 1;
    l.units = cells;
    if (ceil_div(cells, ih) <= iw) {
        l.kind = 1;
        l.columns = ceil_div(cells, ih);
        l.unit_rows = l.char_rows = ceil_div(cells, l.columns);
    } else if (ceil_div(cells, 2 * std::int64_t{ih}) <= iw) {
        l.kind = 2;
        l.columns = ceil_div(cells, 2 * std::int64_t{ih});
        l.unit_rows = ceil_div(cells, l.columns);
        l.char_rows = (l.unit_rows + 1) / 2;
    } else {
        l.kind = 3;
        l.group = ceil_div(cells, 2 * std::int64_t{ih} * iw);
        l.units = ceil_div(cells, l.group);
        l.columns = std::min<std::int64_t>(iw, ceil_div(l.units, 2 * std::int64_t{ih}));
        l.unit_rows = ceil_div(l.units, l.columns);
        l.char_rows = (l.unit_rows + 1) / 2;
    }
    *out = l;
}

MapLayout map_draw(const ProbeView* view, HeadAnim* anim, int x, int y, int iw, int ih,
                   double now_ms) {
    MapLayout l{};
    if (!view || !view->present) return l;
    map_layout(view->map.cells, iw, ih, &l);
    if (l.kind == 0) return l;
    const std::int64_t n = view->map.cells;
    double shown = map_head_anim_shown(anim, now_ms);
    if (!(shown >= 0)) shown = 0;
    std::int64_t reveal = n;
    std::int64_t head = -1;
    if (view_running(view) && shown < static_cast<double>(n)) {
        reveal = static_cast<std::int64_t>(shown);
        if (std::strcmp(view->phase, "verify") == 0) head = reveal / l.group;
    }
    const int blink = map_blink_phase(now_ms);
    const std::int64_t x0 = x + (iw - l.columns) / 2;
    const std::int64_t y0 = y + (ih - l.char_rows) / 2;
    if (l.kind == 1)
        draw_one_per_char(view, l, x0, y0, reveal, head, blink);
    else
        draw_two_per_char(view, l, x0, y0, reveal, head, blink);
    return l;
}
