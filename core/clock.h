// The program's one clock: wall-clock seconds, monotonic milliseconds, and
// sleeping. Every wait and every interval of the program goes through here so
// that tests can put a fake clock in its place and cover waits of minutes
// (self-test limits, thermal pauses, poll budgets, de-duplication windows) in
// milliseconds.
#pragma once

#include <cstdint>

// Unix seconds now.
std::int64_t clock_now();
// Milliseconds on a clock that never goes back (the NAS's time sync may set
// the wall clock back at any moment).
double clock_mono_ms();
// Sleeps ms milliseconds (nothing for ms <= 0). A signal may end the sleep
// early, which is what the stop-flag loops above rely on.
void clock_sleep_ms(double ms);

// The functions the three calls above reach.
struct ClockFns {
    std::int64_t (*now)();
    double (*mono_ms)();
    void (*sleep_ms)(double ms);
};
// Puts fns in the real clock's place (nullptr puts the real clock back);
// returns the set that was in use.
ClockFns clock_replace(const ClockFns* fns);
