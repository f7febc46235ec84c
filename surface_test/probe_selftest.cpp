#include "surface_test/probe_selftest.h"

#include <cstring>

#include "collector/smart_snapshot.h"
#include "core/clock.h"
#include "core/json.h"
#include "core/smartctl.h"
#include "core/strbuf.h"
#include "core/util.h"
#include "surface_test/probe_snapshot.h"
#include "surface_test/probe_state.h"
#include "surface_test/probe_state_file.h"

namespace {

constexpr double kFirstWaitMs = 3000.0;
constexpr double kPollWaitMs = 10000.0;
constexpr double kTestLimitMs = 20.0 * 60.0 * 1000.0;

// Progress results.
constexpr int kNoResult = -1;
constexpr int kPassed = 0;
constexpr int kFailed = 1;
constexpr int kAborted = 2;

// The reply's tokens when it is a JSON object.
struct Reply {
    JsonTokens toks;
    int count = 0;
    Reply(const char* text, std::size_t len) {
        if (text && len > 0) toks.reset(json_parse(text, len, &count));
        if (toks && (count < 1 || toks[0].type != kJsonObject)) toks.reset();
    }
    bool ok() const { return toks != nullptr; }
};

void set_status(const char* status) {
    str_copy(g_probe.st_status, sizeof g_probe.st_status, status);
    probe_state_save(0);
}

struct Progress {
    int running = 0, remaining_pct = 0, result = kNoResult;
    std::int64_t lba = 0;
    int lba_valid = 0;
};

// One progress read by the disk's family; 0 when the reply told nothing.
int read_progress(Progress* pr) {
    ProbeState& p = g_probe;
    StrBuf out;
    if (p.is_nvme) {
        probe_smartctl(kSmartctlSelftestProgress, p.dtype, p.smart_dev, &out);
        return out.len > 0 &&
               selftest_status_nvme(out.data, out.len, &pr->running, &pr->remaining_pct,
                                    &pr->result, &pr->lba, &pr->lba_valid);
    }
    if (std::strcmp(p.kind, "scsi") == 0) {
        probe_smartctl(kSmartctlSelftestProgress, p.dtype, p.smart_dev, &out);
        return out.len > 0 && selftest_status_scsi(out.data, out.len, &pr->running,
                                                   &pr->remaining_pct, &pr->result);
    }
    probe_smartctl(kSmartctlSelftestProgressAta, p.dtype, p.smart_dev, &out);
    if (out.len == 0 ||
        !selftest_status_ata(out.data, out.len, &pr->running, &pr->remaining_pct, &pr->result))
        return 0;
    if (pr->result == kFailed) {
        // The drive's log names the first failing LBA in its newest entry.
        SmartSnapshot s;
        smart_snap_from_json(out.data, out.len, -1, &s);
        if (s.selftest_present && s.selftest_lba_present) {
            pr->lba = s.selftest_lba;
            pr->lba_valid = 1;
        }
    }
    return 1;
}

void abort_test() {
    StrBuf out;
    probe_smartctl(kSmartctlSelftestAbort, g_probe.dtype, g_probe.smart_dev, &out);
    set_status("skipped");
}

void record_result(const Progress& pr) {
    ProbeState& p = g_probe;
    p.st_remaining_pct = 0;
    if (pr.result == kPassed) {
        set_status("passed");
        return;
    }
    if (pr.result == kFailed) {
        if (pr.lba_valid) {
            p.st_lba_valid = 1;
            p.st_lba_first_error = pr.lba;
        }
        set_status("failed");
        return;
    }
    set_status("skipped");
}

int started() {
    ProbeState& p = g_probe;
    StrBuf out;
    probe_smartctl(kSmartctlSelftestStart, p.dtype, p.smart_dev, &out);
    return out.len > 0 && smartctl_reply_ok(kSmartctlSelftestStart, p.is_nvme, out.data, out.len);
}

}  // namespace

void probe_selftest_run() {
    ProbeState& p = g_probe;
    p.phase = "selftest";
    probe_state_save(0);
    if (p.identified == 0 || !started()) {
        set_status("unsupported");
        return;
    }
    p.st_remaining_pct = 100;
    set_status("running");
    const double t0 = clock_mono_ms();
    if (probe_wait_ms(kFirstWaitMs) != 0) return abort_test();
    for (;;) {
        if (clock_mono_ms() - t0 > kTestLimitMs) return abort_test();
        Progress pr;
        const int read = read_progress(&pr);
        if (g_probe_stop) return abort_test();
        if (!read) {
            p.st_remaining_pct = 0;
            set_status("unsupported");
            return;
        }
        if (!pr.running) return record_result(pr);
        p.st_remaining_pct = pr.remaining_pct;
        probe_state_save(0);
        if (probe_wait_ms(kPollWaitMs) != 0) return abort_test();
    }
}

int selftest_status_ata(const char* text, std::size_t len, int* running, int* remaining_pct,
                        int* result) {
    *running = 0;
    *remaining_pct = 0;
    *result = kNoResult;
    const Reply r(text, len);
    std::int64_t v = 0;
    if (!r.ok() ||
        !json_path_int(text, r.toks.get(), 0, "ata_smart_data.self_test.status.value", &v))
        return 0;
    const int high = static_cast<int>((v >> 4) & 15);
    if (high == 15) {
        *running = 1;
        *remaining_pct = static_cast<int>(v & 15) * 10;
    } else if (high == 0) {
        *result = kPassed;
    } else {
        *result = high <= 2 ? kAborted : kFailed;
    }
    return 1;
}

int selftest_status_nvme(const char* text, std::size_t len, int* running, int* remaining_pct,
                         int* result, std::int64_t* lba, int* lba_valid) {
    *running = 0;
    *remaining_pct = 0;
    *result = kNoResult;
    *lba_valid = 0;
    const Reply r(text, len);
    const JsonTok* t = r.toks.get();
    std::int64_t op = 0;
    if (!r.ok() ||
        !json_path_int(text, t, 0, "nvme_self_test_log.current_self_test_operation.value", &op))
        return 0;
    if (op != 0) {
        *running = 1;
        std::int64_t done = 0;
        if (json_path_int(text, t, 0, "nvme_self_test_log.current_self_test_completion_percent",
                          &done))
            *remaining_pct = static_cast<int>(100 - done);
        return 1;
    }
    const int newest = json_array_get(t, json_path_get(text, t, 0, "nvme_self_test_log.table"), 0);
    std::int64_t v = 0;
    if (newest < 0 || !json_path_int(text, t, newest, "self_test_result.value", &v)) return 1;
    *result = v == 0 ? kPassed : (v >= 5 && v <= 7 ? kFailed : kAborted);
    if (json_path_int(text, t, newest, "lba", lba)) *lba_valid = 1;
    return 1;
}

int selftest_status_scsi(const char* text, std::size_t len, int* running, int* remaining_pct,
                         int* result) {
    *running = 0;
    *remaining_pct = 0;
    *result = kNoResult;
    const Reply r(text, len);
    std::int64_t v = 0;
    if (!r.ok() || !json_path_int(text, r.toks.get(), 0, "scsi_self_test_0.result.value", &v))
        return 0;
    if (v == 15)
        *running = 1;
    else
        *result = v == 0 ? kPassed : (v == 1 || v == 2 ? kAborted : kFailed);
    return 1;
}
