// The colour themes of the terminal UI and the surface map: which colour and
// letter a group of map cells shows, how the map is laid out in a rectangle,
// and the head that glides from cell to cell between two readings of the
// state file instead of jumping by the test's one-second steps.
#pragma once

#include <cstdint>

struct ProbeView;

// 42 colour slots by role, then five glyphs. Slot 0 is the palette flag: 1 when
// the colours are 256-colour palette numbers, 0 for the 16 basic colours.
inline constexpr int kThemeSlots = 42;
struct Theme {
    std::int32_t c[kThemeSlots];
    const char* glyph[5];  // phase done, current phase, phase ahead, bullet, verdict mark
};

extern const Theme kTheme16;
extern const Theme kTheme256;
// The theme every drawing operation reads at the time it draws; set once
// before the first frame.
extern const Theme* g_theme;

// Colour slot n of the current theme.
inline int theme_color(int n) {
    return g_theme->c[n];
}

// The glide of the head, owned by the test screen and zeroed on entry.
struct HeadAnim {
    double shown;           // position shown now, in cells
    double from;            // where the current glide began
    double to;              // where it ends: the last map.done seen
    double t0_ms;           // when the glide began (monotonic)
    double dur_ms;          // length of the glide
    double last_change_ms;  // last change of target (0: none yet)
    std::int64_t started_ts;
};

// After each reading of the state file: snaps to map.done for a run that is
// not running, a new run or a count that went back; otherwise starts a glide
// to a new map.done lasting as long as the time since the last change
// (1000 ms for the first, kept to 300..1600 ms).
void map_head_anim_update(HeadAnim* anim, const ProbeView* view);
// The position to show at now_ms; stored back in anim->shown.
double map_head_anim_shown(HeadAnim* anim, double now_ms);
// 0 or 1, changing every 300 ms.
int map_blink_phase(double now_ms);

// Worst code of cells k*g .. min(k*g+g, cells)-1 in the order
// . a b c d e f E L B; cells at or beyond reveal count as ".".
char map_group_code(const ProbeView* view, std::int64_t g, std::int64_t k, std::int64_t reveal);
// Cell colour, letter colour and letter (0 for none) of group k; head is the
// head group or -1, blink the blink phase.
void map_group_style(const ProbeView* view, std::int64_t g, std::int64_t k, std::int64_t reveal,
                     std::int64_t head, int blink, int* cell_color, int* letter_color,
                     char* letter);

// How N cells fill an inner area of iw x ih characters: one cell per
// character when that fits, else two cells (upper and lower half) per
// character, else groups of g cells with two groups per character.
struct MapLayout {
    int kind;                // 0: nothing fits, 1, 2 or 3 as above
    std::int64_t group;      // cells per unit (g)
    std::int64_t units;      // units drawn
    std::int64_t columns;    // characters across
    std::int64_t unit_rows;  // rows of units
    std::int64_t char_rows;  // rows of characters
};
void map_layout(std::int64_t cells, int iw, int ih, MapLayout* out);

// Draws the view's map centred in the inner area (x, y, iw, ih) at now_ms:
// glides the head, reveals cells up to it, and marks the head and its trail
// while the map is being read. Returns the layout used (kind 0 when the area
// is too small or the view holds no test).
MapLayout map_draw(const ProbeView* view, HeadAnim* anim, int x, int y, int iw, int ih,
                   double now_ms);
