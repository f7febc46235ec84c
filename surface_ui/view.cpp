#include "surface_ui/view.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/clock.h"
#include "core/json.h"
#include "core/paths.h"
#include "core/strbuf.h"
#include "core/unique_fd.h"
#include "core/util.h"
#include "surface_test/probe_result.h"
#include "surface_ui/screen.h"

namespace {

struct Doc {
    const char* text;
    const JsonTok* toks;
};

// Only a regular file is read: a FIFO or a device put in the file's place
// would block the screen or never end.
int read_state_file(const char* path, StrBuf* out) {
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return -1;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        static_cast<std::uint64_t>(st.st_size) > kViewMaxBytes)
        return -1;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        if (out->len + static_cast<std::uint64_t>(n) > kViewMaxBytes) return -1;
        if (sb_append(out, chunk, static_cast<std::uint64_t>(n)) != 0) return -1;
    }
    return out->len > 0 ? 0 : -1;
}

void get_str(const Doc& d, int at, const char* path, char* field, std::size_t size) {
    if (json_path_str(d.text, d.toks, at, path, field, size)) ui_clean_text(field);
}

int get_int(const Doc& d, int at, const char* path, std::int64_t* out) {
    return json_path_int(d.text, d.toks, at, path, out);
}

std::int64_t not_negative(std::int64_t v) {
    return v < 0 ? 0 : v;
}

bool is_map_code(char c) {
    return c != '\0' && std::strchr(".abcdefELB", c) != nullptr;
}

void read_identity(const Doc& d, ProbeView* v) {
    get_str(d, 0, "status", v->status, sizeof v->status);
    get_str(d, 0, "phase", v->phase, sizeof v->phase);
    get_str(d, 0, "mode", v->mode, sizeof v->mode);
    get_str(d, 0, "serial", v->serial, sizeof v->serial);
    get_str(d, 0, "model", v->model, sizeof v->model);
    get_str(d, 0, "dev", v->dev, sizeof v->dev);
    get_str(d, 0, "kind", v->kind, sizeof v->kind);
    get_str(d, 0, "error", v->error, sizeof v->error);
    get_int(d, 0, "pid", &v->pid);
    get_int(d, 0, "started_ts", &v->started_ts);
    get_int(d, 0, "updated_ts", &v->updated_ts);
    get_int(d, 0, "finished_ts", &v->finished_ts);
    get_int(d, 0, "eta_s", &v->eta_s);
    get_int(d, 0, "capacity_bytes", &v->capacity_bytes);
    get_int(d, 0, "logical_block_size", &v->logical_block_size);
}

void read_map(const Doc& d, ProbeView* v) {
    get_int(d, 0, "map.cells", &v->map.cells);
    get_int(d, 0, "map.done", &v->map.done);
    get_int(d, 0, "map.cell_bytes", &v->map.cell_bytes);
    get_str(d, 0, "map.method", v->map.method, sizeof v->map.method);
    const int k = json_path_get(d.text, d.toks, 0, "map.codes");
    if (k < 0 || d.toks[k].type != kJsonString) return;
    const std::size_t n = static_cast<std::size_t>(d.toks[k].end - d.toks[k].start);
    char* codes = static_cast<char*>(std::malloc(n + 1));
    if (!codes) return;
    std::memcpy(codes, d.text + d.toks[k].start, n);
    codes[n] = '\0';
    v->map.codes = codes;
    v->map.codes_len = static_cast<std::int64_t>(n);
}

void read_selftest_and_stats(const Doc& d, ProbeView* v) {
    get_str(d, 0, "selftest.status", v->selftest.status, sizeof v->selftest.status);
    get_int(d, 0, "selftest.remaining_pct", &v->selftest.remaining_pct);
    v->selftest.has_lba = get_int(d, 0, "selftest.lba_first_error", &v->selftest.lba_first_error);
    get_int(d, 0, "stats.verify_mib", &v->stats.verify_mib);
    get_int(d, 0, "stats.verify_errors", &v->stats.verify_errors);
    get_int(d, 0, "stats.read_samples", &v->stats.read_samples);
    get_int(d, 0, "stats.read_errors", &v->stats.read_errors);
    get_int(d, 0, "stats.slow_cells", &v->stats.slow_cells);
}

