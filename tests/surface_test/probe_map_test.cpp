// The reading phases over recorded device answers: the cell geometry and
// grades, the block arithmetic, the bisection, and the map, the samples and the
// repeat pass run against drives that answer VERIFY through the fake ioctl
// (medium errors with and without the failing LBA, link errors, time-outs,
// "unsupported", unit attentions, a drive that is gone) on the fake clock, with
// READ from a plain file standing in for the disk.
#include "surface_test/probe_map.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/unique_fd.h"
#include "core/util.h"
#include "surface_test/dev_io.h"
#include "surface_test/probe_state.h"
#include "surface_test/probe_state_file.h"
#include "surface_test/thermal.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_ioctl.h"
#include "tests/support/fake_run.h"
#include "tests/support/json_edit.h"
#include "tests/support/probe_test_run.h"

namespace {

using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * kKiB;
constexpr std::uint64_t kGiB = 1024 * kMiB;

// ---- geometry, grades and block arithmetic ----

TEST(MapCellGeometry, CellsOfOneMiBUpTo4GiBThen4096) {
    const struct {
        std::uint64_t capacity;
        int has_map;
        std::uint32_t cells;
        std::uint64_t cell_bytes;
    } cases[] = {
        {0, 0, 0, 0},
        {kMiB - 1, 0, 0, 0},
        {kMiB, 1, 1, kMiB},
        {64 * kMiB + 512 * kKiB, 1, 64, kMiB},
        {3 * kGiB, 1, 3072, kMiB},
        {4 * kGiB - 1, 1, 4095, kMiB},
        {4 * kGiB, 1, 4096, kMiB},
        {5 * kGiB + 3 * kMiB, 1, 4096, kMiB},
        {32 * kGiB, 1, 4096, 8 * kMiB},
        {4000000000000ull, 1, 4096, 931 * kMiB},
    };
    for (const auto& c : cases) {
        std::uint32_t cells = 99;
        std::uint64_t cell_bytes = 99;
        EXPECT_EQ(map_cell_geometry(c.capacity, &cells, &cell_bytes), c.has_map) << c.capacity;
        EXPECT_EQ(cells, c.cells) << c.capacity;
        EXPECT_EQ(cell_bytes, c.cell_bytes) << c.capacity;
    }
}

TEST(MapSampleOffset, StaysInsideItsCellAlignedAndRepeatable) {
    const struct {
        std::uint64_t cell, sample, align;
    } cases[] = {
        {8 * kMiB, kMiB, kMiB},
        {931 * kMiB, kMiB, kMiB},
        {kMiB + 512 * kKiB, kMiB, 4096},  // a cell that is no whole MiB
        {2 * kMiB, 768 * kKiB, 4096},
    };
    for (const auto& c : cases) {
        std::set<std::uint64_t> seen;
        for (std::uint32_t i = 0; i < 4096; ++i) {
            const std::uint64_t off = map_sample_offset(i, c.cell, c.sample);
            ASSERT_LE(off + c.sample, c.cell) << i;
            ASSERT_EQ(off % c.align, 0u) << i;
            ASSERT_EQ(off, map_sample_offset(i, c.cell, c.sample)) << i;
            seen.insert(off);
        }
        // Every place a sample can start is used, roughly evenly.
        const std::uint64_t places = (c.cell - c.sample) / c.align + 1;
        EXPECT_GE(seen.size(), std::min<std::uint64_t>(places, 4096) * 9 / 10) << c.cell;
    }
    EXPECT_EQ(map_sample_offset(7, kMiB, kMiB), 0u);
    EXPECT_EQ(map_sample_offset(7, kMiB, 2 * kMiB), 0u);
}

TEST(MapGrades, LatencyBoundsAreInclusiveAndSeverityDecidesMerges) {
    const struct {
        double ms;
        char grade;
    } grades[] = {{0, 'a'},    {10, 'a'},  {10.01, 'b'}, {25, 'b'},  {50, 'c'},
                  {50.5, 'd'}, {150, 'd'}, {500, 'e'},   {501, 'f'}, {1e9, 'f'}};
    for (const auto& g : grades) EXPECT_EQ(map_latency_grade(g.ms), g.grade) << g.ms;

    const std::string order = ".abcdefELB";
    for (std::size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(map_grade_rank(order[i]), static_cast<int>(i)) << order[i];
    for (char bad : std::string("gA?l ")) EXPECT_EQ(map_grade_rank(bad), -1) << bad;
    EXPECT_EQ(map_grade_rank('\0'), -1);

    const struct {
        char a, b, want;
    } merges[] = {{'a', 'f', 'f'}, {'f', 'a', 'f'}, {'E', 'L', 'L'}, {'B', 'L', 'B'},
                  {'.', 'E', 'E'}, {'c', 'c', 'c'}, {'x', 'b', 'b'}, {'b', 'x', 'b'},
                  {'x', 'y', 'x'}, {'f', 'E', 'E'}};
    for (const auto& m : merges) EXPECT_EQ(map_grade_merge(m.a, m.b), m.want) << m.a << " " << m.b;
}

TEST(DevBlocks, ConvertWithTheBlockUnitOfTheLogicalBlockSize) {
    const struct {
        std::uint32_t lbs;
        std::uint64_t bytes, blocks, sectors;
    } cases[] = {
        {512, 8192, 16, 16}, {4096, 8192, 2, 16},  // 4Kn: block 2 is sector 16
        {4096, 8191, 1, 8},  {520, 8192, 16, 16},  // no multiple of 512: 512-byte units
        {0, 8192, 16, 16},   {2048, 1 * kGiB, 524288, 2097152},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dev_bytes_to_blocks(c.bytes, c.lbs), c.blocks) << c.lbs;
        EXPECT_EQ(dev_blocks_to_sectors512(c.blocks, c.lbs), c.sectors) << c.lbs;
        EXPECT_EQ(dev_sectors512_to_blocks(c.sectors, c.lbs), c.blocks) << c.lbs;
    }
}

TEST(DevShouldFallbackRead, OnlyAnUnsupportedVerifyBeforeAnySuccess) {
    EXPECT_EQ(dev_should_fallback_read(kIoUnsupported, 1, 0), 1);
    EXPECT_EQ(dev_should_fallback_read(kIoUnsupported, 1, 1), 0);
    EXPECT_EQ(dev_should_fallback_read(kIoUnsupported, 0, 0), 0);
    for (int code : {kIoOk, kIoMedium, kIoLink, kIoFailed, kIoUnitAttention, kIoGone})
        EXPECT_EQ(dev_should_fallback_read(code, 1, 0), 0) << code;
}

// A range of units, some of which fail; counts the tests it was asked.
struct BisectDisk {
    std::set<std::uint64_t> bad_units;  // offsets of failing 4 KiB units
    int abort_after = -1;               // -1 never
    std::vector<std::pair<std::uint64_t, std::uint64_t>> asked;

