// Pacing after each command (thermal duty and rate cap) on the fake clock,
// the five-second throughput meter, the history rings, and the liveness test
// over a fake /sys/block.
#include "surface_test/pace.h"

#include <gtest/gtest.h>

#include <string>

#include "core/cli.h"
#include "surface_test/thermal.h"
#include "tests/support/fake_clock.h"
#include "tests/support/probe_test_run.h"

namespace {

constexpr std::uint64_t kMiB = 1u << 20;

TEST(PaceRateLimitDelay, IsTheTimeTheCommandShouldHaveTakenAtTheCap) {
    const struct {
        std::uint64_t bytes;
        double io_ms, cap, want;
    } cases[] = {
        {8 * kMiB, 20, 100, 60},                          // 80 ms at 100 MiB/s
        {8 * kMiB, 20, 0, 0},                             // no cap
        {8 * kMiB, 20, -5, 0},   {8 * kMiB, 90, 100, 0},  // already slower than the cap
        {8 * kMiB, 80, 100, 0},  {kMiB, 0, 1000, 1},     {0, 0, 100, 0},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(pace_rate_limit_delay(c.bytes, c.io_ms, c.cap), c.want)
            << c.bytes << " bytes in " << c.io_ms << " ms at " << c.cap;
}

TEST(PaceMeter, MeasuresTheLastFiveSeconds) {
    RateMeter m;
    const double t0 = 1000000;  // a multiple of 250
    pace_meter_init(&m, t0);
    EXPECT_DOUBLE_EQ(pace_meter_rate(&m, t0), 0);
    pace_meter_add(&m, t0 + 10, 8);
    pace_meter_add(&m, t0 + 200, 8);  // same bucket: added
    // Right after the start the window is shorter than a bucket: MiB / 0.25 s.
    EXPECT_DOUBLE_EQ(pace_meter_rate(&m, t0 + 200), 64);
    // One second in: 16 MiB over one second.
    EXPECT_DOUBLE_EQ(pace_meter_rate(&m, t0 + 1000), 16);
    for (int s = 1; s < 10; ++s) pace_meter_add(&m, t0 + s * 1000.0, 10);
    // At 10 s only the buckets of the last five seconds count: 6 s .. 9 s
    // hold 10 MiB each, over the window from 5.25 s.
    EXPECT_NEAR(pace_meter_rate(&m, t0 + 10000), 40 / 4.75, 1e-9);
    // Bucket 40 shares its slot with bucket 20 (the 10 MiB of second 5): it
    // takes the slot over instead of adding to it.
    pace_meter_add(&m, t0 + 10000, 3);
    EXPECT_NEAR(pace_meter_rate(&m, t0 + 10000), 43 / 4.75, 1e-9);
}

TEST(PaceRing, KeepsTheLast120OldestFirst) {
    HistRing r{};
    EXPECT_EQ(pace_ring_get(&r, 0), 0);
    for (int i = 1; i <= 120; ++i) EXPECT_EQ(pace_ring_push(&r, static_cast<float>(i)), i);
    EXPECT_EQ(pace_ring_get(&r, 0), 1);
    EXPECT_EQ(pace_ring_get(&r, 119), 120);
    EXPECT_EQ(pace_ring_push(&r, 121), 120);
    EXPECT_EQ(pace_ring_get(&r, 0), 2);  // the second sample pushed
    EXPECT_EQ(pace_ring_get(&r, 119), 121);
    EXPECT_EQ(pace_ring_get(&r, 120), 0);
    EXPECT_EQ(pace_ring_get(&r, -1), 0);
}

TEST(ProbeHistorySample, TakesOneSampleEveryTwoSeconds) {
    FakeClock clock;
    ProbeTestRun run{ProbeTestDisk{}};
    PaceRun& p = g_probe.pace;
    pace_meter_init(&p.meter, clock.mono_ms());
    pace_meter_add(&p.meter, clock.mono_ms(), 2);
    probe_history_sample();
    clock.advance_ms(1999);
    probe_history_sample();
    ASSERT_EQ(p.speed.count, 1);
    EXPECT_FLOAT_EQ(pace_ring_get(&p.speed, 0), 8);     // 2 MiB over the first 0.25 s
    EXPECT_FLOAT_EQ(pace_ring_get(&p.temp, 0), -1000);  // no temperature yet
    EXPECT_DOUBLE_EQ(p.peak_mibs, 8);

    thermal_guard_update(&g_probe.thermal.guard, 41, clock.mono_ms());
    clock.advance_ms(1);
    probe_history_sample();
    ASSERT_EQ(p.temp.count, 2);
    EXPECT_FLOAT_EQ(pace_ring_get(&p.temp, 1), 41);
    EXPECT_DOUBLE_EQ(p.peak_mibs, 8) << "the peak stays when the rate falls";
}

struct PaceCase {
    const char* name;
    double max_rate;
    int thermal_temp;  // fed to an HDD guard with limit 55 (slow band 51..54); 0 none
    std::uint64_t ok_bytes, bytes;
    double io_ms;
    double want_delay;
};

TEST(PaceAfterIo, SleepsTheLargerDelayInSlicesAndCountsOnlyGoodBytes) {
    const PaceCase cases[] = {
        {"no cap, no guard", 0, 0, 8 * kMiB, 8 * kMiB, 20, 0},
        {"cap 100 MiB/s", 100, 0, 8 * kMiB, 8 * kMiB, 20, 60},
        {"failed command still counts for the cap", 100, 0, 0, 8 * kMiB, 20, 60},
        // 53 °C on the first sample: f = 3/4, duty 1 - 0.75 x 0.85 = 0.3625.
        {"duty alone", 0, 53, 8 * kMiB, 8 * kMiB, 100, 100 * (1 / 0.3625 - 1)},
        {"duty beats a smaller cap delay", 200, 53, 8 * kMiB, 8 * kMiB, 20, 20 * (1 / 0.3625 - 1)},
        {"cap beats a smaller duty delay", 10, 53, 8 * kMiB, 8 * kMiB, 20, 780},
    };
    for (const PaceCase& c : cases) {
        FakeClock clock;
        ProbeTestRun run{ProbeTestDisk{}};
        g_max_rate = c.max_rate;
        if (c.thermal_temp) {
            thermal_guard_init(&g_probe.thermal.guard, 55, 4, 5, 0.15);
            thermal_guard_update(&g_probe.thermal.guard, c.thermal_temp, clock.mono_ms());
        }
        pace_meter_init(&g_probe.pace.meter, clock.mono_ms());
        pace_after_io(c.ok_bytes, c.bytes, c.io_ms);
        EXPECT_NEAR(clock.slept_ms(), c.want_delay, 1e-6) << c.name;
        EXPECT_NEAR(g_probe.pace.idle_ms, c.want_delay, 1e-6) << c.name;
        for (double s : clock.sleeps()) EXPECT_LE(s, 200) << c.name;
        const double rate = pace_meter_rate(&g_probe.pace.meter, clock.mono_ms());
        EXPECT_EQ(rate > 0, c.ok_bytes > 0) << c.name;
        EXPECT_EQ(g_probe.pace.speed.count, 1) << c.name;
    }
}

TEST(PaceAfterIo, AStopEndsTheDelayWithinOneSlice) {
    FakeClock clock;
    ProbeTestRun run{ProbeTestDisk{}};
    g_max_rate = 1;  // 8 MiB: 8 s of delay
    clock.on_sleep([](double) { g_probe_stop = 1; });
    pace_after_io(8 * kMiB, 8 * kMiB, 0);
    EXPECT_EQ(clock.sleeps().size(), 1u);
    EXPECT_DOUBLE_EQ(clock.slept_ms(), 200);
}

TEST(ProbeDeviceAlive, TellsALostDiskFromASlowOne) {
    const struct {
        const char* state;  // nullptr: no state file
        int alive;
    } cases[] = {
        {nullptr, 1},    {"", 1},          {"running", 1},           {"live", 1},
        {"blocked", 1},  {"resetting", 1}, {"connecting", 1},        {"offline", 0},
        {"deleting", 0}, {"dead", 0},      {"transport-offline", 0}, {"running-ish", 0},
    };
    for (const auto& c : cases) {
        ProbeTestRun run{ProbeTestDisk{}};
        if (c.state) run.set_device_state(c.state);
        EXPECT_EQ(probe_device_alive(), c.alive) << (c.state ? c.state : "no state file");
    }
    ProbeTestRun run{ProbeTestDisk{}};
    run.remove_device();
    EXPECT_EQ(probe_device_alive(), 0) << "no /sys/block entry";
}

}  // namespace
