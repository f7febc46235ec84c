// Pacing after every device command (thermal duty and rate cap), the
// throughput meter, the speed and temperature histories, and the test that
// tells a lost disk from a slow one.
#pragma once

#include <cstdint>

#include "surface_test/probe_state.h"

void pace_after_io(std::uint64_t ok_bytes, std::uint64_t bytes, double io_ms);
double pace_rate_limit_delay(std::uint64_t bytes, double io_ms, double cap_mibs);
void pace_meter_init(RateMeter* m, double now_ms);
void pace_meter_add(RateMeter* m, double now_ms, double mib);
double pace_meter_rate(const RateMeter* m, double now_ms);
int pace_ring_push(HistRing* r, float value);
float pace_ring_get(const HistRing* r, int i);  // 0 = oldest
// One history sample of speed and temperature, at most every 2 s.
void probe_history_sample();
// 1 while the disk under test is still there, 0 when it is gone.
int probe_device_alive();