    static int test(std::uint64_t offset, std::uint64_t length, void* ctx) {
        auto* d = static_cast<BisectDisk*>(ctx);
        if (d->abort_after >= 0 && static_cast<int>(d->asked.size()) >= d->abort_after) return -1;
        d->asked.emplace_back(offset, length);
        for (std::uint64_t u : d->bad_units)
            if (u >= offset && u < offset + length) return 1;
        return 0;
    }
};

TEST(MapBisectBadUnit, IsolatesTheFirstFailingUnit) {
    const struct {
        const char* name;
        std::uint64_t offset, length;
        std::set<std::uint64_t> bad;
        int abort_after;
        int want;
        std::uint64_t found;
    } cases[] = {
        {"one bad unit", 8 * kMiB, 8 * kMiB, {8 * kMiB + 300 * 4096}, -1, 1, 8 * kMiB + 300 * 4096},
        {"two bad: the first", 0, kMiB, {40 * 4096, 200 * 4096}, -1, 1, 40 * 4096},
        {"last unit", 0, kMiB, {255 * 4096}, -1, 1, 255 * 4096},
        {"unaligned range", 5000, 3 * 4096, {8192}, -1, 1, 8192},
        {"odd unit count", 0, 3 * 4096, {2 * 4096}, -1, 1, 2 * 4096},
        {"did not repeat", 0, kMiB, {}, -1, 0, 0},
        {"aborted", 0, kMiB, {100 * 4096}, 3, 0, 0},
        {"nothing to test", 4096, 0, {0}, -1, 0, 0},
    };
    for (const auto& c : cases) {
        BisectDisk d;
        d.bad_units = c.bad;
        d.abort_after = c.abort_after;
        std::uint64_t found = 0;
        EXPECT_EQ(map_bisect_bad_unit(c.offset, c.length, BisectDisk::test, &d, &found), c.want)
            << c.name;
        if (c.want) {
            EXPECT_EQ(found, c.found) << c.name;
        }
        for (const auto& [off, len] : d.asked) {
            EXPECT_EQ(off % 4096, 0u) << c.name;
            EXPECT_EQ(len % 4096, 0u) << c.name;
        }
    }
    BisectDisk d;
    d.bad_units = {8 * kMiB - 4096};
    std::uint64_t found = 0;
    ASSERT_EQ(map_bisect_bad_unit(0, 8 * kMiB, BisectDisk::test, &d, &found), 1);
    EXPECT_LE(d.asked.size(), 2u * 11) << "about two tests per halving";
}

TEST(ProbeBadAdd, KeepsAThousandAndTwentyFourRanges) {
    ProbeTestRun run{ProbeTestDisk{}};
    for (int i = 0; i < kProbeBadMax + 5; ++i) probe_bad_add(i * 4096ull, 4096, i % 64, 'B', 0, 1);
    EXPECT_EQ(g_probe.bad_count, kProbeBadMax);
    const BadRange& last = g_probe.bad[kProbeBadMax - 1];
    EXPECT_EQ(last.offset, (kProbeBadMax - 1) * 4096ull);
    EXPECT_EQ(last.kind, nullptr);
    EXPECT_EQ(last.verify_tries, 0);
}

// ---- a drive that answers VERIFY ----

// Descriptor-format sense data, with an information descriptor holding the
// failing LBA when lba is not negative.
Bytes sense(int key, int asc, int ascq, std::int64_t lba = -1) {
    Bytes s = {0x72, std::uint8_t(key), std::uint8_t(asc), std::uint8_t(ascq), 0, 0, 0, 0};
    if (lba < 0) return s;
    s[7] = 12;
    for (int b : {0x00, 0x0A, 0x80, 0}) s.push_back(std::uint8_t(b));
    for (int i = 7; i >= 0; --i) s.push_back(std::uint8_t(lba >> (8 * i)));
    return s;
}

enum class Fault {
    kMedium,
    kMediumNoLba,
    kLink,
    kLinkWithLba,
    kTimeout,
    kUnsupported,
    kUnitAttention,
    kGone
};

// How a SCSI drive (sense key, ASC, ASCQ, LBA reported) and an NVMe drive
// (completion status) answer each fault; a time-out and ENODEV come apart.
constexpr struct {
    int key, asc, ascq;
    bool lba;
    int nvme_status;
} kFaultAnswer[] = {
    {0x3, 0x11, 0x04, true, 0x0281},  {0x3, 0x11, 0x00, false, 0x0281},
    {0xB, 0x47, 0x00, false, 0x0006}, {0xB, 0x47, 0x03, true, 0x0006},
    {0, 0, 0, false, 0x0006},         {0x5, 0x20, 0x00, false, 0x0001},
    {0x6, 0x29, 0x00, false, 0x0006}, {0, 0, 0, false, 0},
};

struct FaultRange {
    std::uint64_t first_lba, count;
    Fault fault;
    int times = -1;  // answers left with the fault; -1 always
};

struct Command {
    std::uint64_t lba;
    std::uint32_t blocks;
};

// A SATA or SAS drive behind SG_IO, or an NVMe namespace, whose faults lie on
// LBA ranges; each VERIFY takes latency_ms (of its LBA) on the fake clock.
class VerifyDrive {
   public:
    explicit VerifyDrive(FakeClock* clock, bool nvme = false) : clock_(clock), nvme_(nvme) {
        ioctl_.set_handler([this](const SentIoctl& s) { return answer(s); });
    }
    void add(FaultRange f) { faults_.push_back(f); }
    std::function<double(std::uint64_t lba)> latency_ms;
    std::function<void(const Command&)> on_command;
    int sg_version = 30000;
    bool nvme_verify = true;  // Identify Controller's ONCS bit 7
    const std::vector<Command>& commands() const { return commands_; }

