// The one record of a surface-test run and the records inside it.
//
// A probe process tests one disk, so the run's state is one process-wide
// record, g_probe, cleared at the start of every run. Every phase of the run
// (identification, snapshots, map, samples, repeat pass, self-test, verdict)
// reads and writes it, and the state file publishes it.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "collector/smart_snapshot.h"
#include "surface_test/dev_io.h"

inline constexpr int kProbeBadMax = 1024;    // BadRange entries allocated per run
inline constexpr int kProbeSiblingMax = 64;  // disks on the same controller
inline constexpr int kHistRingSize = 120;    // history samples kept
inline constexpr int kRateMeterSlots = 20;   // 250 ms buckets: five seconds
inline constexpr int kVerdictReasonMax = 24;
inline constexpr std::size_t kProbeIoBufSize = 8u << 20;  // the one direct-read buffer
inline constexpr std::size_t kProbeIoAlign = 4096;

// One failed command of the map, a sample or the repeat pass.
struct BadRange {
    std::uint64_t offset;  // byte offset; the exact failing block when lba_exact
    std::uint64_t length;  // bytes of the failed command
    std::uint32_t cell;
    char code;               // 'B', 'L' or 'E'
    std::int32_t via_read;   // 1 seen by READ, 0 by VERIFY
    std::int32_t lba_exact;  // offset is the failing LBA the drive reported
    std::int32_t verify_tries, verify_fails, verify_media;  // repeat pass, 4 KiB VERIFY
    std::int32_t read_tries, read_fails;                    // repeat pass, 4 KiB READ
    const char* kind;        // nullptr until classified: "media", "link" or "other"
    std::int32_t confirmed;  // the repeat pass confirmed a media error
};

// The duty-cycle thermal guard.
struct ThermalGuard {
    std::int32_t limit;   // °C; 0 = guard off
    std::int32_t warm;    // lowest temperature of the slow band
    std::int32_t resume;  // a pause ends at or below this
    double min_duty;
    double step;
    std::int32_t state;  // 0 none, 1 ok, 2 slow, 3 pause
    double duty;         // 0.0 .. 1.0
    std::int32_t temp;   // last temperature, -1000 before any sample
    std::int32_t peak;   // highest seen, -1000 before any sample
    std::int32_t samples;
    std::int64_t pauses;
    double pause_start;  // monotonic ms, 0 when not paused
    double paused_ms;    // finished pauses
    double slowed_ms;
    double last_t;  // monotonic ms of the last sample
};

enum ThermalState { kThermNone = 0, kThermOk = 1, kThermSlow = 2, kThermPause = 3 };
// Index into the names "default", "user", "wctemp", "op_limit", "trip", "off".
enum ThermalSource { kSrcDefault = 0, kSrcUser, kSrcWctemp, kSrcOpLimit, kSrcTrip, kSrcOff };

// Run-level thermal fields next to the guard.
struct ThermalRun {
    ThermalGuard guard;
    std::int32_t limit_src;           // ThermalSource
    std::int32_t poll_ms;             // poll interval
    std::int32_t read_failures;       // consecutive failed readings
    std::int32_t wctemp_c, cctemp_c;  // NVMe warning / critical, 0 when unknown
    const char* sensor;               // "nvme", "smart", or nullptr while none
    std::int32_t nvme_log_disabled;
    double next_poll;  // monotonic ms
    std::int32_t nvme_first_taken;
    std::int32_t nvme_latest_valid;
    NvmeThermalLog nvme_first;
    NvmeThermalLog nvme_latest;
    std::int32_t thermal_stop;  // a pause of more than 20 minutes ended a phase
};

// Five-second throughput meter in 250 ms buckets.
struct RateMeter {
    double mib[kRateMeterSlots];
    std::int64_t bucket_id[kRateMeterSlots];  // -1 when empty
    double start;                             // monotonic ms
};

// The last 120 samples, oldest overwritten first.
struct HistRing {
    float values[kHistRingSize];
    std::int32_t count;
    std::int32_t head;
};

// Pacing and history fields of the run.
struct PaceRun {
    RateMeter meter;
    HistRing speed;       // MiB/s
    HistRing temp;        // °C, -1000 without a reading
    double last_hist_ms;  // 0 before the first sample
    double map_start_ms;
    double map_end_ms;
    double idle_ms;  // sum of pacing delays
    double peak_mibs;
};

// One health snapshot of the disk under test (before and after the map).
struct ProbeSnapshot {
    std::int64_t ts;
    std::int32_t smart_ok;
    SmartSnapshot smart;
    char sata_spd[32];
    double sata_gbps;
    std::int32_t ering_ok;
    std::int64_t ering_bus, ering_media, ering_other;
    double ering_newest;
    std::int32_t klog_ok;
    double dmesg_mark;
    std::int64_t dmesg_link, dmesg_media;  // second snapshot only
};

// Another disk behind the same controller, watched for link errors.
struct SiblingLink {
    char dev[32];
    char serial[80];
    char dtype[16];
    std::int32_t ok0, ok1;
    std::int64_t crc0, crc1;
    std::int64_t phy0, phy1;
};

