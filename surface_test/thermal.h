// The thermal guard: keeps a disk under test below a temperature limit by
// slowing the test in a warm band (a duty cycle) and pausing it at the limit.
#pragma once

#include "surface_test/probe_state.h"

enum ThermalClass { kClassHdd = 0, kClassSsd = 1, kClassNvme = 2 };

// The limit in °C (0 = off) for a drive class and a user limit (-1 auto, 0
// off, else °C); *source gets its ThermalSource.
int thermal_pick_limit(int cls, int user_limit, int wctemp, int op_limit_max, int drive_trip,
                       int* source);
void thermal_class_params(int cls, int* band, int* margin, int* poll_ms);
void thermal_guard_init(ThermalGuard* g, int limit, int band, int margin, double min_duty);
// Feeds one temperature; returns the new state (ThermalState).
int thermal_guard_update(ThermalGuard* g, int temp_c, double now_ms);
// Milliseconds to sleep after io_ms of I/O for the current duty.
double thermal_guard_sleep_ms(const ThermalGuard* g, double io_ms);
// Paused milliseconds, a running pause included.
double thermal_guard_paused_ms(const ThermalGuard* g, double now_ms);
// "default", "user", "wctemp", "op_limit", "trip" or "off"; "default" for any other index.
const char* thermal_source_name(int source);

// The disk's temperature now (NVMe log, else smartctl): 1 when read.
int probe_temp_read(int* temp_c);
// Set-up after the first snapshot: class, limit, first reading, log line.
void probe_thermal_setup();
// Takes a temperature sample when one is due.
void thermal_poll();
// Before every device command: 0 to go on, -1 to end the current phase.
int thermal_gate();
