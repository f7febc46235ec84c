#include "surface_test/probe_map.h"

#include <algorithm>
#include <cstring>

#include "core/clock.h"
#include "core/log.h"
#include "core/util.h"
#include "surface_test/pace.h"
#include "surface_test/probe_state.h"
#include "surface_test/probe_state_file.h"
#include "surface_test/thermal.h"

namespace {

constexpr std::uint64_t kMiB = 1u << 20;
constexpr std::uint64_t kGiB4 = 1ull << 32;
constexpr std::uint64_t kUnit = 4096;  // repeat unit, sample alignment
constexpr std::uint64_t kResumeStep = std::uint64_t{64} << 10;
constexpr std::uint64_t kFullCommand = 8 * kMiB;
constexpr int kCellErrorMax = 16;
constexpr int kConsecutiveEMax = 32;
constexpr int kSamples = 128;
constexpr int kRepeatRanges = 256;
constexpr double kRepeatBudgetMs = 600000;
constexpr int kTries = 3;
constexpr std::uint32_t kCommandTimeoutMs = 30000;

std::uint32_t block_unit(std::uint32_t lbs) {
    return lbs >= 512 && lbs % 512 == 0 ? lbs : 512;
}

std::uint64_t round_down(std::uint64_t v, std::uint64_t to) {
    return v / to * to;
}

bool map_uses_verify() {
    return std::strcmp(g_probe.method, "verify") == 0;
}

bool full_mode() {
    return std::strcmp(g_probe.mode, "full") == 0;
}

// ---- the map ----

enum class CellEnd {
    kNext,     // the cell got its code; go on with the next
    kMapEnd,   // the cell got its code; the map ends (lost device, too many errors)
    kAbort,    // stop or refused command: the map ends without a code for this cell
    kRestart,  // VERIFY is not supported: the map starts again by READ
};

struct Cell {
    std::uint32_t i;
    std::uint64_t start, end, pos;
    char grade;  // worst error so far, 0 for none
    int errors;
    double ms, mib;
};

// Where the map's command may reach: whole cells, and in full mode the rest
// of the disk below 4 KiB precision as part of the last cell.
void cell_range(Cell* c) {
    const std::uint64_t cb = g_probe.cell_bytes;
    c->start = c->i * cb;
    c->end = c->start + cb;
    if (full_mode()) {
        if (c->i + 1 == g_probe.cells) c->end = round_down(g_probe.capacity_bytes, kUnit);
        return;
    }
    const std::uint64_t sample = std::min<std::uint64_t>(cb, kMiB);
    c->start += map_sample_offset(c->i, cb, sample);
    c->end = c->start + sample;
}

std::uint64_t command_length(const Cell& c) {
    const std::uint64_t size = full_mode() ? kFullCommand : c.end - c.start;
    return round_down(std::min(c.end - c.pos, size), block_unit(g_probe.logical_block_size));
}

void map_add_totals(const Cell& c) {
    g_probe.verify_mib += c.mib;
    g_probe.map_ms += c.ms;
}

// Writes the cell's code and its sums; the error grade is merged over the latency.
void cell_finish(const Cell& c) {
    char code;
    if (c.mib > 0) {
        code = map_latency_grade(c.ms / c.mib);
        if (code == 'e' || code == 'f') ++g_probe.slow_cells;
        if (c.grade) code = map_grade_merge(code, c.grade);
    } else {
        code = c.grade ? c.grade : 'E';
    }
    g_probe.codes[c.i] = code;
    map_add_totals(c);
}

// One command of the map, the samples or the repeat pass. A failing disk may
// take minutes to answer it, so the state file is brought up to date first.
int device_command(std::uint64_t offset, std::uint64_t length, bool verify, IoResult* r) {
    probe_state_catch_up();
    if (verify) return dev_verify_range(offset, length, r);
    return dev_pread_range(g_probe.io_fd, offset, length, g_probe.io_buf, r);
}

int map_command(const Cell& c, std::uint64_t len, IoResult* r) {
    return device_command(c.pos, len, map_uses_verify(), r);
}

// A failed command other than a lost device: records it and gives the
// position the cell goes on from. Sets too_many_errors at 32 'E' in a row.
std::uint64_t map_failure(Cell* c, std::uint64_t len, const IoResult& r, int* consecutive_e) {
    const bool verify = map_uses_verify();
    const char g = map_code_grade(r.code == kIoUnsupported ? kIoFailed : r.code);
    c->grade = c->grade ? map_grade_merge(c->grade, g) : g;
    ++c->errors;
    ++g_probe.verify_errors;
    std::uint64_t p = c->pos;
    int exact = 0;
    if (verify && !g_probe.is_nvme && r.sense.info_valid) {
        const std::uint64_t at = r.sense.info * g_probe.logical_block_size;
        if (at >= c->pos && at < c->pos + len) {
            p = at;
            exact = 1;
        }
    }
    probe_bad_add(p, len, c->i, g, verify ? 0 : 1, exact);
    if (g != 'E')
        *consecutive_e = 0;
    else if (++*consecutive_e >= kConsecutiveEMax)
        g_probe.too_many_errors = 1;
    if (exact && full_mode()) {
        // Past the bad block to the next 64 KiB boundary: the rest of the
        // command is still read, without meeting the same block again.
        const std::uint64_t next = (p / kResumeStep + 1) * kResumeStep;
        if (next > c->pos) return next;
    }
    return c->pos + len;
}

CellEnd map_cell(Cell* c, int* consecutive_e) {
    std::uint64_t len = command_length(*c);
    if (len == 0) {
        cell_finish(*c);
        return CellEnd::kNext;
    }
    for (;;) {
        if (thermal_gate() != 0) return CellEnd::kAbort;
        IoResult r;
        map_command(*c, len, &r);
        if (dev_should_fallback_read(r.code, map_uses_verify(), g_probe.verify_ok_seen))
            return CellEnd::kRestart;
        pace_after_io(r.code == kIoOk ? len : 0, len, r.elapsed_ms);
        if (r.code == kIoOk) {
            if (map_uses_verify()) g_probe.verify_ok_seen = 1;
            *consecutive_e = 0;
            c->ms += r.elapsed_ms;
            c->mib += static_cast<double>(len) / kMiB;
            c->pos += len;
        } else if (r.code == kIoGone || !probe_device_alive()) {
            g_probe.fatal = 1;
            c->grade = map_grade_merge(c->grade ? c->grade : '.', 'E');
            probe_bad_add(c->pos, len, c->i, 'E', map_uses_verify() ? 0 : 1, 0);
            ++g_probe.verify_errors;
            cell_finish(*c);
            return CellEnd::kMapEnd;
        } else {
            const std::uint64_t next = map_failure(c, len, r, consecutive_e);
            if (g_probe.too_many_errors) {
                cell_finish(*c);
                return CellEnd::kMapEnd;
            }
            if (g_probe_stop) return CellEnd::kAbort;
            if (c->errors >= kCellErrorMax) break;  // left short of its end: not done
            c->pos = next;
        }
        if (c->pos >= c->end) break;
        if (g_probe_stop) return CellEnd::kAbort;
        len = command_length(*c);
        if (len == 0) break;
    }
    cell_finish(*c);
    return CellEnd::kNext;
}

// Everything a map by VERIFY found is thrown away when the drive turns out
// not to support it: the READ map starts from nothing.
void map_reset_for_read() {
    log_msg("probe: VERIFY is not supported by %s, the map uses READ", g_probe.dev);
    g_probe.read_fallback = 1;
    str_copy(g_probe.method, sizeof g_probe.method, "read");
    std::memset(g_probe.codes, '.', g_probe.cells);
    g_probe.done = 0;
    g_probe.bad_count = 0;
    g_probe.slow_cells = 0;
    g_probe.verify_errors = 0;
    g_probe.verify_mib = 0;
    g_probe.map_ms = 0;
}

// One pass over the cells; true when it must start again by READ.
bool map_pass() {
    g_probe.pace.map_start_ms = clock_mono_ms();
    g_probe.pace.map_end_ms = 0;
    pace_meter_init(&g_probe.pace.meter, g_probe.pace.map_start_ms);
    int consecutive_e = 0;
    for (std::uint32_t i = 0; i < g_probe.cells && !g_probe_stop; ++i) {
        Cell c{};
        c.i = i;
        cell_range(&c);
        c.pos = c.start;
        switch (map_cell(&c, &consecutive_e)) {
            case CellEnd::kRestart:
                return true;
            case CellEnd::kAbort:
                map_add_totals(c);
                return false;
            case CellEnd::kMapEnd:
                return false;
            case CellEnd::kNext:
                break;
        }
        if (c.pos >= c.end) ++g_probe.done;
        probe_state_save(0);
    }
    return false;
}

// ---- the repeat pass ----

// Up to three 4 KiB tries of one method; false when a command was refused.
bool repeat_tries(BadRange* b, std::uint64_t unit, int verify) {
    for (int t = 0; t < kTries && !g_probe_stop; ++t) {
        IoResult r;
        if (probe_io_one(unit, kUnit, verify, &r) != 0) return false;
        const bool failed = r.code != kIoOk;
        if (verify) {
            ++b->verify_tries;
            b->verify_fails += failed;
            b->verify_media += r.code == kIoMedium;
        } else {
            ++b->read_tries;
            b->read_fails += failed;
        }
        if (r.code == kIoGone) g_probe.fatal = 1;
    }
    return true;
}

// The narrowing method of a range, -1 when it is not narrowed.
int narrow_method(const BadRange& b, bool used_verify) {
    if (b.lba_exact || b.length <= kUnit) return -1;
    if (b.code == 'B') return !b.via_read && used_verify ? 1 : 0;
    return b.via_read ? 0 : -1;
}

void repeat_classify(BadRange* b, bool used_verify) {
    const char* kind = "other";
    char code = b->code;
    if (!b->via_read) {
        if (b->code == 'B') {
            kind = "media";
            b->confirmed = b->verify_media > 0;
        } else if (b->code == 'L') {
            kind = "link";
        }
    } else if (used_verify && b->verify_tries > 0) {
        if (b->verify_media > 0) {
            kind = "media";
            b->confirmed = 1;
            code = 'B';
        } else if (b->verify_fails == 0 && !g_probe.is_nvme) {
            // The drive reads the unit cleanly inside itself while READ over
            // the link failed: the link, not the surface.
            kind = "link";
            code = 'L';
        }
    } else if (g_probe.is_nvme && b->read_tries == kTries && b->read_fails == kTries) {
        kind = "media";
        b->confirmed = 1;
        code = 'B';
    }
    b->kind = kind;
    b->code = code;
    if (b->cell < g_probe.cells && g_probe.codes)
        g_probe.codes[b->cell] = map_grade_merge(g_probe.codes[b->cell], code);
}

// One range of the repeat pass; false when a refused command ends the pass.
bool repeat_range(BadRange* b, bool used_verify, double deadline) {
    std::uint64_t unit = round_down(b->offset, kUnit);
    const int method = narrow_method(*b, used_verify);
    if (method >= 0) {
        BisectContext ctx{method, deadline};
        std::uint64_t found = 0;
        if (map_bisect_bad_unit(b->offset, b->length, probe_bisect_step, &ctx, &found)) {
            b->offset = found;
            unit = found;
        }
    }
    if (used_verify && !repeat_tries(b, unit, 1)) return false;
    if (!repeat_tries(b, unit, 0)) return false;
    repeat_classify(b, used_verify);
    return true;
}

}  // namespace