// Everything the verdict weighs, filled by the run at its end.
struct VerdictInput {
    std::int32_t is_nvme;
    std::int32_t link_analysis;
    std::int32_t fatal;
    std::uint32_t cells, done;
    std::int32_t cells_b, cells_l, cells_e;
    std::int32_t read_fallback;
    const char* selftest;
    std::int32_t media_confirmed, media_unconfirmed;
    std::int32_t link_by_read, link_by_verify;
    std::int64_t d_a5, d_a187, d_a188, d_a197, d_a198, d_a199;
    std::int64_t d_phy_crc, d_phy_other;
    std::int64_t xerr_icrc, xerr_unc;
    std::int64_t ering_bus, ering_media;
    std::int32_t speed_drop;
    std::int64_t dmesg_link, dmesg_media;
    std::int32_t siblings_rising;
    std::int64_t s0_a5, s0_a197, s0_a198;
    std::int64_t s0_nvme_media;
    std::int64_t d_nvme_media;
    std::int32_t thermal_stop;
};

struct VerdictReason {
    const char* key;
    std::int64_t n;
};

struct Verdict {
    const char* code;  // "good", "bad", "link", "inconclusive"
    std::int32_t count;
    VerdictReason reasons[kVerdictReasonMax];
};

struct ProbeState {
    // identity
    char serial_arg[80];  // as typed: names the lock and state files
    char serial[80];      // as found
    char wwn[128];
    char model[96];
    char name[32];       // kernel block name
    char dev[48];        // "/dev/<name>"
    char smart_dev[48];  // what smartctl is handed
    char kind[8];        // "nvme", "ata", "sat", "scsi"
    char dtype[16];      // smartctl -d type that answered
    char mode[8];        // "quick" or "full"
    std::int32_t is_nvme, rotational, identified;
    std::uint64_t capacity_bytes;
    std::uint32_t logical_block_size;
    char md_member[16];
    char md_all[160];
    char controller[16];
    char ata_port[16];
    char nvme_ctrl[16];
    // progress
    char status[16];
    char error[200];
    const char* phase;  // nullptr while no phase is set
    std::int64_t started_ts, updated_ts, finished_ts, eta_s;
    // self-test
    char st_status[16];
    std::int32_t st_remaining_pct;
    std::int32_t st_lba_valid;
    std::int64_t st_lba_first_error;
    // map
    std::uint32_t cells, done;
    std::uint64_t cell_bytes;
    char method[8];  // "" until chosen, then "verify" or "read"
    char* codes;     // cells map codes and a NUL
    std::int32_t read_fallback;
    std::int32_t verify_ok_seen;
    // statistics
    double verify_mib;
    double map_ms;  // summed command time of the map's successful reads
    std::int64_t verify_errors, read_samples, read_errors, slow_cells;
    // bad ranges
    std::int32_t bad_count;
    BadRange* bad;  // kProbeBadMax entries
    // snapshots
    ProbeSnapshot snap0, snap1;
    std::int32_t snap1_taken;  // the first snapshot's ts tells whether it was taken
    // siblings
    std::int32_t sibling_count;
    SiblingLink siblings[kProbeSiblingMax];
    // outcome
    std::int32_t fatal, stopped, too_many_errors, has_verdict;
    Verdict verdict;
    // paths
    char state_path[720];
    char lock_path[720];
    char probe_dir[620];
    // run time
    double last_save_ms;
    std::int32_t save_skipped;  // the throttle skipped a save since the last write
    // The phase and statuses of the last write: a skipped save that changes
    // one of them is never held back behind a command that may block.
    const char* saved_phase;
    char saved_status[16];
    char saved_st_status[16];
    // Monotonic ms when the run started. The kernel stamps its log on the same
    // clock, so when the first snapshot could not read the log, the second
    // counts only lines stamped after this (never the whole history as new).
    double start_mono_ms;
    std::int32_t sg_fd, io_fd;
    std::uint32_t nsid;
    unsigned char* io_buf;  // kProbeIoBufSize, aligned to kProbeIoAlign
    // pacing
    ThermalRun thermal;
    PaceRun pace;
};

// The run of this process.
extern ProbeState g_probe;
// 1 once SIGTERM or SIGINT asked the run to stop; never cleared during a run.
extern volatile std::sig_atomic_t g_probe_stop;
// The queue lock's descriptor, -1 when it could not be opened.
extern int g_probe_queue_fd;

// Prefix of every platform path the surface test touches (/sys, /dev, /proc,
// /mnt): "" on the NAS itself. In-process tests point it at a fake tree, where
// /dev/<name> may be a link to a loop device. Never changed during a run.
extern const char* g_probe_root;
// Sleeps ms in slices of at most 200 ms and ends early once g_probe_stop is
// set, so that a stop request never waits out a long pause. after_slice, when
// given, runs after every slice (a long wait keeps the published progress
// fresh); then a save that the throttle skipped is written once its second
// has passed. 0 when the whole time passed, -1 when a stop ended it (or was
// already set).
int probe_wait_ms(double ms, void (*after_slice)() = nullptr);
// The formatted text into out. 0, or -1 when it does not fit: out is then
// empty, so that a path cut short never names another file.
int probe_format(char* out, std::size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
// g_probe_root followed by the formatted path, into out. 0, or -1 when the
// result does not fit (out is then empty, so nothing wrong is ever opened).
int probe_path(char* out, std::size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