   private:
    FakeAnswer answer(const SentIoctl& s) {
        FakeAnswer a;
        if (s.request == kSgGetVersionNum) a.version = sg_version;
        if (s.request == kNvmeIoctlId) a.rc = 1;
        if (s.request == kNvmeIoctlAdminCmd) {
            a.data.assign(4096, 0);
            a.data[520] = nvme_verify ? 0x80 : 0;
        }
        if (s.request != kSgIo && s.request != kNvmeIoctlIoCmd) return a;
        Command c{};
        if (nvme_) {
            c.lba = s.nvme.cdw10 | (std::uint64_t{s.nvme.cdw11} << 32);
            c.blocks = s.nvme.cdw12 + 1;
        } else {
            for (int i = 0; i < 8; ++i) c.lba = c.lba << 8 | s.cdb[2 + i];
            for (int i = 0; i < 4; ++i) c.blocks = c.blocks << 8 | s.cdb[10 + i];
        }
        commands_.push_back(c);
        if (latency_ms) clock_->advance_ms(latency_ms(c.lba));
        if (on_command) on_command(c);
        for (FaultRange& f : faults_) {
            if (f.times == 0 || f.first_lba >= c.lba + c.blocks || f.first_lba + f.count <= c.lba)
                continue;
            if (f.times > 0) --f.times;
            return fault_answer(f, std::max(f.first_lba, c.lba));
        }
        return a;
    }

    FakeAnswer fault_answer(const FaultRange& f, std::uint64_t lba) const {
        FakeAnswer a;
        const auto& k = kFaultAnswer[static_cast<int>(f.fault)];
        if (f.fault == Fault::kGone) {
            a.rc = -1;
            a.err = ENODEV;
        } else if (nvme_) {
            a.rc = k.nvme_status;
        } else if (f.fault == Fault::kTimeout) {
            a.host_status = 3;
        } else {
            a.status = 2;  // CHECK CONDITION, with the driver's sense flag
            a.driver_status = 0x08;
            a.sense = sense(k.key, k.asc, k.ascq, k.lba ? std::int64_t(lba) : -1);
        }
        return a;
    }

    FakeClock* clock_;
    bool nvme_;
    FakeIoctl ioctl_;
    std::vector<FaultRange> faults_;
    std::vector<Command> commands_;
};

// A sparse file of the disk's size for the READ paths, shorter when the
// test wants reads past its end to fail (0 bytes: code 3).
struct ReadFile {
    TempDir dir;
    UniqueFd fd;
    explicit ReadFile(std::uint64_t size) {
        const std::string path = dir.path() + "/disk.img";
        fd.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) fd.reset();
    }
};

ProbeTestDisk sata(std::uint64_t capacity, const std::string& mode = "full", int io_fd = -1) {
    ProbeTestDisk d;
    d.capacity = capacity;
    d.mode = mode;
    d.io_fd = io_fd;
    return d;
}

ProbeTestDisk nvme(std::uint64_t capacity, const std::string& mode = "full", int io_fd = 901) {
    ProbeTestDisk d = sata(capacity, mode, io_fd);
    d.name = "nvme0n1";
    d.nvme = true;
    d.rotational = false;
    return d;
}

void run_map() {
    probe_map_choose_method();
    probe_map_run();
}

int count_of(const std::string& codes, char c) {
    return static_cast<int>(std::count(codes.begin(), codes.end(), c));
}

TEST(ProbeMapChooseMethod, VerifyWhereTheDriveTakesIt) {
    const struct {
        const char* name;
        bool nvme;
        int sg_version;
        bool oncs_verify;
        const char* method;
        int read_fallback;
        bool logs;
    } cases[] = {
        {"SG v3", false, 30000, false, "verify", 0, false},
        {"old SG driver", false, 29999, false, "read", 1, true},
        {"NVMe with Verify", true, 0, true, "verify", 0, false},
        {"NVMe without Verify", true, 0, false, "read", 0, false},
    };
    for (const auto& c : cases) {
        FakeClock clock;
        ProbeTestRun run{c.nvme ? nvme(64 * kMiB) : sata(64 * kMiB)};
        VerifyDrive drive(&clock, c.nvme);
        drive.sg_version = c.sg_version;
        drive.nvme_verify = c.oncs_verify;
        CaptureStderr();
        probe_map_choose_method();
        const std::string log = GetCapturedStderr();
        EXPECT_STREQ(g_probe.method, c.method) << c.name;
        EXPECT_EQ(g_probe.read_fallback, c.read_fallback) << c.name;
        EXPECT_EQ(log.find("probe: /dev/sdt takes no SCSI commands, the map uses READ\n") !=
                      std::string::npos,
                  c.logs)
            << c.name;
        if (c.nvme && c.oncs_verify) {
            EXPECT_EQ(g_probe.nsid, 1u) << c.name;
        }
    }
}

