#include "surface_ui/screen.h"

#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/clock.h"
#include "core/strbuf.h"
#include "core/util.h"
#include "surface_ui/keys.h"
#include "surface_ui/surface_map.h"

int g_cols = 0;
int g_rows = 0;
ScreenCell* g_cells = nullptr;
int g_raw = 0;
volatile std::sig_atomic_t g_quit = 0;
volatile std::sig_atomic_t g_resized = 0;
char g_toast[kToastSize] = {};
double g_toast_until_ms = 0;

namespace {

StrBuf g_out;
termios g_saved_termios;
// 1 from scr_enter to scr_restore: the screens run and hold the terminal
// whenever it is theirs to hold (g_raw says whether it is held now).
int s_on_screen = 0;

// Job control while the screens run: the handlers only raise these; scr_read_key
// carries them out.
volatile std::sig_atomic_t g_suspend_pending = 0;
volatile std::sig_atomic_t g_continue_pending = 0;
// 1 when the terminal may have been taken from the screen while g_raw stayed
// 1: it was seen in the background, or continued after a stop it could not
// catch.
int s_away = 0;

struct SavedAction {
    int sig;
    struct sigaction old;
    bool installed;
};
SavedAction s_job_signals[] = {{SIGTSTP, {}, false}, {SIGQUIT, {}, false}, {SIGCONT, {}, false}};

constexpr char kEnterSeq[] = "\x1b[?1049h\x1b[?25l\x1b[2J";
constexpr char kLeaveSeq[] = "\x1b[0m\x1b[?25h\x1b[?1049l";
static_assert(sizeof kEnterSeq - 1 == 18 && sizeof kLeaveSeq - 1 == 18);

void on_suspend_signal(int) {
    g_suspend_pending = 1;
}
void on_continue_signal(int) {
    g_continue_pending = 1;
}

void set_action(int sig, void (*handler)(int), struct sigaction* old) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ::sigaction(sig, &sa, old);
}

// A signal that was ignored when we started (a shell without job control
// ignores SIGTSTP) stays ignored.
void install_job_signals() {
    for (SavedAction& s : s_job_signals) {
        if (s.installed) continue;
        if (::sigaction(s.sig, nullptr, &s.old) != 0 || s.old.sa_handler == SIG_IGN) continue;
        void (*handler)(int) = s.sig == SIGTSTP   ? on_suspend_signal
                               : s.sig == SIGQUIT ? ui_on_quit_signal
                                                  : on_continue_signal;
        set_action(s.sig, handler, nullptr);
        s.installed = true;
    }
}

void remove_job_signals() {
    for (SavedAction& s : s_job_signals) {
        if (!s.installed) continue;
        ::sigaction(s.sig, &s.old, nullptr);
        s.installed = false;
    }
}

void write_ignored(const char* bytes, std::size_t n) {
    const ssize_t r = ::write(STDOUT_FILENO, bytes, n);
    (void)r;  // a short frame is rewritten by the next one
}

