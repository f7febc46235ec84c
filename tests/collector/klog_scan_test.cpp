// The kernel-log scan: which lines are new, what is stored, which disks they
// count for and which events follow; over ring-buffer images, over whole
// kernel logs of a real kernel, and over this machine's own kernel log.
#include "collector/klog_scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "collector/klog.h"
#include "core/db.h"
#include "core/paths.h"
#include "core/strbuf.h"
#include "core/util.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_disk.h"
#include "tests/support/fake_nas.h"
#include "tests/support/sqlite_file.h"
#include "tests/support/temp_dir.h"

namespace {

struct Row {
    std::string boot_id;
    bool has_mono;
    double mono_ts;
    std::int64_t wall_ts;
    std::int64_t poll_id;  // 0 for NULL
    std::string line;
};

struct Event {
    std::int64_t disk_id;
    std::int64_t poll_id;
    std::string type;
    std::string detail;
    bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
    return os << "{" << e.disk_id << "," << e.poll_id << "," << e.type << "," << e.detail << "}";
}

std::string detail(long long lines, const std::string& dev, const std::string& sample) {
    StrBuf sb;
    (void)sb_printf(&sb, "{\"lines\":%lld,\"dev\":", lines);
    sb_append_json_str(&sb, dev.c_str());
    sb_append_str(&sb, ",\"sample\":");
    sb_append_json_str(&sb, sample.c_str());
    sb_append_str(&sb, "}");
    return sb.c_str();
}

KlogTarget target(std::int64_t disk_id, const char* dev, const char* port = "",
                  const char* nvme = "") {
    KlogTarget t;
    std::memset(&t, 0, sizeof t);
    t.disk_id = disk_id;
    str_copy(t.dev, sizeof t.dev, dev);
    str_copy(t.ata_port, sizeof t.ata_port, port);
    str_copy(t.nvme_ctrl, sizeof t.nvme_ctrl, nvme);
    return t;
}

// A row of sql_rows cut into n columns; the last one keeps any "|" it holds.
std::vector<std::string> split_columns(const std::string& row, std::size_t n) {
    std::vector<std::string> cols;
    std::size_t start = 0;
    while (cols.size() + 1 < n) {
        const std::size_t bar = row.find('|', start);
        cols.push_back(row.substr(start, bar - start));
        start = bar == std::string::npos ? row.size() : bar + 1;
    }
    cols.push_back(row.substr(start));
    return cols;
}

class KlogScan : public ::testing::Test {
   protected:
    void SetUp() override {
        str_copy(g_db_path, sizeof g_db_path, path().c_str());
        ASSERT_EQ(db_open(1), 0);
        meta_set("boot_id", "boot-1");
    }
    void TearDown() override { db_close(); }

    void scan(std::int64_t poll_id, std::vector<KlogTarget>& targets, std::string text) {
        StrBuf buf;
        ASSERT_EQ(sb_append(&buf, text.data(), text.size()), 0);
        ASSERT_EQ(db_exec("BEGIN IMMEDIATE"), 0);
        klog_scan_text(poll_id, targets.data(), static_cast<int>(targets.size()), buf.data,
                       buf.len);
        ASSERT_EQ(db_exec("COMMIT"), 0);
    }

    // What the scan wrote, read back through a connection of the test's own.
    std::vector<Row> rows(const std::string& where = "1") {
        std::vector<Row> out;
        for (const std::string& r :
             sql_rows(path(),
                      "SELECT boot_id,mono_ts IS NOT NULL,COALESCE(mono_ts,-1),wall_ts,"
                      "COALESCE(poll_id,0),line FROM dmesg_lines WHERE " +
                          where + " ORDER BY id")) {
            const std::vector<std::string> c = split_columns(r, 6);
            out.push_back(
                {c[0], c[1] == "1", std::stod(c[2]), std::stoll(c[3]), std::stoll(c[4]), c[5]});
        }
        return out;
    }

    std::vector<std::string> lines(const std::string& where = "1") {
        std::vector<std::string> out;
        for (const Row& r : rows(where)) out.push_back(r.line);
        return out;
    }

