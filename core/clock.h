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

// Seconds from a stored Unix time `then` to now. A time ahead of now counts
// as long past (INT64_MAX): it was stored before the clock was set back, and
// a window measured from it would stay open for as long as the clock had run
// ahead. So does a stamp so old that the difference would overflow.
std::int64_t clock_seconds_since(std::int64_t then, std::int64_t now);

// The functions the three calls above reach.
struct ClockFns {
    std::int64_t (*now)();
    double (*mono_ms)();
    void (*sleep_ms)(double ms);
};
// Puts fns in the real clock's place (nullptr puts the real clock back);
// returns the set that was in use.
ClockFns clock_replace(const ClockFns* fns);
