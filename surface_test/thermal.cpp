#include "surface_test/thermal.h"

#include <algorithm>
#include <memory>

#include "collector/smart_snapshot.h"
#include "core/cli.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/smartctl.h"
#include "core/strbuf.h"
#include "surface_test/dev_io.h"
#include "surface_test/pace.h"
#include "surface_test/probe_snapshot.h"
#include "surface_test/probe_state_file.h"

namespace {

constexpr double kMinDuty = 0.15;
constexpr double kDutyStep = 0.1;
// Duty steps of 0.1 summed in floating point can land a hair below 1.0.
constexpr double kFullDuty = 1.0 - 1e-9;
constexpr int kSmartctlPollMs = 10000;  // the floor once the NVMe log has failed
constexpr double kPausedPollMs = 5000;
constexpr int kBackoffAfterFailures = 3;
constexpr double kBackoffMs = 600000;
constexpr double kThermalStopMs = 1200000;
constexpr double kPauseWaitMs = 500;

struct ClassParams {
    int band, margin, poll_ms;
    int default_limit;
    int auto_min, auto_max;  // clamp of a limit derived from the drive's own values
};

// Indexed by ThermalClass.
constexpr ClassParams kClass[] = {
    {4, 5, 30000, 55, 40, 60},  // HDD
    {5, 6, 10000, 65, 45, 70},  // SSD
    {6, 8, 2000, 70, 50, 80},   // NVMe
};

const ClassParams& class_params(int cls) {
    return kClass[cls >= kClassHdd && cls <= kClassNvme ? cls : kClassHdd];
}

int clamp_int(int v, int lo, int hi) {
    return std::min(std::max(v, lo), hi);
}

// Step 6 and 7 of an update outside a pause: the duty follows the temperature
// down at once, but climbs back by at most one step per sample.
void guard_follow(ThermalGuard* g, int t) {
    const bool first = g->samples == 1;
    double duty;
    if (t >= g->warm) {
        const double f = static_cast<double>(t - g->warm + 1) / (g->limit - g->warm);
        const double target = std::max(g->min_duty, 1 - std::min(1.0, f) * (1 - g->min_duty));
        duty = first ? target : std::min(g->duty + g->step, target);
    } else {
        duty = first ? 1.0 : g->duty + g->step;
    }
    if (duty >= kFullDuty) {
        g->duty = 1.0;
        g->state = kThermOk;
    } else {
        g->duty = duty;
        g->state = kThermSlow;
    }
}

int read_nvme_log(int* temp_c) {
    ThermalRun& th = g_probe.thermal;
    alignas(64) unsigned char buf[kNvmeSmartLogSize];
    NvmeThermalLog log{};
    probe_state_catch_up();
    if (dev_nvme_get_smart_log(g_probe.io_fd, buf) != 0 ||
        !dev_nvme_smart_log_parse(buf, sizeof buf, &log))
        return 0;
    th.nvme_latest = log;
    th.nvme_latest_valid = 1;
    if (!th.nvme_first_taken) {
        th.nvme_first = log;
        th.nvme_first_taken = 1;
    }
    th.sensor = "nvme";
    *temp_c = log.temp_c;
    return 1;
}

int read_smartctl(int* temp_c) {
    StrBuf out;
    probe_smartctl(kSmartctlTemperature, g_probe.dtype, g_probe.smart_dev, &out);
    auto snap = std::make_unique<SmartSnapshot>();
    smart_snap_from_json(out.c_str(), out.len, -1, snap.get());
    if (!snap->temp_present) return 0;
    g_probe.thermal.sensor = "smart";
    *temp_c = snap->temperature;
    return 1;
}

int drive_class() {
    if (g_probe.is_nvme) return kClassNvme;
    return g_probe.rotational ? kClassHdd : kClassSsd;
}

void log_setup() {
    const ThermalRun& th = g_probe.thermal;
    const ThermalGuard& g = th.guard;
    if (g.limit <= 0) {
        log_msg("probe: thermal guard off (--temp-limit off)");
    } else {
        const bool known = g.samples > 0;
        log_msg(
            "probe: temperature limit %d C (%s), slower from %d C, a pause ends at %d C; "
            "sensor %s, now %s%d C",
            g.limit, thermal_source_name(th.limit_src), g.warm, g.resume,
            th.sensor ? th.sensor : "none", known ? "" : "unknown ", known ? g.temp : 0);
    }
    if (g_max_rate > 0) log_msg("probe: rate limit %.0f MiB/s", g_max_rate);
}

}  // namespace