    std::vector<Event> events(const std::string& where = "1") {
        std::vector<Event> out;
        for (const std::string& r : sql_rows(
                 path(),
                 "SELECT COALESCE(disk_id,0),COALESCE(poll_id,0),type,detail FROM events WHERE " +
                     where + " ORDER BY event_id")) {
            const std::vector<std::string> c = split_columns(r, 4);
            out.push_back({std::stoll(c[0]), std::stoll(c[1]), c[2], c[3]});
        }
        return out;
    }

    std::string meta(const char* key) {
        return sql_value(path(), std::string("SELECT value FROM meta WHERE key='") + key + "'");
    }
    std::int64_t meta_count() { return std::stoll(meta("dmesg_count")); }

    std::string path() const { return dir.path() + "/corvantis.db"; }

    TempDir dir;
};

// Lines "[ <secs>] line <n>" for n in [from, to].
std::string stamped_lines(int from, int to) {
    std::string text;
    for (int i = from; i <= to; ++i)
        text += "[" + std::to_string(i) + ".500000] line " + std::to_string(i) + "\n";
    return text;
}

TEST_F(KlogScan, StampRuleTakesLinesAboveTheMarkAndTheirUnstampedFollowers) {
    meta_set("dmesg_last_ts", "100.000000");
    meta_set_int("dmesg_count", 7);
    std::vector<KlogTarget> none;
    scan(5, none,
         "no stamp first\n"
         "<6>[   99.500000] old\n"
         "<6>[  100.000000] equal\n"
         "unstamped after old\n"
         "<6>[  100.250000] new\n"
         "unstamped after new\n"
         "[ 0.5] older stamp again\n"
         "continued\n");
    const std::vector<Row> r = rows();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].line, "new");
    EXPECT_TRUE(r[0].has_mono);
    EXPECT_DOUBLE_EQ(r[0].mono_ts, 100.25);
    EXPECT_EQ(r[1].line, "unstamped after new");
    EXPECT_FALSE(r[1].has_mono);
    for (const Row& row : r) {
        EXPECT_EQ(row.boot_id, "boot-1");
        EXPECT_EQ(row.poll_id, 5);
        EXPECT_LE(std::abs(row.wall_ts - static_cast<std::int64_t>(time(nullptr))), 5);
    }
    EXPECT_EQ(meta("dmesg_last_ts"), "100.250000");
    EXPECT_EQ(meta_count(), 8);
}

TEST_F(KlogScan, IndexRuleAfterABootAndAWrappedRing) {
    struct Case {
        std::int64_t count;
        std::string text;
        std::vector<std::string> want;
        std::int64_t count_after;
        std::string last_ts_after;
    } cases[] = {
        {40,
         stamped_lines(1, 45),
         {"line 41", "line 42", "line 43", "line 44", "line 45"},
         45,
         "45.500000"},
        // Empty lines are not lines.
        {2, "\n[1.0] a\n\n\n[2.0] b\n\nc\n\n", {"c"}, 3, "2.000000"},
        {0, "[3.0] a\nb", {"a", "b"}, 2, "3.000000"},
        // The ring wrapped: fewer lines than last time, none new.
        {50, stamped_lines(1, 45), {}, 45, "45.500000"},
        // No stamps at all: the mark stays empty.
        {1, "x\ny\n", {"y"}, 2, ""},
    };
    std::int64_t poll = 0;
    for (const Case& c : cases) {
        ASSERT_EQ(db_exec("DELETE FROM dmesg_lines"), 0);
        meta_set("dmesg_last_ts", "");
        meta_set_int("dmesg_count", c.count);
        std::vector<KlogTarget> none;
        scan(++poll, none, c.text);
        EXPECT_EQ(lines(), c.want) << c.text;
        EXPECT_EQ(meta_count(), c.count_after) << c.text;
        EXPECT_EQ(meta("dmesg_last_ts"), c.last_ts_after) << c.text;
    }
}

