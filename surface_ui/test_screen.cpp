#include "surface_ui/test_screen.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

#include "core/cli.h"
#include "core/clock.h"
#include "core/util.h"
#include "surface_test/probe_result.h"
#include "surface_ui/fmt.h"
#include "surface_ui/follow.h"
#include "surface_ui/info_panel.h"
#include "surface_ui/labels.h"
#include "surface_ui/probe_ui.h"
#include "surface_ui/screen.h"
#include "surface_ui/spawn.h"

int g_dialog = 0;
int g_show_help = 0;

namespace {

constexpr double kReloadMs = 250.0;
constexpr int kKeyWaitMs = 100;

bool is(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

int T(int slot) {
    return theme_color(slot);
}

// ---- starting and stopping ----

// While a test this screen started has not shown up yet, another start
// would only be refused by the test itself and leave the screen announcing a
// run that never happens. A serial that cannot name the state file and the
// log of a test is refused by the test too: that is said at once, not after
// waiting for a run that cannot show up.
bool may_start(const TestScreen* s) {
    if (s->pending_ms > 0) return false;
    if (!name_is_safe(s->disk.serial, 79)) {
        ui_flash("This disk cannot be tested from here: its serial \"%s\" cannot name a file.",
                 s->disk.serial);
        return false;
    }
    return true;
}

// A launch that failed is silent: no toast and nothing to watch for.
bool start_test(TestScreen* s, const char* mode, double now) {
    if (!may_start(s) || ui_spawn_probe(s->disk.serial, mode) != 0) return false;
    s->pending_ms = now;
    s->pending_run = ui_run_mark(&s->view);
    str_copy(s->pending_mode, sizeof s->pending_mode, mode);
    return true;
}

// The run that showed up after a start: another mode means that a test
// started elsewhere held the disk, and this screen's start was refused.
void check_started_run(const TestScreen* s) {
    const bool asked_full = is(s->pending_mode, "full");
    if (asked_full == is(s->view.mode, "full")) return;
    ui_flash("The %s test was refused: a %s test of this disk was already running.",
             asked_full ? "full" : "quick", asked_full ? "quick" : "full");
}

void stop_test(TestScreen* s) {
    const ProbeView& v = s->view;
    // The pid comes from a file: it is signalled only when it is this disk's
    // test, under the spelling of the serial that names the file.
    const bool ok = view_running(&v) && v.pid > 1 &&
                    probe_pid_is_probe(static_cast<pid_t>(v.pid), s->disk.serial) &&
                    ::kill(static_cast<pid_t>(v.pid), SIGTERM) == 0;
    if (ok)
        ui_flash("Stopping: the probe finishes the command in progress.");
    else
        ui_flash("Could not stop the probe.");
}

void cycle_rate() {
    // No cap, and any cap from the command line, step to 500.
    if (g_max_rate == 500)
        g_max_rate = 200;
    else if (g_max_rate == 200)
        g_max_rate = 50;
    else if (g_max_rate == 50)
        g_max_rate = 0;
    else
        g_max_rate = 500;
    if (g_max_rate <= 0)
        ui_flash("The next test reads as fast as the disk can.");
    else
        ui_flash("The next test reads at most %.0f MB/s.", g_max_rate);
}

// ---- drawing ----

int draw_chip(int x, int y, int w, const char* key, const char* label) {
    x += scr_text(x, y, w, key, T(40), T(41), 1);
    char text[64];
    std::snprintf(text, sizeof text, " %s  ", label);
    return x + scr_text(x, y, w, text, T(2), -1, 0);
}

void local_time(std::int64_t ts, const char* fmt, char* buf, std::size_t size) {
    const std::time_t t = static_cast<std::time_t>(ts);
    std::tm tm{};
    if (!localtime_r(&t, &tm) || std::strftime(buf, size, fmt, &tm) == 0) str_copy(buf, size, "-");
}

void draw_title(const TestScreen* s, int w) {
    const ProbeView& v = s->view;
    scr_fill(0, 0, w, 1, T(6));
    const int n = scr_text(1, 0, w - 2, " ◆ CORVANTIS SURFACE TEST ", T(5), T(6), 1);
    char size[32];
    ui_disk_size_text(&v, &s->disk, size, sizeof size);
    // A long model gives way first, so that the device and the size stay whole.
    char tail[128];
    std::snprintf(tail, sizeof tail, " · %s · %s ", v.dev[0] ? v.dev : s->disk.dev, size);
    const int room = w - n - 23;
    int x = n + 1 + scr_text(n + 1, 0, room, " ", T(5), T(6), 0);
    x += scr_text(x, 0, std::max(0, room - 1 - ui_text_cells(tail)),
                  v.model[0] ? v.model : s->disk.model, T(5), T(6), 0);
    scr_text(x, 0, room - (x - n - 1), tail, T(5), T(6), 0);
    char clock[16], right[32];
    local_time(clock_now(), "%H:%M:%S", clock, sizeof clock);
    const char* mode = view_running(&v) ? (is(v.mode, "full") ? "FULL" : "QUICK") : "";
    std::snprintf(right, sizeof right, "%s  %s ", mode, clock);
    const int len = ui_text_cells(right);
    scr_text(w - 1 - len, 0, len, right, T(5), T(6), 1);
}

int centred(int m, const char* text) {
    return (m - ui_text_cells(text)) / 2;
}

// A line of text in the map box (rows 1 to h - 5, m wide), kept off its
// frame on a terminal too small for it.
void box_line(int m, int h, int x, int y, const char* text, int fg, int bold) {
    if (y < 2 || y > h - 6) return;
    x = std::max(x, 1);
    scr_text(x, y, m - 1 - x, text, fg, -1, bold);
}

void draw_no_test(const TestScreen* s, int m, int h) {
    const char* head = "No surface test recorded for this disk.";
    const int mid = (h - 5) / 2;
    box_line(m, h, centred(m, head), mid - 1, head, T(1), 1);
    if (!s->root) {
        const char* hint = "Run as root (admin) to start a test.";
        box_line(m, h, centred(m, hint), mid + 1, hint, T(2), 0);
        return;
    }
    const char* l1 = "Press 1 for the daily test (a few minutes)";
    const char* l2 = "or 2 for Full (the whole surface, hours on a large HDD).";
    for (const char* line : {l1, l2}) {
        const int x = m - ui_text_cells(line) > 3 ? centred(m, line) : 2;
        box_line(m, h, x, line == l1 ? mid + 1 : mid + 2, line, T(2), 0);
    }
}

void draw_map_box(TestScreen* s, int m, int h, double now) {
    if (m <= 1 || h - 5 < 2) return;
    scr_box(0, 1, m, h - 5, "Surface map");
    const ProbeView& v = s->view;
    if (!v.present) {
        draw_no_test(s, m, h);
        return;
    }
    const MapLayout l = map_draw(&v, &s->anim, 2, 2, m - 4, h - 7, now);
    if (v.map.cell_bytes <= 0) return;
    char cell[32], title[240];
    fmt_size_dec(static_cast<std::uint64_t>(v.map.cell_bytes), cell, sizeof cell);
    const char* method = is(v.map.method, "read") ? "READ" : v.map.method[0] ? "VERIFY" : "";
    int n = std::snprintf(title, sizeof title, " %lld × %s%s%s ", (long long)v.map.cells, cell,
                          method[0] ? " · " : "", method);
    if (l.kind == 3 && n > 0 && static_cast<std::size_t>(n) < sizeof title)
        std::snprintf(title + n, sizeof title - n, "%s1 char = %lld cells ", " · ",
                      static_cast<long long>(l.group) * 2);
    const int len = ui_text_cells(title);
    if (len < m - 16) scr_text(m - 2 - len, 1, len, title, T(2), -1, 0);
}

void draw_legend(int m, int y) {
    int x = 1 + scr_text(1, y, m, "ms/MiB ", T(2), -1, 0);
    static const char* const kGrades[] = {"≤10", "≤25", "≤50", "≤150", "≤500", ">500"};
    for (int i = 0; i < 6 && x < m - 8; ++i) {
        scr_fill(x, y, 2, 1, T(13 + i));
        scr_text(x + 3, y, m, kGrades[i], T(2), -1, 0);
        x += 4 + ui_text_cells(kGrades[i]);
    }
    static const struct {
        const char* letter;
        const char* label;
        int fg, bg;
    } kLetters[] = {{"B", "bad block", 29, 19}, {"L", "link", 30, 20}, {"E", "other", 31, 21}};
    for (const auto& l : kLetters) {
        if (x >= m - 10) break;
        scr_text(x + 1, y, 1, l.letter, T(l.fg), T(l.bg), 1);
        scr_text(x + 3, y, m, l.label, T(2), -1, 0);
        x += 3 + ui_text_cells(l.label);
    }
    if (x < m - 12) {
        scr_put(x + 2, y, "·", T(3), T(12), 0);
        scr_text(x + 4, y, m, "untested", T(2), -1, 0);
    }
}

void draw_progress(const ProbeView& v, int m, int y, double now) {
    const double p = view_percent_done(&v);
    int bar = m - 27, start = 18;
    const bool strip = bar >= 10;
    if (!strip) {
        bar = m - 12;
        start = 1;
    }
    if (strip) {
        static const char* const kPhases[] = {"identify", "snapshot0", "verify",    "read",
                                              "repeat",   "selftest",  "snapshot1", "verdict"};
        int current = -1;
        for (int i = 0; i < 8; ++i)
            if (is(v.phase, kPhases[i])) current = i;
        if (is(v.status, "done")) current = 8;
        const int odd = map_blink_phase(now);
        for (int i = 0; i < 8; ++i) {
            if (i < current)
                scr_put(1 + 2 * i, y, g_theme->glyph[0], T(8), -1, 0);
            else if (i == current)
                scr_put(1 + 2 * i, y, g_theme->glyph[1], odd ? T(32) : T(7), -1, 1);
            else
                scr_put(1 + 2 * i, y, g_theme->glyph[2], T(3), -1, 0);
        }
    }
    if (bar <= 0) return;
    const int filled = std::clamp(static_cast<int>(std::floor(p / 100.0 * bar + 0.5)), 0, bar);
    for (int i = 0; i < bar; ++i)
        scr_put(start + i, y, i < filled ? "█" : "░", i < filled ? T(38) : T(39), -1, 0);
    scr_printf(start + 1 + bar, y, 8, T(7), -1, 1, "%5.1f%%", p);
}

void draw_speed(const ProbeView& v, int m, int y, int x) {
    if (!v.has_speed || x >= m - 12) return;
    const auto& t = v.thermal;
    if (is(t.state, "pause")) {
        scr_printf(x, y, m - x, T(10), -1, 1, "COOLING %lld C, resumes at %lld C",
                   (long long)t.temp_c, (long long)t.resume_c);
        return;
    }
    char rate[32];
    fmt_rate(v.speed.cur_mibs, rate, sizeof rate);
    x += scr_text(x, y, m - x, rate, T(7), -1, 1) + 2;
    const bool slow = is(t.state, "slow");
    if (t.has_temp && x < m - 8)
        x += scr_printf(x, y, m - x, slow ? T(9) : T(2), -1, 0, "%lld C", (long long)t.temp_c) + 2;
    if (slow && x < m - 10)
        scr_printf(x, y, m - x, T(9), -1, 0, "slowed to %lld%%", (long long)t.duty_pct);
}

// The verdict shows in the status row wherever the info panel cannot show
// its verdict box, so that a terminal of any size shows the result.
bool panel_shows_verdict(const TestScreen* s, int w, int h) {
    const TestScreenLayout l = test_screen_layout(w);
    if (l.panel_w > 0) return ui_info_panel_shows_verdict(&s->view, h - 2, g_show_details);
    return g_show_details && ui_info_panel_shows_verdict(&s->view, h - 3, 0);
}

// The details overlay covers the status row, unless that row has to carry
// the verdict of a finished run that the overlay has no room for.
int overlay_height(const TestScreen* s, int h) {
    const ProbeView& v = s->view;
    const bool outcome = v.present && !view_running(&v) &&
                         (v.verdict.code[0] || is(v.status, "failed") || is(v.status, "stopped"));
    return outcome && !ui_info_panel_shows_verdict(&v, h - 3, 0) ? h - 4 : h - 3;
}

void draw_status(const TestScreen* s, int w, int h, double now) {
    const ProbeView& v = s->view;
    const int m = test_screen_layout(w).map_w;
    const int y = h - 2;
    if (view_running(&s->view)) {
        static const char* const kSpin[] = {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧"};
        const auto frame = static_cast<long long>(std::floor(now / 100.0)) % 8;
        scr_put(1, y, kSpin[frame < 0 ? frame + 8 : frame], T(7), -1, 1);
        const int n = scr_text(3, y, w - 3, view_phase_label(v.phase, v.map.method), T(1), -1, 1);
        int x = n + 5;
        if (v.eta_s > 0) {
            char eta[32];
            fmt_duration(v.eta_s, eta, sizeof eta);
            x = n + 7 + scr_printf(n + 5, y, w - n - 5, T(2), -1, 0, "about %s left", eta);
        }
        draw_speed(v, m, y, x);
        return;
    }
    if (!v.present) return;
    int x = 1 + scr_text(1, y, w - 1, view_status_label(v.status), T(1), -1, 1) + 2;
    const bool fallback = !panel_shows_verdict(s, w, h);
    if (fallback && v.verdict.code[0])
        x += scr_text(x, y, w - x, view_verdict_label(v.verdict.code),
                      view_verdict_color(v.verdict.code), -1, 1) +
             2;
    char when[32];
    const std::int64_t ts = v.finished_ts > 0 ? v.finished_ts : v.updated_ts;
    if (ts > 0)
        local_time(ts, "%Y-%m-%d %H:%M", when, sizeof when);
    else
        str_copy(when, sizeof when, "-");
    x += scr_printf(x, y, w - x, T(2), -1, 0, "%s · %s", is(v.mode, "full") ? "Full" : "Daily",
                    when) +
         2;
    if (fallback && is(v.status, "failed") && v.error[0])
        scr_text(x, y, w - x, v.error, T(10), -1, 0);
}

void draw_panel(const TestScreen* s, int w, int h) {
    const TestScreenLayout l = test_screen_layout(w);
    if (l.panel_w > 0) {
        ui_draw_info_panel(&s->view, l.panel_x, 1, l.panel_w, h - 2, &s->disk);
        return;
    }
    if (!g_show_details) return;
    const int ow = std::min(w, 64) - 4;
    const int oh = overlay_height(s, h);
    // The rows below the map that the overlay reaches are blanked across the
    // screen: what the overlay left of them at its sides would be pieces of
    // the legend, the bar and the status.
    const int below_map = h - 4;
    scr_fill(0, below_map, w, 2 + oh - below_map, -1);
    scr_fill(2, 2, ow, oh, -1);
    const int details = g_show_details;
    g_show_details = 0;  // the overlay shows the counters and the verdict
    ui_draw_info_panel(&s->view, 2, 2, ow, oh, &s->disk);
    g_show_details = details;
}

void draw_footer(const TestScreen* s, int w, int h) {
    const int y = h - 1;
    scr_fill(0, y, w, 1, -1);
    int x = 1;
    if (!view_running(&s->view)) {
        x = draw_chip(x, y, w, " q ", "quit");
        if (s->root) {
            x = draw_chip(x, y, w, " 1 ", "Daily");
            x = draw_chip(x, y, w, " 2 ", "Full");
            char pace[48] = "pace max";
            if (g_max_rate > 0) {
                char rate[32];
                ui_rate_arg(g_max_rate, rate, sizeof rate);
                std::snprintf(pace, sizeof pace, "pace %s MB/s", rate);
            }
            x = draw_chip(x, y, w, " r ", pace);
        }
    } else {
        x = draw_chip(x, y, w, " q ", "leave (the test keeps running)");
        if (s->root) x = draw_chip(x, y, w, " s ", "stop");
    }
    if (test_screen_layout(w).panel_w > 0)
        x = draw_chip(x, y, w, " d ", g_show_details ? "counters" : "errors");
    else
        x = draw_chip(x, y, w, " d ", g_show_details ? "map" : "details");
    draw_chip(x, y, w, " ? ", "help");

    if (const char* toast = ui_toast_text()) {
        const int len = ui_text_cells(toast);
        scr_fill(w - len - 3, y, len + 2, 1, T(6));
        scr_text(w - len - 2, y, len, toast, T(5), T(6), 1);
    }
}

void draw_dialog(int w, int h) {
    if (!g_dialog && !g_show_help) return;
    int dx = 2, dw = w - 4, tx = 4, tw = w - 8;
    if (w >= 71) {
        dw = 64;
        dx = (w - 64) / 2;
        tx = dx + 2;
        tw = 60;
    }
    const int dh = g_show_help ? 13 : 6;
    const int top = (h - dh) / 2;
    const char* title = g_show_help     ? "Help"
                        : g_dialog == 1 ? "Stop the test?"
                                        : "Full surface test";
    scr_fill(dx, top, dw, dh, -1);
    if (dw >= 2) scr_box(dx, top, dw, dh, title);
    if (g_show_help) {
        static const char* const kHelp[] = {
            "The map: one cell per 1/4096 of the disk, cell 0 top left.",
            "Green to red: how long the drive took per MiB.",
            "B: medium error (bad block)  L: link error  E: other error.",
            "The head (bright cyan) is the cell being read.",
            "",
            "q  leave the screen; a running test keeps running",
            "s  stop the running test (asks first)",
            "1  daily test   2  full test (asks first)   r  read pace",
            "d  errors found / counters    ?  this help",
            "Re-attach later: corvantisd probe-ui --serial <S>",
        };
        for (int i = 0; i < 10; ++i)
            scr_text(tx, top + 1 + i, tw, kHelp[i], i < 4 ? T(1) : T(2), -1, 0);
    } else if (g_dialog == 1) {
        scr_text(tx, top + 2, tw, "y  stop the test      any other key  keep it running", T(9), -1,
                 1);
    } else {
        scr_wrap(
            tx, top + 1, tw, 2,
            "The drive verifies its whole surface in 8 MiB commands. On a large HDD this takes "
            "hours.",
            T(1));
        scr_text(tx, top + 4, tw, "y  start the full test      any other key  cancel", T(9), -1, 1);
    }
}

struct KeyRule {
    int key;
    enum Need { kAny, kIdleRoot, kRunningRoot } need;
    TsAction action;
};

constexpr KeyRule kKeys[] = {
    {'1', KeyRule::kIdleRoot, TsAction::kStartQuick},
    {'2', KeyRule::kIdleRoot, TsAction::kAskFull},
    {'s', KeyRule::kRunningRoot, TsAction::kAskStop},
    {'S', KeyRule::kRunningRoot, TsAction::kAskStop},
    {'r', KeyRule::kIdleRoot, TsAction::kCycleRate},
    {'R', KeyRule::kIdleRoot, TsAction::kCycleRate},
    {'d', KeyRule::kAny, TsAction::kToggleDetails},
    {'D', KeyRule::kAny, TsAction::kToggleDetails},
    {'?', KeyRule::kAny, TsAction::kHelp},
    {'h', KeyRule::kAny, TsAction::kHelp},
    {'l', KeyRule::kAny, TsAction::kBack},
    {'L', KeyRule::kAny, TsAction::kBack},
    {KEY_LEFT, KeyRule::kAny, TsAction::kBack},
    {'q', KeyRule::kAny, TsAction::kLeave},
    {'Q', KeyRule::kAny, TsAction::kLeave},
    {KEY_ESC, KeyRule::kAny, TsAction::kLeave},
};

bool watching_start(const TestScreen* s) {
    return !ui_run_is_new(&s->view, s->pending_run);
}

}  // namespace

TestScreenLayout test_screen_layout(int w) {
    if (w >= 130) return {w - 43, w - 42, 42};
    if (w >= 96) return {w - 37, w - 36, 36};
    return {w, 0, 0};
}

void test_screen_enter(TestScreen* s, const PickerDisk* disk, const char* mode) {
    s->disk = *disk;
    s->root = ::geteuid() == 0;
    view_load(s->disk.serial, &s->view);
    const double now = mono_ms();
    if (mode) {
        if (view_running(&s->view))
            ui_flash("A test is already running on this disk; showing it.");
        else if (!s->root)
            ui_flash("Starting a test needs root.");
        else
            start_test(s, mode, now);
    }
    map_head_anim_update(&s->anim, &s->view);
    s->last_load_ms = now;
}

void test_screen_reload(TestScreen* s, double now) {
    view_load(s->disk.serial, &s->view);
    map_head_anim_update(&s->anim, &s->view);
    if (s->pending_ms > 0) {
        if (!watching_start(s)) {
            check_started_run(s);
            s->pending_ms = 0;
        } else if (now - s->pending_ms > kStartWatchMs) {
            ui_flash("The test did not start: see var/corvantis/probe/%s.log", s->disk.serial);
            s->pending_ms = 0;
        }
    }
    s->last_load_ms = now;
}

void test_screen_draw(TestScreen* s, int w, int h, double now) {
    scr_resize(w, h);
    scr_clear();
    const int m = test_screen_layout(w).map_w;
    draw_title(s, w);
    draw_map_box(s, m, h, now);
    draw_legend(m, h - 4);
    draw_progress(s->view, m, h - 3, now);
    draw_status(s, w, h, now);
    draw_panel(s, w, h);
    draw_footer(s, w, h);
    draw_dialog(w, h);
}

TsAction test_screen_key_action(int key, int dialog, int help, bool root, bool running) {
    if (key == 0) return TsAction::kNone;
    if (help) return TsAction::kClose;
    if (dialog) {
        if (key != 'y' && key != 'Y') return TsAction::kClose;
        return dialog == 1 ? TsAction::kStop : TsAction::kStartFull;
    }
    for (const KeyRule& r : kKeys) {
        if (r.key != key) continue;
        if (r.need == KeyRule::kIdleRoot && !(root && !running)) return TsAction::kNone;
        if (r.need == KeyRule::kRunningRoot && !(root && running)) return TsAction::kNone;
        return r.action;
    }
    return TsAction::kNone;
}

void test_screen_apply(TestScreen* s, TsAction a) {
    const double now = mono_ms();
    switch (a) {
        case TsAction::kClose:
            g_dialog = 0;
            g_show_help = 0;
            break;
        case TsAction::kStartQuick:
            if (start_test(s, "quick", now)) ui_flash("Starting the quick test.");
            break;
        case TsAction::kAskFull:
            if (may_start(s)) g_dialog = 2;
            break;
        case TsAction::kStartFull:
            g_dialog = 0;
            // A test may have begun from elsewhere while the question was open.
            if (!view_running(&s->view) && s->root && start_test(s, "full", now))
                ui_flash("Starting the full test.");
            break;
        case TsAction::kAskStop:
            g_dialog = 1;
            break;
        case TsAction::kStop:
            g_dialog = 0;
            stop_test(s);
            break;
        case TsAction::kCycleRate:
            cycle_rate();
            break;
        case TsAction::kToggleDetails:
            g_show_details = !g_show_details;
            break;
        case TsAction::kHelp:
            g_show_help = 1;
            break;
        case TsAction::kNone:
        case TsAction::kBack:
        case TsAction::kLeave:
            break;
    }
}

void test_screen_summary(std::FILE* out, const TestScreen* s) {
    const ProbeView& v = s->view;
    if (!v.present) return;
    char disk[160];
    ui_plain_disk_name(&v, disk, sizeof disk);
    if (view_running(&v)) {
        std::fprintf(out, "corvantis: the surface test of %s keeps running: %lld of %lld cells.\n",
                     disk, (long long)v.map.done, (long long)v.map.cells);
        std::fprintf(out, "  watch it again:  %s %s--serial %s\n", ui_program_name(), ui_cli_word(),
                     s->disk.serial);
    } else if (v.verdict.code[0]) {
        std::fprintf(out, "corvantis: %s: %s\n", disk, view_verdict_label(v.verdict.code));
        ui_plain_reasons(out, &v);
    }
    std::fflush(out);
}

TestScreenEnd test_screen_run(const PickerDisk* disk, const char* mode) {
    static TestScreen s;
    view_free(&s.view);
    s = TestScreen{};
    test_screen_enter(&s, disk, mode);
    TestScreenEnd end = TestScreenEnd::kLeave;
    while (!g_quit) {
        const double now = mono_ms();
        if (now - s.last_load_ms >= kReloadMs) test_screen_reload(&s, now);
        g_resized = 0;
        int w = 0, h = 0;
        scr_query_size(&w, &h);
        test_screen_draw(&s, w, h, now);
        scr_flush();
        const int key = scr_read_key(kKeyWaitMs);
        const TsAction a =
            test_screen_key_action(key, g_dialog, g_show_help, s.root, view_running(&s.view));
        if (a == TsAction::kBack || a == TsAction::kLeave) {
            end = a == TsAction::kBack ? TestScreenEnd::kBack : TestScreenEnd::kLeave;
            break;
        }
        test_screen_apply(&s, a);
    }
    if (g_quit) end = TestScreenEnd::kLeave;
    scr_restore();
    view_load(s.disk.serial, &s.view);
    // Ended from a background job (a shell's kill): not a word to a terminal
    // that the shell is using.
    if (scr_owns_terminal()) test_screen_summary(stdout, &s);
    view_free(&s.view);
    return end;
}
