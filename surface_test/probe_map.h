// The three reading phases of a surface test: the map (each cell graded by
// latency or by the kind of its error), the 128 READ samples, and the repeat
// pass that narrows each bad range to a 4 KiB unit and classifies it.
#pragma once

#include <cstdint>

#include "surface_test/dev_io.h"

// Map geometry of a capacity: 1 with a map, 0 below 1 MiB (no map).
int map_cell_geometry(std::uint64_t capacity, std::uint32_t* cells, std::uint64_t* cell_bytes);
// Offset of the quick-mode sample inside cell i; depends only on i and the sizes.
std::uint64_t map_sample_offset(std::uint32_t i, std::uint64_t cell_bytes,
                                std::uint64_t sample_bytes);
// 'a'..'f' for a latency in ms per MiB.
char map_latency_grade(double ms_per_mib);
// Severity 0..9 of a map code, -1 for no map code.
int map_grade_rank(char code);
// The code of higher severity (a code without severity loses).
char map_grade_merge(char a, char b);

// Block arithmetic with the block unit of a logical block size.
std::uint64_t dev_bytes_to_blocks(std::uint64_t bytes, std::uint32_t lbs);
std::uint64_t dev_blocks_to_sectors512(std::uint64_t lba, std::uint32_t lbs);
std::uint64_t dev_sectors512_to_blocks(std::uint64_t sectors, std::uint32_t lbs);
// 1 when a VERIFY answered "unsupported" before any VERIFY of the map succeeded.
int dev_should_fallback_read(int code, int verify_in_use, int verify_ok_seen);

// Appends a BadRange to g_probe (dropped silently when the list is full).
void probe_bad_add(std::uint64_t offset, std::uint64_t length, std::uint32_t cell, char code,
                   int via_read, int lba_exact);
// VERIFY of a byte range of the disk under test (NVMe Verify or VERIFY(16)).
int dev_verify_range(std::uint64_t offset, std::uint64_t length, IoResult* r);
// One command through the thermal gate and the pacing: 0, or -1 when the gate
// refused (r then holds code 3 and no command was sent).
int probe_io_one(std::uint64_t offset, std::uint64_t length, int verify, IoResult* r);

// Test of one range for the bisection: -1 abort, 0 clean, 1 failed.
using BisectTest = int (*)(std::uint64_t offset, std::uint64_t length, void* ctx);
// 1 when a failing 4 KiB unit was isolated (its offset in *found), else 0.
int map_bisect_bad_unit(std::uint64_t offset, std::uint64_t length, BisectTest test, void* ctx,
                        std::uint64_t* found);
struct BisectContext {
    std::int32_t method;  // 1 VERIFY, 0 READ
    double deadline_ms;   // monotonic
};
int probe_bisect_step(std::uint64_t offset, std::uint64_t length, void* ctx);

// The phases, run by the probe run on g_probe.
void probe_map_choose_method();  // phase "verify": VERIFY or READ
void probe_map_run();            // the map over all cells
void probe_samples_run();        // phase "read": the 128 READ samples
void probe_repeat_run();         // phase "repeat": the repeat pass
