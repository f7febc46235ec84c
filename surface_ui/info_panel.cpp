#include "surface_ui/info_panel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/clock.h"
#include "core/util.h"
#include "surface_ui/fmt.h"
#include "surface_ui/labels.h"
#include "surface_ui/picker.h"
#include "surface_ui/screen.h"
#include "surface_ui/surface_map.h"
#include "surface_ui/view.h"

int g_show_details = 0;

namespace {

constexpr int kDiskRows = 6;
constexpr int kRunEnd = 13;   // the Run box ends above this row
constexpr int kPaceEnd = 19;  // the Pace box ends above this row

constexpr char kLinkHint[] =
    "Move the disk to another slot and test again. If the error stays with the slot, the "
    "backplane is at fault.";

bool is(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

bool finished(const ProbeView* v) {
    return v->present &&
           (is(v->status, "done") || is(v->status, "stopped") || is(v->status, "failed"));
}

int T(int slot) {
    return theme_color(slot);
}

// Which sections a panel h rows high holds; rows count from the panel's top.
struct Plan {
    int sections;      // 1 Disk, 2 and Run, 3 and more below
    bool pace;         // the Pace box
    int top;           // first row below Run (and Pace)
    bool errors_list;  // the errors found in place of the counters
    int counters_h;    // height of the counters box (may be below 2: not drawn)
    int end;           // first row below the counters
    bool verdict;      // the Verdict box from end to h - 1
    int h;
};

Plan make_plan(const ProbeView* v, int h, int details) {
    Plan p{};
    p.h = h;
    p.sections = h <= kDiskRows ? 1 : h <= kRunEnd ? 2 : 3;
    if (p.sections < 3) return p;
    p.pace = v->has_speed && h >= kPaceEnd;
    if (p.pace && h == kPaceEnd) {
        p.sections = 2;
        return p;
    }
    p.top = p.pace ? kPaceEnd : kRunEnd;
    if (details) {
        p.errors_list = true;
        return p;
    }
    p.counters_h = std::min(finished(v) ? 8 : 6, h - p.top);
    p.end = p.top + p.counters_h;
    const bool has_outcome =
        v->verdict.code[0] || is(v->status, "failed") || is(v->status, "stopped");
    p.verdict = finished(v) && h - p.end >= 3 && has_outcome;
    return p;
}

void row(int x, int y, int w, const char* label, const char* value, int color) {
    scr_label_value(x + 2, y, w - 4, label, value, color);
}

// Cells for a piece at column x + at of a box w wide: at most cells, and
// never past the column where the rows' values end (x + w - 3).
int fit(int w, int at, int cells) {
    return std::min(cells, w - 2 - at);
}

// A box of at most rows rows from top, cut where the panel ends (bottom) and
// left out when no line fits inside it: an empty frame tells nothing. Returns
// the row of its bottom edge: its rows are drawn only above it.
int fitted_box(int x, int top, int w, int rows, int bottom, const char* title) {
    const int h = std::min(rows, bottom - top);
    if (w > 1 && h >= 3) scr_box(x, top, w, h, title);
    return top + h - 1;
}

void draw_disk(const ProbeView* v, int x, int y, int w, int bottom, const PickerDisk* d) {
    const int edge = fitted_box(x, y, w, kDiskRows, bottom, "Disk");
    auto line = [&](int r, const char* label, const char* value) {
        if (r < edge) row(x, r, w, label, value, T(1));
    };
    line(y + 1, "Model", v->model[0] ? v->model : d->model);
    line(y + 2, "Serial", v->serial[0] ? v->serial : d->serial);
    line(y + 3, "Device", v->dev[0] ? v->dev : d->dev);
    char size[32];
    ui_disk_size_text(v, d, size, sizeof size);
    char text[64];
    std::snprintf(text, sizeof text, "%s%s%s", size, v->kind[0] ? " · " : "", v->kind);
    line(y + 4, "Size", text);
}

const char* selftest_text(const char* status) {
    static const struct {
        const char* key;
        const char* text;
    } kTexts[] = {{"passed", "passed"},
                  {"failed", "FAILED"},
                  {"running", "running"},
                  {"unsupported", "not supported"},
                  {"skipped", "skipped"}};
    for (const auto& t : kTexts)
        if (is(status, t.key)) return t.text;
    return "-";
}

void draw_run(const ProbeView* v, int x, int y, int w, int bottom) {
    const int top = y + kDiskRows;
    const int edge = fitted_box(x, top, w, 7, bottom, "Run");
    auto line = [&](int r, const char* label, const char* value, int color) {
        if (r < edge) row(x, r, w, label, value, color);
    };
    // Without a file the status is empty, which the label calls "No test recorded".
    const int status_color = !v->present ? T(2) : view_running(v) ? T(7) : T(1);
    line(top + 1, "Status", view_status_label(v->status), status_color);
    const char* mode = is(v->mode, "full") ? "Full" : v->mode[0] ? "Daily" : "-";
    line(top + 2, "Mode", mode, T(1));
    char done[32], cells[32], text[80];
    fmt_thousands(v->map.done, done, sizeof done);
    fmt_thousands(v->map.cells, cells, sizeof cells);
    std::snprintf(text, sizeof text, "%s / %s", done, cells);
    line(top + 3, "Cells", text, T(1));
    if (v->started_ts < 1) {
        std::snprintf(text, sizeof text, "-");
    } else {
        const std::int64_t end = v->finished_ts >= 1 ? v->finished_ts : clock_now();
        fmt_duration(end - v->started_ts, text, sizeof text);
    }
    line(top + 4, "Elapsed", text, T(1));
    if (view_running(v) && v->eta_s >= 1) {
        fmt_duration(v->eta_s, text, sizeof text);
        line(top + 5, "Time left", text, T(7));
    } else {
        line(top + 5, "Self-test", selftest_text(v->selftest.status),
             is(v->selftest.status, "failed") ? T(10) : T(1));
    }
}

float largest(const float* s, int n, float floor_value) {
    float m = floor_value;
    for (int i = 0; i < n; ++i) m = std::max(m, s[i]);
    return m;
}

void draw_temperature(const ProbeView* v, int x, int y, int w, int state_color) {
    const auto& t = v->thermal;
    scr_text(x + 2, y, fit(w, 2, 10), view_running(v) ? "Temp" : "Max temp", T(2), -1, 0);
    const long long shown = view_running(v) ? t.temp_c : t.max_c;
    const int cells = fit(w, 11, 11);
    if (!t.has_temp && t.max_c == 0)
        scr_text(x + 11, y, cells, "-", T(2), -1, 0);
    else if (t.limit_c >= 1)
        scr_printf(x + 11, y, cells, view_running(v) ? state_color : T(1), -1, 1, "%lld C/%lld",
                   shown, (long long)t.limit_c);
    else
        scr_printf(x + 11, y, cells, T(1), -1, 1, "%lld C", shown);
}

void draw_guard(const ProbeView* v, int x, int y, int w) {
    const auto& t = v->thermal;
    char text[64];
    int color = T(2);
    std::snprintf(text, sizeof text, "no temperature reading");
    if (is(t.state, "off")) {
        std::snprintf(text, sizeof text, "off");
    } else if (is(t.state, "pause")) {
        std::snprintf(text, sizeof text, "COOLING to %lld C", (long long)t.resume_c);
        color = T(10);
    } else if (is(t.state, "slow")) {
        std::snprintf(text, sizeof text, "slowed to %lld%%", (long long)t.duty_pct);
        color = T(9);
    } else if (is(t.state, "ok")) {
        std::snprintf(text, sizeof text, "%s", view_running(v) ? "full pace" : "never slowed");
        color = T(8);
    }
    if (!view_running(v) && !is(t.state, "off")) {
        char d[32];
        if (t.pauses >= 1) {
            fmt_duration(t.paused_s, d, sizeof d);
            std::snprintf(text, sizeof text, "%lld pauses, %s", (long long)t.pauses, d);
            color = T(9);
        } else if (t.slowed_s >= 1) {
            fmt_duration(t.slowed_s, d, sizeof d);
            std::snprintf(text, sizeof text, "slowed %s", d);
            color = T(1);
        }
    }
    row(x, y, w, "Guard", text, color);
}

void draw_pace(const ProbeView* v, int x, int y, int w) {
    const int top = y + kRunEnd;
    if (w > 1) scr_box(x, top, w, 6, "Pace");
    const bool live = view_running(v) &&
                      (is(v->phase, "verify") || is(v->phase, "read") || is(v->phase, "repeat"));
    const int sw = w - 26;
    const auto& s = v->speed;
    char rate[32];
    if (live) {
        scr_text(x + 2, top + 1, fit(w, 2, 10), "Speed", T(2), -1, 0);
        fmt_rate(s.cur_mibs, rate, sizeof rate);
    } else {
        scr_text(x + 2, top + 1, fit(w, 2, 10), "Average", T(2), -1, 0);
        if (s.avg_mibs > 0)
            fmt_rate(s.avg_mibs, rate, sizeof rate);
        else
            std::snprintf(rate, sizeof rate, "-");
    }
    scr_text(x + 11, top + 1, fit(w, 11, 11), rate, T(7), -1, 1);
    if (sw > 4)
        scr_sparkline(x + 24, top + 1, sw, s.hist, s.hist_count, T(7), 0.0f,
                      largest(s.hist, s.hist_count, 1.0f));

    char line[96] = "";
    auto add = [&line](const char* word, double value) {
        const std::size_t n = std::strlen(line);
        if (n >= sizeof line - 1) return;
        if (value >= 0)
            std::snprintf(line + n, sizeof line - n, "%s %.0f  ", word, value);
        else
            std::snprintf(line + n, sizeof line - n, "%s", word);
    };
    if (live && s.avg_mibs > 0) add("avg", s.avg_mibs);
    if (s.peak_mibs > 0) add("peak", s.peak_mibs);
    if (s.max_rate_mibs > 0) add("cap", s.max_rate_mibs);
    if (line[0]) add("MB/s", -1);
    scr_text(x + 2, top + 2, w - 4, line, T(2), -1, 0);

    const auto& t = v->thermal;
    const int state_color = is(t.state, "pause") ? T(10) : is(t.state, "slow") ? T(9) : T(1);
    draw_temperature(v, x, top + 3, w, state_color);
    if (t.hist_count > 1 && sw > 4) {
        float lo = 1000.0f, hi = static_cast<float>(t.limit_c);
        for (int i = 0; i < t.hist_count; ++i) {
            if (t.hist[i] <= -999.0f) continue;
            lo = std::min(lo, t.hist[i]);
            hi = std::max(hi, t.hist[i]);
        }
        lo = std::min(lo, hi - 10.0f);
        scr_sparkline(x + 24, top + 3, sw, t.hist, t.hist_count,
                      state_color == T(1) ? T(2) : state_color, lo, hi);
    }
    draw_guard(v, x, top + 4, w);
}

void draw_errors_found(const ProbeView* v, int x, int top, int w, int bottom) {
    if (bottom - top < 3) return;
    if (w > 1) scr_box(x, top, w, bottom - top, "Errors found");
    if (v->bad_count == 0) {
        scr_text(x + 2, top + 1, w - 4, "None.", T(2), -1, 0);
        return;
    }
    for (int i = 0; i < v->bad_count && i < bottom - top - 2; ++i) {
        const ViewBad& b = v->bad[i];
        const int y = top + 1 + i;
        const int bg = b.code == 'B' ? T(10) : b.code == 'L' ? T(11) : T(9);
        const char letter[2] = {b.code, '\0'};
        scr_text(x + 2, y, 1, letter, T(40), bg, 1);
        char lba[32];
        fmt_thousands(b.lba, lba, sizeof lba);
        scr_printf(x + 4, y, w - 6, T(1), -1, 0, "LBA %s  %s %s  cell %lld", lba,
                   is(b.via, "read") ? "READ" : "VERIFY", b.repeat, (long long)b.cell);
    }
}

std::int64_t count_codes(const ProbeView* v, const char* which) {
    std::int64_t n = 0;
    for (std::int64_t i = 0; v->map.codes && i < v->map.codes_len; ++i)
        if (std::strchr(which, v->map.codes[i])) ++n;
    return n;
}

void draw_counters(const ProbeView* v, int x, int y, int w, const Plan& p) {
    const int top = y + p.top;
    const int end = y + p.end;
    // A box too short to hold a row is left out rather than written over.
    const bool boxed = p.counters_h >= 3;
    if (boxed && w > 1)
        scr_box(x, top, w, p.counters_h, finished(v) ? "Counters during the test" : "Found so far");
    // The bad blocks matter most: their row shows whenever the panel has a
    // row for it, without its box when the box has no room; the others stay
    // above the bottom edge.
    char text[32];
    int r = top + 1;
    auto count_row = [&](const char* label, std::int64_t n, int alarm) {
        if (r == top + 1 && !boxed ? r >= y + p.h : r >= end - 1) return;
        std::snprintf(text, sizeof text, "%lld", (long long)n);
        row(x, r++, w, label, text, n > 0 ? alarm : T(1));
    };
    count_row("Bad blocks (B)", count_codes(v, "B"), T(10));
    count_row("Link errors (L)", count_codes(v, "L"), T(11));
    count_row("Other errors (E)", count_codes(v, "E"), T(9));
    count_row("Slow cells", count_codes(v, "ef"), T(9));
    if (!finished(v)) return;
    auto delta_row = [&](const char* label, std::int64_t n, int alarm) {
        if (r >= end - 1) return;
        std::snprintf(text, sizeof text, "%+lld", (long long)n);
        row(x, r++, w, label, text, n != 0 ? alarm : T(1));
    };
    if (v->deltas.has_a5) delta_row("Reallocated (5)", v->deltas.a5, T(10));
    if (v->deltas.has_a199) delta_row("UDMA CRC (199)", v->deltas.a199, T(9));
}

void draw_verdict(const ProbeView* v, int x, int top, int w, int bottom) {
    if (w > 1) scr_box(x, top, w, bottom - top, "Verdict");
    const char* mark = g_theme->glyph[4];
    if (is(v->status, "stopped"))
        scr_printf(x + 2, top + 1, w - 4, T(2), -1, 1, "%s %s", mark, "ABORTED");
    else if (v->verdict.code[0])
        scr_printf(x + 2, top + 1, w - 4, view_verdict_color(v->verdict.code), -1, 1, "%s %s", mark,
                   view_verdict_label(v->verdict.code));
    else
        scr_printf(x + 2, top + 1, w - 4, T(1), -1, 1, "%s %s", mark, "TEST FAILED");
    const int last = bottom - 1;  // the box's bottom edge
    int r = top + 2;
    if (r < last && is(v->status, "failed") && v->error[0])
        r += scr_wrap(x + 2, r, w - 4, last - r, v->error, T(10));
    char text[kReasonTextSize];
    for (int i = 0; i < v->reason_count; ++i) {
        if (r >= last) return;
        const ViewReason& reason = v->reasons[i];
        scr_text(x + 2, r, 1, g_theme->glyph[3], T(2), -1, 0);
        view_reason_text(reason.key, reason.n, reason.has_n, text, sizeof text);
        r += scr_wrap(x + 4, r, w - 6, last - r, text, T(1));
    }
    if (r < last && is(v->verdict.code, "link"))
        scr_wrap(x + 2, r, w - 4, last - r, kLinkHint, T(9));
}

}  // namespace

void ui_disk_size_text(const ProbeView* view, const PickerDisk* disk, char* buf, std::size_t size) {
    if (view->capacity_bytes > 0)
        fmt_size_dec(static_cast<std::uint64_t>(view->capacity_bytes), buf, size);
    else
        str_copy(buf, size, disk->size_text);
}

bool ui_info_panel_shows_verdict(const ProbeView* view, int h, int details) {
    return make_plan(view, h, details).verdict;
}

void ui_draw_info_panel(const ProbeView* v, int x, int y, int w, int h, const PickerDisk* disk) {
    if (h < 1 || w < 1) return;
    const Plan p = make_plan(v, h, g_show_details);
    draw_disk(v, x, y, w, y + h, disk);
    if (p.sections < 2) return;
    draw_run(v, x, y, w, y + h);
    if (p.pace) draw_pace(v, x, y, w);
    if (p.sections < 3) return;
    if (p.errors_list) {
        draw_errors_found(v, x, y + p.top, w, y + h);
        return;
    }
    draw_counters(v, x, y, w, p);
    if (p.verdict) draw_verdict(v, x, y + p.end, w, y + h);
}
