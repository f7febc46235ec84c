// smartctl command lines and the judging of replies, over recorded real replies.
#include "core/smartctl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/smartctl_samples.h"

namespace {

std::string words(const SmartctlArgv& line) {
    std::string s;
    for (int i = 0; i < line.argc; ++i) s += (i ? " " : "") + std::string(line.argv[i]);
    return s;
}

TEST(SmartctlBuild, EveryCommandLineWithAndWithoutDeviceType) {
    const struct {
        SmartctlCmd cmd;
        const char* args;
        int timeout_s;
    } cases[] = {
        {kSmartctlCollect, "-x -j", 30},
        {kSmartctlFarm, "-l farm -j", 30},
        {kSmartctlIdentify, "-i -j", 30},
        {kSmartctlIdentifyStandby, "-i -j -n standby", 30},
        {kSmartctlSnapshot, "-x -j", 60},
        {kSmartctlSiblingCounters, "-A -l sataphy -j -n standby", 30},
        {kSmartctlTemperature, "-A -j", 20},
        {kSmartctlSelftestStart, "-t short -j", 30},
        {kSmartctlSelftestProgressAta, "-c -l selftest -j", 30},
        {kSmartctlSelftestProgress, "-l selftest -j", 30},
        {kSmartctlSelftestAbort, "-X -j", 30},
    };
    ASSERT_EQ(std::size(cases), static_cast<size_t>(kSmartctlCmdCount));
    for (const auto& c : cases) {
        const std::string args = c.args;
        SmartctlArgv line;
        std::fill(std::begin(line.argv), std::end(line.argv), "stale");

        ASSERT_GT(smartctl_build(c.cmd, "/x/smartctl", "", "/dev/sdb", &line), 0) << args;
        EXPECT_EQ(words(line), "/x/smartctl " + args + " /dev/sdb");
        EXPECT_EQ(line.argv[line.argc], nullptr);

        ASSERT_GT(smartctl_build(c.cmd, "/x/smartctl", nullptr, "/dev/sdb", &line), 0) << args;
        EXPECT_EQ(words(line), "/x/smartctl " + args + " /dev/sdb");

        const int n = smartctl_build(c.cmd, "/x/smartctl", "sat", "/dev/sdb", &line);
        EXPECT_EQ(n, line.argc);
        EXPECT_EQ(words(line), "/x/smartctl " + args + " -d sat /dev/sdb");
        EXPECT_EQ(line.argv[line.argc], nullptr);
        EXPECT_LT(line.argc, kSmartctlArgvMax);

        EXPECT_EQ(smartctl_timeout_s(c.cmd), c.timeout_s) << args;
    }
}

TEST(SmartctlBuild, RefusesWhatCannotMakeACommandLine) {
    SmartctlArgv line;
    EXPECT_EQ(smartctl_build(kSmartctlCollect, nullptr, "", "/dev/sda", &line), -1);
    EXPECT_EQ(smartctl_build(kSmartctlCollect, "", "", "/dev/sda", &line), -1);
    EXPECT_EQ(smartctl_build(kSmartctlCollect, "/x/smartctl", "", "", &line), -1);
    EXPECT_EQ(smartctl_build(kSmartctlCollect, "/x/smartctl", "sat", nullptr, &line), -1);
    EXPECT_EQ(smartctl_build(kSmartctlCmdCount, "/x/smartctl", "", "/dev/sda", &line), -1);
    EXPECT_EQ(smartctl_build(static_cast<SmartctlCmd>(-1), "/x/smartctl", "", "/dev/sda", &line),
              -1);
    EXPECT_EQ(smartctl_timeout_s(kSmartctlCmdCount), -1);
}

TEST(SmartctlJudge, MasksByCommandAndDiskKind) {
    const struct {
        SmartctlCmd cmd;
        int mask_ata;
        int mask_nvme;
    } cases[] = {
        {kSmartctlCollect, 3, 3},
        {kSmartctlSelftestStart, 7, 3},
        {kSmartctlFarm, 7, 7},
        {kSmartctlIdentify, 3, 3},
        {kSmartctlIdentifyStandby, 3, 3},
        {kSmartctlSnapshot, 3, 3},
        {kSmartctlSiblingCounters, 3, 3},
        {kSmartctlTemperature, 3, 3},
        {kSmartctlSelftestProgressAta, 3, 3},
        {kSmartctlSelftestProgress, 3, 3},
        {kSmartctlSelftestAbort, 3, 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(smartctl_exit_mask(c.cmd, 0), c.mask_ata) << c.cmd;
        EXPECT_EQ(smartctl_exit_mask(c.cmd, 1), c.mask_nvme) << c.cmd;
        for (int status : {0, 1, 2, 4, 8, 16, 64, 216, 0x104}) {
            EXPECT_EQ(smartctl_status_ok(c.cmd, 0, status), (status & c.mask_ata) == 0)
                << c.cmd << " " << status;
            EXPECT_EQ(smartctl_status_ok(c.cmd, 1, status), (status & c.mask_nvme) == 0)
                << c.cmd << " " << status;
        }
    }
}

TEST(SmartctlJudge, ExitStatusOfRecordedReplies) {
    const struct {
        const char* file;
        int status;
    } cases[] = {
        {"ata-hdd-standby-nocheck-exit2.json", 2},
        {"ata-hdd-wd4000fyyx-megaraid-realloc-exit4.json", 4},
        {"nvme-samsung-mzwll3t2-critical-warning-exit8-redacted.json", 8},
        {"ata-hdd-hgst-hus724020-errorlog-exit64-redacted.json", 64},
        {"usb-sunplus-samsung-hd204ui-xall-exit96.json", 96},
        {"usb-jmicron-wd3200bevt-failing-exit216.json", 216},
        {"fail-unable-to-detect-device-type-exit1.json", 1},
        {"nvme-samsung-970evo-xall.json", 0},
    };
    for (const auto& c : cases) {
        const std::string text = smartctl_sample(c.file);
        int status = -99;
        EXPECT_EQ(smartctl_reply_status(text.data(), text.size(), &status), 1) << c.file;
        EXPECT_EQ(status, c.status) << c.file;
    }
}

TEST(SmartctlJudge, ExitStatusOfOddReplies) {
    const struct {
        std::string text;
        int is_object;
        int status;
    } cases[] = {
        {"{}", 1, 0},
        {"{\"smartctl\":{}}", 1, 0},
        {"{\"smartctl\":{\"exit_status\":\"4\"}}", 1, 0},
        {"{\"smartctl\":{\"exit_status\":4294967300}}", 1, 4},  // low 32 bits
        {"{\"exit_status\":4,\"smartctl\":{\"exit_status\":2}}", 1, 2},
        {"[{\"smartctl\":{\"exit_status\":2}}]", 0, -99},
        {"smartctl: command not found", 0, -99},
        {"{\"smartctl\":{\"exit_status\":0", 0, -99},  // cut off at the time limit
        {"", 0, -99},
    };
    for (const auto& c : cases) {
        int status = -99;
        EXPECT_EQ(smartctl_reply_status(c.text.data(), c.text.size(), &status), c.is_object)
            << c.text;
        EXPECT_EQ(status, c.status) << c.text;
    }
}

TEST(SmartctlJudge, WhichRepliesAreUsable) {
    const std::string exit4 = smartctl_sample("ata-hdd-wd4000fyyx-megaraid-realloc-exit4.json");
    const std::string standby = smartctl_sample("ata-hdd-standby-nocheck-exit2.json");
    const std::string nvme8 =
        smartctl_sample("nvme-samsung-mzwll3t2-critical-warning-exit8-redacted.json");
    const std::string failing = smartctl_sample("usb-jmicron-wd3200bevt-failing-exit216.json");
    const std::string nodev = smartctl_sample("fail-unable-to-detect-device-type-exit1.json");
    const std::string start_sata = smartctl_sample("emulated/smartctl-t-short-sata.json");
    const std::string start_scsi = smartctl_sample("emulated/smartctl-t-short-scsi.json");
    const std::string start_nvme = smartctl_sample("emulated/smartctl-t-short-nvme.json");
    const std::string refused =
        "{\"smartctl\":{\"exit_status\":0,\"messages\":[{\"string\":\"Can't start self-test "
        "without aborting "
        "current test (90% remaining),\\nadd '-t force' option to override, or run 'smartctl -X' "
        "to abort "
        "test.\",\"severity\":\"error\"}]}}";
    const struct {
        const char* what;
        std::string text;
        SmartctlCmd cmd;
        int is_nvme;
        int ok;
    } cases[] = {
        {"failed drive command leaves a poll's reply usable", exit4, kSmartctlCollect, 0, 1},
        {"failed drive command still leaves a snapshot", exit4, kSmartctlSnapshot, 0, 1},
        {"failed drive command still identifies", exit4, kSmartctlIdentify, 0, 1},
        {"sleeping disk is not woken", standby, kSmartctlIdentifyStandby, 0, 0},
        {"sleeping sibling", standby, kSmartctlSiblingCounters, 0, 0},
        {"failing disk is still read", failing, kSmartctlCollect, 0, 1},
        {"NVMe with critical warning", nvme8, kSmartctlCollect, 1, 1},
        {"no device", nodev, kSmartctlCollect, 0, 0},
        {"no device", nodev, kSmartctlTemperature, 0, 0},
        {"self-test started", start_sata, kSmartctlSelftestStart, 0, 1},
        {"self-test start failed", start_scsi, kSmartctlSelftestStart, 0, 0},
        {"NVMe self-test started", start_nvme, kSmartctlSelftestStart, 1, 1},
        {"self-test start refused", refused, kSmartctlSelftestStart, 0, 0},
        {"refusal text matters only to a start", refused, kSmartctlSelftestProgressAta, 0, 1},
        {"blank before the object: poll needs { first", " " + failing, kSmartctlCollect, 0, 0},
        {"blank before the object: FARM needs { first", " " + failing, kSmartctlFarm, 0, 0},
        {"blank before the object: snapshot reads it", " " + failing, kSmartctlSnapshot, 0, 1},
        {"reply cut off at the time limit", failing.substr(0, failing.size() / 2), kSmartctlCollect,
         0, 0},
        {"cut-off FARM reply still shows the log", failing.substr(0, failing.size() / 2),
         kSmartctlFarm, 0, 1},
        {"FARM log refused by the drive", nodev, kSmartctlFarm, 0, 0},
        {"empty reply", "", kSmartctlSnapshot, 0, 0},
        {"no such command", failing, kSmartctlCmdCount, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(smartctl_reply_ok(c.cmd, c.is_nvme, c.text.data(), c.text.size()), c.ok)
            << c.what;
}

TEST(SmartctlJudge, RefusalIsFoundAnywhereInTheBytes) {
    const std::string with_nul = std::string("{\"a\":\"x\0y\"} Can't start", 24);
    EXPECT_EQ(smartctl_reply_refused(with_nul.data(), with_nul.size()), 1);
    EXPECT_EQ(smartctl_reply_refused("Can't star", 10), 0);
    EXPECT_EQ(smartctl_reply_refused("can't start", 11), 0);
    EXPECT_EQ(smartctl_reply_refused(nullptr, 0), 0);
}

}  // namespace
