#include "surface_test/probe_state_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/cli.h"
#include "core/clock.h"
#include "core/json.h"
#include "core/log.h"
#include "core/strbuf.h"
#include "core/unique_fd.h"
#include "core/util.h"
#include "surface_test/pace.h"
#include "surface_test/probe_map.h"
#include "surface_test/probe_result.h"
#include "surface_test/probe_snapshot.h"
#include "surface_test/thermal.h"

namespace {

constexpr double kSaveIntervalMs = 1000.0;
// Before a step that may block, a skipped save is written once the last write
// is this old: the file lags the run by a quarter second of work at most, and
// a map of fast cells still rewrites it only about four times a second.
constexpr double kCatchUpMs = 250.0;
constexpr int kBadRangesShown = 256;
// Well above the largest document: 4096 map codes, 256 ranges, 64 siblings,
// two histories and two snapshots of 48 PHY counters each.
constexpr std::uint64_t kDocReserve = std::uint64_t{128} << 10;

using ll = long long;
using ull = unsigned long long;

bool is(const char* text, const char* word) {
    return text && std::strcmp(text, word) == 0;
}

// Set when a piece of the document could not be appended (memory exhausted):
// a document with a piece missing is never written.
bool s_doc_short = false;

// Appends one short formatted piece (numbers and fixed keys only).
__attribute__((format(printf, 2, 3))) void put(StrBuf* sb, const char* fmt, ...) {
    char piece[256];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(piece, sizeof piece, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof piece ||
        sb_append(sb, piece, static_cast<std::uint64_t>(n)) != 0)
        s_doc_short = true;
}

// ---- value writers: every key is written with the comma that precedes it ----

void key(StrBuf* sb, const char* name, bool first = false) {
    put(sb, first ? "\"%s\":" : ",\"%s\":", name);
}

// ,"name":{ ; the first member inside is then written with first = true.
void open_obj(StrBuf* sb, const char* name) {
    key(sb, name);
    sb_append_str(sb, "{");
}

void put_str(StrBuf* sb, const char* name, const char* value, bool first = false) {
    key(sb, name, first);
    sb_append_json_str(sb, value);
}

void put_ll(StrBuf* sb, const char* name, std::int64_t value, bool first = false) {
    key(sb, name, first);
    put(sb, "%lld", static_cast<ll>(value));
}

void put_bool(StrBuf* sb, const char* name, bool value) {
    key(sb, name);
    sb_append_str(sb, value ? "true" : "false");
}

void put_f(StrBuf* sb, const char* name, const char* fmt, double value) {
    key(sb, name);
    put(sb, fmt, value);
}

// ---- the pieces of the document ----

void selftest_json(StrBuf* sb, const ProbeState& p) {
    open_obj(sb, "selftest");
    put_str(sb, "type", "short", true);
    put_str(sb, "status", p.st_status);
    put_ll(sb, "remaining_pct", p.st_remaining_pct);
    key(sb, "lba_first_error");
    if (p.st_lba_valid)
        put(sb, "%lld", static_cast<ll>(p.st_lba_first_error));
    else
        sb_append_str(sb, "null");
    sb_append_str(sb, "}");
}

void map_json(StrBuf* sb, const ProbeState& p) {
    key(sb, "map");
    put(sb, "{\"cells\":%u,\"cell_bytes\":%llu", p.cells, static_cast<ull>(p.cell_bytes));
    put_str(sb, "method", p.method);
    put(sb, ",\"done\":%u", p.done);
    put_str(sb, "codes", p.codes ? p.codes : "");
    sb_append_str(sb, "}");
}

void stats_json(StrBuf* sb, const ProbeState& p) {
    key(sb, "stats");
    put(sb, "{\"verify_mib\":%.0f", p.verify_mib);
    put_ll(sb, "verify_errors", p.verify_errors);
    put_ll(sb, "read_samples", p.read_samples);
    put_ll(sb, "read_errors", p.read_errors);
    put_ll(sb, "slow_cells", p.slow_cells);
    sb_append_str(sb, "}");
}

void speed_json(StrBuf* sb, const ProbeState& p, double now) {
    const PaceRun& pr = p.pace;
    const bool mapped = pr.map_start_ms > 0;
    const double cur = mapped && is(p.status, "running") ? pace_meter_rate(&pr.meter, now) : 0.0;
    double avg = 0.0;
    if (mapped) {
        const double elapsed_s =
            ((pr.map_end_ms > 0 ? pr.map_end_ms : now) - pr.map_start_ms) / 1000;
        if (elapsed_s > 0.01) avg = p.verify_mib / elapsed_s;
    }
    const double dev = p.map_ms > 0 ? p.verify_mib / (p.map_ms / 1000) : 0.0;
    key(sb, "speed");
    put(sb, "{\"cur_mibs\":%.1f", cur);
    put_f(sb, "avg_mibs", "%.1f", avg);
    put_f(sb, "dev_mibs", "%.1f", dev);
    put_f(sb, "peak_mibs", "%.1f", pr.peak_mibs);
    put_f(sb, "max_rate_mibs", "%.0f", g_max_rate);
    put_f(sb, "idle_s", "%.0f", pr.idle_ms / 1000);
    sb_append_str(sb, ",\"step_s\":2,\"hist\":[");
    for (int i = 0; i < pr.speed.count; ++i)
        put(sb, i ? ",%.0f" : "%.0f", static_cast<double>(pace_ring_get(&pr.speed, i)));
    sb_append_str(sb, "]}");
}

const char* thermal_state_name(const ThermalRun& t) {
    if (t.guard.limit == 0) return t.limit_src == kSrcOff ? "off" : "none";
    switch (t.guard.state) {
        case kThermOk:
            return "ok";
        case kThermSlow:
            return "slow";
        case kThermPause:
            return "pause";
        default:
            return "none";
    }
}

void thermal_json(StrBuf* sb, const ProbeState& p, double now) {
    const ThermalRun& t = p.thermal;
    const ThermalGuard& g = t.guard;
    open_obj(sb, "thermal");
    put_str(sb, "sensor", t.sensor ? t.sensor : "", true);
    put(sb, ",\"state\":\"%s\"", thermal_state_name(t));
    if (g.samples > 0)
        put(sb, ",\"temp_c\":%d,\"max_c\":%d", g.temp, g.peak);
    else
        sb_append_str(sb, ",\"temp_c\":null,\"max_c\":null");
    const bool on = g.limit != 0;
    put(sb, ",\"limit_c\":%d,\"warm_c\":%d,\"resume_c\":%d", g.limit, on ? g.warm : 0,
        on ? g.resume : 0);
    put(sb, ",\"limit_src\":\"%s\"", thermal_source_name(t.limit_src));
    put_f(sb, "duty_pct", "%.0f", g.duty * 100);
    put_ll(sb, "pauses", g.pauses);
    put_f(sb, "paused_s", "%.0f", thermal_guard_paused_ms(&g, now) / 1000);
    put_f(sb, "slowed_s", "%.0f", g.slowed_ms / 1000);
    if (t.wctemp_c != 0) put_ll(sb, "wctemp_c", t.wctemp_c);
    if (t.cctemp_c != 0) put_ll(sb, "cctemp_c", t.cctemp_c);
    if (t.nvme_first_taken && t.nvme_latest_valid) {
        // The drive's counters are 32-bit and may wrap between the two logs.
        const std::uint32_t d1 = t.nvme_latest.tmt1_time_s - t.nvme_first.tmt1_time_s;
        const std::uint32_t d2 = t.nvme_latest.tmt2_time_s - t.nvme_first.tmt2_time_s;
        put_ll(sb, "drive_throttle_s", static_cast<std::int64_t>(d1) + d2);
    }
    sb_append_str(sb, ",\"hist\":[");
    for (int i = 0; i < p.pace.temp.count; ++i) {
        if (i) sb_append_str(sb, ",");
        const float v = pace_ring_get(&p.pace.temp, i);
        if (v > -999.0f)
            put(sb, "%.0f", static_cast<double>(v));
        else
            sb_append_str(sb, "null");
    }
    sb_append_str(sb, "]}");
}

const char* range_kind(const BadRange& b) {
    if (b.kind) return b.kind;
    if (b.code == 'B') return "media";
    if (b.code == 'L') return "link";
    return "other";
}

void bad_json(StrBuf* sb, const ProbeState& p) {
    key(sb, "bad");
    sb_append_str(sb, "[");
    const int n = p.bad ? (p.bad_count < kBadRangesShown ? p.bad_count : kBadRangesShown) : 0;
    for (int i = 0; i < n; ++i) {
        const BadRange& b = p.bad[i];
        const std::uint32_t lbs = p.logical_block_size;
        const std::uint64_t lba = dev_blocks_to_sectors512(dev_bytes_to_blocks(b.offset, lbs), lbs);
        put(sb, "%s{\"lba\":%llu,\"kind\":\"%s\",\"via\":\"%s\"", i ? "," : "",
            static_cast<ull>(lba), range_kind(b), b.via_read ? "read" : "verify");
        if (b.verify_tries > 0)
            put(sb, ",\"repeat\":\"%d/%d\"", b.verify_fails, b.verify_tries);
        else
            put(sb, ",\"repeat\":\"%d/%d\"", b.read_fails, b.read_tries);
        if (b.verify_tries > 0 && b.read_tries > 0)
            put(sb, ",\"repeat_read\":\"%d/%d\"", b.read_fails, b.read_tries);
        const char code[2] = {b.code, '\0'};
        put_str(sb, "code", code);
        put(sb, ",\"cell\":%u", b.cell);
        put_bool(sb, "lba_exact", b.lba_exact != 0);
        sb_append_str(sb, "}");
    }
    sb_append_str(sb, "]");
}

void smart_json(StrBuf* sb, const SmartSnapshot& s) {
    for (int k = 0; k < kSmartAttrSlots; ++k)
        if (s.attr_present[k])
            put(sb, ",\"a%d\":%lld", kSmartAttrIds[k], static_cast<ll>(s.attr_raw[k]));
    if (s.phy_count > 0) {
        sb_append_str(sb, ",\"phy\":{");
        for (int i = 0; i < s.phy_count && i < kSmartPhyMax; ++i)
            put(sb, "%s\"0x%04x\":%lld", i ? "," : "", s.phy_id[i],
                static_cast<ll>(s.phy_value[i]));
        sb_append_str(sb, "}");
    }
    if (s.errlog_present) {
        put_ll(sb, "xerror_count", s.errlog_count);
        put_ll(sb, "xerror_icrc", s.errlog_icrc);
        put_ll(sb, "xerror_unc", s.errlog_unc);
        put_ll(sb, "xerror_newest", s.errlog_max_number);
    }
    if (s.selftest_present) {
        open_obj(sb, "selftest_newest");
        put_str(sb, "type", s.selftest_type, true);
        put_str(sb, "status", s.selftest_status);
        key(sb, "passed");
        sb_append_str(sb, s.selftest_passed > 0    ? "true"
                          : s.selftest_passed == 0 ? "false"
                                                   : "null");
        put_ll(sb, "hours", s.selftest_hours);
        if (s.selftest_lba_present) put_ll(sb, "lba", s.selftest_lba);
        sb_append_str(sb, "}");
    }
    if (s.nvme_health_present) {
        open_obj(sb, "nvme");
        put_ll(sb, "media_errors", s.nvme_media_errors, true);
        put_ll(sb, "err_log_entries", s.nvme_err_log_entries);
        put_ll(sb, "critical_warning", s.nvme_critical_warning);
        sb_append_str(sb, "}");
    }
    if (s.power_on_hours != 0) put_ll(sb, "power_on_hours", s.power_on_hours);
}

void deltas_json(StrBuf* sb, const ProbeState& p) {
    key(sb, "deltas");
    sb_append_str(sb, "{");
    for (int k = 0; k < kSmartAttrSlots; ++k)
        put(sb, "%s\"a%d\":%lld", k ? "," : "", kSmartAttrIds[k],
            static_cast<ll>(probe_snap_attr_delta(k)));
    sb_append_str(sb, ",\"phy\":{");
    bool first = true;
    for (int i = 0; i < p.snap1.smart.phy_count && i < kSmartPhyMax; ++i) {
        std::int64_t d = 0;
        if (!probe_snap_phy_delta(i, &d)) continue;
        put(sb, "%s\"0x%04x\":%lld", first ? "" : ",", p.snap1.smart.phy_id[i], static_cast<ll>(d));
        first = false;
    }
    sb_append_str(sb, "}");
    const bool xerr = p.snap1_taken && p.snap1.smart_ok;
    put_ll(sb, "xerror_icrc", xerr ? p.snap1.smart.errlog_icrc_newer : 0);
    put_ll(sb, "xerror_unc", xerr ? p.snap1.smart.errlog_unc_newer : 0);
    put_ll(sb, "ering_bus", p.snap1_taken ? p.snap1.ering_bus : 0);
    put_ll(sb, "ering_media", p.snap1_taken ? p.snap1.ering_media : 0);
    put_bool(sb, "spd_drop", probe_snap_speed_drop() != 0);
    put_ll(sb, "dmesg_link", p.snap1_taken ? p.snap1.dmesg_link : 0);
    put_ll(sb, "dmesg_media", p.snap1_taken ? p.snap1.dmesg_media : 0);
    if (p.is_nvme) put_ll(sb, "nvme_media_errors", probe_snap_nvme_media_delta());
    sb_append_str(sb, ",\"history\":{");
    if (p.snap0.smart_ok) {
        const SmartSnapshot& s0 = p.snap0.smart;
        bool first = true;
        for (int k : {0, 3, 4}) {  // attributes 5, 197, 198
            if (!s0.attr_present[k] || s0.attr_raw[k] <= 0) continue;
            put(sb, "%s\"a%d\":%lld", first ? "" : ",", kSmartAttrIds[k],
                static_cast<ll>(s0.attr_raw[k]));
            first = false;
        }
        if (s0.nvme_health_present && s0.nvme_media_errors > 0)
            put(sb, "%s\"media_errors\":%lld", first ? "" : ",",
                static_cast<ll>(s0.nvme_media_errors));
    }
    sb_append_str(sb, "}}");
}

void siblings_json(StrBuf* sb, const ProbeState& p) {
    key(sb, "siblings");
    sb_append_str(sb, "[");
    const int n = p.sibling_count < kProbeSiblingMax ? p.sibling_count : kProbeSiblingMax;
    for (int i = 0; i < n; ++i) {
        const SiblingLink& s = p.siblings[i];
        sb_append_str(sb, i ? ",{" : "{");
        put_str(sb, "dev", s.dev, true);
        put_str(sb, "serial", s.serial);
        if (s.ok0 && s.ok1 && p.snap1_taken)
            put(sb, ",\"crc_delta\":%lld,\"phy_delta\":%lld", static_cast<ll>(s.crc1 - s.crc0),
                static_cast<ll>(s.phy1 - s.phy0));
        else
            sb_append_str(sb, ",\"crc_delta\":null,\"phy_delta\":null");
        sb_append_str(sb, "}");
    }
    sb_append_str(sb, "]");
}

void verdict_json(StrBuf* sb, const ProbeState& p) {
    key(sb, "verdict");
    if (!p.has_verdict) {
        sb_append_str(sb, "null");
        return;
    }
    sb_append_str(sb, "{");
    put_str(sb, "code", p.verdict.code, true);
    sb_append_str(sb, ",\"reasons\":[");
    const int n = p.verdict.count < kVerdictReasonMax ? p.verdict.count : kVerdictReasonMax;
    for (int i = 0; i < n; ++i)
        put(sb, "%s{\"key\":\"%s\",\"n\":%lld}", i ? "," : "", p.verdict.reasons[i].key,
            static_cast<ll>(p.verdict.reasons[i].n));
    sb_append_str(sb, "]}");
}

// Seconds still to run: a fixed share for the snapshots and the self-test,
// plus the map, estimated from its own pace once it has covered a cell.
std::int64_t eta_estimate(const ProbeState& p, double now) {
    double base = 30;
    if (p.identified) {
        if (is(p.phase, "selftest")) {
            if (is(p.st_status, "running")) base += p.st_remaining_pct / 100.0 * 120;
        } else {
            base = 150;
        }
    }
    const bool full = is(p.mode, "full");
    const double whole_map =
        full ? static_cast<double>(p.capacity_bytes) / (p.rotational ? 150000000.0 : 800000000.0)
             : (p.rotational ? 90 : 20);
    double map = 0;
    if (is(p.phase, "identify") || is(p.phase, "snapshot0")) {
        map = whole_map;
    } else if (is(p.phase, "verify")) {
        if (p.done > 0 && p.cells > 0) {
            const double elapsed_s = (now - p.pace.map_start_ms) / 1000;
            map = elapsed_s / p.done * (p.cells - p.done);
        } else {
            map = whole_map;
        }
    }
    return static_cast<std::int64_t>(base + map);
}

// Replaces the bytes of one value (a string with its quotes) by repl.
struct Span {
    int start, end;
    const char* repl;
    std::size_t repl_len;
};

Span value_span(const JsonTok& t) {
    if (t.type == kJsonString) return Span{t.start - 1, t.end + 1, nullptr, 0};
    return Span{t.start, t.end, nullptr, 0};
}

}  // namespace

