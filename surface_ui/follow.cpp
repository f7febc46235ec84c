#include "surface_ui/follow.h"

#include <unistd.h>

#include <cstring>

#include "core/clock.h"
#include "core/util.h"
#include "surface_ui/fmt.h"
#include "surface_ui/labels.h"
#include "surface_ui/screen.h"
#include "surface_ui/spawn.h"
#include "surface_ui/view.h"

namespace {

constexpr double kPassMs = 500.0;
constexpr double kReprintMs = 5000.0;

bool is(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

// Speed, temperature and the thermal guard's state; empty without speed data.
void speed_text(const ProbeView* v, char* buf, std::size_t size) {
    buf[0] = '\0';
    if (!v->has_speed) return;
    char rate[32];
    fmt_rate(v->speed.cur_mibs, rate, sizeof rate);
    char temp[32] = "";
    if (v->thermal.has_temp)
        std::snprintf(temp, sizeof temp, "  %lld C", (long long)v->thermal.temp_c);
    char guard[48] = "";
    if (is(v->thermal.state, "pause"))
        std::snprintf(guard, sizeof guard, "  cooling to %lld C", (long long)v->thermal.resume_c);
    else if (is(v->thermal.state, "slow"))
        std::snprintf(guard, sizeof guard, "  slowed to %lld%%", (long long)v->thermal.duty_pct);
    std::snprintf(buf, size, "  %s%s%s", rate, temp, guard);
}

// A run this follower may not report yet: none at all, or, after it started
// one, the previous run that is still in the file.
bool still_waiting(const ProbeView& v, bool started, const RunMark& previous) {
    if (!v.present) return true;
    return started && !ui_run_is_new(&v, previous);
}

// One progress line of a running test, with its newline.
void plain_progress_line(const ProbeView* v, char* buf, std::size_t size) {
    const double pct = view_percent_done(v);
    char eta[32] = "";
    if (v->eta_s > 0) fmt_duration(v->eta_s, eta, sizeof eta);
    char speed[96];
    speed_text(v, speed, sizeof speed);
    char phase[160];
    ui_fit_text(phase, sizeof phase, view_phase_label(v->phase, v->map.method), 38);
    std::snprintf(buf, size, "[%s] %s %6lld/%lld cells %5.1f%%%s%s%s\n", v->serial, phase,
                  (long long)v->map.done, (long long)v->map.cells, pct,
                  v->eta_s > 0 ? "  left " : "", eta, speed);
}

// The report of a finished run: its verdict, error, reasons and bad ranges.
void plain_report(std::FILE* out, const ProbeView* v) {
    const bool verdict = v->verdict.code[0] != '\0';
    char disk[160];
    ui_plain_disk_name(v, disk, sizeof disk);
    std::fprintf(out, "corvantis: %s: %s%s%s\n", disk, view_status_label(v->status),
                 verdict ? ", " : "", verdict ? view_verdict_label(v->verdict.code) : "");
    if (v->error[0]) std::fprintf(out, "  error: %s\n", v->error);
    ui_plain_reasons(out, v);
    char lba[32];
    for (int i = 0; i < v->bad_count; ++i) {
        const ViewBad& b = v->bad[i];
        fmt_thousands(b.lba, lba, sizeof lba);
        std::fprintf(out, "  %c  LBA %s  %s  %s %s  cell %lld\n", b.code, lba, b.kind, b.via,
                     b.repeat, (long long)b.cell);
    }
    std::fflush(out);
}

// The exit code that a finished (or given up) run ends the follower with.
int plain_exit_code(const ProbeView* v) {
    if (is(v->verdict.code, "bad")) return 3;
    // A script must not read a test that never finished as a passed one.
    if (is(v->status, "failed") || is(v->status, "stale")) return 1;
    return 0;
}

// Whether what was printed reached standard output. Nothing reads a closed
// pipe, so a follower whose reader is gone ends at its next line instead of
// printing into nothing until the test ends, hours later.
bool output_lost() {
    return std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
}

int finish(const ProbeView* v) {
    plain_report(stdout, v);
    return output_lost() ? 1 : plain_exit_code(v);
}

}  // namespace

void ui_plain_reasons(std::FILE* out, const ProbeView* v) {
    char reason[kReasonTextSize];
    for (int i = 0; i < v->reason_count; ++i) {
        const ViewReason& r = v->reasons[i];
        view_reason_text(r.key, r.n, r.has_n, reason, sizeof reason);
        std::fprintf(out, "  - %s\n", reason);
    }
}

void ui_plain_disk_name(const ProbeView* v, char* buf, std::size_t size) {
    if (v->dev[0])
        std::snprintf(buf, size, "%s (%s)", v->serial, v->dev);
    else
        str_copy(buf, size, v->serial);
}

int ui_follow_plain(const char* serial, const char* mode) {
    ProbeView v{};
    view_load(serial, &v);
    const RunMark previous = ui_run_mark(&v);
    bool started = false;
    if (mode) {
        if (view_running(&v)) {
            std::printf("corvantis: a test is already running on %s; following it.\n", serial);
        } else if (::geteuid() != 0) {
            std::printf("corvantis: starting a test needs root.\n");
            view_free(&v);
            return 1;
        } else if (ui_spawn_probe(serial, mode) != 0) {
            std::printf("corvantis: could not start the probe\n");
            view_free(&v);
            return 1;
        } else {
            started = true;
        }
        if (output_lost()) {
            view_free(&v);
            return 1;
        }
    }
    char last_phase[24] = "";
    double last_print = 0;
    const double start = mono_ms();
    int code = 0;
    while (!g_quit) {
        view_load(serial, &v);
        if (still_waiting(v, started, previous)) {
            if (mono_ms() - start > kStartWatchMs) {
                std::printf("corvantis: the test did not start (see var/corvantis/probe/%s.log)\n",
                            serial);
                std::fflush(stdout);
                view_free(&v);
                return 1;
            }
        } else if (!view_running(&v)) {
            code = finish(&v);
            view_free(&v);
            return code;
        } else if (!is(v.phase, last_phase) || mono_ms() - last_print > kReprintMs) {
            char line[512];
            plain_progress_line(&v, line, sizeof line);
            std::fputs(line, stdout);
            if (output_lost()) {
                view_free(&v);
                return 1;
            }
            str_copy(last_phase, sizeof last_phase, v.phase);
            last_print = mono_ms();
        }
        clock_sleep_ms(kPassMs);
    }
    // Interrupted: the test goes on; only a finished run is reported.
    view_load(serial, &v);
    if (v.present && !still_waiting(v, started, previous)) {
        if (!view_running(&v))
            code = finish(&v);
        else
            code = is(v.verdict.code, "bad") ? 3 : 0;
    }
    view_free(&v);
    return code;
}