TEST(ProbeMap, GradesEachCellByItsLatency) {
    FakeClock clock;
    ProbeTestRun run{sata(64 * kMiB)};
    VerifyDrive drive(&clock);
    // ms per MiB by cell: a b c d e f, then fast.
    const double ms[] = {5, 20, 40, 100, 300, 800};
    drive.latency_ms = [&](std::uint64_t lba) {
        const std::uint64_t cell = lba / 2048;
        return cell < 6 ? ms[cell] : 1.0;
    };
    run_map();
    EXPECT_EQ(run.codes(), "abcdef" + std::string(58, 'a'));
    EXPECT_EQ(g_probe.done, 64u);
    EXPECT_EQ(g_probe.slow_cells, 2);
    EXPECT_DOUBLE_EQ(g_probe.verify_mib, 64);
    EXPECT_DOUBLE_EQ(g_probe.map_ms, 5 + 20 + 40 + 100 + 300 + 800 + 58);
    EXPECT_EQ(g_probe.verify_ok_seen, 1);
    ASSERT_EQ(drive.commands().size(), 64u);
    for (std::size_t i = 0; i < 64; ++i) {
        EXPECT_EQ(drive.commands()[i].lba, i * 2048);
        EXPECT_EQ(drive.commands()[i].blocks, 2048u);
    }
    EXPECT_GT(g_probe.pace.map_end_ms, g_probe.pace.map_start_ms);
    g_probe.last_save_ms = 0;
    probe_state_save(0);
    EXPECT_THAT(run.state_file(), HasSubstr("\"codes\":\"abcdef" + std::string(58, 'a') + "\""));
}

TEST(ProbeMap, FullModeCoversTheRestOfTheDiskInTheLastCell) {
    FakeClock clock;
    ProbeTestRun run{sata(5 * kGiB + 3 * kMiB + 1000)};
    VerifyDrive drive(&clock);
    run_map();
    EXPECT_EQ(g_probe.done, 4096u);
    const Command& last = drive.commands().back();
    // The last cell starts at 4 GiB - 1 MiB and ends at the capacity rounded down to 4 KiB.
    const std::uint64_t end = (5 * kGiB + 3 * kMiB + 1000) / 4096 * 4096;
    EXPECT_EQ((last.lba + last.blocks) * 512, end);
    std::uint64_t covered = 0;
    for (const Command& c : drive.commands()) covered += c.blocks * 512ull;
    EXPECT_EQ(covered, end);
    EXPECT_NEAR(g_probe.verify_mib, static_cast<double>(end) / kMiB, 1e-9);
}

TEST(ProbeMap, QuickModeVerifiesOneSamplePerCell) {
    FakeClock clock;
    ProbeTestRun run{sata(32 * kGiB, "quick")};
    VerifyDrive drive(&clock);
    run_map();
    ASSERT_EQ(drive.commands().size(), 4096u);
    for (std::uint32_t i = 0; i < 4096; ++i) {
        const Command& c = drive.commands()[i];
        EXPECT_EQ(c.blocks, 2048u);
        EXPECT_EQ(c.lba * 512, i * 8 * kMiB + map_sample_offset(i, 8 * kMiB, kMiB));
    }
    EXPECT_DOUBLE_EQ(g_probe.verify_mib, 4096);
    EXPECT_EQ(g_probe.done, 4096u);
}

TEST(ProbeMap, FastCellsRewriteTheStateFileAboutFourTimesASecond) {
    FakeClock clock;
    ProbeTestRun run{sata(kGiB)};
    VerifyDrive drive(&clock);
    drive.latency_ms = [](std::uint64_t) { return 5.0; };
    // Every write renames a new file over the old one: a new inode.
    int writes = 0;
    ino_t seen = 0;
    drive.on_command = [&](const Command&) {
        struct stat st {};
        const ino_t ino = ::stat(g_probe.state_path, &st) == 0 ? st.st_ino : 0;
        writes += ino != seen ? 1 : 0;
        seen = ino;
    };
    const double t0 = clock.mono_ms();
    run_map();
    ASSERT_EQ(drive.commands().size(), 1024u);
    const double seconds = (clock.mono_ms() - t0) / 1000;
    EXPECT_LE(writes, 4 * seconds + 2);
    EXPECT_GE(writes, seconds) << "at least once a second all the same";
}

