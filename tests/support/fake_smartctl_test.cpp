// The fake smartctl script itself, run as a program with nothing but a shell
// on its PATH: replies per device and command line, sequences, the simulated
// self-test's state between calls, and the call log.
#include "tests/support/fake_smartctl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collector/smart_snapshot.h"
#include "core/run.h"
#include "core/strbuf.h"
#include "tests/support/fake_nas.h"
#include "tests/support/json_edit.h"
#include "tests/support/temp_dir.h"

namespace {

class FakeSmartctlTest : public ::testing::Test {
   protected:
    // Runs the script the way smartctl would be run, with an empty PATH.
    std::string call(const std::vector<std::string>& args) {
        std::vector<const char*> argv = {"/usr/bin/env", "-i", "PATH=/nonexistent", "/bin/sh",
                                         script_.c_str()};
        for (const std::string& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        StrBuf out;
        last_rc_ = run_capture(argv.data(), &out, 10);
        return out.c_str();
    }
    static int temperature_of(const std::string& reply) {
        SmartSnapshot s;
        smart_snap_from_json(reply.data(), reply.size(), -1, &s);
        return s.temperature;
    }

    TempDir dir_;
    std::string script_ = dir_.path() + "/smartctl";
    FakeSmartctl sc_{script_, dir_.path() + "/data"};
    int last_rc_ = 0;
};

TEST_F(FakeSmartctlTest, RepliesPerDeviceAndCommandLineAndLogsEveryCall) {
    sc_.reply("", kScSnapshot, "{\"any\":1}\n");
    sc_.reply("sdb", kScSnapshot, "{\"sdb\":1}\n");
    sc_.reply("sdb", kScSiblingCounters, "{\"phy\":1}\n");
    EXPECT_EQ(call({"-x", "-j", "-d", "sat", "/dev/sdb"}), "{\"sdb\":1}\n");
    EXPECT_EQ(call({"-x", "-j", "/dev/sdc"}), "{\"any\":1}\n");
    EXPECT_EQ(call({"-A", "-l", "sataphy", "-j", "-n", "standby", "-d", "sat", "/dev/sdb"}),
              "{\"phy\":1}\n");
    EXPECT_EQ(call({"-i", "-j", "/dev/sdb"}), "") << "no reply configured";
    EXPECT_EQ(last_rc_, 1);
    EXPECT_EQ(sc_.calls(), (std::vector<std::string>{"-x -j -d sat /dev/sdb", "-x -j /dev/sdc",
                                                     "-A -l sataphy -j -n standby -d sat /dev/sdb",
                                                     "-i -j /dev/sdb"}));
    EXPECT_EQ(fake_smartctl_key(
                  {"/usr/sbin/smartctl", "-c", "-l", "selftest", "-j", "-d", "sat", "/dev/sda"}),
              kScSelftestProgressAta);
}

TEST_F(FakeSmartctlTest, TemperaturesRiseAndFallOverSuccessiveCalls) {
    sc_.sequence("sda", kScTemperature, temperature_replies({40, 55, 61, 48}));
    std::vector<int> seen;
    for (int i = 0; i < 6; ++i) seen.push_back(temperature_of(call({"-A", "-j", "/dev/sda"})));
    EXPECT_EQ(seen, (std::vector<int>{40, 55, 61, 48, 48, 48})) << "the last reply repeats";
}

TEST_F(FakeSmartctlTest, SelfTestRunsToItsOutcomeAndAnAbortIsRemembered) {
    sc_.selftest(
        "sda",
        {.family = SelftestFamily::kAta, .remaining = {90, 30}, .outcome = SelftestPlan::kFailed});
    const auto status = [&] {
        const std::string r = call({"-c", "-l", "selftest", "-j", "-d", "sat", "/dev/sda"});
        const std::string key = "\"self_test\"";
        const std::size_t at = r.find("\"value\"", r.find(key));
        return std::stoi(r.substr(r.find(':', at) + 1));
    };
    EXPECT_EQ(sc_.selftest_state("sda"), "idle");
    call({"-t", "short", "-j", "/dev/sda"});
    EXPECT_EQ(sc_.selftest_state("sda"), "running");
    EXPECT_EQ(status(), 0xF9);
    EXPECT_EQ(status(), 0xF3);
    EXPECT_EQ(status(), 121) << "failed with a read error";
    call({"-t", "short", "-j", "/dev/sda"});
    EXPECT_EQ(status(), 0xF9) << "a new start begins the progress again";
    call({"-X", "-j", "/dev/sda"});
    EXPECT_EQ(sc_.selftest_state("sda"), "aborted");
    EXPECT_EQ(status(), 0x10);
}

TEST(JsonSet, ReplacesOrAddsOneValue) {
    const std::string t = R"({"a":{"b":1,"s":"x"},"c":[1,2]})";
    EXPECT_EQ(json_set(t, "a.b", "42"), R"({"a":{"b":42,"s":"x"},"c":[1,2]})");
    EXPECT_EQ(json_set(t, "a.s", "\"yz\""), R"({"a":{"b":1,"s":"yz"},"c":[1,2]})");
    EXPECT_EQ(json_set(t, "c", "[]"), R"({"a":{"b":1,"s":"x"},"c":[]})");
    EXPECT_EQ(json_set(t, "a.d.e", "7"), R"({"a":{"d":{"e":7},"b":1,"s":"x"},"c":[1,2]})");
    EXPECT_EQ(json_set("{}", "k", "1"), R"({"k":1})");
}

}  // namespace
