// The smartctl interface: every smartctl command line of the program, its time
// limit, and how a reply is judged. Callers name a command; they never put
// smartctl arguments together themselves. Every command passes "-j", and a
// reply is judged by its "smartctl.exit_status", never by the process's own
// exit code.
#pragma once

#include <cstddef>

struct StrBuf;
struct JsonTok;

enum SmartctlCmd {
    kSmartctlCollect,              // "-x" "-j", 30 s: a poll's collection of one disk
    kSmartctlFarm,                 // "-l" "farm" "-j", 30 s: Seagate's FARM log
    kSmartctlIdentify,             // "-i" "-j", 30 s: identification of the tested disk
    kSmartctlIdentifyStandby,      // "-i" "-j" "-n" "standby", 30 s: the same, without waking it
    kSmartctlSnapshot,             // "-x" "-j", 60 s: health snapshot of the tested disk
    kSmartctlSiblingCounters,      // "-A" "-l" "sataphy" "-j" "-n" "standby", 30 s
    kSmartctlTemperature,          // "-A" "-j", 20 s
    kSmartctlSelftestStart,        // "-t" "short" "-j", 30 s
    kSmartctlSelftestProgressAta,  // "-c" "-l" "selftest" "-j", 30 s: ATA and SAT disks
    kSmartctlSelftestProgress,     // "-l" "selftest" "-j", 30 s: NVMe and SCSI disks
    kSmartctlSelftestAbort,        // "-X" "-j", 30 s
    kSmartctlCmdCount
};

// The executable, at most six arguments, "-d" and the type, the device, NULL.
inline constexpr int kSmartctlArgvMax = 12;

struct SmartctlArgv {
    const char* argv[kSmartctlArgvMax];
    int argc;  // words before the terminating NULL
};

// The command's time limit in seconds; -1 for no such command.
int smartctl_timeout_s(SmartctlCmd cmd);

// The vector: path, the command's arguments, then "-d" and dtype when dtype
// is non-empty, then device. The words point at path, dtype, device and
// static texts. Returns the word count, or -1 for no such command, no path or
// an empty device.
int smartctl_build(SmartctlCmd cmd, const char* path, const char* dtype, const char* device,
                   SmartctlArgv* out);

// Empties out, then runs the command on device with smartctl_path() and the
// command's time limit; out gets what smartctl printed, also when it was
// killed at its limit. Returns run_capture's result, which callers need not
// read (judge the reply instead); -1, with nothing run, when no smartctl is
// found or the command line cannot be built.
int smartctl_call(SmartctlCmd cmd, const char* dtype, const char* device, StrBuf* out);

// The exit-status bits that make a reply of cmd unusable: 7, or 3 for an NVMe
// disk, for the self-test start; 7 for the FARM log; 3 for a poll's
// collection and every other command of the surface test (bit 2, a failed
// drive command, does not spoil a reply there; for a disk of still unknown
// type the collection tries "-d sat" before it settles for such a reply).
// 0 for no such command.
int smartctl_exit_mask(SmartctlCmd cmd, int is_nvme);

// 1 when status (the reply's "smartctl.exit_status") has none of cmd's mask bits.
int smartctl_status_ok(SmartctlCmd cmd, int is_nvme, int status);

// "smartctl.exit_status" of an already tokenised reply (count tokens), low 32
// bits; 0 when it is missing, no integer, or the reply holds no object.
int smartctl_exit_status(const char* text, const JsonTok* toks, int count);

// Reads "smartctl.exit_status" of a reply: returns 1 when the text is a JSON
// object and sets *status to the low 32 bits of the value (0 when the key is
// missing or holds no integer); returns 0, leaving *status alone, otherwise.
int smartctl_reply_status(const char* text, std::size_t len, int* status);

// 1 when a self-test start reply says the drive refused ("Can't start").
int smartctl_reply_refused(const char* text, std::size_t len);

// 1 when a reply of cmd can be used: it is a JSON object whose exit status
// passes cmd's mask; a poll's collection and FARM read also need "{" as the
// very first byte; a self-test start must not be refused. A FARM reply that
// begins with "{" but is no valid JSON counts as usable (the drive has the log).
int smartctl_reply_ok(SmartctlCmd cmd, int is_nvme, const char* text, std::size_t len);