void apply_raw() {
    termios raw = g_saved_termios;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

// Whether this process may write to the terminal on fd or change its modes:
// a process of a background job that does either is stopped by SIGTTOU, and
// would stay stopped through a kill that should end it. A terminal that is
// not this process's controlling terminal has no foreground job to ask.
bool owns_terminal(int fd) {
    const pid_t fg = ::tcgetpgrp(fd);
    return fg <= 0 || fg == ::getpgrp();
}

// Raw mode and the alternate screen, only while this process is the
// terminal's foreground job; the settings to put back are read at the same
// moment, since a shell may have changed them while the job was away.
int take_terminal() {
    if (g_raw) return 0;
    if (!owns_terminal(STDIN_FILENO)) return -1;
    termios saved{};
    if (::tcgetattr(STDIN_FILENO, &saved) != 0) return -1;
    g_saved_termios = saved;
    apply_raw();
    g_raw = 1;
    s_away = 0;
    write_ignored(kEnterSeq, sizeof kEnterSeq - 1);
    return 0;
}

// Out of a background job nothing is written: the shell put its own settings
// back when it took the terminal from the job.
void give_back_terminal() {
    if (!g_raw) return;
    g_raw = 0;
    if (!owns_terminal(STDIN_FILENO)) return;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
    write_ignored(kLeaveSeq, sizeof kLeaveSeq - 1);
}

// A shell resets the terminal when it takes it from a job, and a job that
// runs on in the background (bg) is brought back by fg without a SIGCONT:
// whenever the screen finds itself in the foreground after it was, or may
// have been, out of it, it takes the terminal (raw mode, alternate screen)
// and is redrawn whole. The settings saved when it first took the terminal
// stay the ones to put back.
void regain_terminal() {
    if (!s_on_screen || g_quit) return;
    if (!owns_terminal(STDIN_FILENO)) {
        if (g_raw) s_away = 1;
        return;
    }
    if (!g_raw) {
        if (take_terminal() == 0) g_resized = 1;
        return;
    }
    if (!s_away) return;
    s_away = 0;
    apply_raw();
    write_ignored(kEnterSeq, sizeof kEnterSeq - 1);
    g_resized = 1;
}

// Once the screens run, a frame lands only on the terminal they hold, never
// on the shell's screen in cooked mode: the job may have been brought to the
// foreground since regain_terminal looked.
bool frame_may_land() {
    if (s_on_screen && (!g_raw || s_away)) return false;
    return owns_terminal(STDOUT_FILENO);
}

// A suspend restores the terminal before the process stops, the way the
// default action would leave it for the shell. A stop that could not be
// caught (SIGSTOP) is followed by SIGCONT alone, in the foreground or in the
// background. Either way the screen comes back only once the job is in the
// foreground again, and never when a quit signal came while it was stopped
// (a shell's kill sends SIGTERM, then SIGCONT to a background job): the
// screens then end as they would anyway.
void handle_job_control() {
    if (g_suspend_pending) {
        g_suspend_pending = 0;
        if (s_on_screen) {
            give_back_terminal();
            remove_job_signals();
            ::raise(SIGTSTP);
            install_job_signals();
            g_continue_pending = 0;
        }
    }
    if (g_continue_pending) {
        g_continue_pending = 0;
        s_away = 1;
    }
    regain_terminal();
}

// ---- cells ----

// Bytes of the printable code point at s (at most n bytes), or 0 for a control
// character (C0, DEL, C1), a byte that starts no sequence, or broken UTF-8.
int printable_len(const unsigned char* s, std::size_t n) {
    if (n == 0 || s[0] < 0x20 || s[0] == 0x7F) return 0;
    if (s[0] == 0xC2 && n > 1 && s[1] <= 0x9F) return 0;  // C1 controls, U+0080..U+009F
    return utf8_char_len(reinterpret_cast<const char*>(s), n);
}

bool in_grid(std::int64_t x, std::int64_t y) {
    return x >= 0 && y >= 0 && x < g_cols && y < g_rows && g_cells;
}

void put_cell(std::int64_t x, std::int64_t y, const char* glyph, int fg, int bg, int bold) {
    if (!in_grid(x, y)) return;
    ScreenCell& cell = g_cells[y * g_cols + x];
    const std::size_t n = strnlen(glyph, sizeof cell.glyph - 1);
    const int len = printable_len(reinterpret_cast<const unsigned char*>(glyph), n);
    if (len > 0) {
        std::memcpy(cell.glyph, glyph, static_cast<std::size_t>(len));
        cell.glyph[len] = '\0';
    } else {
        std::memcpy(cell.glyph, "?", 2);
    }
    cell.fg = static_cast<std::int16_t>(fg);
    cell.bg = static_cast<std::int16_t>(bg);
    cell.bold = bold ? 1 : 0;
}

// Bytes of the cell that starts at text (not at its end): a printable code
// point, or a single byte of anything else, which the cell shows as "?". The
// drawing and every measure of text count cells this one way, so that broken
// UTF-8 takes exactly the cells it was measured to take.
int cell_len(const char* text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    return std::max(printable_len(s, strnlen(text, 4)), 1);
}

std::int64_t text_at(std::int64_t x, std::int64_t y, std::int64_t maxw, const char* text, int fg,
                     int bg, int bold) {
    if (maxw < 1 || !text || !*text) return 0;
    std::int64_t i = 0;
    for (const char* p = text; *p && i < maxw; ++i) {
        const int len = cell_len(p);
        char glyph[8] = {};
        std::memcpy(glyph, p, static_cast<std::size_t>(len));
        put_cell(x + i, y, glyph, fg, bg, bold);
        p += len;
    }
    return i;
}

// Bytes of the first width cells of text at most: what scr_text draws in
// width cells.
std::size_t cut_bytes(const char* text, std::int64_t width) {
    std::size_t n = 0;
    for (std::int64_t i = 0; text[n] && i < width; ++i)
        n += static_cast<std::size_t>(cell_len(text + n));
    return n;
}

int clamp_int(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, -2147483647 - 1, 2147483647));
}

// ---- flush ----

void append_uint(StrBuf* sb, unsigned v) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    char out[12];
    for (int i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    (void)sb_append(sb, out, static_cast<std::uint64_t>(n));
}