TEST(ProbeMap, AMediumErrorWithItsLbaResumesPastIt) {
    // 32 GiB: cells of 8 MiB, one full-mode command each. The drive reports a
    // bad LBA inside cell 5's quick sample (so inside its full command too).
    const std::uint64_t cell5 = 5 * 8 * kMiB;
    const std::uint64_t bad = cell5 + map_sample_offset(5, 8 * kMiB, kMiB) + 1000 * 512;
    const struct {
        const char* name;
        bool nvme;
        const char* mode;
        std::uint64_t offset, length;
        int exact;
        std::uint64_t next, next_length;  // the command after the failed one
    } cases[] = {
        // Full mode goes on past the bad block, from the next 64 KiB boundary.
        {"SATA full", false, "full", bad, 8 * kMiB, 1, (bad / 65536 + 1) * 65536,
         cell5 + 8 * kMiB - (bad / 65536 + 1) * 65536},
        {"NVMe full", true, "full", cell5, 8 * kMiB, 0, cell5 + 8 * kMiB, 8 * kMiB},
        // Quick mode: the failure ends the cell's one sample.
        {"SATA quick", false, "quick", bad, kMiB, 1,
         cell5 + 8 * kMiB + map_sample_offset(6, 8 * kMiB, kMiB), kMiB},
    };
    for (const auto& c : cases) {
        FakeClock clock;
        ProbeTestRun run{c.nvme ? nvme(32 * kGiB, c.mode) : sata(32 * kGiB, c.mode)};
        VerifyDrive drive(&clock, c.nvme);
        drive.add({bad / 512, 1, Fault::kMedium});
        run_map();
        ASSERT_EQ(g_probe.bad_count, 1) << c.name;
        const BadRange& b = g_probe.bad[0];
        EXPECT_EQ(std::vector<std::uint64_t>({b.offset, b.length, b.cell}),
                  std::vector<std::uint64_t>({c.offset, c.length, 5}))
            << c.name;
        EXPECT_EQ(b.lba_exact, c.exact) << c.name;
        EXPECT_EQ(b.code, 'B') << c.name;
        EXPECT_EQ(run.codes(), std::string(5, 'a') + "B" + std::string(4090, 'a')) << c.name;
        EXPECT_EQ(g_probe.done, 4096u) << c.name;
        std::size_t k = 0;
        while (drive.commands()[k].lba * 512 < cell5) ++k;
        const Command& next = drive.commands()[k + 1];
        EXPECT_EQ(next.lba * 512, c.next) << c.name;
        EXPECT_EQ(next.blocks * 512ull, c.next_length) << c.name;
    }
}

TEST(ProbeMap, AFaultyCommandGradesItsCell) {
    // One fault on the command of cell 3 (of 64 one-command cells).
    const struct {
        const char* name;
        Fault fault;
        int times;          // answers with the fault, -1 every one
        const char* state;  // device/state once the fault was answered
        char code;          // of cell 3
        int fatal;          // the rest of the map is '.' when set
        std::size_t sent;   // VERIFY commands
    } cases[] = {
        {"medium without LBA", Fault::kMediumNoLba, -1, nullptr, 'B', 0, 64},
        {"link", Fault::kLink, -1, nullptr, 'L', 0, 64},
        {"time-out", Fault::kTimeout, -1, nullptr, 'E', 0, 64},
        {"unsupported after a success", Fault::kUnsupported, -1, nullptr, 'E', 0, 64},
        {"one unit attention", Fault::kUnitAttention, 1, nullptr, 'a', 0, 65},
        {"two unit attentions", Fault::kUnitAttention, 2, nullptr, 'E', 0, 65},
        {"ENODEV", Fault::kGone, -1, nullptr, 'E', 1, 4},
        {"time-out, then offline", Fault::kTimeout, -1, "offline", 'E', 1, 4},
        {"time-out, then resetting", Fault::kTimeout, -1, "resetting", 'E', 0, 64},
    };
    for (const auto& c : cases) {
        FakeClock clock;
        ProbeTestRun run{sata(64 * kMiB)};
        VerifyDrive drive(&clock);
        drive.add({3 * 2048 + 7, 1, c.fault, c.times});
        if (c.state)
            drive.on_command = [&](const Command& cmd) {
                if (cmd.lba == 3 * 2048) run.set_device_state(c.state);
            };
        run_map();
        const std::string rest(60, c.fatal ? '.' : 'a');
        EXPECT_EQ(run.codes(), "aaa" + std::string(1, c.code) + rest) << c.name;
        EXPECT_EQ(g_probe.fatal, c.fatal) << c.name;
        EXPECT_EQ(g_probe.done, c.fatal ? 3u : 64u) << c.name;
        EXPECT_EQ(drive.commands().size(), c.sent) << c.name;
        EXPECT_STREQ(g_probe.method, "verify") << c.name;
        if (c.code == 'a') continue;
        ASSERT_EQ(g_probe.bad_count, 1) << c.name;
        const BadRange& b = g_probe.bad[0];
        EXPECT_EQ(std::vector<std::uint64_t>({b.offset, b.length, b.cell}),
                  std::vector<std::uint64_t>({3 * kMiB, kMiB, 3}))
            << c.name;
        EXPECT_EQ(b.code, c.code) << c.name;
        EXPECT_EQ(b.lba_exact + b.via_read, 0) << c.name;
    }
}

TEST(ProbeMap, AnUnsupportedVerifyRestartsTheMapByRead) {
    ReadFile file(64 * kMiB);
    FakeClock clock;
    ProbeTestRun run{sata(64 * kMiB, "full", file.fd.get())};
    VerifyDrive drive(&clock);
    drive.add({0, 2048 * 2, Fault::kTimeout});  // two failures first, then
    drive.add({2 * 2048, 1, Fault::kUnsupported});
    CaptureStderr();
    run_map();
    const std::string log = GetCapturedStderr();
    const std::string line = "probe: VERIFY is not supported by /dev/sdt, the map uses READ\n";
    ASSERT_THAT(log, HasSubstr(line));
    EXPECT_EQ(log.find(line), log.rfind(line)) << "logged once";
    EXPECT_EQ(drive.commands().size(), 3u) << "no VERIFY after the fallback";
    EXPECT_STREQ(g_probe.method, "read");
    EXPECT_EQ(g_probe.read_fallback, 1);
    EXPECT_EQ(run.codes(), std::string(64, 'a')) << "the VERIFY failures are forgotten";
    EXPECT_EQ(g_probe.bad_count, 0);
    EXPECT_EQ(g_probe.verify_errors, 0);
    EXPECT_EQ(g_probe.done, 64u);
    EXPECT_DOUBLE_EQ(g_probe.verify_mib, 64);
}

