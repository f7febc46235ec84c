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
// Writes the state file, unless force is 0 and the last write is less than a
// second old: the save is then only marked skipped, and written later by
// probe_state_save_due or probe_state_catch_up. force also syncs. Between
// them the file is rewritten about four times a second at most.
// 0 written or not due yet, -1 after logging when the write failed.
int probe_state_save(int force);
// Writes a skipped save once its second has passed. Every slice of a wait
// calls it (probe_wait_ms), so a wait never holds a save back for longer.
void probe_state_save_due();
// Before every step that may block (a device command, a smartctl call): a
// failing disk may take minutes to answer one. Writes a skipped save that
// changes the phase or a status, or when the last write is 250 ms old, so the
// file lags the run by a quarter second of work plus the step in flight.
void probe_state_catch_up();
// The save of a wait (pacing, thermal pause) that only keeps the speed and
// temperature figures fresh: throttled like probe_state_save(0), and not
// written again by probe_state_catch_up when skipped.
void probe_state_refresh();
int probe_state_write_atomic(const char* text, std::size_t len, int sync);
// Under the disk's lock: marks a "running" state file failed and records it. 1 when rewritten.
int probe_reap_stale(const char* serial);
int probe_state_mark_failed(const char* text, std::size_t len, const char* message, StrBuf* out);
