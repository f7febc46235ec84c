#include "surface_test/pace.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "collector/discovery.h"
#include "core/cli.h"
#include "core/clock.h"
#include "surface_test/probe_state_file.h"
#include "surface_test/thermal.h"

namespace {

constexpr double kMiB = 1048576.0;
constexpr double kBucketMs = 250.0;
constexpr double kHistStepMs = 2000.0;
constexpr float kNoTemp = -1000.0f;

std::int64_t bucket_of(double now_ms) {
    return static_cast<std::int64_t>(std::floor(now_ms / kBucketMs));
}

int slot_of(std::int64_t id) {
    const std::int64_t slot = id % kRateMeterSlots;
    return static_cast<int>(slot < 0 ? slot + kRateMeterSlots : slot);
}

// States in which the kernel still sends commands to the disk, or will once
// it has recovered the link; any other state means the disk is gone.
bool state_is_alive(const char* state) {
    static constexpr const char* kAlive[] = {"running", "live", "blocked", "resetting",
                                             "connecting"};
    if (state[0] == '\0') return true;
    for (const char* a : kAlive)
        if (std::strcmp(state, a) == 0) return true;
    return false;
}

// Between the slices of a pacing delay, which may last seconds.
void keep_progress_fresh() {
    probe_history_sample();
    probe_state_refresh();
}

}  // namespace

void pace_after_io(std::uint64_t ok_bytes, std::uint64_t bytes, double io_ms) {
    PaceRun& p = g_probe.pace;
    if (ok_bytes != 0)
        pace_meter_add(&p.meter, clock_mono_ms(), static_cast<double>(ok_bytes) / kMiB);
    const double delay = std::max(thermal_guard_sleep_ms(&g_probe.thermal.guard, io_ms),
                                  pace_rate_limit_delay(bytes, io_ms, g_max_rate));
    if (delay > 0) {
        p.idle_ms += delay;
        probe_wait_ms(delay, keep_progress_fresh);
    }
    probe_history_sample();
}

double pace_rate_limit_delay(std::uint64_t bytes, double io_ms, double cap_mibs) {
    if (!(cap_mibs > 0)) return 0;
    const double t = static_cast<double>(bytes) / kMiB / cap_mibs * 1000.0;
    return t > io_ms ? t - io_ms : 0;
}

void pace_meter_init(RateMeter* m, double now_ms) {
    for (int i = 0; i < kRateMeterSlots; ++i) {
        m->mib[i] = 0;
        m->bucket_id[i] = -1;
    }
    m->start = now_ms;
}

void pace_meter_add(RateMeter* m, double now_ms, double mib) {
    const std::int64_t id = bucket_of(now_ms);
    const int slot = slot_of(id);
    if (m->bucket_id[slot] == id) {
        m->mib[slot] += mib;
    } else {
        m->bucket_id[slot] = id;
        m->mib[slot] = mib;
    }
}

double pace_meter_rate(const RateMeter* m, double now_ms) {
    const std::int64_t id = bucket_of(now_ms);
    const std::int64_t oldest = id - (kRateMeterSlots - 1);
    double sum = 0;
    for (int i = 0; i < kRateMeterSlots; ++i)
        if (m->bucket_id[i] >= oldest && m->bucket_id[i] <= id) sum += m->mib[i];
    const double window = now_ms - std::max(m->start, static_cast<double>(oldest) * kBucketMs);
    return window < kBucketMs ? sum / 0.25 : sum / (window / 1000.0);
}

int pace_ring_push(HistRing* r, float value) {
    r->values[r->head] = value;
    r->head = (r->head + 1) % kHistRingSize;
    if (r->count < kHistRingSize) ++r->count;
    return r->count;
}

float pace_ring_get(const HistRing* r, int i) {
    if (i < 0 || i >= r->count) return 0;
    return r->values[(r->head - r->count + kHistRingSize + i) % kHistRingSize];
}

void probe_history_sample() {
    PaceRun& p = g_probe.pace;
    const double now = clock_mono_ms();
    const double rate = pace_meter_rate(&p.meter, now);
    if (rate > p.peak_mibs) p.peak_mibs = rate;
    if (p.last_hist_ms > 0 && now - p.last_hist_ms < kHistStepMs) return;
    p.last_hist_ms = now;
    pace_ring_push(&p.speed, static_cast<float>(rate));
    const ThermalGuard& g = g_probe.thermal.guard;
    pace_ring_push(&p.temp, g.samples > 0 ? static_cast<float>(g.temp) : kNoTemp);
}

int probe_device_alive() {
    char path[1024];
    if (probe_path(path, sizeof path, "/sys/block/%s", g_probe.name) != 0) return 0;
    struct stat st {};
    if (::stat(path, &st) != 0) return 0;
    char state[32];
    sysfs_read_attr_under(g_probe_root, g_probe.name, "device/state", state, sizeof state);
    return state_is_alive(state) ? 1 : 0;
}