// ---- geometry and grades ----

int map_cell_geometry(std::uint64_t capacity, std::uint32_t* cells, std::uint64_t* cell_bytes) {
    if (capacity < kMiB) {
        *cells = 0;
        *cell_bytes = 0;
        return 0;
    }
    if (capacity < kGiB4) {
        *cells = static_cast<std::uint32_t>(capacity / kMiB);
        *cell_bytes = kMiB;
    } else {
        *cells = 4096;
        *cell_bytes = (capacity >> 32) * kMiB;
    }
    return 1;
}

std::uint64_t map_sample_offset(std::uint32_t i, std::uint64_t cell_bytes,
                                std::uint64_t sample_bytes) {
    if (sample_bytes >= cell_bytes) return 0;
    const std::uint64_t align = cell_bytes % kMiB || sample_bytes % kMiB ? kUnit : kMiB;
    std::uint64_t x = i * 0x9E3779B1ull + 0x9E3779B97F4B53F6ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x = x ^ (x >> 31);
    return x % ((cell_bytes - sample_bytes) / align + 1) * align;
}

char map_latency_grade(double ms_per_mib) {
    static constexpr struct {
        double max_ms;
        char code;
    } kGrades[] = {{10, 'a'}, {25, 'b'}, {50, 'c'}, {150, 'd'}, {500, 'e'}};
    for (const auto& g : kGrades)
        if (ms_per_mib <= g.max_ms) return g.code;
    return 'f';
}

