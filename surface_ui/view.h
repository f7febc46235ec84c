// The terminal UI's image of one surface test: the state file that the test
// process publishes (<data dir>/probe/<serial>.json) read into a fixed record.
//
// The UI never talks to a test; it reloads this record every few hundred ms.
// The file is another process's output and is not trusted: it is read only
// when it is a regular file of at most kViewMaxBytes, every text is cleaned of
// control characters and broken UTF-8 (so nothing in it can reach a terminal
// as an escape sequence), counts are kept to their ranges, and the map is kept
// to at most 4096 cells with no more cells than codes.
#pragma once

#include <cstddef>
#include <cstdint>

struct JsonTok;

inline constexpr std::uint64_t kViewMaxBytes = 8388608;
inline constexpr std::int64_t kViewMaxCells = 4096;
inline constexpr int kViewMaxBad = 64;
inline constexpr int kViewMaxReasons = 16;
inline constexpr int kViewMaxHist = 120;
// A running test whose file was not rewritten for longer than this is gone,
// where neither its lock nor its process tells whether it still runs.
inline constexpr std::int64_t kViewStaleAfterS = 300;

struct ViewBad {
    std::int64_t lba;
    std::int64_t cell;
    char kind[8];
    char via[8];
    char repeat[12];
    char code;  // a map code: 'B', 'L', 'E', ...
};

struct ViewReason {
    char key[32];
    std::int64_t n;
    std::int32_t has_n;  // 1 when n was an integer
};

// Cleared at the start of every load; texts are the raw bytes of the JSON
// strings (escapes as written), cut to fit and cleaned.
struct ProbeView {
    std::int32_t present;  // the file was read and is a JSON object
    char status[16];       // "running", "done", "stopped", "failed", "stale" or ""
    char phase[24];
    char mode[8];
    char serial[80];
    char model[96];
    char dev[48];
    char kind[8];
    char error[200];
    std::int64_t pid;  // 0 unless it can be a process id
    std::int64_t started_ts, updated_ts, finished_ts, eta_s;
    std::int64_t capacity_bytes, logical_block_size;
    struct {
        char method[8];
        std::int64_t cells;  // 1..4096
        std::int64_t done;   // 0..cells
        std::int64_t cell_bytes;
        char* codes;  // owned; one of . a-f E L B per cell, or nullptr
        std::int64_t codes_len;
    } map;
    struct {
        char status[16];
        std::int64_t remaining_pct;
        std::int64_t lba_first_error;
        std::int32_t has_lba;
    } selftest;
    struct {
        std::int64_t verify_mib, verify_errors, read_samples, read_errors, slow_cells;
    } stats;
    std::int32_t bad_count;
    ViewBad bad[kViewMaxBad];
    struct {
        char code[16];  // empty for a stopped run
    } verdict;
    std::int32_t reason_count;
    ViewReason reasons[kViewMaxReasons];
    struct {
        std::int64_t a5, a197, a198, a199, xerror_icrc;
        std::int64_t phy_sum;
        struct {
            std::int64_t a5;
        } history;
        std::int32_t has_a5, has_a197, has_a198, has_a199, has_xerror_icrc;
        std::int32_t has_phy;
        std::int32_t has_history_a5;
    } deltas;
    struct {
        std::int32_t count;
        std::int32_t erring;
    } siblings;
    std::int32_t has_speed;  // speed and thermal below were read
    struct {
        double cur_mibs, avg_mibs, peak_mibs, max_rate_mibs, idle_s;
        std::int32_t hist_count;
        float hist[kViewMaxHist];
    } speed;
    struct {
        char state[8];
        char sensor[8];
        char limit_src[12];
        std::int32_t has_temp;
        std::int64_t temp_c, max_c, limit_c, warm_c, resume_c, duty_pct, pauses, paused_s, slowed_s,
            drive_throttle_s;
        std::int32_t has_throttle;
        std::int32_t hist_count;
        float hist[kViewMaxHist];  // -1000: no reading
    } thermal;
};

// Loads the state file of serial (as typed) into view, releasing the codes of
// the view's previous load first; the view must start zeroed. 0 when the file
// was read and parsed; -1 otherwise (a serial that cannot name a file, a
// missing, oversized, non-regular or invalid file), leaving the view zero. A
// "running" file loads with the status "stale" when no process holds the
// disk's lock (where that cannot be told, when its process is gone or it was
// not rewritten for kViewStaleAfterS) and the file, read again once that was
// seen, still says "running"; otherwise the view is that second read.
int view_load(const char* serial, ProbeView* view);
// Whether the view holds a test that runs: a file was loaded and its status
// is "running" (a run whose writer is gone loads as "stale").
bool view_running(const ProbeView* view);
// map.done as a percentage of map.cells; 0 without a view.
double view_percent_done(const ProbeView* view);
// Releases the map codes; the view can be loaded again.
void view_free(ProbeView* view);

// The numbers of the array at a dotted path, at most kViewMaxHist; null and
// values that are no finite number give dflt; strings, objects and arrays are
// skipped. Returns the count.
int view_json_floats(const char* text, const JsonTok* toks, const char* path, float* out,
                     float dflt);
// The finite number at a dotted path into *out; *out is unchanged otherwise.
void view_json_double(const char* text, const JsonTok* toks, const char* path, double* out);