// Only colours of 0 and above reach here: below 0 is the terminal's default.
void append_color(StrBuf* sb, unsigned color, bool background, bool palette256) {
    if (palette256) {
        (void)sb_append(sb, background ? ";48;5;" : ";38;5;", 6);
        append_uint(sb, color);
    } else {
        (void)sb_append(sb, ";", 1);
        append_uint(sb, color + (background ? (color <= 7 ? 40 : 92) : (color <= 7 ? 30 : 82)));
    }
}

void append_attributes(StrBuf* sb, const ScreenCell& cell, bool palette256) {
    (void)sb_append(sb, "\x1b[0", 3);
    if (cell.bold) (void)sb_append(sb, ";1", 2);
    if (cell.fg >= 0) append_color(sb, static_cast<unsigned>(cell.fg), false, palette256);
    if (cell.bg >= 0) append_color(sb, static_cast<unsigned>(cell.bg), true, palette256);
    (void)sb_append(sb, "m", 1);
}

// Rows and columns that the terminal can show: a grid larger than the
// terminal would wrap its long rows and scroll the screen.
void visible_size(int* cols, int* rows) {
    *cols = g_cols;
    *rows = g_rows;
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        *cols = std::min(*cols, static_cast<int>(ws.ws_col));
        *rows = std::min(*rows, static_cast<int>(ws.ws_row));
    }
}

// ---- keys ----

KeyDecoder s_keys;

// The key reader's waits are measured on the real clock, not the program's
// replaceable one: select() waits in real time, and a deadline on a clock that
// a test holds still would never come.
double key_clock_ms() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void ui_on_quit_signal(int) {
    g_quit = 1;
}

void ui_on_sigwinch(int) {
    g_resized = 1;
}

void ui_install_quit_signals() {
    ::signal(SIGPIPE, SIG_IGN);
    set_action(SIGINT, ui_on_quit_signal, nullptr);
    set_action(SIGTERM, ui_on_quit_signal, nullptr);
    set_action(SIGHUP, ui_on_quit_signal, nullptr);
    set_action(SIGWINCH, ui_on_sigwinch, nullptr);
}

int scr_enter() {
    if (s_on_screen) return 0;
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) return -1;
    termios probe{};
    if (::tcgetattr(STDIN_FILENO, &probe) != 0) return -1;
    s_on_screen = 1;
    static bool s_at_exit = false;
    if (!s_at_exit) s_at_exit = std::atexit(scr_restore) == 0;
    install_job_signals();
    // Started in a background job, the screen waits for the foreground.
    (void)take_terminal();
    return 0;
}

void scr_restore() {
    if (!s_on_screen) return;
    s_on_screen = 0;
    give_back_terminal();
    remove_job_signals();
}

bool scr_owns_terminal() {
    return owns_terminal(STDOUT_FILENO);
}

void scr_query_size(int* w, int* h) {
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        *w = ws.ws_col;
        *h = ws.ws_row;
    } else {
        *w = 80;
        *h = 24;
    }
}

int scr_resize(int w, int h) {
    w = std::clamp(w, 0, kScrMaxCols);
    h = std::clamp(h, 0, kScrMaxRows);
    if (g_cells && w == g_cols && h == g_rows) return 0;
    std::free(g_cells);
    g_cells = nullptr;
    g_cols = 0;
    g_rows = 0;
    const std::size_t n = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    g_cells = static_cast<ScreenCell*>(std::calloc(n ? n : 1, sizeof(ScreenCell)));
    if (!g_cells) return -1;
    g_cols = w;
    g_rows = h;
    return 0;
}

void scr_release() {
    std::free(g_cells);
    g_cells = nullptr;
    g_cols = 0;
    g_rows = 0;
    sb_free(&g_out);
}

void scr_clear() {
    if (!g_cells) return;
    const ScreenCell blank{{' ', '\0'}, -1, -1, 0};
    std::fill(g_cells, g_cells + static_cast<std::size_t>(g_cols) * g_rows, blank);
}

void scr_put(int x, int y, const char* glyph, int fg, int bg, int bold) {
    put_cell(x, y, glyph ? glyph : "", fg, bg, bold);
}

void scr_fill(int x, int y, int w, int h, int bg) {
    if (w < 1 || h < 1) return;
    const std::int64_t x0 = std::max<std::int64_t>(x, 0);
    const std::int64_t y0 = std::max<std::int64_t>(y, 0);
    const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{x} + w, g_cols);
    const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{y} + h, g_rows);
    for (std::int64_t r = y0; r < y1; ++r)
        for (std::int64_t c = x0; c < x1; ++c) put_cell(c, r, " ", -1, bg, 0);
}