int map_grade_rank(char code) {
    static constexpr char kOrder[] = ".abcdefELB";
    if (code == '\0') return -1;
    const char* at = std::strchr(kOrder, code);
    return at ? static_cast<int>(at - kOrder) : -1;
}

char map_grade_merge(char a, char b) {
    const int ra = map_grade_rank(a);
    const int rb = map_grade_rank(b);
    if (ra < 0) return rb < 0 ? a : b;
    if (rb < 0) return a;
    return rb > ra ? b : a;
}

// ---- block arithmetic ----

std::uint64_t dev_bytes_to_blocks(std::uint64_t bytes, std::uint32_t lbs) {
    return bytes / block_unit(lbs);
}

std::uint64_t dev_blocks_to_sectors512(std::uint64_t lba, std::uint32_t lbs) {
    return block_unit(lbs) == lbs ? lba * (lbs / 512) : lba;
}

std::uint64_t dev_sectors512_to_blocks(std::uint64_t sectors, std::uint32_t lbs) {
    return block_unit(lbs) == lbs ? sectors / (lbs / 512) : sectors;
}

int dev_should_fallback_read(int code, int verify_in_use, int verify_ok_seen) {
    return code == kIoUnsupported && verify_in_use && !verify_ok_seen ? 1 : 0;
}