int thermal_pick_limit(int cls, int user_limit, int wctemp, int op_limit_max, int drive_trip,
                       int* source) {
    const ClassParams& p = class_params(cls);
    if (user_limit == 0) {
        *source = kSrcOff;
        return 0;
    }
    if (user_limit > 0) {
        *source = kSrcUser;
        return clamp_int(user_limit, 30, 95);
    }
    if (cls == kClassNvme && wctemp > 0) {
        *source = kSrcWctemp;
        return clamp_int(wctemp - 5, 50, 80);
    }
    if (op_limit_max <= 0 && drive_trip <= 0) {
        *source = kSrcDefault;
        return p.default_limit;
    }
    int limit;
    if (op_limit_max - 5 > 0) {
        *source = kSrcOpLimit;
        limit = op_limit_max - 5;
    } else {
        *source = kSrcTrip;
        limit = drive_trip - 10;
    }
    return clamp_int(limit, p.auto_min, p.auto_max);
}

void thermal_class_params(int cls, int* band, int* margin, int* poll_ms) {
    const ClassParams& p = class_params(cls);
    *band = p.band;
    *margin = p.margin;
    *poll_ms = p.poll_ms;
}

void thermal_guard_init(ThermalGuard* g, int limit, int band, int margin, double min_duty) {
    *g = ThermalGuard{};
    g->limit = std::max(0, limit);
    band = std::max(1, band);
    if (margin <= band) margin = band + 1;
    g->warm = g->limit - band;
    g->resume = g->limit - margin;
    g->min_duty = min_duty > 0.01 && min_duty <= 1.0 ? min_duty : kMinDuty;
    g->step = kDutyStep;
    g->duty = 1.0;
    g->state = kThermNone;
    g->temp = -1000;
    g->peak = -1000;
}

int thermal_guard_update(ThermalGuard* g, int temp_c, double now_ms) {
    if (g->samples > 0 && g->state == kThermSlow && now_ms > g->last_t)
        g->slowed_ms += now_ms - g->last_t;
    ++g->samples;
    g->temp = temp_c;
    g->last_t = now_ms;
    g->peak = std::max(g->peak, temp_c);
    if (g->limit < 1) {
        g->state = kThermNone;
        g->duty = 1.0;
    } else if (g->state == kThermPause) {
        if (temp_c <= g->resume) {
            g->paused_ms += now_ms - g->pause_start;
            g->pause_start = 0;
            g->duty = g->min_duty;
            g->state = kThermSlow;
        }
    } else if (temp_c >= g->limit) {
        ++g->pauses;
        g->state = kThermPause;
        g->duty = 0;
        g->pause_start = now_ms > 0 ? now_ms : 0.001;
    } else {
        guard_follow(g, temp_c);
    }
    return g->state;
}

double thermal_guard_sleep_ms(const ThermalGuard* g, double io_ms) {
    if (g->state != kThermSlow || !(g->duty > 0 && g->duty < 1) || !(io_ms > 0)) return 0;
    return (1 / g->duty - 1) * io_ms;
}

double thermal_guard_paused_ms(const ThermalGuard* g, double now_ms) {
    double ms = g->paused_ms;
    if (g->pause_start > 0 && now_ms > g->pause_start) ms += now_ms - g->pause_start;
    return ms;
}

const char* thermal_source_name(int source) {
    static constexpr const char* kNames[] = {"default",  "user", "wctemp",
                                             "op_limit", "trip", "off"};
    return source >= kSrcDefault && source <= kSrcOff ? kNames[source] : kNames[kSrcDefault];
}

