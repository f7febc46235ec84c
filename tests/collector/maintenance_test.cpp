// forget, prune and status in process: failures that must not look like
// success, and the status line's escaping. Their ordinary answers are tested
// end to end.
#include "collector/maintenance.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "core/db.h"
#include "core/paths.h"
#include "core/util.h"
#include "tests/support/fake_collector.h"
#include "tests/support/lock_holder.h"
#include "tests/support/sqlite_file.h"

namespace {

constexpr const char* kTables[] = {"disks",        "readings", "readings_latest", "events",
                                   "slot_history", "alerts",   "rule_state",      "polls"};

std::string counts(const FakeCollector& fc) {
    std::string out;
    for (const char* t : kTables) out += fc.value(std::string("SELECT COUNT(*) FROM ") + t) + " ";
    return out;
}

// Two disks with readings, events, bays and alerts.
void two_disks(FakeCollector& fc) {
    fc.add({.dev = "sda", .serial = "KEEP", .slot = 1},
           ata_reply({{5, "Reallocated_Sector_Ct", 3}}));
    fc.add({.dev = "sdb", .serial = "GO1", .slot = 2},
           ata_reply({{5, "Reallocated_Sector_Ct", 4}}));
    fc.poll();
}

std::string captured_err(int* rc, int (*fn)(const char*), const char* arg) {
    testing::internal::CaptureStderr();
    *rc = fn(arg);
    return testing::internal::GetCapturedStderr();
}

// A database held by another writer beyond the time-out: exit 1, nothing
// deleted, no "forgot disk".
TEST(Maintenance, BusyDatabaseIsAFailure) {
    FakeCollector fc;
    two_disks(fc);
    const std::string before = counts(fc);
    sqlite3_busy_timeout(g_db, 50);
    LockHolder other(sql_write_lock(fc.db()), -1);
    ASSERT_TRUE(other.held());
    int rc = 0;
    const std::string err = captured_err(&rc, cmd_forget, "GO1");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(err.find("forgot disk"), std::string::npos) << err;
    testing::internal::CaptureStderr();
    EXPECT_EQ(cmd_prune(), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("prune:"), std::string::npos);
    other.release();
    EXPECT_EQ(counts(fc), before);
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM meta WHERE key='last_prune_ts'"), "0");
}

TEST(Maintenance, StatusLine) {
    FakeCollector fc;
    testing::internal::CaptureStdout();
    cmd_status();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "{\"collector\":\"ok\",\"db\":\"" + fc.db() +
                  "\",\"version\":\"1.0\",\"counts\":{\"disks\":0,\"polls\":0,\"readings\":0,"
                  "\"events\":0,\"alerts\":0,\"unpushed\":0},\"last_poll\":0}\n");
    two_disks(fc);
    str_copy(g_db_path, sizeof g_db_path, "/a\"b\\c");  // printed, not opened
    testing::internal::CaptureStdout();
    cmd_status();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "{\"collector\":\"ok\",\"db\":\"/a\\\"b\\\\c\",\"version\":\"1.0\",\"counts\":{"
              "\"disks\":2,\"polls\":1,\"readings\":2,\"events\":2,\"alerts\":2,\"unpushed\":2},"
              "\"last_poll\":" +
                  std::to_string(kFakeStart) + "}\n");
}

}  // namespace
