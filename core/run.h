// Running outside programs (smartctl, the NAS's log_tool and hal_event) with a
// time limit, and finding the smartctl executable that this machine can run.
#pragma once

#include <cstddef>
#include <cstdint>

struct StrBuf;

// The most of a reply that run_capture keeps: far above any real smartctl
// reply, and a bound on what a runaway child can make us hold.
inline constexpr std::uint64_t kRunReplyMax = 16u << 20;

// Runs argv[0], an absolute path (PATH is not searched, no shell is involved),
// with the NULL-terminated vector argv. The child keeps standard input, writes
// standard error to /dev/null and gets no other descriptor of ours; its
// standard output is appended to out. Once more than timeout_s seconds have
// passed, or once it has printed more than kRunReplyMax bytes, the child is
// killed with SIGKILL, whatever it is doing, and it is always reaped before
// the call returns.
// Returns the exit status 0..255 (127 when the program could not be started),
// or -1 when no pipe or child could be made, the child ended by a signal (a
// time-out included), or its reply passed the bound or could not be stored
// (out keeps what was read until then, at most kRunReplyMax bytes).
[[nodiscard]] int run_capture(const char* const argv[], StrBuf* out, int timeout_s);

// Runs argv like run_capture and copies the first line of its output (without
// the newline, cut to size - 1 bytes) into field, empty when it printed
// nothing. Returns the whole first line's length, so that a caller can refuse
// a cut one; -1, with field empty, when the child was killed or failed to run.
int run_first_line(const char* const argv[], int timeout_s, char* field, std::size_t size);

// The function run_capture hands every call to.
using RunCaptureFn = int (*)(const char* const argv[], StrBuf* out, int timeout_s);
// Puts fn in the place of the real runner (nullptr puts it back); returns the
// one before. Tests feed recorded replies of smartctl, log_tool and hal_event
// to the code above this way.
RunCaptureFn run_capture_replace(RunCaptureFn fn);

inline constexpr std::size_t kArchNameSize = 16;
inline constexpr std::size_t kSmartctlPathSize = 600;

// The package's name for a processor, from what `uname -m` prints (without
// the newline): x86_64, aarch64, armel, armhf, or the text itself cut to 15
// bytes; x86_64 when the text is empty or missing. Writes at most
// min(size, kArchNameSize) bytes with the terminator.
void arch_from_machine(const char* machine, char* name, std::size_t size);

// This machine's name for the package, derived once per process from what
// /bin/uname (else /usr/bin/uname) -m prints, with a time limit.
const char* arch_name();

// The first executable of: smartctl-<arch>, then smartctl, in /usr/app/qorm/bin
// and then in /usr/app/qorm/dist/smartmontools/bin; then smartctl in
// /usr/local/sbin, /usr/sbin, /sbin, /usr/bin and /bin. The path found is kept
// for the process and returned without testing it again. nullptr when none is
// executable; the next call then searches again.
const char* smartctl_path();
// Takes path as the one found (nullptr or "" forgets it, so the next call
// searches again). Tests whose runner is a FakeRun use it on machines that
// have no smartctl at all.
void smartctl_path_remember(const char* path);