TEST_F(KlogScan, StoresTheTextAndCountsItForTheDisksItNames) {
    meta_set("dmesg_last_ts", "1.000000");
    std::vector<KlogTarget> t = {
        target(1, "sda", "ata1"),          target(2, "sdab"),
        target(3, "nvme0n1", "", "nvme0"), target(0, "sdc"),  // inert
        target(4, "sdd", "ata10"),
    };
    scan(9, t,
         "<3>[   12.345678] sd 2:0:0:0: [sda] tag#1 Sense Key : Medium Error [current]\n"
         "<3>[   12.400000] ata1.00: error: { UNC }\n"
         "<3>[   12.500000] ata1: hard resetting link\n"
         "<3>[   12.600000] sda1: Unrecovered read error on partition\n"
         "<3>[   12.700000] critical medium error, dev nvme0n1, sector 8\n"
         "<3>[   12.800000] nvme0: SError in the controller\n"
         "<3>[   12.900000] sd 3:0:0:0: [sdc] Medium Error\n"
         "<6>[   13.000000] sd 0:0:0:0: [sda] Attached SCSI disk\n"
         "<3>[   13.100000] ata1.00: error: { UNCORRECTABLE }\n");
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "sd 2:0:0:0: [sda] tag#1 Sense Key : Medium Error [current]",
                           "ata1.00: error: { UNC }",
                           "ata1: hard resetting link",
                           "sda1: Unrecovered read error on partition",
                           "critical medium error, dev nvme0n1, sector 8",
                           "nvme0: SError in the controller",
                           "sd 3:0:0:0: [sdc] Medium Error",
                           "sd 0:0:0:0: [sda] Attached SCSI disk",
                           "ata1.00: error: { UNCORRECTABLE }",
                       }));
    EXPECT_DOUBLE_EQ(rows()[0].mono_ts, 12.345678);
    EXPECT_EQ(t[0].media_count, 3);
    EXPECT_EQ(t[0].link_count, 1);
    EXPECT_EQ(t[1].media_count + t[1].link_count, 0);
    EXPECT_EQ(t[3].media_count + t[3].link_count, 0);
    EXPECT_EQ(t[4].media_count + t[4].link_count, 0);  // ata10 is not ata1
    EXPECT_EQ(events(),
              (std::vector<Event>{
                  {1, 9, "read_error",
                   detail(3, "sda", "sd 2:0:0:0: [sda] tag#1 Sense Key : Medium Error [current]")},
                  {1, 9, "link_error", detail(1, "sda", "ata1: hard resetting link")},
                  {3, 9, "read_error",
                   detail(1, "nvme0n1", "critical medium error, dev nvme0n1, sector 8")},
                  {3, 9, "link_error", detail(1, "nvme0n1", "nvme0: SError in the controller")},
              }));
    EXPECT_EQ(meta("dmesg_last_ts"), "13.100000");
    EXPECT_EQ(meta_count(), 9);
}

// Stored lines and events carry the program clock's time, so a test can set it.
TEST_F(KlogScan, WallTimeComesFromTheProgramClock) {
    FakeClock clock(1700000123);
    std::vector<KlogTarget> t = {target(3, "sda")};
    scan(7, t, "[ 5.000000] ata1: sda: Medium Error\n");
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows()[0].wall_ts, 1700000123);
    EXPECT_EQ(sql_value(path(), "SELECT ts FROM events"), "1700000123");
}

TEST_F(KlogScan, NothingHappensWithoutText) {
    meta_set("dmesg_last_ts", "5.000000");
    meta_set_int("dmesg_count", 3);
    std::vector<KlogTarget> t = {target(1, "sda")};
    scan(1, t, "");
    EXPECT_TRUE(rows().empty());
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(meta("dmesg_last_ts"), "5.000000");
    EXPECT_EQ(meta_count(), 3);
}

