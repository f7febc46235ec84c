// The real probe in a fake NAS: disks that are loop devices over images of
// the test's own, the probe's command line as the UI starts it, and where its
// state file and database lie, for end-to-end tests of the surface test and
// of everything that reads what it leaves behind (the UI's state reader,
// flag-clear, the collector running beside it).
//
//   LoopDisks disks(nas);
//   REQUIRE_ATTACHED(disks, disks.attach(FakeDisk{.dev = "sdb", .serial = "S-1"}, 8 << 20));
//   FakeSmartctl::in(nas).healthy_sata("sdb", "S-1");
//   RunResult r = nas.run(probe_args(nas, "S-1"));
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/fake_disk.h"
#include "tests/support/fake_nas.h"
#include "tests/support/loop_device.h"
#include "tests/support/temp_dir.h"

class LoopDisks {
   public:
    explicit LoopDisks(FakeNas& nas);

    // Disk d.dev of the fake NAS over a loop device of image (a zero image of
    // bytes made here when image is empty), laid out by fake_disk_on_loop.
    // False, with error() saying why, when no loop device could be attached.
    bool attach(const FakeDisk& d, std::uint64_t bytes, const std::string& image = "",
                const LoopOptions& opts = {});
    const std::string& error() const { return error_; }
    // The loop device the last attach made.
    const LoopDevice& last() const { return *loops_.back(); }
    // A folder of the test's own for images (a FuseDisk's, say).
    const std::string& image_dir() const { return images_.path(); }

   private:
    FakeNas& nas_;
    TempDir images_;
    std::vector<std::unique_ptr<LoopDevice>> loops_;
    std::string error_;
};

// Outside CI a machine without loop devices skips the test; in CI it fails.
#define REQUIRE_ATTACHED(disks, expr)                                     \
    do {                                                                  \
        if (!(expr)) {                                                    \
            if (in_ci()) FAIL() << "no loop device: " << (disks).error(); \
            GTEST_SKIP() << "no loop device: " << (disks).error();        \
        }                                                                 \
    } while (0)

// probe --serial serial --mode mode --json --qpkg-root <the NAS's package
// root>, then extra.
std::vector<std::string> probe_args(const FakeNas& nas, const std::string& serial,
                                    const char* mode = "quick",
                                    const std::vector<std::string>& extra = {});
// Host paths of the data directory, the database and a test's state file.
std::string probe_data_dir(const FakeNas& nas);
std::string probe_db(const FakeNas& nas);
std::string probe_state_path(const FakeNas& nas, const std::string& serial);
// The state file's text ("" when there is none).
std::string probe_state(const FakeNas& nas, const std::string& serial);
// The state file says the test runs and is in phase.
bool probe_in_phase(const FakeNas& nas, const std::string& serial, const char* phase);
