// The thermal guard: the limit choice, the duty cycle over a sequence of
// temperatures, the temperature readers (NVMe log through the fake ioctl,
// smartctl through the fake runner), the poll schedule and the gate's pauses
// on the fake clock, twenty minutes of them included, and the set-up with
// recorded smartctl replies.
#include "surface_test/thermal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "collector/smart_snapshot.h"
#include "core/cli.h"
#include "core/run.h"
#include "core/util.h"
#include "surface_test/dev_io.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_ioctl.h"
#include "tests/support/fake_run.h"
#include "tests/support/probe_test_run.h"
#include "tests/support/smartctl_samples.h"

namespace {

using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// A smartctl reply with temperature t; none for t <= 0.
std::string temp_reply(int t) {
    const std::string temp =
        t > 0 ? ",\"temperature\":{\"current\":" + std::to_string(t) + "}" : "";
    return "{\"smartctl\":{\"exit_status\":0}" + temp + "}";
}

// NVMe admin data with a little-endian 16-bit value at each offset.
FakeAnswer nvme_data(std::size_t size, std::vector<std::pair<int, int>> words) {
    FakeAnswer a;
    a.data.assign(size, 0);
    for (auto [at, v] : words) {
        a.data[at] = static_cast<std::uint8_t>(v & 0xFF);
        a.data[at + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    return a;
}

// Composite temperature in Kelvin, and the time at thermal management temperature 1.
FakeAnswer nvme_log(int kelvin, int tmt1_s = 0) {
    return nvme_data(kNvmeSmartLogSize, {{1, kelvin}, {224, tmt1_s}});
}

bool is_smart_log(const SentIoctl& s) {
    return s.request == kNvmeIoctlAdminCmd && s.nvme.opcode == 0x02;
}

ProbeTestDisk nvme_disk() {
    ProbeTestDisk d;
    d.name = "nvme0n1";
    d.nvme = true;
    d.rotational = false;
    d.io_fd = 901;  // only the fake ioctl sees it
    return d;
}

TEST(ThermalPickLimit, ChoosesByUserDriveAndClass) {
    const struct {
        const char* name;
        int cls, user, wctemp, op_max, trip;
        int limit, source;
    } cases[] = {
        {"user off", kClassHdd, 0, 0, 60, 60, 0, kSrcOff},
        {"user 20 is raised", kClassHdd, 20, 0, 0, 0, 30, kSrcUser},
        {"user 120 is cut", kClassNvme, 120, 75, 0, 0, 95, kSrcUser},
        {"user beats the drive", kClassNvme, 50, 75, 0, 0, 50, kSrcUser},
        {"NVMe WCTEMP 70", kClassNvme, -1, 70, 0, 0, 65, kSrcWctemp},
        {"NVMe WCTEMP 90", kClassNvme, -1, 90, 0, 0, 80, kSrcWctemp},
        {"NVMe WCTEMP 40", kClassNvme, -1, 40, 0, 0, 50, kSrcWctemp},
        {"WCTEMP ignored off NVMe", kClassSsd, -1, 70, 0, 0, 65, kSrcDefault},
        {"NVMe default", kClassNvme, -1, 0, 0, 0, 70, kSrcDefault},
        {"HDD default", kClassHdd, -1, 0, 0, 0, 55, kSrcDefault},
        {"HDD trip 60", kClassHdd, -1, 0, 0, 60, 50, kSrcTrip},
        {"op limit beats trip", kClassHdd, -1, 0, 58, 90, 53, kSrcOpLimit},
        {"HDD op limit 70 is cut", kClassHdd, -1, 0, 70, 0, 60, kSrcOpLimit},
        {"NVMe op limit 90 is cut", kClassNvme, -1, 0, 90, 0, 80, kSrcOpLimit},
        {"SSD trip 100 is cut", kClassSsd, -1, 0, 0, 100, 70, kSrcTrip},
        // The difference, not the maximum, must be above 0.
        {"op limit 5 falls to the trip", kClassHdd, -1, 0, 5, 60, 50, kSrcTrip},
        {"op limit 3 without trip", kClassSsd, -1, 0, 3, 0, 45, kSrcTrip},
    };
    for (const auto& c : cases) {
        int source = -7;
        EXPECT_EQ(thermal_pick_limit(c.cls, c.user, c.wctemp, c.op_max, c.trip, &source), c.limit)
            << c.name;
        EXPECT_EQ(source, c.source) << c.name;
    }
    EXPECT_STREQ(thermal_source_name(kSrcOpLimit), "op_limit");
    EXPECT_STREQ(thermal_source_name(9), "default");
}

TEST(ThermalGuardInit, RepairsBandMarginAndDuty) {
    const struct {
        int limit, band, margin;
        double min_duty;
        int want_limit, warm, resume;
        double want_duty;
    } cases[] = {
        {55, 4, 5, 0.15, 55, 51, 50, 0.15}, {55, 4, 4, 0.15, 55, 51, 50, 0.15},
        {55, 0, 0, 0.15, 55, 54, 53, 0.15}, {-3, 4, 5, 0.15, 0, -4, -5, 0.15},
        {55, 4, 5, 0.01, 55, 51, 50, 0.15}, {55, 4, 5, 1.5, 55, 51, 50, 0.15},
        {55, 4, 5, 1.0, 55, 51, 50, 1.0},
    };
    for (const auto& c : cases) {
        ThermalGuard g;
        thermal_guard_init(&g, c.limit, c.band, c.margin, c.min_duty);
        EXPECT_EQ(std::vector<int>({g.limit, g.warm, g.resume, g.state, g.temp, g.peak}),
                  std::vector<int>({c.want_limit, c.warm, c.resume, kThermNone, -1000, -1000}));
        EXPECT_DOUBLE_EQ(g.min_duty, c.want_duty);
        EXPECT_DOUBLE_EQ(g.duty, 1.0);
    }
}

TEST(ThermalGuardUpdate, SlowsPausesAndClimbsBackStepByStep) {
    // HDD, limit 55: slower from 51, a pause ends at 50.
    const struct {
        int temp;
        int state;
        double duty;
    } steps[] = {
        {52, kThermSlow, 0.575},   // first sample: straight to the target
        {53, kThermSlow, 0.3625},  // falls at once
        {52, kThermSlow, 0.4625},  // rises by one step only (target 0.575)
        {55, kThermPause, 0},      // the limit
        {51, kThermPause, 0},      // above the resume temperature
        {50, kThermSlow, 0.15},    // resumes at the minimum duty
        {40, kThermSlow, 0.25},    // below warm after a slow period: one step
        {52, kThermSlow, 0.35},   {40, kThermSlow, 0.45}, {40, kThermSlow, 0.55},
        {40, kThermSlow, 0.65},   {40, kThermSlow, 0.75}, {40, kThermSlow, 0.85},
        {40, kThermSlow, 0.95},   {40, kThermOk, 1.0},    {30, kThermOk, 1.0},
    };
    ThermalGuard g;
    thermal_guard_init(&g, 55, 4, 5, 0.15);
    EXPECT_DOUBLE_EQ(thermal_guard_sleep_ms(&g, 100), 0) << "no sample yet";
    double now = 1000;
    for (const auto& s : steps) {
        EXPECT_EQ(thermal_guard_update(&g, s.temp, now), s.state) << s.temp << " at " << now;
        EXPECT_NEAR(g.duty, s.duty, 1e-9) << s.temp << " at " << now;
        EXPECT_NEAR(thermal_guard_sleep_ms(&g, 100), s.state == kThermSlow ? 100 / s.duty - 100 : 0,
                    1e-6);
        if (s.state == kThermPause) {
            EXPECT_DOUBLE_EQ(thermal_guard_paused_ms(&g, now + 500), now + 500 - 4000);
        }
        now += 1000;
    }
    EXPECT_EQ(g.samples, 16);
    EXPECT_EQ(g.peak, 55);
    EXPECT_EQ(g.pauses, 1);
    EXPECT_DOUBLE_EQ(g.paused_ms, 2000);  // from 4000 to 6000
    EXPECT_DOUBLE_EQ(g.pause_start, 0);
    EXPECT_DOUBLE_EQ(g.slowed_ms, 12000);  // slow from 1000 to 4000 and from 6000 to 15000

    thermal_guard_init(&g, 0, 4, 5, 0.15);  // off: it only records
    EXPECT_EQ(thermal_guard_update(&g, 90, 1000), kThermNone);
    EXPECT_DOUBLE_EQ(g.duty, 1.0);
    EXPECT_EQ(g.peak, 90);
}

TEST(ProbeTempRead, TheNvmeLogFirstThenSmartctlForGood) {
    REQUIRE_SMARTCTL_PATH();
    {
        ProbeTestRun run{nvme_disk()};
        FakeIoctl ioctl;
        int kelvin = 320;
        ioctl.set_handler([&](const SentIoctl&) { return nvme_log(kelvin, kelvin); });
        int t = 0;
        ASSERT_EQ(probe_temp_read(&t), 1);
        EXPECT_EQ(t, 47);
        kelvin = 330;
        ASSERT_EQ(probe_temp_read(&t), 1);
        EXPECT_EQ(t, 57);
        const ThermalRun& th = g_probe.thermal;
        EXPECT_STREQ(th.sensor, "nvme");
        EXPECT_EQ(th.nvme_first.temp_c, 47);
        EXPECT_EQ(th.nvme_first.tmt1_time_s, 320u);
        EXPECT_EQ(th.nvme_latest.temp_c, 57);
        EXPECT_EQ(th.nvme_latest_valid, 1);
        ASSERT_EQ(ioctl.sent().size(), 2u);
        EXPECT_TRUE(is_smart_log(ioctl.sent()[0]));
    }
    FakeAnswer ioctl_error;
    ioctl_error.rc = -1;
    ioctl_error.err = EIO;
    FakeAnswer bad_status = nvme_log(320);
    bad_status.rc = 0x4002;
    for (const FakeAnswer& failure : {ioctl_error, bad_status, nvme_log(0)}) {
        ProbeTestRun run{nvme_disk()};
        g_probe.thermal.poll_ms = 2000;
        g_probe.identified = 1;
        str_copy(g_probe.smart_dev, sizeof g_probe.smart_dev, "/dev/nvme0");
        FakeIoctl ioctl;
        ioctl.set_handler([&](const SentIoctl&) { return failure; });
        FakeRun fake;
        fake.set_handler([](const std::vector<std::string>&) {
            return FakeReply{0, temp_reply(44)};
        });
        int t = 0;
        ASSERT_EQ(probe_temp_read(&t), 1);
        ASSERT_EQ(probe_temp_read(&t), 1);
        EXPECT_EQ(t, 44);
        EXPECT_STREQ(g_probe.thermal.sensor, "smart");
        EXPECT_EQ(g_probe.thermal.poll_ms, 10000);
        EXPECT_EQ(ioctl.sent().size(), 1u) << "the log is not asked again";
        const std::vector<std::string> want = {smartctl_path(), "-A", "-j", "/dev/nvme0"};
        ASSERT_EQ(fake.calls().size(), 2u);
        EXPECT_EQ(fake.calls()[0], want);
        EXPECT_EQ(fake.timeouts()[0], 20);
    }
}

TEST(ProbeTempRead, SmartctlOnlyForAnIdentifiedDiskWithATemperature) {
    REQUIRE_SMARTCTL_PATH();
    const struct {
        const char* name;
        int identified;
        std::string reply;
        int temp;  // 0: no reading
    } cases[] = {
        {"not identified", 0, temp_reply(41), 0},
        {"temperature", 1, temp_reply(41), 41},
        {"no temperature", 1, temp_reply(0), 0},
        {"garbage", 1, "Segmentation fault", 0},
        {"recorded SAS reply", 1, smartctl_sample("scsi-sas-seagate-st600mp0036-all.json"), 29},
    };
    for (const auto& c : cases) {
        ProbeTestRun run{ProbeTestDisk{}};
        g_probe.identified = c.identified;
        str_copy(g_probe.dtype, sizeof g_probe.dtype, "sat");
        FakeRun fake;
        fake.push({0, c.reply});
        int t = 0;
        EXPECT_EQ(probe_temp_read(&t), c.temp ? 1 : 0) << c.name;
        EXPECT_EQ(t, c.temp) << c.name;
        EXPECT_EQ(g_probe.thermal.sensor != nullptr, c.temp != 0) << c.name;
        const std::vector<std::vector<std::string>> want = {
            {smartctl_path(), "-A", "-j", "-d", "sat", "/dev/sdt"}};
        EXPECT_EQ(fake.calls(), c.identified ? want : decltype(want){}) << c.name;
    }
}

// An HDD (limit 55 °C) on the fake clock whose smartctl answers with temp,
// or with temp_at(ms since the start) when that is set.
struct SensorScene {
    FakeClock clock;
    ProbeTestRun run{ProbeTestDisk{}};
    FakeRun fake;
    double t0 = 0;
    int temp = 40;
    std::function<int(double)> temp_at;

    SensorScene() {
        g_probe.identified = 1;
        thermal_guard_init(&g_probe.thermal.guard, 55, 4, 5, 0.15);
        g_probe.thermal.poll_ms = 30000;
        g_probe.thermal.next_poll = 0;
        t0 = clock.mono_ms();
        fake.set_handler([this](const std::vector<std::string>&) {
            return FakeReply{0, temp_reply(temp_at ? temp_at(clock.mono_ms() - t0) : temp)};
        });
    }
};

TEST(ThermalPoll, SamplesWhenDueAndBacksOffFromADeadSensor) {
    REQUIRE_SMARTCTL_PATH();
    SensorScene s;
    s.temp = 0;
    ThermalRun& th = g_probe.thermal;
    th.next_poll = s.clock.mono_ms() + 1000;
    thermal_poll();
    EXPECT_EQ(s.fake.calls().size(), 0u) << "not due yet";
    for (int i = 1; i <= 3; ++i) {
        s.clock.advance_ms(30000);
        thermal_poll();
        EXPECT_EQ(th.read_failures, i);
    }
    EXPECT_DOUBLE_EQ(th.next_poll, s.clock.mono_ms() + 600000) << "three failures, no sample";
    s.clock.advance_ms(600000);
    s.temp = 56;
    CaptureStderr();
    thermal_poll();
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("probe: 56 C reached the limit of 55 C, pausing until 50 C\n"));
    EXPECT_EQ(th.read_failures, 0);
    EXPECT_DOUBLE_EQ(th.next_poll, s.clock.mono_ms() + 30000) << "the pause began with it";
    s.clock.advance_ms(30000);
    s.temp = 0;  // with a sample behind it, failures do not push the poll away
    thermal_poll();
    EXPECT_DOUBLE_EQ(th.next_poll, s.clock.mono_ms() + 5000) << "paused: every 5 s";
    s.clock.advance_ms(5000);
    s.temp = 49;
    CaptureStderr();
    thermal_poll();
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("probe: cooled to 49 C, resuming\n"));
    EXPECT_EQ(th.guard.state, kThermSlow);
}

TEST(ThermalGate, WaitsOutAPauseInShortSlices) {
    REQUIRE_SMARTCTL_PATH();
    SensorScene s;
    s.temp_at = [](double ms) { return ms < 60000 ? 57 : 49; };
    EXPECT_EQ(thermal_gate(), 0);
    const ThermalGuard& g = g_probe.thermal.guard;
    EXPECT_EQ(g.state, kThermSlow);
    // Polled every 5 s while paused: the pause ends with the first poll after 60 s.
    EXPECT_DOUBLE_EQ(g.paused_ms, 60000);
    EXPECT_DOUBLE_EQ(s.clock.slept_ms(), 60000);
    for (double ms : s.clock.sleeps()) EXPECT_LE(ms, 200);
    EXPECT_EQ(g_probe.thermal.thermal_stop, 0);
    EXPECT_EQ(g_probe.pace.temp.count, 30) << "a history sample every 2 s of the pause";
    EXPECT_THAT(s.run.state_file(), HasSubstr("\"state\":\"pause\""));
    const std::size_t sleeps = s.clock.sleeps().size();
    EXPECT_EQ(thermal_gate(), 0);
    EXPECT_EQ(s.clock.sleeps().size(), sleeps) << "not paused: straight through";
}

TEST(ThermalGate, EndsAPauseByThermalStopStopOrLostDisk) {
    REQUIRE_SMARTCTL_PATH();
    const struct {
        const char* name;
        int limit;              // 0: the guard is off
        const char* after_30s;  // "stop", "offline" or nullptr
        int gate, thermal_stop, fatal;
        double min_slept, max_slept;
    } cases[] = {
        {"twenty minutes at the limit", 55, nullptr, -1, 1, 0, 1200000, 1200600},
        {"stop", 55, "stop", -1, 0, 0, 30000, 30200},
        {"lost disk", 55, "offline", -1, 0, 1, 30000, 30600},
        {"guard off: sampled, never waits", 0, nullptr, 0, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SensorScene s;
        thermal_guard_init(&g_probe.thermal.guard, c.limit, 4, 5, 0.15);
        s.temp = 60;
        const std::string after = c.after_30s ? c.after_30s : "";
        s.clock.on_sleep([&](double) {
            if (s.clock.mono_ms() - s.t0 <= 30000 || after.empty()) return;
            if (after == "stop") g_probe_stop = 1;
            if (after == "offline") s.run.set_device_state("offline");
        });
        CaptureStderr();
        EXPECT_EQ(thermal_gate(), c.gate) << c.name;
        const std::string log = GetCapturedStderr();
        EXPECT_EQ(g_probe.thermal.thermal_stop, c.thermal_stop) << c.name;
        EXPECT_EQ(g_probe.fatal, c.fatal) << c.name;
        EXPECT_GE(s.clock.slept_ms(), c.min_slept) << c.name;
        EXPECT_LE(s.clock.slept_ms(), c.max_slept) << c.name;
        EXPECT_EQ(g_probe.thermal.guard.temp, 60) << c.name;
        EXPECT_EQ(log.find("probe: still 60 C after 1200 s at the limit, the map ends here\n") !=
                      std::string::npos,
                  c.thermal_stop == 1)
            << c.name;
        if (c.gate < 0) {
            EXPECT_EQ(thermal_gate(), -1) << c.name << ": refused again at once";
        }
    }
}

TEST(ProbeThermalSetup, NvmeTakesWctempAndItsOwnLog) {
    FakeClock clock;
    ProbeTestRun run{nvme_disk()};
    FakeIoctl ioctl;
    ioctl.set_handler([](const SentIoctl& s) {
        return is_smart_log(s) ? nvme_log(313)
                               : nvme_data(kNvmeIdentifySize, {{266, 343}, {268, 358}});
    });
    CaptureStderr();
    probe_thermal_setup();
    const std::string log = GetCapturedStderr();
    const ThermalRun& th = g_probe.thermal;
    EXPECT_EQ(th.wctemp_c, 70);
    EXPECT_EQ(th.cctemp_c, 85);
    EXPECT_EQ(th.limit_src, kSrcWctemp);
    EXPECT_EQ(th.guard.temp, 40);
    EXPECT_DOUBLE_EQ(th.next_poll, clock.mono_ms() + 2000);
    EXPECT_THAT(log, HasSubstr("probe: temperature limit 65 C (wctemp), slower from 59 C, a pause "
                               "ends at 57 C; sensor nvme, now 40 C\n"));
}

TEST(ProbeThermalSetup, SataAndSasDisksTakeTheirLimitsFromTheFirstSnapshot) {
    const struct {
        const char* name;
        bool rotational;
        const char* snap0;  // nullptr: no usable snapshot
        int user_limit;
        double max_rate;
        int source;
        const char* log;
    } cases[] = {
        {"SSD op limit", false, "ata-ssd-samsung-860evo-xall-phy-devstats.json", -1, 0, kSrcOpLimit,
         "probe: temperature limit 65 C (op_limit), slower from 60 C, a pause ends at 59 C; "
         "sensor none, now 36 C\n"},
        {"SAS trip", true, "scsi-sas-seagate-st600mp0036-all.json", -1, 0, kSrcTrip,
         "probe: temperature limit 50 C (trip), slower from 46 C, a pause ends at 45 C; sensor "
         "none, now 29 C\n"},
        {"HDD unknown", true, nullptr, -1, 0, kSrcDefault,
         "probe: temperature limit 55 C (default), slower from 51 C, a pause ends at 50 C; sensor "
         "none, now unknown 0 C\n"},
        {"off, with a rate cap", true, "ata-hdd-wd181kryz-all.json", 0, 150, kSrcOff,
         "probe: thermal guard off (--temp-limit off)\n"},
        {"user limit", false, "ata-ssd-samsung-860evo-xall-phy-devstats.json", 40, 0, kSrcUser,
         "probe: temperature limit 40 C (user), slower from 35 C, a pause ends at 34 C; sensor "
         "none, now 36 C\n"},
    };
    for (const auto& c : cases) {
        FakeClock clock;
        ProbeTestDisk d;
        d.rotational = c.rotational;
        ProbeTestRun run{d};
        g_temp_limit = c.user_limit;
        g_max_rate = c.max_rate;
        if (c.snap0) {
            const std::string text = smartctl_sample(c.snap0);
            smart_snap_from_json(text.data(), text.size(), -1, &g_probe.snap0.smart);
            g_probe.snap0.smart_ok = 1;
        }
        CaptureStderr();
        probe_thermal_setup();  // not identified: no reading, the snapshot's temperature
        const std::string log = GetCapturedStderr();
        const ThermalRun& th = g_probe.thermal;
        EXPECT_EQ(th.limit_src, c.source) << c.name;
        EXPECT_EQ(th.poll_ms, c.rotational ? 30000 : 10000) << c.name;
        EXPECT_EQ(th.sensor, nullptr) << c.name;
        EXPECT_EQ(th.guard.samples, c.snap0 ? 1 : 0) << c.name;
        EXPECT_THAT(log, HasSubstr(c.log)) << c.name;
        EXPECT_EQ(log.find("probe: rate limit 150 MiB/s\n") != std::string::npos, c.max_rate > 0)
            << c.name;
    }
}

}  // namespace
