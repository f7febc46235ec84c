// FakeClock: stands in for the program's clock (core/clock.h) for as long as
// it lives. Time moves only when the code under test sleeps or the test says
// so, so waits of many minutes run in no time. Every sleep is recorded, and a
// test may act on each one (raise a stop flag, change a temperature).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/clock.h"

class FakeClock {
   public:
    // The wall clock starts at start_unix_s; the monotonic one at 10^6 ms.
    explicit FakeClock(std::int64_t start_unix_s = 1800000000);
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    // Moves both clocks forward.
    void advance_ms(double ms);
    // Sets the wall clock alone (a time sync, a reboot); the monotonic one stays.
    void set_now(std::int64_t unix_s) { wall_ms_ = static_cast<double>(unix_s) * 1000.0; }

    std::int64_t now() const { return static_cast<std::int64_t>(wall_ms_ / 1000.0); }
    double mono_ms() const { return mono_ms_; }

    // Called after each sleep has moved the clocks, with the sleep's length.
    void on_sleep(std::function<void(double ms)> fn) { on_sleep_ = std::move(fn); }
    const std::vector<double>& sleeps() const { return sleeps_; }
    double slept_ms() const;

   private:
    static std::int64_t fake_now();
    static double fake_mono_ms();
    static void fake_sleep_ms(double ms);

    ClockFns before_{};
    double wall_ms_;
    double mono_ms_ = 1000000.0;
    std::vector<double> sleeps_;
    std::function<void(double)> on_sleep_;
};
