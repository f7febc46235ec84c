#include "surface_test/verdict.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

namespace {

// A clean, complete run of a SATA disk: the input every case starts from.
VerdictInput clean_sata() {
    VerdictInput in{};
    in.link_analysis = 1;
    in.cells = 4096;
    in.done = 4096;
    in.selftest = "passed";
    return in;
}

// "code: key n, key n, ..." of a verdict.
std::string render(const Verdict& v) {
    std::string s = v.code ? v.code : "(none)";
    s += ":";
    for (int i = 0; i < v.count; ++i)
        s += std::string(i ? ", " : " ") + v.reasons[i].key + " " + std::to_string(v.reasons[i].n);
    return s;
}

struct VerdictCase {
    const char* name;
    std::function<void(VerdictInput&)> change;
    const char* expected;
};

TEST(Verdict, DecisionOrderAndReasons) {
    const VerdictCase cases[] = {
        {"clean sata", [](VerdictInput&) {}, "good: clean 0"},
        {"clean nvme",
         [](VerdictInput& in) {
             in.is_nvme = 1;
             in.link_analysis = 0;
         },
         "good: clean 0, nvme_no_link_analysis 0"},
        {"self-test failed alone", [](VerdictInput& in) { in.selftest = "failed"; },
         "bad: selftest_failed 1"},
        {"bad with a crc rise after the media reasons",
         [](VerdictInput& in) {
             in.media_confirmed = 2;
             in.d_a5 = 3;
             in.d_a197 = -4;  // a fall counts as no growth
             in.d_a199 = 5;
         },
         "bad: media_repeatable 2, media_grew 3, crc_grew 5"},
        {"bad tail: dropped off and thermal stop",
         [](VerdictInput& in) {
             in.d_nvme_media = 1;
             in.fatal = 1;
             in.thermal_stop = 1;
             in.done = 7;
         },
         "bad: media_grew 1, dropped_off 1, thermal_stop 7"},
        {"lost device with link evidence",
         [](VerdictInput& in) {
             in.fatal = 1;
             in.done = 10;
             in.dmesg_link = 2;
         },
         "inconclusive: dropped_off 1, dmesg_link 2"},
        {"thermal stop in the map with two E cells",
         [](VerdictInput& in) {
             in.thermal_stop = 1;
             in.done = 100;
             in.cells_e = 2;
         },
         "inconclusive: thermal_stop 100, timeouts_only 2"},
        {"map cut short: timeouts hidden by a link indicator",
         [](VerdictInput& in) {
             in.done = 5;
             in.cells_e = 3;
             in.speed_drop = 1;
         },
         "inconclusive: speed_drop 1"},
        {"map cut short: unconfirmed media",
         [](VerdictInput& in) {
             in.done = 5;
             in.xerr_unc = 2;
             in.ering_media = 1;
         },
         "inconclusive: media_unconfirmed 3"},
        {"B cells without other evidence count the cells", [](VerdictInput& in) { in.cells_b = 4; },
         "inconclusive: media_unconfirmed 4"},
        {"B cells with evidence count the evidence",
         [](VerdictInput& in) {
             in.cells_b = 4;
             in.media_unconfirmed = 1;
             in.link_by_read = 1;
         },
         "inconclusive: media_unconfirmed 1, link_read_only 1"},
        {"only L cells, no indicator", [](VerdictInput& in) { in.cells_l = 3; }, "inconclusive:"},
        {"attribute 188 rising", [](VerdictInput& in) { in.d_a188 = 1; },
         "inconclusive: timeouts_only 1"},
        {"every link indicator in order",
         [](VerdictInput& in) {
             in.link_by_read = 1;
             in.link_by_verify = 4;
             in.xerr_icrc = 2;
             in.d_phy_other = 3;
             in.ering_bus = 5;
             in.speed_drop = 1;
             in.dmesg_link = 6;
             in.d_a187 = 1;
         },
         "link: link_read_only 1, crc_grew 4, phy_errors 3, ering_bus 5, speed_drop 1, dmesg_link "
         "6, media_unconfirmed 1"},
        {"nvme ignores link indicators",
         [](VerdictInput& in) {
             in.is_nvme = 1;
             in.link_analysis = 0;
             in.dmesg_link = 4;
         },
         "good: clean 0, nvme_no_link_analysis 0"},
        {"closing reasons in order",
         [](VerdictInput& in) {
             in.siblings_rising = 2;
             in.read_fallback = 1;
             in.s0_a5 = 8;
             in.s0_a197 = 1;
             in.s0_a198 = 100;
             in.d_a198 = 2;  // grew: not history, and the disk is bad
         },
         "bad: media_grew 2, shared_path 2, verify_unsupported 1, history_realloc 9"},
        {"history on a good disk", [](VerdictInput& in) { in.s0_a5 = 12; },
         "good: clean 0, history_realloc 12"},
        {"too small for a map: judged by the rest",
         [](VerdictInput& in) {
             in.cells = 0;
             in.done = 0;
         },
         "good: clean 0"},
        // A thermal stop after a complete map (during the samples or the
        // repeat pass) skipped work: never good, and always said.
        {"thermal stop after the map", [](VerdictInput& in) { in.thermal_stop = 1; },
         "inconclusive: thermal_stop 4096"},
        {"thermal stop after the map with link evidence",
         [](VerdictInput& in) {
             in.thermal_stop = 1;
             in.d_phy_crc = 2;
         },
         "inconclusive: thermal_stop 4096, crc_grew 2"},
        {"thermal stop after the map with B cells",
         [](VerdictInput& in) {
             in.thermal_stop = 1;
             in.cells_b = 2;
         },
         "inconclusive: thermal_stop 4096"},
        {"thermal stop and a lost device",
         [](VerdictInput& in) {
             in.thermal_stop = 1;
             in.fatal = 1;
             in.done = 9;
         },
         "inconclusive: dropped_off 1, thermal_stop 9"},
    };
    for (const VerdictCase& c : cases) {
        VerdictInput in = clean_sata();
        c.change(in);
        Verdict v;
        verdict_compute(&in, &v);
        EXPECT_EQ(render(v), c.expected) << c.name;
    }
}

TEST(Verdict, ReasonsAreUniqueAndBounded) {
    Verdict v{};
    v.code = "bad";
    VerdictInput in = clean_sata();
    in.dmesg_link = 1;
    EXPECT_EQ(verdict_add_link_reasons(&v, &in), 1);
    in.dmesg_link = 9;
    // Present again: counted, but the first count stays and no second entry appears.
    EXPECT_EQ(verdict_add_link_reasons(&v, &in), 1);
    ASSERT_EQ(v.count, 1);
    EXPECT_EQ(v.reasons[0].n, 1);

    // A full list still counts the indicators it can no longer add.
    static const char* keys[kVerdictReasonMax] = {};
    static char names[kVerdictReasonMax][8];
    for (int i = 0; i < kVerdictReasonMax; ++i) {
        std::snprintf(names[i], sizeof names[i], "k%d", i);
        keys[i] = names[i];
        v.reasons[i] = {keys[i], i};
    }
    v.count = kVerdictReasonMax;
    in.speed_drop = 1;
    EXPECT_EQ(verdict_add_link_reasons(&v, &in), 2);
    EXPECT_EQ(v.count, kVerdictReasonMax);
    EXPECT_FALSE(verdict_has_reason(&v, "speed_drop"));
}

}  // namespace
