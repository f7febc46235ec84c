// The reading phases against real block devices: direct READs of loop
// devices (512-byte and 4 KiB logical blocks, a sparse disk over 4 GiB), and
// of loop devices over the FUSE test disk, whose chosen ranges fail with the
// errno a failing drive gives (ENODATA, EIO, ETIMEDOUT, ENOLINK), answer
// slowly, or die with ENODEV in the middle of the map.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/unique_fd.h"
#include "surface_test/probe_map.h"
#include "surface_test/probe_state.h"
#include "tests/support/fuse_disk.h"
#include "tests/support/loop_device.h"
#include "tests/support/probe_test_run.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * kKiB;
constexpr std::uint64_t kGiB = 1024 * kMiB;

// The run's two descriptors on a real device, as the run opens them.
struct OpenDisk {
    UniqueFd io, sg;
    explicit OpenDisk(const std::string& dev)
        : io(::open(dev.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC)),
          sg(::open(dev.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
};

ProbeTestDisk loop_disk(const OpenDisk& d, std::uint64_t capacity, std::uint32_t lbs,
                        const char* mode = "full") {
    ProbeTestDisk disk;
    disk.capacity = capacity;
    disk.lbs = lbs;
    disk.mode = mode;
    disk.io_fd = d.io.get();
    disk.sg_fd = d.sg.get();
    return disk;
}

bool all_latency_grades(const std::string& codes) {
    return codes.find_first_not_of("abcdef") == std::string::npos;
}

void run_reading_phases() {
    probe_map_choose_method();
    probe_map_run();
    probe_samples_run();  // each phase ends at once on a lost disk
    probe_repeat_run();
}

TEST(ProbeMapLoop, ReadsAWholeDiskDirectly) {
    const struct { std::uint32_t lbs; } cases[] = {{512}, {4096}};
    for (const auto& c : cases) {
        TempDir dir;
        const std::uint64_t size = 64 * kMiB + 512 * kKiB;
        write_pattern_image(dir.path() + "/disk.img", size);
        LoopDevice loop(dir.path() + "/disk.img", {.read_only = true, .logical_block = c.lbs});
        REQUIRE_LOOP(loop);
        OpenDisk d(loop.path());
        ASSERT_TRUE(d.io.valid() && d.sg.valid());
        ProbeTestRun run{loop_disk(d, size, c.lbs)};
        run_reading_phases();
        // A loop device takes no SCSI commands: the map reads.
        EXPECT_STREQ(g_probe.method, "read") << c.lbs;
        EXPECT_EQ(g_probe.read_fallback, 1) << c.lbs;
        EXPECT_EQ(g_probe.cells, 64u) << c.lbs;
        EXPECT_EQ(g_probe.done, 64u) << c.lbs;
        EXPECT_TRUE(all_latency_grades(run.codes())) << run.codes();
        EXPECT_DOUBLE_EQ(g_probe.verify_mib, 64.5) << "the last cell reads the rest";
        EXPECT_EQ(g_probe.verify_errors, 0) << c.lbs;
        EXPECT_EQ(g_probe.read_samples, 128) << c.lbs;
        EXPECT_EQ(g_probe.read_errors, 0) << c.lbs;
        EXPECT_EQ(g_probe.bad_count, 0) << c.lbs;
        // What was read is the disk: the last sample's buffer holds its pattern.
        const std::uint64_t last = (size - kMiB) / 127 * 127 / 4096 * 4096;
        const auto* words = reinterpret_cast<const std::uint64_t*>(g_probe.io_buf);
        EXPECT_EQ(words[0], pattern_word(last)) << c.lbs;
        EXPECT_EQ(words[kMiB / 8 - 1], pattern_word(last + kMiB - 8)) << c.lbs;
    }
}

// A sparse image in RAM: reading its holes costs no disk time.
struct RamImage {
    std::string path;
    explicit RamImage(std::uint64_t size) {
        char tmpl[] = "/dev/shm/corvantis-disk-XXXXXX";
        UniqueFd fd(::mkstemp(tmpl));
        if (fd.valid() && ::ftruncate(fd.get(), static_cast<off_t>(size)) == 0) path = tmpl;
    }
    ~RamImage() {
        if (!path.empty()) ::unlink(path.c_str());
    }
};

TEST(ProbeMapLoop, ADiskOver4GiBHas4096CellsInBothModes) {
    const std::uint64_t size = 8 * kGiB + 3 * kMiB;
    RamImage image(size);
    ASSERT_FALSE(image.path.empty());
    LoopDevice loop(image.path, {.read_only = true});
    REQUIRE_LOOP(loop);
    OpenDisk d(loop.path());
    for (const char* mode : {"quick", "full"}) {
        ProbeTestRun run{loop_disk(d, size, 512, mode)};
        probe_map_choose_method();
        probe_map_run();
        EXPECT_EQ(g_probe.cells, 4096u) << mode;
        EXPECT_EQ(g_probe.cell_bytes, 2 * kMiB) << mode;
        EXPECT_EQ(g_probe.done, 4096u) << mode;
        EXPECT_TRUE(all_latency_grades(run.codes())) << mode;
        // Quick: one MiB of each cell. Full: every byte, the rest in the last cell.
        EXPECT_DOUBLE_EQ(g_probe.verify_mib, mode[0] == 'q' ? 4096 : 8 * 1024 + 3) << mode;
    }
}

// A 64 MiB disk served by the FUSE test disk.
class ProbeMapFuse : public ::testing::Test {
   protected:
    void SetUp() override { write_pattern_image(dir_.path() + "/disk.img", kSize); }
    std::string image() const { return dir_.path() + "/disk.img"; }
    static constexpr std::uint64_t kSize = 64 * kMiB;
    TempDir dir_;
};

// Offsets of the 128 READ samples of a disk.
std::vector<std::uint64_t> sample_offsets(std::uint64_t capacity) {
    std::vector<std::uint64_t> out;
    for (std::uint64_t k = 0; k < 128; ++k)
        out.push_back((capacity - kMiB) / 127 * k / 4096 * 4096);
    return out;
}

TEST_F(ProbeMapFuse, ReadErrorsOfEveryKindAreFoundAgainAndNarrowed) {
    FuseDisk disk(image());
    REQUIRE_FUSE(disk);
    struct Fault {
        std::uint64_t offset;
        int err;
    };
    const Fault faults[] = {{5 * kMiB + 8 * kKiB, ENODATA},
                            {10 * kMiB + 1020 * kKiB, EIO},
                            {20 * kMiB, ETIMEDOUT},
                            {30 * kMiB + 512 * kKiB, ENOLINK}};
    for (const Fault& f : faults) disk.fail(f.offset, 4096, f.err);
    // The cells of the failures, and of the samples that read across one.
    std::set<std::uint64_t> bad_cells, bad_units;
    for (const Fault& f : faults) {
        bad_cells.insert(f.offset / kMiB);
        bad_units.insert(f.offset);
        for (std::uint64_t s : sample_offsets(kSize))
            if (f.offset >= s && f.offset < s + kMiB) bad_cells.insert(s / kMiB);
    }
    LoopDevice loop(disk.file(), {.read_only = true});
    REQUIRE_LOOP(loop);
    OpenDisk d(loop.path());
    for (bool nvme : {false, true}) {
        ProbeTestDisk td = loop_disk(d, kSize, 512);
        td.nvme = nvme;  // an NVMe namespace read directly: the same READ map
        ProbeTestRun run{td};
        run_reading_phases();
        const std::string codes = run.codes();
        const char* what = nvme ? "NVMe" : "SATA";
        EXPECT_EQ(g_probe.done, 64u) << what;
        EXPECT_EQ(g_probe.fatal, 0) << what;
        EXPECT_EQ(g_probe.verify_errors, 4) << what;
        EXPECT_EQ(g_probe.read_errors + 4, g_probe.bad_count) << what;
        // READ errors of every kind are 'E'; the repeat pass finds each
        // failing unit again and, on NVMe, calls it a media error.
        const char want = nvme ? 'B' : 'E';
        for (std::size_t i = 0; i < codes.size(); ++i) {
            if (bad_cells.count(i)) {
                EXPECT_EQ(codes[i], want) << what << " cell " << i;
            } else {
                EXPECT_TRUE(all_latency_grades(codes.substr(i, 1))) << what << " cell " << i;
            }
        }
        for (int i = 0; i < g_probe.bad_count; ++i) {
            const BadRange& b = g_probe.bad[i];
            EXPECT_EQ(bad_units.count(b.offset), 1u) << what << ": narrowed to a failing unit";
            EXPECT_EQ(b.length, kMiB) << what;
            EXPECT_EQ(b.via_read, 1) << what;
            EXPECT_EQ(b.read_tries, 3) << what;
            EXPECT_EQ(b.read_fails, 3) << what;
            EXPECT_EQ(b.verify_tries, 0) << what;
            EXPECT_STREQ(b.kind, nvme ? "media" : "other") << what;
        }
        for (int i = 0; i < 4; ++i) EXPECT_EQ(g_probe.bad[i].offset, faults[i].offset) << what;
    }
}

TEST_F(ProbeMapFuse, SlowRangesGradeTheirCellsByLatency) {
    FuseDisk disk(image());
    REQUIRE_FUSE(disk);
    disk.slow_per_mib(40 * kMiB, kMiB, 600);
    disk.slow_per_mib(41 * kMiB, kMiB, 100);
    LoopDevice loop(disk.file(), {.read_only = true});
    REQUIRE_LOOP(loop);
    OpenDisk d(loop.path());
    ProbeTestRun run{loop_disk(d, kSize, 512)};
    probe_map_choose_method();
    probe_map_run();
    // Lower bounds only: a busy machine may add to any read's time.
    EXPECT_EQ(run.codes()[40], 'f');
    EXPECT_GE(map_grade_rank(run.codes()[41]), map_grade_rank('d')) << run.codes();
    EXPECT_GE(g_probe.slow_cells, 1);
    EXPECT_EQ(g_probe.bad_count, 0);
    EXPECT_EQ(g_probe.done, 64u);
}

TEST_F(ProbeMapFuse, SamplesMeetReadErrorsToo) {
    FuseDisk disk(image());
    REQUIRE_FUSE(disk);
    const std::uint64_t bad = 31 * kMiB + 100 * kKiB;
    disk.fail(bad, 4096, EIO);
    LoopDevice loop(disk.file(), {.read_only = true});
    REQUIRE_LOOP(loop);
    OpenDisk d(loop.path());
    ProbeTestRun run{loop_disk(d, kSize, 512)};
    std::memset(g_probe.codes, 'a', g_probe.cells);
    probe_samples_run();
    std::vector<std::uint64_t> failing;  // the samples that read across it
    for (std::uint64_t s : sample_offsets(kSize))
        if (bad >= s && bad < s + kMiB) failing.push_back(s);
    ASSERT_EQ(failing.size(), 2u) << "samples of 1 MiB lie about half a MiB apart";
    EXPECT_EQ(g_probe.read_samples, 128);
    EXPECT_EQ(g_probe.read_errors, 2);
    ASSERT_EQ(g_probe.bad_count, 2);
    std::string want(64, 'a');
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(g_probe.bad[i].offset, failing[i]);
        EXPECT_EQ(g_probe.bad[i].cell, failing[i] / kMiB);
        want[failing[i] / kMiB] = 'E';
    }
    EXPECT_EQ(run.codes(), want);
}

TEST_F(ProbeMapFuse, ADiskThatDiesMidMapIsLost) {
    FuseDisk disk(image());
    REQUIRE_FUSE(disk);
    LoopDevice loop(disk.file(), {.read_only = true});
    REQUIRE_LOOP(loop);
    disk.die_from_offset(20 * kMiB + 4096);
    OpenDisk d(loop.path());
    ProbeTestRun run{loop_disk(d, kSize, 512)};
    run_reading_phases();
    EXPECT_EQ(g_probe.fatal, 1);
    EXPECT_EQ(run.codes().substr(0, 21).find_first_not_of("abcdef"), 20u);
    EXPECT_EQ(run.codes()[20], 'E');
    EXPECT_EQ(run.codes().substr(21), std::string(43, '.'));
    EXPECT_EQ(g_probe.done, 20u);
    EXPECT_EQ(g_probe.read_samples, 0) << "no samples of a lost disk";
    EXPECT_EQ(g_probe.bad_count, 1);
    EXPECT_EQ(g_probe.bad[0].kind, nullptr) << "no repeat pass either";
}

}  // namespace
