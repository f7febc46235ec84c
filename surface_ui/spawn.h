// Starting a surface test from the terminal UI: a detached copy of this very
// executable running `probe --json`, which outlives the UI and is followed
// only through its state file.
#pragma once

#include <cstddef>
#include <cstdint>

struct ProbeView;

// The command line of a detached test: the executable, "probe", --serial,
// --mode, --json, --qpkg-root, --temp-limit, --max-rate, and the NULL end.
inline constexpr int kProbeArgvWords = 13;
struct ProbeArgv {
    char exe[4096];
    char temp_limit[16];
    char max_rate[32];
    char* argv[kProbeArgvWords + 1];
};

// Fills a with the words for serial and mode from the current limits
// (g_temp_limit, g_max_rate) and package root. The pointers in a->argv point
// into a, serial and mode.
void ui_probe_argv(ProbeArgv* a, const char* exe, const char* serial, const char* mode);
// The rate cap as the test's --max-rate reads it back with strtod to the same
// value: "0", "500", "12.6", "0.4".
void ui_rate_arg(double mib_per_s, char* buf, std::size_t size);

// Launches the test of serial in mode as a process of a new session whose
// parent has already exited: standard input on /dev/null, its output on
// <data dir>/probe/<serial>.log (on /dev/null when that cannot be opened).
// 0 once launched as far as this process can see; -1 when the executable's
// own path cannot be read or no process could be made. Whether the test
// really started shows only in its state file.
int ui_spawn_probe(const char* serial, const char* mode);
// The same with another executable in place of this one's.
int ui_spawn_probe_exe(const char* exe, const char* serial, const char* mode);

// How long a caller watches the state file for the run it started.
inline constexpr double kStartWatchMs = 15000.0;

// The run a state file showed when a test was started, and whether a later
// load shows another one: one that runs, started later, or was written by
// another process (a run that ended within the second the previous one
// started has the same started_ts).
struct RunMark {
    std::int64_t started_ts;
    std::int64_t pid;
};
RunMark ui_run_mark(const ProbeView* view);
bool ui_run_is_new(const ProbeView* view, const RunMark& before);

// What ui_spawn_probe runs; tests put a fake in its place (nullptr puts the
// real one back) and get the one that was in use.
using UiSpawnFn = int (*)(const char* serial, const char* mode);
UiSpawnFn ui_spawn_replace(UiSpawnFn fn);