// ---- commands ----

void probe_bad_add(std::uint64_t offset, std::uint64_t length, std::uint32_t cell, char code,
                   int via_read, int lba_exact) {
    if (!g_probe.bad || g_probe.bad_count >= kProbeBadMax) return;
    BadRange& b = g_probe.bad[g_probe.bad_count++];
    b = BadRange{};
    b.offset = offset;
    b.length = length;
    b.cell = cell;
    b.code = code;
    b.via_read = via_read;
    b.lba_exact = lba_exact;
}

int dev_verify_range(std::uint64_t offset, std::uint64_t length, IoResult* r) {
    const std::uint32_t lbs = block_unit(g_probe.logical_block_size);
    const std::uint64_t lba = dev_bytes_to_blocks(offset, lbs);
    const auto blocks = static_cast<std::uint32_t>(length / lbs);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (g_probe.is_nvme)
            dev_nvme_verify(g_probe.io_fd, g_probe.nsid, lba, blocks, kCommandTimeoutMs, r);
        else
            dev_scsi_verify16(g_probe.sg_fd, lba, blocks, kCommandTimeoutMs, r);
        if (r->code != kIoUnitAttention) return r->code;
    }
    r->code = kIoFailed;  // a second unit attention: the drive keeps resetting
    return r->code;
}

int probe_io_one(std::uint64_t offset, std::uint64_t length, int verify, IoResult* r) {
    if (thermal_gate() != 0) {
        dev_result_clear(r);
        r->code = kIoFailed;
        return -1;
    }
    device_command(offset, length, verify != 0, r);
    pace_after_io(r->code == kIoOk ? length : 0, length, r->elapsed_ms);
    return 0;
}

// ---- bisection ----

int map_bisect_bad_unit(std::uint64_t offset, std::uint64_t length, BisectTest test, void* ctx,
                        std::uint64_t* found) {
    std::uint64_t start = round_down(offset, kUnit);
    std::uint64_t size = (length + kUnit - 1) / kUnit * kUnit;
    if (size == 0) return 0;
    while (size > kUnit) {
        std::uint64_t half = size / (2 * kUnit) * kUnit;
        if (half == 0) half = kUnit;
        const int t = test(start, half, ctx);
        if (t < 0) return 0;
        if (t == 1) {
            size = half;
            continue;
        }
        // The first half read cleanly, so the failure must show up in the
        // second; when it does not, it did not repeat and nothing is isolated.
        start += half;
        size -= half;
        if (test(start, size, ctx) != 1) return 0;
    }
    *found = start;
    return 1;
}