TEST(ProbeMap, SixteenErrorsLeaveACell) {
    FakeClock clock;
    ProbeTestRun run{sata(64 * kMiB)};
    VerifyDrive drive(&clock);
    // Bad blocks every 64 KiB of cell 2: each failure resumes at the next
    // 64 KiB boundary and fails again.
    drive.add({2 * 2048 + 3, 1, Fault::kLinkWithLba});
    for (int k = 1; k < 16; ++k) drive.add({2 * 2048 + k * 128u + 3, 1, Fault::kMedium});
    run_map();
    EXPECT_EQ(run.codes()[2], 'B') << "the worst of its errors";
    EXPECT_EQ(g_probe.done, 63u) << "the cell was left";
    EXPECT_EQ(g_probe.bad_count, 16);
    EXPECT_EQ(g_probe.bad[0].code, 'L');
    EXPECT_EQ(count_of(run.codes(), 'a'), 63);
}

TEST(ProbeMap, ThirtyTwoErrorsInARowEndTheMap) {
    FakeClock clock;
    ProbeTestRun run{sata(64 * kMiB)};
    VerifyDrive drive(&clock);
    drive.add({10 * 2048, 1, Fault::kMediumNoLba});  // a media error breaks the row
    drive.add({0, 64 * 2048, Fault::kTimeout});
    run_map();
    EXPECT_EQ(g_probe.too_many_errors, 1);
    EXPECT_EQ(run.codes(),
              std::string(10, 'E') + "B" + std::string(32, 'E') + std::string(21, '.'));
    EXPECT_EQ(g_probe.done, 42u) << "the cell that ended the map is not counted";
    EXPECT_EQ(g_probe.verify_errors, 43);
}

TEST(ProbeMap, AStopEndsTheMapWithoutCodingTheCellInHand) {
    FakeClock clock;
    ProbeTestRun run{sata(64 * kGiB)};  // cells of 16 MiB: two commands each
    VerifyDrive drive(&clock);
    drive.on_command = [](const Command& c) {
        if (c.lba == 5 * 32768) g_probe_stop = 1;
    };
    run_map();
    EXPECT_EQ(run.codes().substr(0, 6), "aaaaa.");
    EXPECT_EQ(g_probe.done, 5u);
    EXPECT_EQ(drive.commands().size(), 11u);
    EXPECT_DOUBLE_EQ(g_probe.verify_mib, 5 * 16 + 8) << "what was read still counts";
}

// ---- a thermal stop in each reading phase ----

// Temperatures by reading: the first `cool` readings 40 °C, then 60 °C for good.
struct HeatingDisk {
    FakeRun run;
    int reads = 0;
    explicit HeatingDisk(int cool) {
        g_probe.identified = 1;
        thermal_guard_init(&g_probe.thermal.guard, 55, 4, 5, 0.15);
        g_probe.thermal.poll_ms = 0;  // a reading before every command
        g_probe.thermal.next_poll = 0;
        run.set_handler([this, cool](const std::vector<std::string>&) {
            const int t = reads++ < cool ? 40 : 60;
            return FakeReply{0, "{\"temperature\":{\"current\":" + std::to_string(t) + "}}"};
        });
    }
};

TEST(ThermalStop, EndsWhicheverReadingPhaseItMeets) {
    REQUIRE_SMARTCTL_PATH();
    ReadFile file(64 * kMiB);
    {
        FakeClock clock;
        ProbeTestRun run{sata(64 * kMiB)};
        VerifyDrive drive(&clock);
        HeatingDisk heat(5);
        run_map();
        EXPECT_EQ(g_probe.thermal.thermal_stop, 1) << "map";
        EXPECT_EQ(g_probe.done, 5u) << "map";
        EXPECT_EQ(run.codes(), std::string(5, 'a') + std::string(59, '.')) << "map";
    }
    {
        FakeClock clock;
        ProbeTestRun run{sata(64 * kMiB, "full", file.fd.get())};
        HeatingDisk heat(7);
        probe_samples_run();
        EXPECT_EQ(g_probe.thermal.thermal_stop, 1) << "samples";
        EXPECT_EQ(g_probe.read_samples, 7) << "samples";
        EXPECT_STREQ(g_probe.phase, "read");
    }
    {
        FakeClock clock;
        ProbeTestRun run{sata(64 * kMiB, "full", file.fd.get())};
        VerifyDrive drive(&clock);
        str_copy(g_probe.method, sizeof g_probe.method, "verify");
        for (int i = 0; i < 4; ++i) probe_bad_add(i * 4 * kMiB, 4096, i * 4, 'B', 0, 1);
        HeatingDisk heat(6 + 6 + 3);  // two ranges of six tries, then three of the third
        probe_repeat_run();
        EXPECT_EQ(g_probe.thermal.thermal_stop, 1) << "repeat";
        EXPECT_STREQ(g_probe.bad[1].kind, "media");
        EXPECT_EQ(g_probe.bad[2].kind, nullptr) << "the range in hand is not classified";
        EXPECT_EQ(g_probe.bad[2].verify_tries, 3);
        EXPECT_EQ(g_probe.bad[2].read_tries, 0);
        EXPECT_STREQ(g_probe.phase, "repeat");
    }
}