int probe_temp_read(int* temp_c) {
    ThermalRun& th = g_probe.thermal;
    if (g_probe.is_nvme && !th.nvme_log_disabled && g_probe.io_fd >= 0) {
        if (read_nvme_log(temp_c)) return 1;
        // The drive keeps failing the log once it failed it: smartctl from now
        // on, and not as often as the log could be read.
        th.nvme_log_disabled = 1;
        if (th.poll_ms < kSmartctlPollMs) th.poll_ms = kSmartctlPollMs;
    }
    if (!g_probe.identified) return 0;
    return read_smartctl(temp_c);
}

void probe_thermal_setup() {
    ThermalRun& th = g_probe.thermal;
    const int cls = drive_class();
    th.wctemp_c = 0;
    th.cctemp_c = 0;
    if (cls == kClassNvme && g_probe.io_fd >= 0) {
        alignas(4096) unsigned char id[kNvmeIdentifySize];
        probe_state_catch_up();
        if (dev_nvme_identify_ctrl(g_probe.io_fd, id) == 0)
            dev_nvme_temp_thresholds(id, sizeof id, &th.wctemp_c, &th.cctemp_c);
    }
    const ProbeSnapshot& s0 = g_probe.snap0;
    const int op_max = s0.smart_ok ? s0.smart.temp_op_limit_max : 0;
    const int trip = s0.smart_ok ? s0.smart.temp_drive_trip : 0;
    int source = kSrcDefault;
    const int limit = thermal_pick_limit(cls, g_temp_limit, th.wctemp_c, op_max, trip, &source);
    int band, margin, poll_ms;
    thermal_class_params(cls, &band, &margin, &poll_ms);
    th.limit_src = source;
    th.poll_ms = poll_ms;
    th.read_failures = 0;
    thermal_guard_init(&th.guard, limit, band, margin, kMinDuty);
    int t = 0;
    if (probe_temp_read(&t))
        thermal_guard_update(&th.guard, t, clock_mono_ms());
    else if (s0.smart_ok && s0.smart.temp_present)
        thermal_guard_update(&th.guard, s0.smart.temperature, clock_mono_ms());
    th.next_poll = clock_mono_ms() + th.poll_ms;
    log_setup();
}

void thermal_poll() {
    ThermalRun& th = g_probe.thermal;
    ThermalGuard& g = th.guard;
    double now = clock_mono_ms();
    if (now < th.next_poll) return;
    th.next_poll = now + th.poll_ms;
    if (g.state == kThermPause) th.next_poll = std::min(th.next_poll, now + kPausedPollMs);
    int t = 0;
    if (!probe_temp_read(&t)) {
        // A drive without a readable sensor is not asked every few seconds
        // for the rest of a test that may take a day.
        if (++th.read_failures >= kBackoffAfterFailures && g.samples == 0)
            th.next_poll = now + kBackoffMs;
        return;
    }
    th.read_failures = 0;
    const int before = g.state;
    now = clock_mono_ms();  // a smartctl reading may have taken seconds
    const int after = thermal_guard_update(&g, t, now);
    if (after == kThermPause && before != kThermPause)
        log_msg("probe: %d C reached the limit of %d C, pausing until %d C", t, g.limit, g.resume);
    else if (before == kThermPause && after != kThermPause)
        log_msg("probe: cooled to %d C, resuming", t);
}

int thermal_gate() {
    thermal_poll();
    if (g_probe_stop) return -1;
    ThermalRun& th = g_probe.thermal;
    while (th.guard.state == kThermPause) {
        if (g_probe_stop) return -1;
        if (!probe_device_alive()) {
            g_probe.fatal = 1;
            return -1;
        }
        if (clock_mono_ms() - th.guard.pause_start > kThermalStopMs) {
            th.thermal_stop = 1;
            log_msg("probe: still %d C after %.0f s at the limit, the map ends here", th.guard.temp,
                    kThermalStopMs / 1000);
            return -1;
        }
        probe_history_sample();
        probe_state_refresh();
        probe_wait_ms(kPauseWaitMs);
        thermal_poll();
    }
    return 0;
}