int scr_text(int x, int y, int maxw, const char* text, int fg, int bg, int bold) {
    return clamp_int(text_at(x, y, maxw, text, fg, bg, bold));
}

int scr_printf(int x, int y, int maxw, int fg, int bg, int bold, const char* fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return scr_text(x, y, maxw, text, fg, bg, bold);
}

void scr_label_value(int x, int y, int w, const char* label, const char* value, int value_color) {
    const std::int64_t n = text_at(x, y, w, label, theme_color(2), -1, 0);
    const std::int64_t room = std::int64_t{w} - n - 1;
    if (room < 1 || !value) return;
    const std::int64_t len = ui_text_cells(value);
    const std::int64_t start = len <= room ? std::int64_t{x} + w - len : std::int64_t{x} + n + 1;
    text_at(start, y, room, value, value_color, -1, 1);
}

// Widths count cells, as everywhere on the screen, so that a line breaks
// between characters.
int scr_wrap(int x, int y, int width, int max_lines, const char* text, int fg) {
    if (!text || !*text || width < 1) return 0;
    const char* p = text;
    int lines = 0;
    for (;;) {
        while (*p == ' ') ++p;
        const std::int64_t row = std::int64_t{y} + lines;
        const std::size_t fits = cut_bytes(p, width);
        if (!p[fits]) {
            text_at(x, row, width, p, fg, -1, 0);
            return lines + 1;
        }
        std::size_t k = fits;
        while (k > 0 && p[k] != ' ') --k;
        if (k == 0) k = fits;
        std::int64_t cells = 0;
        for (std::size_t i = 0; i < k; i += cut_bytes(p + i, 1)) ++cells;
        text_at(x, row, cells, p, fg, -1, 0);
        ++lines;
        p += k;
        while (*p == ' ') ++p;  // blanks at a break begin no line
        if (lines >= max_lines || !*p) return lines;
    }
}

void scr_box(int x, int y, int w, int h, const char* title) {
    if (w < 1 || h < 1) return;
    const int frame = theme_color(4);
    const std::int64_t right = std::int64_t{x} + w - 1;
    const std::int64_t bottom = std::int64_t{y} + h - 1;
    put_cell(x, y, "╭", frame, -1, 0);
    put_cell(right, y, "╮", frame, -1, 0);
    put_cell(x, bottom, "╰", frame, -1, 0);
    put_cell(right, bottom, "╯", frame, -1, 0);
    if (w >= 3) {
        const std::int64_t c0 = std::max<std::int64_t>(std::int64_t{x} + 1, 0);
        const std::int64_t c1 = std::min<std::int64_t>(right - 1, g_cols - 1);
        for (std::int64_t c = c0; c <= c1; ++c) {
            put_cell(c, y, "─", frame, -1, 0);
            put_cell(c, bottom, "─", frame, -1, 0);
        }
    }
    if (h >= 3) {
        const std::int64_t r0 = std::max<std::int64_t>(std::int64_t{y} + 1, 0);
        const std::int64_t r1 = std::min<std::int64_t>(bottom - 1, g_rows - 1);
        for (std::int64_t r = r0; r <= r1; ++r) {
            put_cell(x, r, "│", frame, -1, 0);
            put_cell(right, r, "│", frame, -1, 0);
        }
    }
    if (!title || !*title || w <= 6) return;
    put_cell(std::int64_t{x} + 1, y, " ", -1, -1, 0);
    const std::int64_t n = text_at(std::int64_t{x} + 2, y, w - 5, title, theme_color(2), -1, 1);
    put_cell(std::int64_t{x} + 2 + n, y, " ", -1, -1, 0);
}