// ---- READ samples ----

TEST(ProbeSamples, ReadsOneHundredTwentyEightSpreadOverTheDisk) {
    const std::uint64_t cap = 64 * kMiB + 512 * kKiB;
    ReadFile file(cap);
    FakeClock clock;
    ProbeTestRun run{sata(cap, "full", file.fd.get())};
    std::memset(g_probe.codes, 'a', g_probe.cells);
    probe_samples_run();
    EXPECT_EQ(g_probe.read_samples, 128);
    EXPECT_EQ(g_probe.read_errors, 0);
    EXPECT_EQ(run.codes(), std::string(64, 'a'));
    EXPECT_STREQ(g_probe.phase, "read");
}

TEST(ProbeSamples, AFailedSampleMarksItsCell) {
    // 5 GiB + 3 MiB: the last sample lies beyond the 4096 cells; a file that
    // ends 4 KiB short of its end fails it.
    const std::uint64_t cap = 5 * kGiB + 3 * kMiB;
    const std::uint64_t last = (cap - kMiB) / 127 * 127 / 4096 * 4096;
    ReadFile file(last + kMiB - 4096);
    FakeClock clock;
    ProbeTestRun run{sata(cap, "full", file.fd.get())};
    std::memset(g_probe.codes, 'a', g_probe.cells);
    probe_samples_run();
    EXPECT_EQ(g_probe.read_samples, 128);
    EXPECT_EQ(g_probe.read_errors, 1);
    EXPECT_EQ(run.codes(), std::string(4095, 'a') + "E");
    ASSERT_EQ(g_probe.bad_count, 1);
    const BadRange& b = g_probe.bad[0];
    EXPECT_EQ(b.offset, last);
    EXPECT_EQ(b.length, kMiB);
    EXPECT_EQ(b.cell, 4095u);
    EXPECT_EQ(b.code, 'E');
    EXPECT_EQ(b.via_read, 1);
    EXPECT_EQ(b.lba_exact, 0);
    EXPECT_EQ(g_probe.fatal, 0);
}

TEST(ProbeSamples, ADiskGoneAfterAFailedSampleEndsThem) {
    ReadFile file(16 * kMiB);  // samples beyond 16 MiB fail
    FakeClock clock;
    ProbeTestRun run{sata(64 * kMiB, "full", file.fd.get())};
    run.set_device_state("offline");
    probe_samples_run();
    EXPECT_EQ(g_probe.fatal, 1);
    EXPECT_EQ(g_probe.read_errors, 1);
    const std::uint64_t step = (64 * kMiB - kMiB) / 127;
    int readable = 0;
    while ((step * readable) / 4096 * 4096 + kMiB <= 16 * kMiB) ++readable;
    EXPECT_EQ(g_probe.read_samples, readable + 1) << "stopped at the first failure";
}

struct RangeCase {
    const char* name;
    bool nvme;
    const char* method;  // of the map
    char code;
    int via_read;
    Fault verify_fault;  // kGone stands for "VERIFY succeeds" here
    bool read_fails;     // the unit lies beyond the end of the READ file
    const char* kind;
    int confirmed;
    char final_code;
    const char* tries;  // verify_tries/fails/media read_tries/fails
};

TEST(ProbeRepeat, ClassifiesEachRangeByHowItFailsAgain) {
    const Fault ok = Fault::kGone;
    const RangeCase cases[] = {
        {"VERIFY B, fails again", false, "verify", 'B', 0, Fault::kMedium, false, "media", 1, 'B',
         "3/3/3 3/0"},
        {"VERIFY B, passes", false, "verify", 'B', 0, ok, false, "media", 0, 'B', "3/0/0 3/0"},
        {"VERIFY L", false, "verify", 'L', 0, ok, false, "link", 0, 'L', "3/0/0 3/0"},
        {"VERIFY E", false, "verify", 'E', 0, Fault::kTimeout, false, "other", 0, 'E', "3/3/0 3/0"},
        {"READ E, VERIFY passes (SATA)", false, "verify", 'E', 1, ok, true, "link", 0, 'L',
         "3/0/0 3/3"},
        {"READ E, VERIFY medium", false, "verify", 'E', 1, Fault::kMedium, true, "media", 1, 'B',
         "3/3/3 3/3"},
        {"READ E, VERIFY times out", false, "verify", 'E', 1, Fault::kTimeout, true, "other", 0,
         'E', "3/3/0 3/3"},
        {"READ E, VERIFY passes (NVMe)", true, "verify", 'E', 1, ok, true, "other", 0, 'E',
         "3/0/0 3/3"},
        {"READ map, NVMe, READ fails", true, "read", 'E', 1, ok, true, "media", 1, 'B',
         "0/0/0 3/3"},
        {"READ map, NVMe, READ passes", true, "read", 'E', 1, ok, false, "other", 0, 'E',
         "0/0/0 3/0"},
        {"READ map, SATA, READ fails", false, "read", 'E', 1, ok, true, "other", 0, 'E',
         "0/0/0 3/3"},
    };
    for (const RangeCase& c : cases) {
        const std::uint64_t unit = 40 * kMiB + 12 * 4096;
        ReadFile file(c.read_fails ? unit : 64 * kMiB);
        FakeClock clock;
        ProbeTestRun run{c.nvme ? nvme(64 * kMiB, "full", file.fd.get())
                                : sata(64 * kMiB, "full", file.fd.get())};
        VerifyDrive drive(&clock, c.nvme);
        if (c.verify_fault != ok) drive.add({unit / 512, 8, c.verify_fault});
        str_copy(g_probe.method, sizeof g_probe.method, c.method);
        g_probe.nsid = 1;
        std::memset(g_probe.codes, 'a', g_probe.cells);
        g_probe.codes[40] = c.code;
        probe_bad_add(unit, 4096, 40, c.code, c.via_read, 1);
        probe_repeat_run();
        const BadRange& b = g_probe.bad[0];
        ASSERT_NE(b.kind, nullptr) << c.name;
        EXPECT_STREQ(b.kind, c.kind) << c.name;
        EXPECT_EQ(b.confirmed, c.confirmed) << c.name;
        EXPECT_EQ(b.code, c.final_code) << c.name;
        EXPECT_EQ(run.codes()[40], c.final_code) << c.name;
        char tries[40];
        std::snprintf(tries, sizeof tries, "%d/%d/%d %d/%d", b.verify_tries, b.verify_fails,
                      b.verify_media, b.read_tries, b.read_fails);
        EXPECT_STREQ(tries, c.tries) << c.name;
        for (const Command& cmd : drive.commands()) {
            EXPECT_EQ(cmd.lba * 512, unit) << c.name;
            EXPECT_EQ(cmd.blocks, 8u) << c.name;
        }
        EXPECT_STREQ(g_probe.phase, "repeat") << c.name;
    }
}

