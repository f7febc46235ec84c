// The result of a surface test in the database, the probe-stop command, and
// the checks that a test of a given serial runs: its process id, its lock.
#pragma once

#include <sys/types.h>

#include <cstdint>

// Stores one `probes` row and its `probe_done` event, both or neither. The new
// probe_id, or 0 after logging when nothing was stored (the state file then
// holds the only copy).
std::int64_t probe_db_record(const char* serial, const char* wwn, const char* mode,
                             const char* status, const char* verdict, std::int64_t started_ts,
                             std::int64_t finished_ts, const char* result_json);
// probe-stop: 0 when SIGTERM was sent, 1 for every other outcome, 2 for a bad
// serial; one JSON line on standard output in every case.
int cmd_probe_stop(const char* serial);
// 1 when the process's arguments are "corvantisd... probe ... --serial <serial>".
int probe_pid_is_probe(pid_t pid, const char* serial);
// Whether a process holds the lock of serial's test (<data dir>/probe/<serial>.lock)
// as the test does, by an exclusive flock, told from /proc/locks without
// taking it (a reader that took it would keep a test from starting): 1 held,
// 0 free, -1 when it cannot be told (no such lock file, /proc/locks
// unreadable, or an exclusive flock of its inode on a device that stat does
// not give, as on btrfs).
int probe_lock_held(const char* serial);

// One JSON reply line (the format, then a newline) on standard output, flushed.
void probe_reply(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
