// The package root, the data directory and the database path of this process.
//
// Resolved once by paths_init before any command runs and read-only afterwards.
#pragma once

#include <cstddef>

inline constexpr std::size_t kRootSize = 512;
inline constexpr std::size_t kVarDirSize = 600;
inline constexpr std::size_t kDbPathSize = 700;

extern char g_root[kRootSize];       // the package root
extern char g_var_dir[kVarDirSize];  // <root>/var/corvantis
extern char g_db_path[kDbPathSize];  // <var dir>/corvantis.db

// Root from, in order: a non-empty override, the NAS package registry
// (/sbin/getcfg), "<directory of the executable>/corvantisd-cli", "/usr/app/qorm".
void paths_init(const char* override_root);
// mkdir 0755 of the root, <root>/var and the data directory; errors are ignored
// (an existing directory is the usual case) and parents are not created.
void paths_ensure_dirs();