TEST_F(KlogScan, EdgesOfStampsIdsAndStoredText) {
    meta_set("dmesg_last_ts", "");
    meta_set_int("dmesg_count", 0);
    std::vector<KlogTarget> t = {target(7, "sda")};
    scan(0, t,
         "[    0.000000] Linux version\n"
         "<6>[drm] a bracketed tag with stamps off\n"
         "[inf] sda Medium Error\n");
    const std::vector<Row> r = rows();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_FALSE(r[0].has_mono) << "only stamps above 0 are stored";
    EXPECT_EQ(r[1].line, "[drm] a bracketed tag with stamps off");
    EXPECT_FALSE(r[2].has_mono);
    EXPECT_EQ(r[2].line, "[inf] sda Medium Error");
    for (const Row& row : r) EXPECT_EQ(row.poll_id, 0) << "poll id 0 is stored as NULL";
    EXPECT_EQ(meta("dmesg_last_ts"), "0.000000");
    EXPECT_EQ(
        events(),
        (std::vector<Event>{{7, 0, "read_error", detail(1, "sda", "[inf] sda Medium Error")}}));
}

TEST_F(KlogScan, GarbageMarkTakesEveryStampedLineOnce) {
    meta_set("dmesg_last_ts", "garbage");
    std::vector<KlogTarget> none;
    scan(1, none, "[1.0] a\n[2.0] b\n");
    EXPECT_EQ(lines(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(meta("dmesg_last_ts"), "2.000000");
    scan(2, none, "[1.0] a\n[2.0] b\n[3.0] c\n");
    EXPECT_EQ(lines("poll_id=2"), (std::vector<std::string>{"c"}));
}

TEST_F(KlogScan, LongAndBinaryLines) {
    meta_set("dmesg_last_ts", "0.5");
    std::vector<KlogTarget> t = {target(1, "sda"), target(2, "sdb"), target(3, "sdc")};
    const std::string long_tail(300000, 'z');
    // 157 ASCII bytes, then a 3-byte character across the 159-byte cut.
    const std::string utf8_line =
        "sdb Medium Error " + std::string(140, 'y') + "\xE2\x82\xAC" + "tail";
    const std::string binary_line = std::string("sdc \x01\x7f\xff\xfe Medium Error \"quoted\" \\");
    scan(3, t,
         "[1.0] sda Medium Error " + long_tail + "\n[1.1] " + utf8_line + "\n[1.2] " + binary_line +
             "\n");
    const std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], "sda Medium Error " + long_tail);
    EXPECT_EQ(got[1], utf8_line);
    EXPECT_EQ(got[2], binary_line);
    EXPECT_EQ(std::strlen(t[0].media_first), 159u);
    EXPECT_EQ(std::string(t[1].media_first), utf8_line.substr(0, 157));
    EXPECT_EQ(std::string(t[2].media_first), binary_line);
    const std::vector<Event> e = events();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].detail, detail(1, "sda", ("sda Medium Error " + long_tail).substr(0, 159)));
    EXPECT_EQ(e[1].detail, detail(1, "sdb", utf8_line.substr(0, 157)));
    EXPECT_EQ(e[2].detail,
              "{\"lines\":1,\"dev\":\"sdc\",\"sample\":\"sdc \\u0001\x7f\xff\xfe Medium Error "
              "\\\"quoted\\\" \\\\\"}");
}

TEST_F(KlogScan, LinesAreNotStoredWhenTheTableIsGoneButTheScanGoesOn) {
    ASSERT_EQ(db_exec("DROP TABLE dmesg_lines"), 0);
    std::vector<KlogTarget> t = {target(1, "sda")};
    scan(1, t, "[5.0] sd 0:0:0:0: [sda] Sense Key : Medium Error\n");
    EXPECT_EQ(meta("dmesg_last_ts"), "5.000000");
    EXPECT_EQ(meta_count(), 1);
    EXPECT_EQ(events().size(), 1u);
}

