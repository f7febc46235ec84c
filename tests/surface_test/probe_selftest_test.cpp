// The SMART short self-test phase: its progress readers over recorded replies
// (changed to the state each case needs), and whole self-tests against the
// replies of the simulated drive, on the fake clock so that the 20-minute
// limit takes no time.
#include "surface_test/probe_selftest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "core/run.h"
#include "surface_test/probe_state.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_run.h"
#include "tests/support/fake_smartctl.h"
#include "tests/support/json_edit.h"
#include "tests/support/smartctl_samples.h"
#include "tests/support/temp_dir.h"

namespace {

using Argv = std::vector<std::string>;

struct Read {
    int found, running, remaining, result;
    long long lba = 0;
    int lba_valid = 0;
    bool operator==(const Read&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Read& r) {
    return os << "{found " << r.found << ", running " << r.running << ", remaining " << r.remaining
              << ", result " << r.result << ", lba " << r.lba << "/" << r.lba_valid << "}";
}

Read read_ata(const std::string& t) {
    Read r{};
    r.found = selftest_status_ata(t.data(), t.size(), &r.running, &r.remaining, &r.result);
    return r;
}
Read read_scsi(const std::string& t) {
    Read r{};
    r.found = selftest_status_scsi(t.data(), t.size(), &r.running, &r.remaining, &r.result);
    return r;
}
Read read_nvme(const std::string& t) {
    Read r{};
    std::int64_t lba = 0;
    r.found = selftest_status_nvme(t.data(), t.size(), &r.running, &r.remaining, &r.result, &lba,
                                   &r.lba_valid);
    r.lba = r.lba_valid ? lba : 0;
    return r;
}

TEST(SelftestReaders, AtaProgressByte) {
    const std::string base = smartctl_sample("ata-hdd-wd140edfz-selftest-in-progress.json");
    const auto with = [&](int v) {
        return json_set(base, "ata_smart_data.self_test.status.value", std::to_string(v));
    };
    struct Case {
        int value;
        Read want;
    } cases[] = {
        {0xF3, {1, 1, 30, -1}}, {0xF1, {1, 1, 10, -1}}, {0x00, {1, 0, 0, 0}}, {0x10, {1, 0, 0, 2}},
        {0x20, {1, 0, 0, 2}},   {0x70, {1, 0, 0, 1}},   {0x79, {1, 0, 0, 1}}, {0xE0, {1, 0, 0, 1}},
    };
    for (const Case& c : cases) EXPECT_EQ(read_ata(with(c.value)), c.want) << std::hex << c.value;
    EXPECT_EQ(read_ata(smartctl_sample("ata-hdd-wd140edfz-selftest-in-progress.json")),
              (Read{1, 1, 10, -1}))
        << "the recorded drive, 10 % left";
    EXPECT_EQ(read_ata(smartctl_sample("emulated/smartctl-t-short-sata.json")),
              (Read{0, 0, 0, -1}));
    EXPECT_EQ(read_ata("[1]"), (Read{0, 0, 0, -1}));
    EXPECT_EQ(read_ata(""), (Read{0, 0, 0, -1}));
}

TEST(SelftestReaders, NvmeOperationAndNewestLogEntry) {
    const std::string idle = smartctl_sample("nvme-sabrent-rocket4-errorlog-selftestlog.json");
    const std::string op = "nvme_self_test_log.current_self_test_operation.value";
    const auto entry = [&](const std::string& e) {
        return json_set(idle, "nvme_self_test_log.table",
                        "[" + e + R"(,{"self_test_result":{"value":0}}])");
    };
    struct Case {
        const char* name;
        std::string reply;
        Read want;
    } cases[] = {
        {"running 40 % done",
         json_set(json_set(idle, op, "1"),
                  "nvme_self_test_log.current_self_test_completion_percent", "40"),
         {1, 1, 60, -1}},
        {"running, no percentage", json_set(idle, op, "2"), {1, 1, 0, -1}},
        {"passed", entry(R"({"self_test_result":{"value":0}})"), {1, 0, 0, 0}},
        {"failed segment with an LBA",
         entry(R"({"self_test_result":{"value":7},"lba":4096})"),
         {1, 0, 0, 1, 4096, 1}},
        {"failed, no LBA", entry(R"({"self_test_result":{"value":5}})"), {1, 0, 0, 1}},
        {"aborted by a command",
         entry(R"({"self_test_result":{"value":1},"lba":9})"),
         {1, 0, 0, 2, 9, 1}},
        {"entry without a result", entry(R"({"lba":9})"), {1, 0, 0, -1}},
        {"no table", idle, {1, 0, 0, -1}},
        {"no operation value", smartctl_sample("emulated/smartctl-x-nvme.json"), {0, 0, 0, -1}},
    };
    for (const Case& c : cases) EXPECT_EQ(read_nvme(c.reply), c.want) << c.name;
}

TEST(SelftestReaders, ScsiResultValue) {
    const std::string base =
        smartctl_sample("scsi-sas-seagate-st18000nm004j-selftest-pending.json");
    const auto with = [&](int v) {
        return json_set(base, "scsi_self_test_0.result.value", std::to_string(v));
    };
    struct Case {
        int value;
        Read want;
    } cases[] = {
        {15, {1, 1, 0, -1}}, {0, {1, 0, 0, 0}}, {1, {1, 0, 0, 2}},
        {2, {1, 0, 0, 2}},   {3, {1, 0, 0, 1}}, {7, {1, 0, 0, 1}},
    };
    for (const Case& c : cases) EXPECT_EQ(read_scsi(with(c.value)), c.want) << c.value;
    EXPECT_EQ(read_scsi(smartctl_sample("emulated/smartctl-x-scsi.json")), (Read{0, 0, 0, -1}));
}

// A run of the self-test phase against the simulated drive, on the fake clock.
class SelftestRunTest : public ::testing::Test {
   protected:
    void SetUp() override {
        std::memset(&g_probe, 0, sizeof g_probe);
        g_probe_stop = 0;
        ProbeState& p = g_probe;
        std::snprintf(p.state_path, sizeof p.state_path, "%s/S1.json", dir_.path().c_str());
        std::strcpy(p.status, "running");
        std::strcpy(p.st_status, "skipped");
        std::strcpy(p.smart_dev, "/dev/sda");
        std::strcpy(p.dtype, "sat");
        std::strcpy(p.kind, "ata");
        p.identified = 1;
    }
    void TearDown() override {
        g_probe_stop = 0;
        std::memset(&g_probe, 0, sizeof g_probe);
    }
    void nvme() {
        g_probe.is_nvme = 1;
        std::strcpy(g_probe.kind, "nvme");
        std::strcpy(g_probe.smart_dev, "/dev/nvme0");
        g_probe.dtype[0] = '\0';
    }
    // The simulated drive answers by command line; the abort is recorded.
    void drive(const SelftestPlan& plan) {
        replies_ = selftest_replies(plan);
        polls_ = 0;
        run_.set_handler([this](const Argv& argv) {
            const std::string key = fake_smartctl_key(argv);
            keys_.push_back(key);
            if (key == kScSelftestStart || key == kScSelftestAbort)
                return FakeReply{0, replies_.start};
            const std::size_t i = std::min<std::size_t>(polls_++, replies_.progress.size() - 1);
            return FakeReply{0, replies_.progress[i]};
        });
    }
    int count(const char* key) const {
        return static_cast<int>(std::count(keys_.begin(), keys_.end(), key));
    }