void probe_snapshot_json(StrBuf* out, const ProbeSnapshot* snap, int which) {
    if (snap->ts == 0) {
        sb_append_str(out, "{}");
        return;
    }
    put(out, "{\"ts\":%lld,\"smart\":%s", static_cast<ll>(snap->ts),
        snap->smart_ok ? "true" : "false");
    if (snap->smart_ok) smart_json(out, snap->smart);
    if (snap->sata_spd[0]) put_str(out, "sata_spd", snap->sata_spd);
    if (snap->ering_ok)
        put(out, ",\"ering\":{\"bus\":%lld,\"media\":%lld,\"other\":%lld}",
            static_cast<ll>(snap->ering_bus), static_cast<ll>(snap->ering_media),
            static_cast<ll>(snap->ering_other));
    if (snap->klog_ok) {
        put(out, ",\"dmesg_mark\":%.6f", snap->dmesg_mark);
        if (which == 1)
            put(out, ",\"dmesg\":{\"link\":%lld,\"media\":%lld}", static_cast<ll>(snap->dmesg_link),
                static_cast<ll>(snap->dmesg_media));
    }
    sb_append_str(out, "}");
}

void probe_state_to_json(StrBuf* out) {
    const ProbeState& p = g_probe;
    const double now = mono_ms();
    // Room for the largest document up front, so that the appends that cannot
    // report a failure (strings) never need more memory half-way through.
    s_doc_short = sb_reserve(out, kDocReserve) != 0;
    sb_append_str(out, "{\"v\":1");
    put_str(out, "serial", p.serial[0] ? p.serial : p.serial_arg);
    put_str(out, "wwn", p.wwn);
    put_str(out, "model", p.model);
    put_str(out, "dev", p.dev);
    put_str(out, "kind", p.kind);
    put_str(out, "mode", p.mode);
    put_ll(out, "pid", static_cast<std::int64_t>(::getpid()));
    put_str(out, "status", p.status);
    put_str(out, "error", p.error);
    put_str(out, "phase", p.phase);
    put_ll(out, "started_ts", p.started_ts);
    put_ll(out, "updated_ts", p.updated_ts);
    put_ll(out, "finished_ts", p.finished_ts);
    put_ll(out, "eta_s", p.eta_s);
    put(out, ",\"capacity_bytes\":%llu,\"logical_block_size\":%u",
        static_cast<ull>(p.capacity_bytes), p.logical_block_size);
    put_str(out, "md_member", p.md_member);
    put_str(out, "md_all", p.md_all);
    put_str(out, "controller", p.controller);
    put_str(out, "ata_port", p.ata_port);
    selftest_json(out, p);
    map_json(out, p);
    sb_append_str(out, ",\"buckets_ms\":[10,25,50,150,500]");
    stats_json(out, p);
    speed_json(out, p, now);
    thermal_json(out, p, now);
    bad_json(out, p);
    key(out, "snap0");
    probe_snapshot_json(out, &p.snap0, 0);
    key(out, "snap1");
    probe_snapshot_json(out, &p.snap1, 1);
    deltas_json(out, p);
    siblings_json(out, p);
    verdict_json(out, p);
    sb_append_str(out, "}");
}