// A whole kernel log of a real kernel, taken as the first scan of its boot,
// with the emulated machine's disks as targets.
TEST_F(KlogScan, RealKernelLogOfReadErrors) {
    const std::string text = test_data_file("kernel-log/read-errors-enodata.txt");
    ASSERT_FALSE(text.empty());
    std::vector<KlogTarget> t = {
        target(1, "sda", "ata1"),
        target(2, "sdb"),
        target(3, "sdc"),
        target(4, "nvme0n1", "", "nvme0"),
    };
    scan(1, t, text);
    EXPECT_EQ(rows().size(), 607u);
    EXPECT_EQ(meta_count(), 607);
    EXPECT_EQ(meta("dmesg_last_ts"), "30.228571");
    EXPECT_EQ(
        events(),
        (std::vector<Event>{
            {2, 1, "read_error",
             detail(3, "sdb", "sd 12:0:0:0: [sdb] tag#9 Sense Key : Medium Error [current] ")},
            {3, 1, "read_error",
             detail(3, "sdc", "sd 13:0:0:0: [sdc] tag#94 Sense Key : Medium Error [current] ")},
            {4, 1, "read_error",
             detail(1, "nvme0n1",
                    "critical medium error, dev nvme0n1, sector 150000 op 0x0:(READ) flags 0x800 "
                    "phys_seg 1 "
                    "prio class 2")},
        }));
    // The same log again, with the kernel's next lines: only those are new.
    std::vector<KlogTarget> t2 = {target(1, "sda", "ata1")};
    scan(2, t2, text + "[   31.000000] ata1: hard resetting link\n");
    EXPECT_EQ(lines("poll_id=2"), std::vector<std::string>{"ata1: hard resetting link"});
    EXPECT_EQ(
        events("poll_id=2"),
        (std::vector<Event>{{1, 2, "link_error", detail(1, "sda", "ata1: hard resetting link")}}));
}

// ---- This machine's kernel log, through klogctl and /dev/kmsg ----

// Writes one line into the kernel log. Each write opens /dev/kmsg afresh: the
// kernel rate-limits writers per open file.
bool kmsg_write(const std::string& line) {
    const int fd = ::open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // Without its newline the record stays open for a continuation, and
    // readers of the ring do not see it until the next record arrives.
    const std::string record = line + "\n";
    const bool ok =
        ::write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
    ::close(fd);
    return ok;
}

std::string letters(unsigned v) {
    std::string s;
    do {
        s += static_cast<char>('a' + v % 26);
        v /= 26;
    } while (v);
    return s;
}

TEST(KlogReadAll, ReadsTheRingWithALineJustWritten) {
    if (::geteuid() != 0) GTEST_SKIP() << "the kernel log needs root";
    const std::string mark = "corvantis-read-" + std::to_string(::getpid()) + "-" +
                             std::to_string(std::random_device{}());
    ASSERT_TRUE(kmsg_write("<6>" + mark));
    StrBuf ring;
    sb_append_str(&ring, "kept:");
    const std::int64_t n = klog_read_all(&ring);
    ASSERT_GT(n, 0);
    EXPECT_EQ(ring.len, static_cast<std::uint64_t>(n) + 5);
    EXPECT_EQ(std::strncmp(ring.data, "kept:", 5), 0);
    const char* at = std::strstr(ring.data, mark.c_str());
    ASSERT_NE(at, nullptr);
    // The line carries a priority and a stamp before the text.
    const char* start = at;
    while (start > ring.data && start[-1] != '\n') --start;
    const std::string line(start, at + mark.size());
    EXPECT_GT(klog_line_timestamp(line.c_str()), 0.0) << line;
    EXPECT_STREQ(klog_line_strip_prefix(line.c_str()), mark.c_str());
    // Reading does not clear the ring.
    StrBuf again;
    ASSERT_GT(klog_read_all(&again), 0);
    EXPECT_NE(std::strstr(again.data, mark.c_str()), nullptr);
}

