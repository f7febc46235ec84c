// Health snapshots of the disk under test: the smartctl command lines, the
// identify call, the counters read from recorded replies, fake sysfs trees
// and kernel-log texts, and the sibling disks on the same controller.
#include "surface_test/probe_snapshot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/run.h"
#include "core/strbuf.h"
#include "tests/support/fake_run.h"

namespace {

using Argv = std::vector<std::string>;

TEST(ProbeRunSmartctl, BuildsTheCommandLineAndEmptiesTheReply) {
    REQUIRE_SMARTCTL_PATH();
    const std::string exe = smartctl_path();
    const char* const twelve[] = {"1", "2", "3",  "4",  "5",  "6",    "7",
                                  "8", "9", "10", "11", "12", nullptr};
    const char* const x[] = {"-x", "-j", nullptr};
    struct Case {
        const char* name;
        const char* const* args;
        const char* dtype;
        const char* device;
        Argv want;  // after the executable; empty: nothing runs
    } cases[] = {
        {"automatic type", x, "", "/dev/sda", {"-x", "-j", "/dev/sda"}},
        {"null type", x, nullptr, "/dev/sda", {"-x", "-j", "/dev/sda"}},
        {"with type", x, "sat", "/dev/sdb", {"-x", "-j", "-d", "sat", "/dev/sdb"}},
        {"eleven arguments at most",
         twelve,
         "scsi",
         "/dev/sdc",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "-d", "scsi", "/dev/sdc"}},
        {"no device", x, "sat", "", {}},
    };
    for (const Case& c : cases) {
        FakeRun run;
        run.push({0, "{\"new\":1}"});
        StrBuf out;
        sb_append_str(&out, "{\"earlier\":1}");
        probe_run_smartctl(c.args, c.dtype, c.device, &out, 45);
        if (c.want.empty()) {
            EXPECT_TRUE(run.calls().empty()) << c.name;
            EXPECT_STREQ(out.c_str(), "") << c.name << ": an earlier reply must not survive";
            continue;
        }
        ASSERT_EQ(run.calls().size(), 1u) << c.name;
        Argv want = c.want;
        want.insert(want.begin(), exe);
        EXPECT_EQ(run.calls()[0], want) << c.name;
        EXPECT_EQ(run.timeouts()[0], 45) << c.name;
        EXPECT_STREQ(out.c_str(), "{\"new\":1}") << c.name;
    }
}

TEST(ProbeRunSmartctl, NamedCommandsUseTheirArgumentsAndLimits) {
    REQUIRE_SMARTCTL_PATH();
    struct Case {
        SmartctlCmd cmd;
        Argv args;
        int timeout_s;
    } cases[] = {
        {kSmartctlSnapshot, {"-x", "-j"}, 60},
        {kSmartctlTemperature, {"-A", "-j"}, 20},
        {kSmartctlSiblingCounters, {"-A", "-l", "sataphy", "-j", "-n", "standby"}, 30},
        {kSmartctlSelftestAbort, {"-X", "-j"}, 30},
    };
    for (const Case& c : cases) {
        FakeRun run;
        StrBuf out;
        probe_smartctl(c.cmd, "sat", "/dev/sdq", &out);
        ASSERT_EQ(run.calls().size(), 1u);
        Argv want = c.args;
        want.insert(want.begin(), smartctl_path());
        for (const char* w : {"-d", "sat", "/dev/sdq"}) want.push_back(w);
        EXPECT_EQ(run.calls()[0], want);
        EXPECT_EQ(run.timeouts()[0], c.timeout_s);
    }
}

}  // namespace