namespace {

// The last write was less than ms ago.
bool written_within(double now, double ms) {
    return g_probe.last_save_ms > 0 && now - g_probe.last_save_ms < ms;
}

bool throttled(double now) {
    return written_within(now, kSaveIntervalMs);
}

bool same_text(const char* a, const char* b) {
    return a && b ? std::strcmp(a, b) == 0 : a == b;
}

// The run's phase or status, or the self-test's status, is not the one that
// the last write published.
bool marks_changed() {
    const ProbeState& p = g_probe;
    return !same_text(p.phase, p.saved_phase) || !same_text(p.status, p.saved_status) ||
           !same_text(p.st_status, p.saved_st_status);
}

// What the write publishes of the run's phase and statuses.
void mark_saved() {
    ProbeState& p = g_probe;
    p.saved_phase = p.phase;
    str_copy(p.saved_status, sizeof p.saved_status, p.status);
    str_copy(p.saved_st_status, sizeof p.saved_st_status, p.st_status);
}

int state_write(double now, int sync) {
    g_probe.last_save_ms = now;
    g_probe.save_skipped = 0;
    mark_saved();
    g_probe.updated_ts = clock_now();
    g_probe.eta_s = is(g_probe.status, "running") ? eta_estimate(g_probe, now) : 0;
    StrBuf doc;
    probe_state_to_json(&doc);
    if (s_doc_short) errno = ENOMEM;
    if (!s_doc_short && probe_state_write_atomic(doc.c_str(), doc.len, sync) == 0) return 0;
    log_msg("probe: cannot write %s: %s", g_probe.state_path, std::strerror(errno));
    return -1;
}

}  // namespace

