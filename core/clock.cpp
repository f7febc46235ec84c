#include "core/clock.h"

#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdint>

namespace {

std::int64_t real_now() {
    return static_cast<std::int64_t>(::time(nullptr));
}

double real_mono_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1000000.0;
}

// One nanosleep, not a loop over EINTR: a stop signal must cut the sleep short.
void real_sleep_ms(double ms) {
    if (!(ms > 0)) return;
    const double whole_s = std::floor(ms / 1000.0);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(whole_s);
    ts.tv_nsec = static_cast<long>((ms - whole_s * 1000.0) * 1000000.0);
    if (ts.tv_nsec > 999999999L) ts.tv_nsec = 999999999L;
    ::nanosleep(&ts, nullptr);
}

constexpr ClockFns kRealClock{real_now, real_mono_ms, real_sleep_ms};
ClockFns s_clock = kRealClock;

}  // namespace

std::int64_t clock_now() {
    return s_clock.now();
}
double clock_mono_ms() {
    return s_clock.mono_ms();
}
void clock_sleep_ms(double ms) {
    s_clock.sleep_ms(ms);
}

std::int64_t clock_seconds_since(std::int64_t then, std::int64_t now) {
    std::int64_t since = 0;
    // A damaged stamp far in the past counts as long past too, not as a wrap.
    if (then > now || __builtin_sub_overflow(now, then, &since)) return INT64_MAX;
    return since;
}

ClockFns clock_replace(const ClockFns* fns) {
    const ClockFns before = s_clock;
    s_clock = fns ? *fns : kRealClock;
    return before;
}