TEST(ProbeRepeat, NarrowsAMediumRangeByVerify) {
    FakeClock clock;
    ReadFile file(64 * kMiB);
    ProbeTestRun run{sata(64 * kMiB, "full", file.fd.get())};
    VerifyDrive drive(&clock);
    const std::uint64_t bad = 4 * kMiB + 300 * 1024 + 512;  // inside unit 4 MiB + 300 KiB
    drive.add({bad / 512, 1, Fault::kMediumNoLba});
    str_copy(g_probe.method, sizeof g_probe.method, "verify");
    probe_bad_add(4 * kMiB, kMiB, 4, 'B', 0, 0);
    probe_repeat_run();
    const BadRange& b = g_probe.bad[0];
    EXPECT_EQ(b.offset, 4 * kMiB + 300 * 1024);
    EXPECT_EQ(b.length, kMiB) << "the length is kept";
    EXPECT_STREQ(b.kind, "media");
    EXPECT_EQ(b.confirmed, 1);
    EXPECT_EQ(b.verify_media, 3);
    const Command& last = drive.commands().back();
    EXPECT_EQ(last.lba * 512, 4 * kMiB + 300 * 1024);
    EXPECT_EQ(last.blocks, 8u);
}

TEST(ProbeRepeat, ItsPhaseIsInTheFileWhileItsFirstCommandBlocks) {
    FakeClock clock;
    ProbeTestRun run{sata(64 * kMiB)};
    VerifyDrive drive(&clock);
    str_copy(g_probe.method, sizeof g_probe.method, "verify");
    probe_bad_add(0, 4096, 0, 'B', 0, 1);
    probe_state_save(0);  // the map's last write, a moment ago
    std::string phase;
    drive.on_command = [&](const Command&) {
        if (phase.empty()) phase = json_get(run.state_file(), "phase");
    };
    probe_repeat_run();
    EXPECT_EQ(phase, "repeat");
}

TEST(ProbeRepeat, TakesTheFirst256RangesWithinTenMinutes) {
    const struct {
        const char* name;
        int ranges;
        double ms_per_verify;
        int classified;
    } cases[] = {
        {"count", 300, 0, 256},
        // Thirty seconds a range: the 21st starts at exactly 600 s, the 22nd after.
        {"time", 300, 10000, 21},
    };
    for (const auto& c : cases) {
        FakeClock clock;
        ReadFile file(64 * kMiB);
        ProbeTestRun run{sata(64 * kMiB, "full", file.fd.get())};
        VerifyDrive drive(&clock);
        drive.latency_ms = [&](std::uint64_t) { return c.ms_per_verify; };
        str_copy(g_probe.method, sizeof g_probe.method, "verify");
        for (int i = 0; i < c.ranges; ++i) probe_bad_add(i * 8192ull, 4096, 0, 'B', 0, 1);
        probe_repeat_run();
        int classified = 0;
        for (int i = 0; i < g_probe.bad_count; ++i) classified += g_probe.bad[i].kind != nullptr;
        EXPECT_EQ(classified, c.classified) << c.name;
        EXPECT_NE(g_probe.bad[c.classified - 1].kind, nullptr) << c.name;
        EXPECT_EQ(g_probe.bad[c.classified].kind, nullptr) << c.name;
    }
}

TEST(ProbeRepeat, ALostDiskEndsThePassAfterTheRangeInHand) {
    FakeClock clock;
    ReadFile file(64 * kMiB);
    ProbeTestRun run{sata(64 * kMiB, "full", file.fd.get())};
    VerifyDrive drive(&clock);
    drive.add({0, 8, Fault::kGone});
    str_copy(g_probe.method, sizeof g_probe.method, "verify");
    probe_bad_add(0, 4096, 0, 'B', 0, 1);
    probe_bad_add(8192, 4096, 0, 'B', 0, 1);
    probe_repeat_run();
    EXPECT_EQ(g_probe.fatal, 1);
    EXPECT_EQ(g_probe.bad[0].verify_tries, 3) << "a lost disk does not cut the tries short";
    EXPECT_EQ(g_probe.bad[0].read_tries, 3);
    EXPECT_NE(g_probe.bad[0].kind, nullptr);
    EXPECT_EQ(g_probe.bad[1].kind, nullptr);
}

}  // namespace
