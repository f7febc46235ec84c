#include "tests/support/fake_clock.h"

#include <numeric>
#include <stdexcept>

namespace {
FakeClock* s_active = nullptr;
}

FakeClock::FakeClock(std::int64_t start_unix_s)
    : wall_ms_(static_cast<double>(start_unix_s) * 1000.0) {
    if (s_active) throw std::logic_error("one FakeClock at a time");
    s_active = this;
    const ClockFns fns{fake_now, fake_mono_ms, fake_sleep_ms};
    before_ = clock_replace(&fns);
}

FakeClock::~FakeClock() {
    clock_replace(&before_);
    s_active = nullptr;
}

void FakeClock::advance_ms(double ms) {
    if (!(ms > 0)) return;
    wall_ms_ += ms;
    mono_ms_ += ms;
}

double FakeClock::slept_ms() const {
    return std::accumulate(sleeps_.begin(), sleeps_.end(), 0.0);
}

std::int64_t FakeClock::fake_now() {
    return s_active->now();
}
double FakeClock::fake_mono_ms() {
    return s_active->mono_ms();
}

void FakeClock::fake_sleep_ms(double ms) {
    FakeClock* c = s_active;
    c->sleeps_.push_back(ms);
    c->advance_ms(ms);
    if (c->on_sleep_) c->on_sleep_(ms);
}