// Calls fn(index) for each element of the array at token i, in order, until fn
// returns false. Walks the tokens once (element lookups by number would be
// quadratic in a hostile file's huge arrays).
template <typename Fn>
void for_each_element(const Doc& d, int i, Fn fn) {
    if (i < 0 || d.toks[i].type != kJsonArray) return;
    int k = i + 1;
    for (int n = 0; n < d.toks[i].size; ++n) {
        if (!fn(k)) return;
        k = json_tok_skip(d.toks, k);
    }
}

void read_bad(const Doc& d, ProbeView* v) {
    for_each_element(d, json_obj_get(d.text, d.toks, 0, "bad"), [&](int k) {
        if (v->bad_count >= kViewMaxBad) return false;
        if (d.toks[k].type != kJsonObject) return true;
        ViewBad& b = v->bad[v->bad_count++];
        get_int(d, k, "lba", &b.lba);
        get_int(d, k, "cell", &b.cell);
        get_str(d, k, "kind", b.kind, sizeof b.kind);
        get_str(d, k, "via", b.via, sizeof b.via);
        get_str(d, k, "repeat", b.repeat, sizeof b.repeat);
        char code[2] = {};
        get_str(d, k, "code", code, sizeof code);
        b.code = is_map_code(code[0]) ? code[0] : 'E';
        b.lba = not_negative(b.lba);
        b.cell = not_negative(b.cell);
        return true;
    });
}

void read_verdict(const Doc& d, ProbeView* v) {
    get_str(d, 0, "verdict.code", v->verdict.code, sizeof v->verdict.code);
    if (std::strcmp(v->status, "stopped") == 0) {
        v->verdict.code[0] = '\0';
        return;
    }
    for_each_element(d, json_path_get(d.text, d.toks, 0, "verdict.reasons"), [&](int k) {
        if (v->reason_count >= kViewMaxReasons) return false;
        if (d.toks[k].type != kJsonObject) return true;
        ViewReason& r = v->reasons[v->reason_count++];
        get_str(d, k, "key", r.key, sizeof r.key);
        r.has_n = get_int(d, k, "n", &r.n);
        return true;
    });
}

void read_speed_and_thermal(const Doc& d, ProbeView* v) {
    if (json_obj_get(d.text, d.toks, 0, "speed") < 0 ||
        json_obj_get(d.text, d.toks, 0, "thermal") < 0)
        return;
    v->has_speed = 1;
    view_json_double(d.text, d.toks, "speed.cur_mibs", &v->speed.cur_mibs);
    view_json_double(d.text, d.toks, "speed.avg_mibs", &v->speed.avg_mibs);
    view_json_double(d.text, d.toks, "speed.peak_mibs", &v->speed.peak_mibs);
    view_json_double(d.text, d.toks, "speed.max_rate_mibs", &v->speed.max_rate_mibs);
    view_json_double(d.text, d.toks, "speed.idle_s", &v->speed.idle_s);
    v->speed.hist_count = view_json_floats(d.text, d.toks, "speed.hist", v->speed.hist, 0.0f);
    auto& t = v->thermal;
    get_str(d, 0, "thermal.state", t.state, sizeof t.state);
    get_str(d, 0, "thermal.sensor", t.sensor, sizeof t.sensor);
    get_str(d, 0, "thermal.limit_src", t.limit_src, sizeof t.limit_src);
    t.has_temp = get_int(d, 0, "thermal.temp_c", &t.temp_c);
    get_int(d, 0, "thermal.max_c", &t.max_c);
    get_int(d, 0, "thermal.limit_c", &t.limit_c);
    get_int(d, 0, "thermal.warm_c", &t.warm_c);
    get_int(d, 0, "thermal.resume_c", &t.resume_c);
    get_int(d, 0, "thermal.duty_pct", &t.duty_pct);
    get_int(d, 0, "thermal.pauses", &t.pauses);
    get_int(d, 0, "thermal.paused_s", &t.paused_s);
    get_int(d, 0, "thermal.slowed_s", &t.slowed_s);
    t.has_throttle = get_int(d, 0, "thermal.drive_throttle_s", &t.drive_throttle_s);
    t.hist_count = view_json_floats(d.text, d.toks, "thermal.hist", t.hist, -1000.0f);
}

std::int64_t add_saturating(std::int64_t a, std::int64_t b) {
    std::int64_t sum;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? INT64_MAX : INT64_MIN;
}

