// ProbeTestRun: g_probe as the run leaves it right before the map, for
// in-process tests of the reading phases, the thermal guard and the pacing.
// It owns the run's buffers, a fake root with /sys/block/<name> (so that the
// disk counts as alive until the test says otherwise) and the state file's
// folder, and puts every global it touched back when it goes out of scope.
//
//   ProbeTestDisk d;
//   d.capacity = 64ull << 20;
//   ProbeTestRun run(d);
//   probe_map_choose_method();
//   probe_map_run();
//   EXPECT_EQ(run.codes(), std::string(64, 'a'));
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/temp_dir.h"

struct ProbeTestDisk {
    std::string name = "sdt";
    std::uint64_t capacity = 64ull << 20;
    std::uint32_t lbs = 512;
    bool nvme = false;
    bool rotational = true;
    std::string mode = "full";
    int io_fd = -1;   // READ descriptor; the run does not own it
    int sg_fd = 900;  // any number: FakeIoctl answers for it
};

class ProbeTestRun {
   public:
    explicit ProbeTestRun(const ProbeTestDisk& disk);
    ~ProbeTestRun();
    ProbeTestRun(const ProbeTestRun&) = delete;
    ProbeTestRun& operator=(const ProbeTestRun&) = delete;

    const std::string& root() const { return dir_.path(); }
    // The map codes as a string ("" without a map).
    std::string codes() const;
    // Writes /sys/block/<name>/device/state.
    void set_device_state(const std::string& state);
    // Removes /sys/block/<name>: the disk is gone.
    void remove_device();
    // The state file as the last save wrote it ("" when none was written).
    std::string state_file() const;

   private:
    TempDir dir_;
    int temp_limit_before_;
    double max_rate_before_;
};
