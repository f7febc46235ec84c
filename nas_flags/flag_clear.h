// The `flag-clear` command: removes the NAS's error flag of one disk, but only
// after a recent surface test of that disk ended done with the verdict good or
// link. It keeps a backup of the configuration first, asks the NAS's own
// hal_event to clear the error, and rewrites the file itself under the NAS's
// lock only when the flag is still there. One JSON line on standard output;
// exit 0 cleared, 1 error, 3 refused.
#pragma once

#include <cstddef>

#include "nas_flags/conf_edit.h"

inline constexpr char kHalEventPath[] = "/sbin/hal_event";

// Where one run finds the platform. The defaults are the NAS's own places;
// tests point them at a tree of their own.
struct FlagClearEnv {
    const char* hal_event = kHalEventPath;  // tried before the PATH search
    const char* lock_dir = kNasLockDir;     // folder of the INI lock files
    const char* sys_root = "";              // root of the disk inventory's files
    const ConfRewriteHooks* hooks = nullptr;
};

int cmd_flag_clear(const char* wwn, const char* conf);
int flag_clear_run(const char* wwn, const char* conf, const FlagClearEnv& env);

// fixed when it is executable, else the first "<dir>/hal_event" that is an
// executable file, dir taken in order from PATH (or the usual system folders
// when PATH is unset or empty). Only absolute folders are searched: a relative
// one would run whatever the current folder holds. "" when none is found.
void flag_clear_find_hal_event(const char* fixed, char* out, std::size_t size);
