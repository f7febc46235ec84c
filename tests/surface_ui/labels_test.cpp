// The display texts of phases, statuses, verdicts and reasons, and the
// colour of each verdict in both themes.
#include "surface_ui/labels.h"

#include <gtest/gtest.h>

#include <string>

#include "surface_ui/surface_map.h"

namespace {

TEST(Labels, Phases) {
    const struct {
        const char* phase;
        const char* method;
        const char* text;
    } cases[] = {
        {"", "", ""},
        {"queued", "", "Waiting for the test of another disk"},
        {"identify", "", "Identifying the disk"},
        {"snapshot0", "", "Reading counters before the test"},
        {"selftest", "", "SMART self-test"},
        {"verify", "verify", "Surface map, VERIFY inside the drive"},
        {"verify", "", "Surface map, VERIFY inside the drive"},
        {"verify", "read", "Surface map, READ"},
        {"read", "read", "READ samples over the link"},
        {"repeat", "verify", "Retrying failed ranges"},
        {"snapshot1", "", "Reading counters after the test"},
        {"verdict", "", "Computing the verdict"},
        {"warmup", "", "warmup"},
        {"Verify", "", "Verify"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(view_phase_label(c.phase, c.method), c.text) << c.phase << "/" << c.method;
}

TEST(Labels, Statuses) {
    const struct {
        const char* status;
        const char* text;
    } cases[] = {
        {"running", "Test running"},
        {"done", "Test finished"},
        {"stopped", "Aborted"},
        {"failed", "Test failed"},
        {"stale", "Probe gone (stale state)"},
        {"", "No test recorded"},
        {"paused", "No test recorded"},
        {"RUNNING", "No test recorded"},
    };
    for (const auto& c : cases) EXPECT_STREQ(view_status_label(c.status), c.text) << c.status;
}

TEST(Labels, VerdictsAndTheirColoursInBothThemes) {
    const struct {
        const char* code;
        const char* label;
        int color16;
        int color256;
    } cases[] = {
        {"good", "DISK GOOD", 10, 41},
        {"bad", "DISK BAD", 9, 203},
        {"link", "LINK OR BACKPLANE", 11, 214},
        {"inconclusive", "INCONCLUSIVE", 7, 252},
        {"maybe", "maybe", 7, 252},
        {"", "", 7, 252},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(view_verdict_label(c.code), c.label) << c.code;
        g_theme = &kTheme16;
        EXPECT_EQ(view_verdict_color(c.code), c.color16) << c.code;
        g_theme = &kTheme256;
        EXPECT_EQ(view_verdict_color(c.code), c.color256) << c.code;
    }
}

TEST(Labels, ReasonSentences) {
    const struct {
        const char* key;
        long long n;
        int has_n;
        const char* text;
    } cases[] = {
        {"selftest_failed", 1, 1, "The SMART self-test failed."},
        {"media_repeatable", 3, 1,
         "Ranges that failed VERIFY again when retried: 3. The drive cannot read its own surface "
         "there."},
        {"media_repeatable", 3, 0,
         "A range failed VERIFY again when retried. The drive cannot read its own surface there."},
        {"media_grew", 8, 1,
         "Reallocated, pending or offline uncorrectable sectors (SMART 5, 197, 198) grew by 8 "
         "during the test."},
        {"link_read_only", 2, 1,
         "Ranges where READ over the link failed and VERIFY inside the drive passed: 2."},
        {"crc_grew", 41, 1,
         "Interface CRC errors (SMART 199, ICRC) grew by 41 during the test: data was damaged "
         "between the controller and the drive."},
        {"phy_errors", 0, 0, "SATA PHY error counters grew during the test."},
        {"ering_bus", 5, 1, "Bus errors in the kernel error ring for this port: 5."},
        {"speed_drop", 1, 1, "The SATA link speed dropped during the test."},
        {"dmesg_link", 12, 1,
         "Kernel log lines with link errors for this port during the test: 12."},
        {"shared_path", 2, 1,
         "Other disks on the same controller show CRC or PHY errors in the same window. The "
         "shared path (backplane or HBA) is suspect."},
        {"dropped_off", 1, 1,
         "The disk dropped off the bus during the test. Only a test in another slot tells the "
         "disk from the slot."},
        {"timeouts_only", 2, 1,
         "Commands that timed out with no CRC or medium error to explain them: 2."},
        {"thermal_stop", 1234, 1,
         "The disk stayed at its temperature limit for 20 minutes, so the map ended after 1234 "
         "cells. Cool it down and test again."},
        {"thermal_stop", 1234, 0,
         "The disk stayed at its temperature limit for 20 minutes, so the map ended early. Cool "
         "it down and test again."},
        {"verify_unsupported", 1, 1,
         "The drive or its bridge rejects VERIFY, so the map was read over the link. This map "
         "cannot tell the drive from the link."},
        {"media_unconfirmed", -7, 1,
         "Medium errors that did not repeat when retried and moved no SMART counter: -7."},
        {"nvme_no_link_analysis", 0, 1,
         "NVMe has no SATA link counters, so the link was not analysed."},
        {"history_realloc", 16, 1,
         "Reallocated, pending or offline uncorrectable sectors before the test: 16. None were "
         "added during it."},
        {"clean", 0, 1, "No media or link errors in the test window."},
        {"fan_noise", 3, 1, "fan_noise"},
    };
    for (const auto& c : cases) {
        char buf[kReasonTextSize];
        view_reason_text(c.key, c.n, c.has_n, buf, sizeof buf);
        EXPECT_STREQ(buf, c.text) << c.key;
    }
    char buf[kReasonTextSize];
    const std::string long_key(1000, 'k');
    view_reason_text(long_key.c_str(), 0, 0, buf, sizeof buf);
    EXPECT_EQ(std::string(buf), long_key.substr(0, kReasonTextSize - 1));
    view_reason_text("crc_grew", 41, 1, buf, 20);
    EXPECT_STREQ(buf, "Interface CRC error");
}

}  // namespace