void read_deltas(const Doc& d, ProbeView* v) {
    auto& x = v->deltas;
    x.has_a5 = get_int(d, 0, "deltas.a5", &x.a5);
    x.has_a197 = get_int(d, 0, "deltas.a197", &x.a197);
    x.has_a198 = get_int(d, 0, "deltas.a198", &x.a198);
    x.has_a199 = get_int(d, 0, "deltas.a199", &x.a199);
    x.has_xerror_icrc = get_int(d, 0, "deltas.xerror_icrc", &x.xerror_icrc);
    x.has_history_a5 = get_int(d, 0, "deltas.history.a5", &x.history.a5);
    const int phy = json_path_get(d.text, d.toks, 0, "deltas.phy");
    if (phy < 0 || d.toks[phy].type != kJsonObject) return;
    x.has_phy = 1;
    int k = phy + 1;
    for (int m = 0; m < d.toks[phy].size; ++m) {
        std::int64_t n = 0;
        if (json_tok_int(d.text, &d.toks[k + 1], &n)) x.phy_sum = add_saturating(x.phy_sum, n);
        k = json_tok_skip(d.toks, k + 1);
    }
}

void read_siblings(const Doc& d, ProbeView* v) {
    const int i = json_obj_get(d.text, d.toks, 0, "siblings");
    if (i < 0 || d.toks[i].type != kJsonArray) return;
    v->siblings.count = d.toks[i].size;
    for_each_element(d, i, [&](int k) {
        std::int64_t n = 0;
        if ((get_int(d, k, "crc_delta", &n) && n != 0) ||
            (get_int(d, k, "phy_delta", &n) && n != 0))
            v->siblings.erring++;
        return true;
    });
}

// The map stays within what the engine can write: at most 4096 cells, no
// more cells than codes when codes exist, and only map codes in them.
void clean_map(ProbeView* v) {
    auto& m = v->map;
    if (m.cells <= 0 || m.cells > kViewMaxCells) m.cells = kViewMaxCells;
    if (m.codes) {
        if (m.codes_len > 0 && m.codes_len < m.cells) m.cells = m.codes_len;
        if (m.codes_len > m.cells) {
            m.codes[m.cells] = '\0';
            m.codes_len = m.cells;
        }
        for (std::int64_t i = 0; i < m.codes_len; ++i)
            if (!is_map_code(m.codes[i])) m.codes[i] = '.';
    }
    m.done = std::clamp<std::int64_t>(m.done, 0, m.cells);
    m.cell_bytes = not_negative(m.cell_bytes);
}

void clean_counts(ProbeView* v) {
    if (v->pid < 0 || v->pid > INT_MAX) v->pid = 0;
    for (std::int64_t* f :
         {&v->started_ts, &v->updated_ts, &v->finished_ts, &v->eta_s, &v->capacity_bytes,
          &v->logical_block_size, &v->stats.verify_mib, &v->stats.verify_errors,
          &v->stats.read_samples, &v->stats.read_errors, &v->stats.slow_cells,
          &v->selftest.lba_first_error, &v->thermal.limit_c, &v->thermal.warm_c,
          &v->thermal.resume_c, &v->thermal.pauses, &v->thermal.paused_s, &v->thermal.slowed_s,
          &v->thermal.drive_throttle_s})
        *f = not_negative(*f);
    v->selftest.remaining_pct = std::clamp<std::int64_t>(v->selftest.remaining_pct, 0, 100);
    v->thermal.duty_pct = std::clamp<std::int64_t>(v->thermal.duty_pct, 0, 100);
    for (double* f : {&v->speed.cur_mibs, &v->speed.avg_mibs, &v->speed.peak_mibs,
                      &v->speed.max_rate_mibs, &v->speed.idle_s})
        if (*f < 0) *f = 0;
}

// Whether the test that wrote a "running" file is gone. Stale means that no
// process holds the disk's lock, as for the test itself and probe-stop. A
// reader tells it without taking the lock, and never by the file's age
// alone: a failing disk may take minutes to answer one read, during which the
// test saves nothing. A pid that is this disk's test counts as alive too (a
// file system may name the lock's file in /proc/locks otherwise than stat
// does); one that is no process (kill with signal 0 sends nothing) as gone.
// The age of the last save decides only where neither tells.
bool writer_gone(const char* serial, const ProbeView& v) {
    const int held = probe_lock_held(serial);
    if (held == 1) return false;
    const auto pid = static_cast<pid_t>(v.pid);
    if (pid > 1 && probe_pid_is_probe(pid, serial)) return false;
    if (held == 0) return true;
    if (pid > 1 && ::kill(pid, 0) != 0 && errno == ESRCH) return true;
    return v.updated_ts > 0 && clock_now() - v.updated_ts > kViewStaleAfterS;
}