int probe_state_save(int force) {
    const double now = mono_ms();
    if (!force && throttled(now)) {
        g_probe.save_skipped = 1;
        return 0;
    }
    return state_write(now, force);
}

void probe_state_catch_up() {
    if (!g_probe.save_skipped) return;
    const double now = mono_ms();
    if (marks_changed() || !written_within(now, kCatchUpMs)) state_write(now, 0);
}

void probe_state_save_due() {
    if (g_probe.save_skipped) probe_state_save(0);
}

void probe_state_refresh() {
    const double now = mono_ms();
    if (!throttled(now)) state_write(now, 0);
}

int probe_state_write_atomic(const char* text, std::size_t len, int sync) {
    char tmp[sizeof g_probe.state_path + 8];
    if (!g_probe.state_path[0]) {
        errno = ENOENT;
        return -1;
    }
    std::snprintf(tmp, sizeof tmp, "%s.tmp", g_probe.state_path);
    UniqueFd fd(file_open_unshared(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!fd.valid()) return -1;
    // Whatever fails below, the readers keep the previous complete file and
    // errno still names the call that failed.
    auto give_up = [&tmp]() {
        const int saved = errno;
        ::unlink(tmp);
        errno = saved;
        return -1;
    };
    for (std::size_t done = 0; done < len;) {
        const ssize_t n = ::write(fd.get(), text + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            fd.reset();
            return give_up();
        }
        done += static_cast<std::size_t>(n);
    }
    if (sync) (void)::fsync(fd.get());
    fd.reset();
    if (::rename(tmp, g_probe.state_path) != 0) return give_up();
    return 0;
}

int probe_state_mark_failed(const char* text, std::size_t len, const char* message, StrBuf* out) {
    int count = 0;
    JsonTokens toks(json_parse(text, len, &count));
    if (!toks || count < 1 || toks[0].type != kJsonObject) return 0;
    const int st = json_obj_get(text, toks.get(), 0, "status");
    if (st < 0 || !json_tok_streq(text, &toks[st], "running")) return 0;
    const int er = json_obj_get(text, toks.get(), 0, "error");

    StrBuf err_json;
    sb_append_json_str(&err_json, message);
    Span spans[2];
    int n = 0;
    spans[n] = value_span(toks[st]);
    spans[n].repl = "\"failed\"";
    spans[n++].repl_len = 8;
    if (er >= 0) {
        spans[n] = value_span(toks[er]);
        spans[n].repl = err_json.c_str();
        spans[n++].repl_len = err_json.len;
        if (spans[1].start < spans[0].start) std::swap(spans[0], spans[1]);
    }
    // Built aside, so that a failure leaves out untouched.
    StrBuf fixed;
    int pos = 0;
    bool ok = true;
    for (int i = 0; i < n; ++i) {
        ok = ok &&
             sb_append(&fixed, text + pos, static_cast<std::uint64_t>(spans[i].start - pos)) == 0;
        ok = ok && sb_append(&fixed, spans[i].repl, spans[i].repl_len) == 0;
        pos = spans[i].end;
    }
    ok = ok && sb_append(&fixed, text + pos, len - static_cast<std::uint64_t>(pos)) == 0;
    if (!ok || sb_append(out, fixed.c_str(), fixed.len) != 0) return 0;
    return 1;
}

int probe_reap_stale(const char* serial) {
    StrBuf text;
    const std::int64_t n = file_read_all(g_probe.state_path, &text, kProbeStateReadMax);
    if (n <= 0) return 0;
    StrBuf fixed;
    if (!probe_state_mark_failed(text.c_str(), text.len, "process ended without finishing", &fixed))
        return 0;
    (void)probe_state_write_atomic(fixed.c_str(), fixed.len, 1);

    char mode[8] = "quick";
    char wwn[128] = "";
    std::int64_t started = 0;
    int count = 0;
    JsonTokens toks(json_parse(fixed.c_str(), fixed.len, &count));
    if (toks && count > 0 && toks[0].type == kJsonObject) {
        const int m = json_obj_get(fixed.c_str(), toks.get(), 0, "mode");
        if (m >= 0 && json_tok_streq(fixed.c_str(), &toks[m], "full"))
            str_copy(mode, sizeof mode, "full");
        json_path_int(fixed.c_str(), toks.get(), 0, "started_ts", &started);
        json_path_str(fixed.c_str(), toks.get(), 0, "wwn", wwn, sizeof wwn);
    }
    const std::int64_t finished = clock_now();
    if (started == 0) started = finished;
    (void)probe_db_record(serial, wwn, mode, "failed", nullptr, started, finished, fixed.c_str());
    return 1;
}