void scr_sparkline(int x, int y, int w, const float* samples, int n, int fg, float lo, float hi) {
    if (w < 1 || n < 1 || !samples) return;
    static const char* const kBars[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    const int shown = std::min(w, n);
    for (int j = 0; j < shown; ++j) {
        const float v = samples[n - shown + j];
        if (v <= -999.0f) continue;
        int level = 0;
        if (hi > lo) {
            const float scaled = (v - lo) / (hi - lo) * 7.999f;
            // NaN and infinities never reach the integer conversion.
            if (scaled >= 7.0f)
                level = 7;
            else if (scaled >= 0.0f)
                level = static_cast<int>(scaled);
        }
        put_cell(std::int64_t{x} + w - shown + j, y, kBars[level], fg, -1, 0);
    }
}

void scr_flush() {
    g_out.len = 0;
    (void)sb_reserve(&g_out, 16 + static_cast<std::uint64_t>(g_cols) * g_rows * 8);
    if (g_out.data) g_out.data[0] = '\0';
    (void)sb_append(&g_out, "\x1b[H", 3);
    const bool palette256 = theme_color(0) != 0;
    int cols = 0, rows = 0;
    visible_size(&cols, &rows);
    for (int r = 0; r < rows; ++r) {
        (void)sb_append(&g_out, "\x1b[", 2);
        append_uint(&g_out, static_cast<unsigned>(r + 1));
        (void)sb_append(&g_out, ";1H", 3);
        int fg = -2, bg = -2, bold = -1;
        const ScreenCell* row = g_cells + static_cast<std::size_t>(r) * g_cols;
        for (int c = 0; c < cols; ++c) {
            const ScreenCell& cell = row[c];
            if (cell.fg != fg || cell.bg != bg || cell.bold != bold) {
                append_attributes(&g_out, cell, palette256);
                fg = cell.fg;
                bg = cell.bg;
                bold = cell.bold;
            }
            // A cell never drawn since the grid was made holds no glyph.
            const std::size_t n = strnlen(cell.glyph, sizeof cell.glyph - 1);
            if (n)
                (void)sb_append(&g_out, cell.glyph, n);
            else
                (void)sb_append(&g_out, " ", 1);
        }
    }
    (void)sb_append(&g_out, "\x1b[0m", 4);
    regain_terminal();
    if (frame_may_land()) write_ignored(g_out.data, g_out.len);
}

int scr_read_key(int timeout_ms) {
    handle_job_control();
    const double end = key_clock_ms() + std::max(timeout_ms, 0);
    for (;;) {
        const double now = key_clock_ms();
        const int key = s_keys.next(now);
        if (key) return key;
        if (now >= end || s_keys.space() <= 0) return 0;  // a waiting sequence stays pending
        const double until = s_keys.wait_until() > 0 ? std::min(end, s_keys.wait_until()) : end;
        // Out of a background job the wait only waits: a read would stop
        // the process (SIGTTIN) until the shell brings it back.
        const bool ours = owns_terminal(STDIN_FILENO);
        fd_set in;
        FD_ZERO(&in);
        if (ours) FD_SET(STDIN_FILENO, &in);
        const long us = static_cast<long>(std::ceil(std::max(until - now, 0.0) * 1000.0));
        timeval tv{us / 1000000, us % 1000000};
        const int r = ::select(ours ? STDIN_FILENO + 1 : 0, &in, nullptr, nullptr, &tv);
        if (r < 0) {
            handle_job_control();
            return 0;
        }
        if (r == 0) continue;
        char bytes[128];
        const auto room = static_cast<std::size_t>(std::min<int>(s_keys.space(), sizeof bytes));
        const ssize_t n = ::read(STDIN_FILENO, bytes, room);
        if (n < 0 && errno == EINTR) return 0;
        if (n <= 0) {
            // A terminal that hung up stays readable with nothing to read:
            // the wait is kept, or every screen loop would spin.
            clock_sleep_ms(end - key_clock_ms());
            return 0;
        }
        s_keys.feed(bytes, static_cast<int>(n), key_clock_ms());
    }
}

void ui_flash(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(g_toast, sizeof g_toast, fmt, ap);
    va_end(ap);
    ui_clean_text(g_toast);
    g_toast_until_ms = clock_mono_ms() + kToastMs;
}

const char* ui_toast_text() {
    return g_toast[0] && clock_mono_ms() < g_toast_until_ms ? g_toast : nullptr;
}

int ui_text_cells(const char* text) {
    int n = 0;
    for (const char* p = text; p && *p; p += cell_len(p)) ++n;
    return n;
}

int ui_fit_text(char* out, std::size_t size, const char* text, int width) {
    if (size == 0) return 0;
    const char* p = text ? text : "";
    std::size_t n = 0;
    int cells = 0;
    for (; *p && cells < width; ++cells) {
        const std::size_t len = cut_bytes(p, 1);
        if (n + len >= size) break;
        std::memcpy(out + n, p, len);
        n += len;
        p += len;
    }
    for (; cells < width && n + 1 < size; ++cells) out[n++] = ' ';
    out[n] = '\0';
    return cells;
}

void ui_clean_text(char* text) {
    if (!text) return;
    auto* p = reinterpret_cast<unsigned char*>(text);
    std::size_t n = std::strlen(text);
    while (n > 0) {
        const int len = printable_len(p, n);
        if (len == 0) {
            *p = '?';
            ++p;
            --n;
        } else {
            p += len;
            n -= static_cast<std::size_t>(len);
        }
    }
}
