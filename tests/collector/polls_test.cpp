// Polls in process over a fake machine: tick's choice between an hourly, an
// adaptive and no poll, the time budget, dump's serial filter, reboots, the
// kernel-log scan and the weekly prune. The poll lock and a busy database are
// tested end to end.
#include "collector/polls.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "core/db.h"
#include "tests/support/fake_collector.h"
#include "tests/support/fake_nas.h"
#include "tests/support/full_disk_vfs.h"
#include "tests/support/sqlite_file.h"

namespace {

FakeDisk sata(int i) {
    const std::string n = std::to_string(i);
    return FakeDisk{.dev = std::string("sd") + static_cast<char>('a' + i),
                    .serial = "S" + n,
                    .model = "M" + n,
                    .firmware = "F1",
                    .slot = i};
}

std::string realloc_reply(long long n) {
    return ata_reply({{5, "Reallocated_Sector_Ct", n}});
}

std::vector<std::string> polls(const FakeCollector& fc) {
    return fc.rows("SELECT kind,on_time,status,disks_seen FROM polls ORDER BY poll_id");
}

TEST(Polls, TickChoosesHourlyAdaptiveOrNothing) {
    FakeCollector fc;
    fc.add(sata(0), realloc_reply(0));
    // A step back in time is a clock set back: the last poll's end lies ahead.
    struct Step {
        std::int64_t after_s;
        long long realloc;
        const char* expect;  // the kind of the newest poll after this tick, "" none new
    } steps[] = {
        {0, 0, "hourly"},     {600, 0, ""},        {3000, 0, "hourly"},   {3600, 0, "hourly"},
        {3600, 0, "hourly"},  {3600, 7, "hourly"}, {900, 7, "adaptive"},  {600, 7, ""},
        {300, 7, "adaptive"}, {7200, 7, "hourly"}, {1200, 7, "adaptive"}, {-300, 7, "adaptive"},
        {3600, 7, "hourly"},  {200, 7, ""},  // the rise is now more than three hours old
    };
    size_t count = 0;
    for (const Step& s : steps) {
        fc.clock.set_now(fc.clock.now() + s.after_s);
        fc.reply("sda", realloc_reply(s.realloc));
        EXPECT_EQ(cmd_tick(), 0);
        const auto now = polls(fc);
        if (*s.expect) ++count;
        ASSERT_EQ(now.size(), count) << "at +" << s.after_s;
        if (*s.expect) {
            EXPECT_EQ(now.back().substr(0, now.back().find('|')), s.expect);
        }
        tick_lock_release();
    }
    // A disk that turned unreadable makes the next ticks poll again for a while.
    fc.reply("sda", "");
    fc.clock.set_now(fc.clock.now() - fc.clock.now() % 3600 + 3600 + 100);
    cmd_tick();
    tick_lock_release();
    fc.clock.advance_ms(900e3);
    cmd_tick();
    tick_lock_release();
    EXPECT_EQ(polls(fc).back(), "adaptive|1|ok|1");
}

TEST(Polls, HourlyPollIsOnTimeInItsFirstQuarterHour) {
    for (const auto& [offset, on_time] : {std::pair{899, "1"}, std::pair{900, "0"}}) {
        FakeCollector fc;
        fc.clock.set_now(kFakeStart - 300 + offset);
        cmd_tick();
        EXPECT_EQ(fc.value("SELECT on_time FROM polls"), on_time);
    }
}

// SIGALRM ends the poll after the disk in hand; the rest is committed.
TEST(Polls, BudgetEndsThePollWithTheDisksDone) {
    FakeCollector fc;
    for (int i = 0; i < 5; ++i) fc.add(sata(i), realloc_reply(0));
    fc.poll();
    fc.klog = "<3>[  5.000000] sd 2:0:0:0: [sdd] tag#1 Sense Key : Medium Error\n";
    int n = 0;
    fc.before_smartctl = [&n](const std::vector<std::string>&) {
        if (++n == 3) ::raise(SIGALRM);
    };
    testing::internal::CaptureStderr();
    EXPECT_EQ(cmd_dump(nullptr), 0);
    EXPECT_NE(
        testing::internal::GetCapturedStderr().find("timeout \xE2\x80\x94 committing partial"),
        std::string::npos);
    EXPECT_EQ(polls(fc).back(), "manual|1|partial|3");
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM events WHERE type='disappear'"), "0");
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM events WHERE type='read_error'"), "1");
}

TEST(Polls, DumpSerialFilter) {
    struct Case {
        const char* filter;
        const char* seen;
    } cases[] = {{"s1", "0"}, {"S1", "1"}, {"", "3"}};
    for (const Case& c : cases) {
        FakeCollector fc;
        for (int i = 0; i < 3; ++i) fc.add(sata(i), realloc_reply(0));
        fc.add(FakeDisk{.dev = "sdz", .serial = "GONE"}, realloc_reply(0));
        fc.poll();
        fc.remove("sdz");
        fc.clock.advance_ms(60e3);
        fc.poll("manual", c.filter);
        EXPECT_EQ(polls(fc).back(), std::string("manual|1|ok|") + c.seen) << c.filter;
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM events WHERE type='disappear'"), "0");
    }
}

// A disk pulled within the second of the poll that last saw it is gone for
// the poll its removal sets off, in that same second.
TEST(Polls, DiskPulledWithinTheSecondOfItsLastPollIsGone) {
    FakeCollector fc;
    fc.add(sata(0), realloc_reply(0));
    fc.add(sata(1), realloc_reply(0));
    fc.poll("hotswap");
    fc.remove("sdb");
    fc.poll("hotswap");  // the fake clock has not moved: the same second
    EXPECT_EQ(fc.rows("SELECT serial,present FROM disks ORDER BY serial"),
              (std::vector<std::string>{"S0|1", "S1|0"}));
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM events WHERE type='disappear'"), "1");
}

// Readings without their poll, attributes stored twice under one poll id,
// and latest values that are not the newest reading: "0|0|0" when none.
constexpr char kPollFaults[] =
    "SELECT (SELECT COUNT(*) FROM readings WHERE poll_id NOT IN (SELECT poll_id FROM polls)),"
    "(SELECT COUNT(*) FROM (SELECT 1 FROM readings GROUP BY poll_id,disk_id,ns,attr_name "
    "HAVING COUNT(*)>1)),"
    "(SELECT COUNT(*) FROM readings_latest L WHERE L.value_raw IS NOT (SELECT R.value_raw FROM "
    "readings R WHERE R.disk_id=L.disk_id AND R.ns=L.ns AND R.attr_name=L.attr_name ORDER BY "
    "R.id DESC LIMIT 1))";

// The disk fills up at each write of a poll in turn: the poll fails with
// SQLite's own reason and leaves the database file byte for byte as it was,
// and the next poll, with room again, is stored whole.
TEST(Polls, APollThatFailsAtAnyWriteStoresNothingOfIt) {
    FullDiskVfs disk;
    FakeCollector fc;
    auto counts = [](long long n) {
        return ata_reply({{5, "Reallocated_Sector_Ct", n},
                          {197, "Current_Pending_Sector", n},
                          {199, "UDMA_CRC_Error_Count", n}});
    };
    auto dump = [](std::string* log) {
        testing::internal::CaptureStderr();
        const int rc = cmd_dump(nullptr);
        *log = testing::internal::GetCapturedStderr();
        tick_lock_release();
        return rc;
    };
    for (int i = 0; i < 3; ++i) fc.add(sata(i), counts(0));
    ASSERT_EQ(fc.poll(), 1);
    // Until the failing write comes after the poll's commit.
    int n = 0;
    for (int rc = 1; rc != 0;) {
        ASSERT_LT(++n, 1000);
        fc.clock.advance_ms(3600e3);
        for (int i = 0; i < 3; ++i) fc.reply(sata(i).dev, counts(n));
        fc.klog += "<3>[" + std::to_string(n) + ".000000] sd 2:0:0:0: [sdb] Medium Error\n";
        const std::string before = read_file(fc.db());
        std::string log;
        disk.fail_write(n);
        rc = dump(&log);
        disk.fail_write(0);
        ASSERT_EQ(fc.value("PRAGMA integrity_check"), "ok") << "write " << n;
        if (rc != 0) {
            EXPECT_TRUE(read_file(fc.db()) == before) << "write " << n << " left part of the poll";
            EXPECT_NE(log.find("SQL error: database or disk is full"), std::string::npos) << log;
            EXPECT_EQ(log.find(" poll #"), std::string::npos) << "announced as stored: " << log;
            ASSERT_EQ(dump(&log), 0) << log;
        }
        EXPECT_EQ(fc.rows(kPollFaults), std::vector<std::string>{"0|0|0"}) << "write " << n;
        // One stored poll per round, each kernel-log line once, and the newest
        // poll with all its readings.
        EXPECT_EQ(
            fc.rows("SELECT (SELECT COUNT(*) FROM polls),(SELECT COUNT(*) FROM dmesg_lines),"
                    "COUNT(*),P.rows_written FROM readings R JOIN polls P USING(poll_id) "
                    "WHERE P.poll_id=(SELECT MAX(poll_id) FROM polls)"),
            std::vector<std::string>{std::to_string(n + 1) + "|" + std::to_string(n) + "|9|9"})
            << "write " << n;
    }
    EXPECT_GT(n, 1) << "no write of the poll failed";
}

TEST(Polls, RebootRestartsTheKernelLogBookkeeping) {
    FakeCollector fc;
    write_file(fc.root() + "/proc/sys/kernel/random/boot_id", "boot-1\n");
    fc.klog = "<6>[    1.000000] first line\n<6>[    2.000000] second line\n";
    fc.poll();
    fc.poll("hourly");
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM dmesg_lines"), "2");
    write_file(fc.root() + "/proc/sys/kernel/random/boot_id", "boot-2\n");
    fc.klog = "<6>[    0.500000] after the reboot\n";
    fc.poll("adaptive");  // no scan, but the boot is noticed
    fc.poll("manual");
    EXPECT_EQ(fc.rows("SELECT boot_id,line FROM dmesg_lines ORDER BY id"),
              (std::vector<std::string>{"boot-1|first line", "boot-1|second line",
                                        "boot-2|after the reboot"}));
    EXPECT_EQ(fc.rows("SELECT poll_id,disk_id FROM events WHERE type='boot_detected'"),
              (std::vector<std::string>{"1|NULL", "3|NULL"}));
}

TEST(Polls, WeeklyPrune) {
    FakeCollector fc;
    const std::int64_t old = kFakeStart - 31 * 86400;
    sql_exec(fc.db(), "INSERT INTO dmesg_lines(boot_id,wall_ts,line) VALUES('b'," +
                          std::to_string(old) + ",'old'),('b'," + std::to_string(kFakeStart) +
                          ",'new')");
    sql_exec(fc.db(), "INSERT INTO meta VALUES('last_prune_ts','" +
                          std::to_string(kFakeStart - 604800) + "')");
    cmd_tick();
    tick_lock_release();
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM dmesg_lines"), "2");  // exactly a week: not yet
    fc.clock.advance_ms(1000);
    cmd_tick();
    EXPECT_EQ(fc.rows("SELECT line FROM dmesg_lines"), std::vector<std::string>{"new"});
    EXPECT_EQ(fc.value("SELECT value FROM meta WHERE key='last_prune_ts'"),
              std::to_string(kFakeStart + 1));
    // The clock set back a year: the last prune lies ahead, and the week is over.
    tick_lock_release();
    fc.clock.set_now(kFakeStart - 365 * 86400);
    cmd_tick();
    EXPECT_EQ(fc.value("SELECT value FROM meta WHERE key='last_prune_ts'"),
              std::to_string(kFakeStart - 365 * 86400));
    // A damaged stamp at the far past is long past too, not a wrap below zero.
    tick_lock_release();
    sql_exec(fc.db(), "UPDATE meta SET value='-9223372036854775807' WHERE key='last_prune_ts'");
    cmd_tick();
    EXPECT_EQ(fc.value("SELECT value FROM meta WHERE key='last_prune_ts'"),
              std::to_string(kFakeStart - 365 * 86400));
}

}  // namespace
