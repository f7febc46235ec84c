// The result of a surface test in the database, the probe-stop command, and
// the check that a process id is the test of a given serial.
#pragma once

#include <sys/types.h>

#include <cstdint>

std::int64_t probe_db_record(const char* serial, const char* wwn, const char* mode,
                             const char* status, const char* verdict, std::int64_t started_ts,
                             std::int64_t finished_ts, const char* result_json);
int cmd_probe_stop(const char* serial);
int probe_pid_is_probe(pid_t pid, const char* serial);
