// The collector's maintenance commands: forget (remove everything recorded
// about one disk), prune (drop old kernel-log lines now) and status (one JSON
// line of row counts for the package's web interface). main opens the
// database before each and closes it afterwards; none takes the poll lock.
#pragma once

#include <cstdint>

// 0 done, 1 no such disk or the deletion failed, 2 no serial.
int cmd_forget(const char* serial);
// 0 done, 1 when the deletion failed.
int cmd_prune();
// Prints the status line; 0.
int cmd_status();

// Deletes kernel-log lines older than 30 days before now and stamps
// last_prune_ts in one transaction, then returns free pages to the file
// system. 0, or -1 after logging (nothing is deleted and the stamp is left
// alone, so the next tick tries again).
int prune_dmesg(std::int64_t now);