int probe_bisect_step(std::uint64_t offset, std::uint64_t length, void* ctx) {
    const auto* c = static_cast<const BisectContext*>(ctx);
    if (g_probe_stop || g_probe.fatal || clock_mono_ms() > c->deadline_ms) return -1;
    const std::uint64_t cap_end = round_down(g_probe.capacity_bytes, kUnit);
    if (offset >= cap_end) return 0;
    length = round_down(std::min(length, cap_end - offset), kUnit);
    if (length == 0) return 0;
    IoResult r;
    if (probe_io_one(offset, length, c->method, &r) != 0) return -1;
    if (r.code == kIoGone) {
        g_probe.fatal = 1;
        return -1;
    }
    return r.code != kIoOk ? 1 : 0;
}

// ---- the phases ----

void probe_map_choose_method() {
    if (!g_probe.is_nvme) {
        if (dev_sg_supports_v3(g_probe.sg_fd)) {
            str_copy(g_probe.method, sizeof g_probe.method, "verify");
        } else {
            log_msg("probe: %s takes no SCSI commands, the map uses READ", g_probe.dev);
            str_copy(g_probe.method, sizeof g_probe.method, "read");
            g_probe.read_fallback = 1;
        }
    } else {
        const int nsid = dev_nvme_get_nsid(g_probe.io_fd);
        alignas(4096) unsigned char id[kNvmeIdentifySize];
        probe_state_catch_up();
        if (nsid >= 1 && dev_nvme_identify_ctrl(g_probe.io_fd, id) == 0 &&
            dev_nvme_has_verify(id, sizeof id)) {
            str_copy(g_probe.method, sizeof g_probe.method, "verify");
            g_probe.nsid = static_cast<std::uint32_t>(nsid);
        } else {
            str_copy(g_probe.method, sizeof g_probe.method, "read");
        }
    }
    probe_state_save(0);
}

void probe_map_run() {
    if (g_probe.cells == 0 || !g_probe.codes) return;
    while (map_pass()) map_reset_for_read();
    g_probe.pace.map_end_ms = clock_mono_ms();
}

void probe_samples_run() {
    g_probe.phase = "read";
    probe_state_save(0);
    const std::uint64_t cap = g_probe.capacity_bytes;
    if (cap < kMiB) return;
    for (int k = 0; k < kSamples; ++k) {
        if (g_probe_stop || g_probe.fatal || g_probe.thermal.thermal_stop) break;
        const std::uint64_t offset = round_down((cap - kMiB) / (kSamples - 1) * k, kUnit);
        IoResult r;
        if (probe_io_one(offset, kMiB, 0, &r) != 0) break;
        ++g_probe.read_samples;
        if (r.code != kIoOk) {
            ++g_probe.read_errors;
            std::uint32_t cell = 0;
            if (g_probe.cells > 0 && g_probe.cell_bytes > 0)
                cell = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(offset / g_probe.cell_bytes, g_probe.cells - 1));
            probe_bad_add(offset, kMiB, cell, 'E', 1, 0);
            if (g_probe.codes && cell < g_probe.cells)
                g_probe.codes[cell] = map_grade_merge(g_probe.codes[cell], 'E');
            if (r.code == kIoGone || !probe_device_alive()) g_probe.fatal = 1;
        }
        probe_state_save(0);
    }
}

void probe_repeat_run() {
    g_probe.phase = "repeat";
    probe_state_save(0);
    const double deadline = clock_mono_ms() + kRepeatBudgetMs;
    const bool used_verify = map_uses_verify();
    const int n = std::min(g_probe.bad_count, kRepeatRanges);
    for (int i = 0; i < n; ++i) {
        if (g_probe_stop || g_probe.fatal || g_probe.thermal.thermal_stop) break;
        if (clock_mono_ms() > deadline) break;
        if (!repeat_range(&g_probe.bad[i], used_verify, deadline)) break;
        probe_state_save(0);
    }
}
