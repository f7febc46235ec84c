// The SMART short self-test phase: its progress readers over recorded replies
// (changed to the state each case needs), and whole self-tests against the
// replies of the simulated drive, on the fake clock so that the 20-minute
// limit takes no time.
#include "surface_test/probe_selftest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "core/run.h"
#include "surface_test/probe_state.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_nas.h"
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
    bool operator==(const Read&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Read& r) {
    return os << "{" << r.found << "," << r.running << "," << r.remaining << "," << r.result << ","
              << r.lba << "}";
}

Read read(SelftestFamily family, const std::string& t) {
    Read r{};
    std::int64_t lba = 0;
    int lba_valid = 0;
    if (family == SelftestFamily::kAta)
        r.found = selftest_status_ata(t.data(), t.size(), &r.running, &r.remaining, &r.result);
    if (family == SelftestFamily::kScsi)
        r.found = selftest_status_scsi(t.data(), t.size(), &r.running, &r.remaining, &r.result);
    if (family == SelftestFamily::kNvme)
        r.found = selftest_status_nvme(t.data(), t.size(), &r.running, &r.remaining, &r.result,
                                       &lba, &lba_valid);
    r.lba = lba_valid ? lba : 0;
    return r;
}

TEST(SelftestReaders, ProgressOfEachFamily) {
    const std::string ata = smartctl_sample("ata-hdd-wd140edfz-selftest-in-progress.json");  // 0xF1
    const std::string scsi =
        smartctl_sample("scsi-sas-seagate-st18000nm004j-selftest-pending.json");
    const std::string nvme = smartctl_sample("nvme-sabrent-rocket4-errorlog-selftestlog.json");
    const auto ata_byte = [&](int v) {
        return json_set(ata, "ata_smart_data.self_test.status.value", std::to_string(v));
    };
    const auto scsi_result = [&](int v) {
        return json_set(scsi, "scsi_self_test_0.result.value", std::to_string(v));
    };
    const auto nvme_newest = [&](const std::string& e) {
        return json_set(nvme, "nvme_self_test_log.table",
                        "[" + e + R"(,{"self_test_result":{"value":0}}])");
    };
    const std::string nvme_op = "nvme_self_test_log.current_self_test_operation.value";
    using F = SelftestFamily;
    struct Case {
        const char* name;
        F family;
        std::string reply;
        Read want;
    } cases[] = {
        {"ATA as recorded, 10 % left", F::kAta, ata, {1, 1, 10, -1}},
        {"ATA 0xF3", F::kAta, ata_byte(0xF3), {1, 1, 30, -1}},
        {"ATA passed", F::kAta, ata_byte(0x00), {1, 0, 0, 0}},
        {"ATA aborted by the host", F::kAta, ata_byte(0x10), {1, 0, 0, 2}},
        {"ATA interrupted by a reset", F::kAta, ata_byte(0x20), {1, 0, 0, 2}},
        {"ATA read failure", F::kAta, ata_byte(0x79), {1, 0, 0, 1}},
        {"ATA no progress value",
         F::kAta,
         smartctl_sample("emulated/smartctl-t-short-sata.json"),
         {0, 0, 0, -1}},
        {"not an object", F::kAta, "[1]", {0, 0, 0, -1}},
        {"SCSI running shows no percentage", F::kScsi, scsi_result(15), {1, 1, 0, -1}},
        {"SCSI passed", F::kScsi, scsi, {1, 0, 0, 0}},
        {"SCSI aborted", F::kScsi, scsi_result(2), {1, 0, 0, 2}},
        {"SCSI failed", F::kScsi, scsi_result(3), {1, 0, 0, 1}},
        {"SCSI no result",
         F::kScsi,
         smartctl_sample("emulated/smartctl-x-scsi.json"),
         {0, 0, 0, -1}},
        {"NVMe 40 % done",
         F::kNvme,
         json_set(json_set(nvme, nvme_op, "1"),
                  "nvme_self_test_log.current_self_test_completion_percent", "40"),
         {1, 1, 60, -1}},
        {"NVMe passed", F::kNvme, nvme_newest(R"({"self_test_result":{"value":0}})"), {1, 0, 0, 0}},
        {"NVMe failed segment",
         F::kNvme,
         nvme_newest(R"({"self_test_result":{"value":7},"lba":4096})"),
         {1, 0, 0, 1, 4096}},
        {"NVMe aborted",
         F::kNvme,
         nvme_newest(R"({"self_test_result":{"value":1},"lba":9})"),
         {1, 0, 0, 2, 9}},
        {"NVMe entry without a result", F::kNvme, nvme_newest(R"({"lba":9})"), {1, 0, 0, -1}},
        {"NVMe idle without a log", F::kNvme, nvme, {1, 0, 0, -1}},
        {"NVMe no operation value",
         F::kNvme,
         smartctl_sample("emulated/smartctl-x-nvme.json"),
         {0, 0, 0, -1}},
    };
    for (const Case& c : cases) EXPECT_EQ(read(c.family, c.reply), c.want) << c.name;
}

