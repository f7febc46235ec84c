// The terminal layer of the full-screen UI: a grid of cells that every screen
// draws into, one write per frame that turns the grid into ANSI text, raw mode
// with the alternate screen, the key reader, the toast and the signal flags.
//
// Screens never write to the terminal themselves. A frame is: scr_query_size,
// scr_resize, scr_clear, drawing, scr_flush. Drawing outside the grid is
// clipped cell by cell, and no argument (negative or huge sizes, text of any
// length or content) makes a primitive fail: every glyph that reaches a cell
// is one printable code point, so no text from a state file or sysfs can carry
// an escape sequence to the terminal.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

// One terminal cell.
struct ScreenCell {
    char glyph[8];    // one UTF-8 code point, NUL-terminated
    std::int16_t fg;  // -1: the terminal's default
    std::int16_t bg;  // -1: the terminal's default
    std::uint8_t bold;
};

// Key codes of scr_read_key: 0 no key, 1..255 the byte of a plain key.
inline constexpr int KEY_UP = 1000;
inline constexpr int KEY_DOWN = 1001;
inline constexpr int KEY_LEFT = 1002;
inline constexpr int KEY_RIGHT = 1003;
inline constexpr int KEY_ENTER = 1004;
inline constexpr int KEY_ESC = 1005;

inline constexpr int kToastSize = 200;
inline constexpr double kToastMs = 4000.0;

extern int g_cols;
extern int g_rows;
extern ScreenCell* g_cells;  // g_cols x g_rows, row-major; nullptr before the first resize
extern int g_raw;            // 1 while the terminal is in raw mode
// Set by the signal handlers. g_quit (SIGINT, SIGTERM, SIGHUP, and SIGQUIT
// while in raw mode) is never cleared; g_resized (SIGWINCH) is cleared by the
// screens on every frame.
extern volatile std::sig_atomic_t g_quit;
extern volatile std::sig_atomic_t g_resized;
extern char g_toast[kToastSize];
extern double g_toast_until_ms;

void ui_on_quit_signal(int sig);
void ui_on_sigwinch(int sig);
// Ignores SIGPIPE and installs ui_on_quit_signal for SIGINT, SIGTERM and
// SIGHUP and ui_on_sigwinch for SIGWINCH, without SA_RESTART, so that a signal
// cuts a key wait short.
void ui_install_quit_signals();

// Raw mode, alternate screen, hidden cursor. -1 (and nothing changed) when
// standard input or output is not a terminal or its settings cannot be read.
// Until scr_restore, SIGQUIT sets g_quit, and a suspend (SIGTSTP) restores the
// terminal before the process stops; both are carried out by scr_read_key. The
// terminal is written to and its modes changed only while this process is its
// foreground job (scr_owns_terminal): out of the foreground, frames are not
// written and the key reader only waits, and the screen is entered (again)
// by scr_read_key or scr_flush once the job is in the foreground again,
// however it got there, unless g_quit was set meanwhile. scr_restore runs at
// exit.
int scr_enter();
// Settings found at entry back, attributes reset, cursor shown, main screen.
// Does nothing after the first call, so calling it twice is harmless.
void scr_restore();
// False while this process is in a background job of the terminal on standard
// output; true when standard output is no terminal or not the controlling one.
bool scr_owns_terminal();

// Terminal size from standard output; 80 x 24 when unknown or zero.
void scr_query_size(int* w, int* h);
// A grid of w x h zero-filled cells (each side limited to 0..kScrMaxCols or
// kScrMaxRows). Returns -1, leaving an empty 0 x 0 grid, when memory runs out.
inline constexpr int kScrMaxCols = 2048;
inline constexpr int kScrMaxRows = 1024;
int scr_resize(int w, int h);
void scr_clear();
// Frees the grid and the output buffer (the next scr_resize makes a new grid).
void scr_release();
// A glyph that is not one printable code point (a control byte, a C1
// control, broken UTF-8) is stored as "?"; only its first code point is kept.
void scr_put(int x, int y, const char* glyph, int fg, int bg, int bold);
void scr_fill(int x, int y, int w, int h, int bg);
// One cell per code point (as ui_text_cells counts), at most maxw cells;
// returns the cells used (clipped ones included).
int scr_text(int x, int y, int maxw, const char* text, int fg, int bg, int bold);
int scr_printf(int x, int y, int maxw, int fg, int bg, int bold, const char* fmt, ...)
    __attribute__((format(printf, 7, 8)));
// Label at the left in the secondary colour, value bold at the right of w cells.
void scr_label_value(int x, int y, int w, const char* label, const char* value, int value_color);
// Word wrap at width cells per line into at most max_lines lines (a non-empty
// text gets at least one; blanks at a break make none); returns the lines
// drawn, 0 for a width below 1.
int scr_wrap(int x, int y, int width, int max_lines, const char* text, int fg);
void scr_box(int x, int y, int w, int h, const char* title);
// Bars for the last w of n samples; samples at or below -999 are gaps.
void scr_sparkline(int x, int y, int w, const float* samples, int n, int fg, float lo, float hi);
// Writes the grid, cut to the terminal's current size, with one write.
void scr_flush();

// Waits up to timeout_ms for a key and returns its code, or 0 when none came
// (or a signal cut the wait). The bytes are decoded by a KeyDecoder (keys.h)
// on the real clock; an Esc or a sequence still waiting for its next byte when
// the timeout ends stays pending across calls.
int scr_read_key(int timeout_ms);

// Sets the toast for the next kToastMs; ui_toast_text is the toast while it
// shows, else nullptr.
void ui_flash(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
const char* ui_toast_text();

// Cells a text takes on the screen: one per printable code point and one per
// byte of anything else (broken UTF-8, control characters), shown as "?".
int ui_text_cells(const char* text);
// Copies text into out (size bytes with the terminator) cut to at most width
// cells, never inside a character, and padded with blanks to width cells, one
// cell per code point as scr_text draws it; for a column of a table that the
// screen or a plain face prints. Returns the cells of the result.
int ui_fit_text(char* out, std::size_t size, const char* text, int width);
// In place: every byte of a control character (C0, DEL, C1) or of broken UTF-8
// becomes "?", so the text can be printed to a terminal as it is.
void ui_clean_text(char* text);