class KlogScanKernel : public KlogScan {
   protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the kernel log needs root";
        KlogScan::SetUp();
        // Names no other test or disk uses, so that the lines other writers
        // add to the shared log meanwhile never count for these targets.
        const unsigned salt = std::random_device{}() % 1000000000u;
        dev = "sdq" + letters(salt);
        port = "ata" + std::to_string(salt);
        nvme_ctrl = "nvme" + std::to_string(salt);
        nvme_dev = nvme_ctrl + "n1";
        mark = "cvt-" + std::to_string(::getpid()) + "-" + std::to_string(salt);
        targets = {
            target(11, dev.c_str(), port.c_str()),
            target(12, nvme_dev.c_str(), "", nvme_ctrl.c_str()),
            target(0, dev.c_str()),
        };
    }

    void scan_kernel(std::int64_t poll_id) {
        for (KlogTarget& t : targets) {
            t.media_count = t.link_count = 0;
            t.media_first[0] = t.link_first[0] = '\0';
        }
        ASSERT_EQ(db_exec("BEGIN IMMEDIATE"), 0);
        klog_scan(poll_id, targets.data(), static_cast<int>(targets.size()));
        ASSERT_EQ(db_exec("COMMIT"), 0);
    }

    std::vector<std::string> marked(std::int64_t poll_id) {
        const std::string where =
            "poll_id=" + std::to_string(poll_id) + " AND instr(line,'" + mark + "')>0";
        return lines(where.c_str());
    }

    std::string dev, port, nvme_ctrl, nvme_dev, mark;
    std::vector<KlogTarget> targets;
};

TEST_F(KlogScanKernel, NewLinesOfTheRealLogAreStoredAndCounted) {
    // First scan of a boot: every line of the ring is new.
    scan_kernel(1);
    const std::int64_t first = static_cast<std::int64_t>(rows().size());
    EXPECT_GT(first, 0);
    EXPECT_EQ(meta_count(), first);
    const std::string last_ts = meta("dmesg_last_ts");
    ASSERT_FALSE(last_ts.empty());
    EXPECT_TRUE(events().empty());

    const std::vector<std::string> written = {
        "sd 2:0:0:0: [" + dev + "] tag#1 Sense Key : Medium Error [current] " + mark,
        port + ".00: error: { UNC } " + mark,
        port + ": hard resetting link " + mark,
        "critical medium error, dev " + nvme_dev + ", sector 150000 op 0x0:(READ) " + mark,
        nvme_ctrl + ": I/O 12 QID 3 timeout, reset controller " + mark,
        "sd 2:0:0:0: [" + dev + "ab] Sense Key : Medium Error " + mark,
        dev + ": unknown partition table " + mark,
    };
    for (const std::string& line : written) ASSERT_TRUE(kmsg_write("<3>" + line));
    scan_kernel(2);
    EXPECT_EQ(marked(2), written);
    for (const Row& r : rows("instr(line,'" + mark + "')>0")) {
        EXPECT_TRUE(r.has_mono);
        EXPECT_GT(r.mono_ts, std::stod(last_ts));
        EXPECT_EQ(r.boot_id, "boot-1");
    }
    EXPECT_GE(std::stod(meta("dmesg_last_ts")), std::stod(last_ts));
    EXPECT_EQ(events(), (std::vector<Event>{
                            {11, 2, "read_error", detail(2, dev, written[0])},
                            {11, 2, "link_error", detail(1, dev, written[2])},
                            {12, 2, "read_error", detail(1, nvme_dev, written[3])},
                        }));

    // Nothing new of ours: nothing stored or counted twice.
    scan_kernel(3);
    EXPECT_TRUE(marked(3).empty());
    EXPECT_TRUE(events("poll_id=3").empty());
}

// After a reboot the poll clears the stamp mark, and lines are new by index.
// The count is set a little back from the ring's end: on a full ring every
// line that other writers add meanwhile pushes old ones out.
TEST_F(KlogScanKernel, IndexRuleOnTheRealLog) {
    StrBuf ring;
    ASSERT_GT(klog_read_all(&ring), 0);
    std::int64_t count = 0;
    std::uint64_t pos = 0;
    while (klog_next_line(ring.data, ring.len, &pos)) ++count;
    const std::int64_t known = count > 50 ? count - 50 : 0;
    meta_set("dmesg_last_ts", "");
    meta_set_int("dmesg_count", known);
    const std::string line = port + ": SATA link down " + mark;
    ASSERT_TRUE(kmsg_write("<3>" + line));
    scan_kernel(4);
    EXPECT_EQ(marked(4), std::vector<std::string>{line});
    EXPECT_EQ(static_cast<std::int64_t>(rows().size()), meta_count() - known);
    EXPECT_EQ(events(), (std::vector<Event>{{11, 4, "link_error", detail(1, dev, line)}}));
}