// Reads the state file at path into a zeroed view: 0 when it was read and
// parsed, -1 (the view left zero) otherwise.
int load_file(const char* path, ProbeView* view) {
    StrBuf text;
    if (read_state_file(path, &text) != 0) return -1;
    int count = 0;
    JsonTokens toks(json_parse(text.data, text.len, &count));
    if (!toks || count < 1 || toks[0].type != kJsonObject) return -1;
    const Doc d{text.data, toks.get()};
    view->present = 1;
    read_identity(d, view);
    read_map(d, view);
    read_selftest_and_stats(d, view);
    read_bad(d, view);
    read_verdict(d, view);
    read_speed_and_thermal(d, view);
    read_deltas(d, view);
    read_siblings(d, view);
    clean_map(view);
    clean_counts(view);
    return 0;
}

// A "running" view whose writer was found gone. The test saves its last
// state before it lets go of the lock, so a test that ended between the read
// and the look at the lock has already said how it ended: the file read again
// holds that. Only a file that still says "running" is a dead test's; when it
// cannot be read again, the first read stands.
void settle_gone_writer(const char* path, ProbeView* view) {
    ProbeView again{};
    if (load_file(path, &again) == 0) {
        view_free(view);
        *view = again;
    }
    if (std::strcmp(view->status, "running") == 0) std::strcpy(view->status, "stale");
}

}  // namespace

void view_free(ProbeView* view) {
    std::free(view->map.codes);
    view->map.codes = nullptr;
    view->map.codes_len = 0;
}

int view_load(const char* serial, ProbeView* view) {
    view_free(view);
    std::memset(view, 0, sizeof *view);
    // Only a serial that the test itself accepts can name its file; anything
    // else (a "/" or "..") would lead out of the probe directory.
    if (!name_is_safe(serial, 79)) return -1;
    char path[800];
    std::snprintf(path, sizeof path, "%s/probe/%s.json", g_var_dir, serial);
    if (load_file(path, view) != 0) return -1;
    if (view_running(view) && writer_gone(serial, *view)) settle_gone_writer(path, view);
    return 0;
}

namespace {

// The number of a primitive token; false for null (and anything strtod
// cannot start on), with *out untouched.
bool primitive_number(const char* text, const JsonTok* tok, double* out, bool* is_null) {
    char field[48];
    json_tok_copy(text, tok, field, sizeof field);
    *is_null = field[0] == 'n';
    if (*is_null) return false;
    char* end = nullptr;
    const double v = std::strtod(field, &end);
    if (end == field) {
        *out = 0;  // true and false
        return false;
    }
    *out = v;
    return true;
}

}  // namespace

int view_json_floats(const char* text, const JsonTok* toks, const char* path, float* out,
                     float dflt) {
    const int i = json_path_get(text, toks, 0, path);
    if (i < 0 || toks[i].type != kJsonArray || toks[i].size < 1) return 0;
    int stored = 0;
    int k = i + 1;
    for (int n = 0; n < toks[i].size && stored < kViewMaxHist; ++n) {
        if (toks[k].type == kJsonPrimitive) {
            double v = 0;
            bool is_null = false;
            primitive_number(text, &toks[k], &v, &is_null);
            out[stored++] = is_null || !std::isfinite(v) || std::fabs(v) > 3.0e38
                                ? dflt
                                : static_cast<float>(v);
        }
        k = json_tok_skip(toks, k);
    }
    return stored;
}

void view_json_double(const char* text, const JsonTok* toks, const char* path, double* out) {
    const int k = json_path_get(text, toks, 0, path);
    if (k < 0 || toks[k].type != kJsonPrimitive) return;
    double v = 0;
    bool is_null = false;
    if (primitive_number(text, &toks[k], &v, &is_null) && std::isfinite(v)) *out = v;
}

bool view_running(const ProbeView* view) {
    return view->present && std::strcmp(view->status, "running") == 0;
}

double view_percent_done(const ProbeView* view) {
    if (!view->present || view->map.cells <= 0) return 0.0;
    return static_cast<double>(view->map.done) * 100.0 / static_cast<double>(view->map.cells);
}