    TempDir dir_;
    FakeClock clock_;
    FakeRun run_;
    SelftestReplies replies_;
    std::size_t polls_ = 0;
    std::vector<std::string> keys_;
};

TEST_F(SelftestRunTest, OutcomesOfTheDrivesTest) {
    REQUIRE_SMARTCTL_PATH();
    struct Case {
        const char* name;
        SelftestFamily family;
        SelftestPlan::Outcome outcome;
        const char* status;
        long long lba;  // 0: none
    } cases[] = {
        {"ATA passed", SelftestFamily::kAta, SelftestPlan::kPassed, "passed", 0},
        {"ATA read failure names its LBA", SelftestFamily::kAta, SelftestPlan::kFailed, "failed",
         kSelftestFailedLba},
        {"ATA aborted by the drive", SelftestFamily::kAta, SelftestPlan::kAborted, "skipped", 0},
        {"NVMe failed segment", SelftestFamily::kNvme, SelftestPlan::kFailed, "failed",
         kSelftestFailedLba},
        {"NVMe aborted", SelftestFamily::kNvme, SelftestPlan::kAborted, "skipped", 0},
        {"SCSI passed", SelftestFamily::kScsi, SelftestPlan::kPassed, "passed", 0},
        {"SCSI failed", SelftestFamily::kScsi, SelftestPlan::kFailed, "failed", 0},
    };
    for (const Case& c : cases) {
        SetUp();
        if (c.family == SelftestFamily::kNvme) nvme();
        if (c.family == SelftestFamily::kScsi) std::strcpy(g_probe.kind, "scsi");
        keys_.clear();
        drive({.family = c.family, .remaining = {90, 40}, .outcome = c.outcome});
        const double slept0 = clock_.slept_ms();
        probe_selftest_run();
        EXPECT_STREQ(g_probe.phase, "selftest") << c.name;
        EXPECT_STREQ(g_probe.st_status, c.status) << c.name;
        EXPECT_EQ(g_probe.st_remaining_pct, 0) << c.name;
        EXPECT_EQ(g_probe.st_lba_valid, c.lba ? 1 : 0) << c.name;
        EXPECT_EQ(g_probe.st_lba_first_error, c.lba) << c.name;
        const char* progress =
            c.family == SelftestFamily::kAta ? kScSelftestProgressAta : kScSelftestProgress;
        EXPECT_EQ(count(progress), 3) << c.name << ": two polls while running, one with the result";
        EXPECT_EQ(count(kScSelftestAbort), 0) << c.name;
        EXPECT_EQ(keys_.front(), kScSelftestStart) << c.name;
        EXPECT_DOUBLE_EQ(clock_.slept_ms() - slept0, 3000.0 + 2 * 10000.0) << c.name;
    }
    for (double ms : clock_.sleeps()) EXPECT_LE(ms, 200.0) << "every wait in slices a stop can cut";
}

TEST_F(SelftestRunTest, ADriveThatCannotRunItIsUnsupported) {
    REQUIRE_SMARTCTL_PATH();
    const std::string sat_start = smartctl_sample("emulated/smartctl-t-short-sata.json");
    struct Case {
        const char* name;
        bool nvme;
        std::string start;  // the start reply
        int identified;
        const char* status;
    } cases[] = {
        {"SAT start with a failed command (exit 4)", false,
         json_set(sat_start, "smartctl.exit_status", "4"), 1, "unsupported"},
        {"refused with exit status 0", false,
         json_set(sat_start, "smartctl.messages",
                  R"([{"string":"Can't start self-test without aborting current test"}])"),
         1, "unsupported"},
        {"empty start reply", false, "", 1, "unsupported"},
        {"garbage", false, "smartctl: unrecognized option", 1, "unsupported"},
        {"never identified: not even asked", false, sat_start, 0, "unsupported"},
        {"NVMe start with exit 4 is started", true,
         json_set(smartctl_sample("emulated/smartctl-t-short-nvme.json"), "smartctl.exit_status",
                  "4"),
         1, "passed"},
    };
    for (const Case& c : cases) {
        SetUp();
        if (c.nvme) nvme();
        g_probe.identified = c.identified;
        keys_.clear();
        drive({.family = c.nvme ? SelftestFamily::kNvme : SelftestFamily::kAta});
        replies_.start = c.start;
        probe_selftest_run();
        EXPECT_STREQ(g_probe.st_status, c.status) << c.name;
        EXPECT_EQ(keys_.size(), c.identified == 0 ? 0u : (c.nvme ? 2u : 1u)) << c.name;
    }
}

TEST_F(SelftestRunTest, UnreadableProgressEndsAsUnsupported) {
    REQUIRE_SMARTCTL_PATH();
    drive({.remaining = {50}});
    replies_.progress = {replies_.progress[0], ""};  // the drive stops answering after one poll
    probe_selftest_run();
    EXPECT_STREQ(g_probe.st_status, "unsupported");
    EXPECT_EQ(g_probe.st_remaining_pct, 0);
    EXPECT_EQ(count(kScSelftestAbort), 0);
}

TEST_F(SelftestRunTest, ScsiShowsNoPercentageWhileRunning) {
    REQUIRE_SMARTCTL_PATH();
    std::strcpy(g_probe.kind, "scsi");
    drive({.family = SelftestFamily::kScsi, .remaining = {90}});
    std::vector<int> seen;
    clock_.on_sleep([&](double) { seen.push_back(g_probe.st_remaining_pct); });
    probe_selftest_run();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), 100) << "right after the start";
    EXPECT_EQ(seen.back(), 0) << "SCSI tells no percentage";
    EXPECT_STREQ(g_probe.st_status, "passed");
}

TEST_F(SelftestRunTest, AStopOrTheTimeLimitAbortsTheDrivesTest) {
    REQUIRE_SMARTCTL_PATH();
    struct Case {
        const char* name;
        double stop_after_ms;  // fake time after the start when the stop arrives; <0 never
        int remaining;         // st_remaining_pct left behind
        double min_elapsed_ms;
    } cases[] = {
        {"stop in the first 3 s", 1000, 100, 0},
        {"stop while polling", 15000, 70, 0},
        {"still running after 20 minutes", -1, 70, 20 * 60 * 1000},
    };
    for (const Case& c : cases) {
        SetUp();
        keys_.clear();
        drive({.remaining = {70}});
        replies_.progress = {replies_.progress[0]};  // runs for ever
        const double t0 = clock_.mono_ms();
        clock_.on_sleep([&](double) {
            if (c.stop_after_ms >= 0 && clock_.mono_ms() - t0 >= c.stop_after_ms) g_probe_stop = 1;
        });
        probe_selftest_run();
        EXPECT_STREQ(g_probe.st_status, "skipped") << c.name;
        EXPECT_EQ(g_probe.st_remaining_pct, c.remaining) << c.name;
        EXPECT_EQ(count(kScSelftestAbort), 1) << c.name;
        EXPECT_EQ(keys_.back(), kScSelftestAbort) << c.name;
        EXPECT_GE(clock_.mono_ms() - t0, c.min_elapsed_ms) << c.name;
        if (c.stop_after_ms >= 0)
            EXPECT_LE(clock_.mono_ms() - t0, c.stop_after_ms + 200.0)
                << c.name << ": within one slice";
        else
            EXPECT_LT(clock_.mono_ms() - t0, 20 * 60 * 1000 + 10000.0 + 200.0) << c.name;
        clock_.on_sleep(nullptr);
    }
}

}  // namespace