// The same rule below a root folder of the test's own, whose name would look
// like a port, a host and a controller if it were read as part of the path.
TEST(KlogTargetInit, BelowARootFolder) {
    TempDir dir;
    const std::string root = dir.path() + "/0000:00:01.0/ata9";
    const FakeDiskRoot tree = fake_disk_root(root);
    fake_disk_add(tree, {.dev = "sdb", .serial = "S1", .host = 4});
    fake_disk_add(tree, {.dev = "sdc", .bus = FakeBus::kSas, .serial = "S2", .host = 13});
    fake_disk_add(tree, {.dev = "nvme1n1", .bus = FakeBus::kNvme, .serial = "S3"});
    const struct {
        const char* dev;
        const char* port;
        const char* nvme;
        bool has_ctrl;
    } cases[] = {
        {"sdb", "ata5", "", true},
        {"sdc", "", "", true},
        {"nvme1n1", "", "nvme1", true},
        {"sdz", "", "", false},
    };
    for (const auto& c : cases) {
        KlogTarget t;
        klog_target_init_under(root.c_str(), &t, 9, c.dev);
        EXPECT_EQ(t.disk_id, 9);
        EXPECT_STREQ(t.ata_port, c.port) << c.dev;
        EXPECT_STREQ(t.nvme_ctrl, c.nvme) << c.dev;
        EXPECT_EQ(t.ctrl_pci[0] != '\0', c.has_ctrl) << c.dev;
        EXPECT_STRNE(t.ctrl_pci, "0000:00:01.0") << c.dev;
    }
}

// klog_target_init over a fake /sys/block whose device links lead into a
// tree laid out like the real sysfs of a SATA, a SAS and an NVMe disk.
TEST(KlogTargetInit, FromTheDeviceLinksOfSysBlock) {
    REQUIRE_FAKE_NAS();
    FakeNas nas;
    const std::string devices = nas.base() + "/devices/pci0000:00";
    const std::string sata = devices + "/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0";
    const std::string sas =
        devices + "/0000:00:05.0/host13/port-13:0/end_device-13:0/target13:0:0/13:0:0:0";
    const std::string nvme = devices + "/0000:00:04.0/nvme/nvme0";
    for (const std::string& d : {sata, sas, nvme}) make_dirs(d);
    nas.put_symlink("/sys/block/sda/device", sata);
    nas.put_symlink("/sys/block/sdc/device", sas);
    nas.put_symlink("/sys/block/nvme0n1/device", nvme);
    nas.put_symlink("/sys/block/nvme1234567890123n1/device", nvme);
    nas.make_dir("/sys/block/loop0");
    const RunResult r = nas.run_function([](std::string& out) {
        for (const char* dev :
             {"sda", "sdc", "nvme0n1", "nvme1234567890123n1", "loop0", "missing"}) {
            KlogTarget t;
            std::memset(&t, 0x5a, sizeof t);
            klog_target_init(&t, 42, dev);
            const bool cleared =
                t.media_count == 0 && t.link_count == 0 && !t.media_first[0] && !t.link_first[0];
            out += std::to_string(t.disk_id) + " " + t.dev + " port=" + t.ata_port +
                   " nvme=" + t.nvme_ctrl + " ctrl=" + t.ctrl_pci +
                   (cleared ? "" : " not-cleared") + "\n";
        }
        return 0;
    });
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out,
              "42 sda port=ata3 nvme= ctrl=0000:00:17.0\n"
              "42 sdc port= nvme= ctrl=0000:00:05.0\n"
              "42 nvme0n1 port= nvme=nvme0 ctrl=0000:00:04.0\n"
              "42 nvme1234567890123n1 port= nvme= ctrl=0000:00:04.0\n"
              "42 loop0 port= nvme= ctrl=\n"
              "42 missing port= nvme= ctrl=\n");
}

}  // namespace
