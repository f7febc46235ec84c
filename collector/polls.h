// Polls: one pass of the health collector over all disks, and the commands
// that run it. `tick` is run repeatedly by the NAS's scheduler and decides by
// itself whether an hourly poll, an adaptive poll (counters are rising) or
// nothing is due; `dump` runs a manual poll at once. Polls of all processes
// exclude each other with a non-blocking lock on <data dir>/.tick.lock, run
// inside one write transaction, and (for tick and dump) stop taking disks
// after a 240-second budget.
#pragma once

#include <csignal>
#include <cstdint>

// Set by SIGALRM at the end of the budget; never cleared.
extern volatile std::sig_atomic_t g_poll_timeout;
// The held poll lock's descriptor, -1 when none.
extern int g_tick_lock_fd;

// 0 lock held (in g_tick_lock_fd), 1 another process holds it, -1 the lock
// file cannot be opened or locked (logged).
int tick_lock_acquire();
// Closes the lock descriptor if open.
void tick_lock_release();

// The SIGALRM handler: sets g_poll_timeout.
void poll_on_alarm(int sig);

// The hour slot of Unix time t: t rounded down to a multiple of 3600. Every
// poll is stored with the slot of its start.
std::int64_t poll_hour_slot(std::int64_t t);

// One poll of kind "hourly", "adaptive", "manual" or "hotswap" in hour slot
// `slot`, inside the caller's transaction. A non-null filter visits only the
// disk with exactly that serial and skips the passes over all disks. 1 when
// the poll ran, 0 when the slot already had its hourly poll, -1 when a
// statement failed: the poll stops there and its transaction only rolls back.
int poll_run(const char* kind, std::int64_t slot, int on_time, const char* filter);

// The line "<kind> poll #N: … delta rows, …s" of the last poll_run that ran,
// logged by the caller once the transaction has committed, or forgotten when
// it has not: a rolled-back poll is never announced as stored.
void poll_log_stored();
void poll_forget_summary();

// The commands. 0 done (or another poll holds the lock), 1 when the lock
// file cannot be opened or the transaction cannot begin or commit.
int cmd_tick();
int cmd_dump(const char* serial);