// A run of the self-test phase against the simulated drive, on the fake clock.
class SelftestRunTest : public ::testing::Test {
   protected:
    void SetUp() override {
        std::memset(&g_probe, 0, sizeof g_probe);
        g_probe_stop = 0;
        ProbeState& p = g_probe;
        std::snprintf(p.state_path, sizeof p.state_path, "%s/S1.json", dir_.path().c_str());
        std::remove(p.state_path);
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
            if (key == kScSelftestStart) phase_at_start_ = json_get(state(), "phase");
            if (key == kScSelftestStart || key == kScSelftestAbort)
                return FakeReply{0, replies_.start};
            const std::size_t i = std::min<std::size_t>(polls_++, replies_.progress.size() - 1);
            return FakeReply{0, replies_.progress[i]};
        });
    }
    static std::string state() { return read_file(g_probe.state_path); }
    int count(const char* key) const {
        return static_cast<int>(std::count(keys_.begin(), keys_.end(), key));
    }

    TempDir dir_;
    FakeClock clock_;
    FakeRun run_;
    SelftestReplies replies_;
    std::size_t polls_ = 0;
    std::vector<std::string> keys_;
    std::string phase_at_start_;  // the published phase when the drive is asked
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
        // What the file says 1.2 s into each wait, counted from the last call.
        std::vector<std::string> shown;
        std::size_t calls = 0;
        double waited = 0;
        clock_.on_sleep([&](double ms) {
            if (keys_.size() != calls) calls = keys_.size(), waited = 0;
            waited += ms;
            if (waited == 1200.0) shown.push_back(json_get(state(), "selftest.remaining_pct"));
        });
        const double slept0 = clock_.slept_ms();
        probe_selftest_run();
        clock_.on_sleep(nullptr);
        const std::vector<std::string> pct = c.family == SelftestFamily::kScsi
                                                 ? std::vector<std::string>{"100", "0", "0"}
                                                 : std::vector<std::string>{"100", "90", "40"};
        EXPECT_EQ(shown, pct) << c.name << ": the drive's percentage within about a second";
        EXPECT_STREQ(g_probe.phase, "selftest") << c.name;
        EXPECT_EQ(phase_at_start_, "selftest") << c.name << ": published before the drive is asked";
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
    const std::string start = smartctl_sample("emulated/smartctl-t-short-sata.json");
    const std::string refused =
        R"([{"string":"Can't start self-test without aborting current test"}])";
    struct Case {
        const char* name;
        bool nvme;
        std::string start;  // the start reply
        int identified;
        int calls;  // to smartctl
        const char* status;
    } cases[] = {
        {"SAT start with a failed command (exit 4)", false,
         json_set(start, "smartctl.exit_status", "4"), 1, 1, "unsupported"},
        {"refused with exit status 0", false, json_set(start, "smartctl.messages", refused), 1, 1,
         "unsupported"},
        {"empty start reply", false, "", 1, 1, "unsupported"},
        {"garbage", false, "smartctl: unrecognized option", 1, 1, "unsupported"},
        {"never identified: not even asked", false, start, 0, 0, "unsupported"},
        {"progress unreadable after one poll", false, start, 1, 3, "unsupported"},
        {"NVMe start with exit 4 is started", true,
         json_set(smartctl_sample("emulated/smartctl-t-short-nvme.json"), "smartctl.exit_status",
                  "4"),
         1, 3, "passed"},
    };
    for (const Case& c : cases) {
        SetUp();
        if (c.nvme) nvme();
        g_probe.identified = c.identified;
        keys_.clear();
        drive({.family = c.nvme ? SelftestFamily::kNvme : SelftestFamily::kAta, .remaining = {50}});
        if (!c.nvme) replies_.progress = {replies_.progress[0], ""};
        replies_.start = c.start;
        probe_selftest_run();
        EXPECT_STREQ(g_probe.st_status, c.status) << c.name;
        EXPECT_EQ(g_probe.st_remaining_pct, 0) << c.name;
        EXPECT_EQ(keys_.size(), static_cast<std::size_t>(c.calls)) << c.name;
        EXPECT_EQ(count(kScSelftestAbort), 0) << c.name;
    }
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
