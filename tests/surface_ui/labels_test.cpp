// The display texts of phases, statuses, verdicts and reasons where a rule
// decides them (the map method, unknown keys, counts), and the colour of each
// verdict in both themes.
#include "surface_ui/labels.h"

#include <gtest/gtest.h>

#include <string>

#include "surface_ui/surface_map.h"

namespace {

TEST(Labels, PhasesAndStatuses) {
    EXPECT_STREQ(view_phase_label("verify", "verify"), "Surface map, VERIFY inside the drive");
    EXPECT_STREQ(view_phase_label("verify", ""), "Surface map, VERIFY inside the drive");
    EXPECT_STREQ(view_phase_label("verify", "read"), "Surface map, READ");
    EXPECT_STREQ(view_phase_label("read", "read"), "READ samples over the link");
    EXPECT_STREQ(view_phase_label("queued", ""), "Waiting for the test of another disk");
    EXPECT_STREQ(view_phase_label("", ""), "");
    EXPECT_STREQ(view_phase_label("warmup", ""), "warmup");
    EXPECT_STREQ(view_status_label("stale"), "Probe gone (stale state)");
    EXPECT_STREQ(view_status_label("stopped"), "Aborted");
    for (const char* unknown : {"", "paused", "RUNNING"})
        EXPECT_STREQ(view_status_label(unknown), "No test recorded") << unknown;
}

TEST(Labels, VerdictsAndTheirColoursInBothThemes) {
    const struct {
        const char* code;
        const char* label;
        int color16, color256;
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

TEST(Labels, ReasonSentencesWithAndWithoutCounts) {
    const struct {
        const char* key;
        long long n;
        int has_n;
        const char* text;
    } cases[] = {
        {"thermal_stop", 1234, 1,
         "The disk stayed at its temperature limit for 20 minutes, so the map ended after 1234 "
         "cells. Cool it down and test again."},
        {"thermal_stop", 1234, 0,
         "The disk stayed at its temperature limit for 20 minutes, so the map ended early. Cool "
         "it down and test again."},
        {"media_unconfirmed", -7, 1,
         "Medium errors that did not repeat when retried and moved no SMART counter: -7."},
        {"clean", 5, 1, "No media or link errors in the test window."},
        {"speed_drop", 1, 1, "The SATA link speed dropped during the test."},
        {"fan_noise", 3, 1, "fan_noise"},
    };
    char buf[kReasonTextSize];
    for (const auto& c : cases) {
        view_reason_text(c.key, c.n, c.has_n, buf, sizeof buf);
        EXPECT_STREQ(buf, c.text) << c.key;
    }
    const std::string long_key(1000, 'k');
    view_reason_text(long_key.c_str(), 0, 0, buf, sizeof buf);
    EXPECT_EQ(std::string(buf), long_key.substr(0, kReasonTextSize - 1));
    view_reason_text("crc_grew", 41, 1, buf, 20);
    EXPECT_STREQ(buf, "Interface CRC error");
}

}  // namespace
