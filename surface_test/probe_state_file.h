// The probe state file: the JSON document that publishes a run, its throttled
// atomic save, and the repair of a file left "running" by a run that died.
#pragma once

#include <cstddef>
#include <cstdint>

#include "surface_test/probe_state.h"

struct StrBuf;

// The most of a state file that probe-stop and the stale-state repair read.
inline constexpr std::uint64_t kProbeStateReadMax = 4194304;

void probe_state_to_json(StrBuf* out);
void probe_snapshot_json(StrBuf* out, const ProbeSnapshot* snap, int which);
// Writes the state file at most once a second unless force (then also synced).
// 0 written or not due yet, -1 after logging when the write failed.
int probe_state_save(int force);
// Writes a save that the throttle skipped. Called before every step that may
// block (a device command, a smartctl call): a failing disk may take minutes
// to answer one, and the file must not lag the run by more than that step.
void probe_state_catch_up();
// The save of a wait (pacing, thermal pause) that only keeps the speed and
// temperature figures fresh: throttled like probe_state_save(0), and not
// written again by probe_state_catch_up when skipped.
void probe_state_refresh();
int probe_state_write_atomic(const char* text, std::size_t len, int sync);
// Under the disk's lock: marks a "running" state file failed and records it. 1 when rewritten.
int probe_reap_stale(const char* serial);
int probe_state_mark_failed(const char* text, std::size_t len, const char* message, StrBuf* out);
