#include "surface_ui/labels.h"

#include <cstdio>
#include <cstring>

#include "surface_ui/surface_map.h"

namespace {

struct Label {
    const char* key;
    const char* text;
};

const char* lookup(const Label* table, std::size_t n, const char* key, const char* otherwise) {
    for (std::size_t i = 0; i < n; ++i)
        if (std::strcmp(table[i].key, key) == 0) return table[i].text;
    return otherwise;
}

constexpr Label kPhases[] = {
    {"", ""},
    {"queued", "Waiting for the test of another disk"},
    {"identify", "Identifying the disk"},
    {"snapshot0", "Reading counters before the test"},
    {"selftest", "SMART self-test"},
    {"verify", "Surface map, VERIFY inside the drive"},
    {"read", "READ samples over the link"},
    {"repeat", "Retrying failed ranges"},
    {"snapshot1", "Reading counters after the test"},
    {"verdict", "Computing the verdict"},
};

constexpr Label kStatuses[] = {
    {"running", "Test running"},
    {"done", "Test finished"},
    {"stopped", "Aborted"},
    {"failed", "Test failed"},
    {"stale", "Probe gone (stale state)"},
};

struct Verdict {
    const char* code;
    const char* label;
    int slot;
};

constexpr Verdict kVerdicts[] = {
    {"good", "DISK GOOD", 8},
    {"bad", "DISK BAD", 10},
    {"link", "LINK OR BACKPLANE", 9},
    {"inconclusive", "INCONCLUSIVE", 1},
};

// counted is nullptr for a reason with one sentence; otherwise it holds one %lld.
struct Reason {
    const char* key;
    const char* plain;
    const char* counted;
};

constexpr Reason kReasons[] = {
    {"selftest_failed", "The SMART self-test failed.", nullptr},
    {"media_repeatable",
     "A range failed VERIFY again when retried. The drive cannot read its own surface there.",
     "Ranges that failed VERIFY again when retried: %lld. The drive cannot read its own surface "
     "there."},
    {"media_grew",
     "Reallocated, pending or offline uncorrectable sectors (SMART 5, 197, 198) grew during the "
     "test.",
     "Reallocated, pending or offline uncorrectable sectors (SMART 5, 197, 198) grew by %lld "
     "during the test."},
    {"link_read_only",
     "READ over the link failed where VERIFY of the same range inside the drive passed.",
     "Ranges where READ over the link failed and VERIFY inside the drive passed: %lld."},
    {"crc_grew",
     "Interface CRC errors (SMART 199, ICRC) grew during the test: data was damaged between the "
     "controller and the drive.",
     "Interface CRC errors (SMART 199, ICRC) grew by %lld during the test: data was damaged "
     "between the controller and the drive."},
    {"phy_errors", "SATA PHY error counters grew during the test.",
     "SATA PHY error counters grew by %lld during the test."},
    {"ering_bus", "The kernel error ring for this port recorded bus errors.",
     "Bus errors in the kernel error ring for this port: %lld."},
    {"speed_drop", "The SATA link speed dropped during the test.", nullptr},
    {"dmesg_link", "The kernel log shows link errors for this port during the test.",
     "Kernel log lines with link errors for this port during the test: %lld."},
    {"shared_path",
     "Other disks on the same controller show CRC or PHY errors in the same window. The shared "
     "path (backplane or HBA) is suspect.",
     nullptr},
    {"dropped_off",
     "The disk dropped off the bus during the test. Only a test in another slot tells the disk "
     "from the slot.",
     nullptr},
    {"timeouts_only", "Commands timed out with no CRC or medium error to explain them.",
     "Commands that timed out with no CRC or medium error to explain them: %lld."},
    {"thermal_stop",
     "The disk stayed at its temperature limit for 20 minutes, so the map ended early. Cool it "
     "down and test again.",
     "The disk stayed at its temperature limit for 20 minutes, so the map ended after %lld "
     "cells. Cool it down and test again."},
    {"verify_unsupported",
     "The drive or its bridge rejects VERIFY, so the map was read over the link. This map cannot "
     "tell the drive from the link.",
     nullptr},
    {"media_unconfirmed", "Medium errors did not repeat when retried and moved no SMART counter.",
     "Medium errors that did not repeat when retried and moved no SMART counter: %lld."},
    {"nvme_no_link_analysis", "NVMe has no SATA link counters, so the link was not analysed.",
     nullptr},
    {"history_realloc",
     "Reallocated, pending or offline uncorrectable sectors were there before the test and did "
     "not grow.",
     "Reallocated, pending or offline uncorrectable sectors before the test: %lld. None were "
     "added during it."},
    {"clean", "No media or link errors in the test window.", nullptr},
};

const Verdict* find_verdict(const char* code) {
    if (!code) return nullptr;
    for (const Verdict& v : kVerdicts)
        if (std::strcmp(v.code, code) == 0) return &v;
    return nullptr;
}

}  // namespace

const char* view_phase_label(const char* phase, const char* method) {
    if (!phase) phase = "";
    if (!method) method = "";
    if (std::strcmp(phase, "verify") == 0 && std::strcmp(method, "read") == 0)
        return "Surface map, READ";
    return lookup(kPhases, sizeof kPhases / sizeof kPhases[0], phase, phase);
}

const char* view_status_label(const char* status) {
    if (!status) status = "";
    return lookup(kStatuses, sizeof kStatuses / sizeof kStatuses[0], status, "No test recorded");
}

const char* view_verdict_label(const char* code) {
    const Verdict* v = find_verdict(code);
    return v ? v->label : code ? code : "";
}

int view_verdict_color(const char* code) {
    const Verdict* v = find_verdict(code);
    return theme_color(v ? v->slot : 1);
}

void view_reason_text(const char* key, std::int64_t n, std::int32_t has_n, char* buf,
                      std::size_t size) {
    if (size == 0) return;
    if (size > kReasonTextSize) size = kReasonTextSize;
    if (!key) key = "";
    for (const Reason& r : kReasons) {
        if (std::strcmp(r.key, key) != 0) continue;
        if (has_n && r.counted)
            std::snprintf(buf, size, r.counted, static_cast<long long>(n));
        else
            std::snprintf(buf, size, "%s", r.plain);
        return;
    }
    std::snprintf(buf, size, "%s", key);
}
