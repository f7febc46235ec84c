// The result row of a surface test on real SQLite files, and the check that a
// process id belongs to the test of a serial, over a fake /proc.
#include "surface_test/probe_result.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "core/db.h"
#include "core/paths.h"
#include "core/unique_fd.h"
#include "core/util.h"
#include "surface_test/probe_state.h"
#include "tests/support/fake_nas.h"
#include "tests/support/lock_holder.h"
#include "tests/support/sqlite_file.h"
#include "tests/support/temp_dir.h"

namespace {

class ProbeRecord : public ::testing::Test {
   protected:
    void SetUp() override {
        str_copy(g_var_dir, sizeof g_var_dir, dir_.path().c_str());
        str_copy(g_db_path, sizeof g_db_path, db().c_str());
    }
    void TearDown() override { db_close(); }
    std::string db() const { return dir_.path() + "/corvantis.db"; }
    std::int64_t record(const char* serial, const char* wwn, const char* verdict) {
        return probe_db_record(serial, wwn, "full", "done", verdict, 100, 200, "{\"v\":1}");
    }
    TempDir dir_;
};

TEST_F(ProbeRecord, MissingDatabaseIsCreatedWithTheRowAndItsEvent) {
    testing::internal::CaptureStderr();
    const std::int64_t id = record("ZX\"1", "", nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(id, 1);
    EXPECT_EQ(g_db, nullptr) << "the connection is closed again";
    EXPECT_EQ(sql_rows(db(), "SELECT * FROM probes"),
              std::vector<std::string>{"1|NULL|ZX\"1|NULL|full|done|NULL|100|200|{\"v\":1}"});
    EXPECT_EQ(sql_rows(db(), "SELECT disk_id, poll_id, type, detail FROM events"),
              std::vector<std::string>{
                  "NULL|NULL|probe_done|{\"probe_id\":1,\"serial\":\"ZX\\\"1\",\"mode\":\"full\","
                  "\"status\":\"done\",\"verdict\":null}"});
    EXPECT_EQ(sql_value(db(), "SELECT count(*) FROM sqlite_master WHERE name='disks'"), "1");
}

TEST_F(ProbeRecord, FindsTheDiskBySerialIgnoringCaseElseByWwn) {
    sql_exec(db(),
             "CREATE TABLE disks(disk_id INTEGER PRIMARY KEY, serial TEXT, wwn TEXT, last_seen_ts "
             "INTEGER);INSERT INTO disks VALUES(7,'ABC','5000c500aa',1),(9,'OTHER','5000c500bb',1);"
             "CREATE TABLE events(event_id INTEGER PRIMARY KEY, ts INTEGER, disk_id INTEGER, "
             "poll_id INTEGER, type TEXT, detail TEXT);");
    EXPECT_EQ(record("abc", "5000c500bb", "good"), 1);
    EXPECT_EQ(record("NONE", "5000C500BB", "bad"), 2);
    EXPECT_EQ(record("NONE", "", "link"), 3);
    EXPECT_EQ(sql_rows(db(), "SELECT probe_id, disk_id, wwn, verdict FROM probes"),
              (std::vector<std::string>{"1|7|5000c500bb|good", "2|9|5000C500BB|bad",
                                        "3|NULL|NULL|link"}));
    EXPECT_EQ(sql_rows(db(), "SELECT disk_id FROM events ORDER BY event_id"),
              (std::vector<std::string>{"7", "9", "NULL"}));
    // The older database gained the table and its index.
    EXPECT_EQ(sql_value(db(), "SELECT count(*) FROM sqlite_master WHERE name='probes_serial'"),
              "1");
}

// Whatever keeps the row out, the caller learns it from the id 0 and the log.
TEST_F(ProbeRecord, UnusableDatabasesStoreNothing) {
    const std::string corrupt(4096, 'Z');
    write_file(db(), corrupt);
    testing::internal::CaptureStderr();
    EXPECT_EQ(record("S1", "", "good"), 0);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("probe: cannot open " + db() + ", result kept in the state file only"),
              std::string::npos)
        << log;
    EXPECT_EQ(read_file(db()), corrupt);
    EXPECT_EQ(g_db, nullptr);

    str_copy(g_db_path, sizeof g_db_path, (dir_.path() + "/missing/corvantis.db").c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(record("S1", "", "good"), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("result kept in the state file only"),
              std::string::npos);

    // A probes table that refuses the row, and one of another shape.
    str_copy(g_db_path, sizeof g_db_path, db().c_str());
    ::unlink(db().c_str());
    sql_exec(db(),
             "CREATE TABLE probes(probe_id INTEGER PRIMARY KEY,disk_id,serial CHECK(serial<>'S1'),"
             "wwn,mode,status,verdict,started_ts,finished_ts,result_json)");
    testing::internal::CaptureStderr();
    EXPECT_EQ(record("S1", "", "good"), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("probe: insert failed: CHECK"),
              std::string::npos);
    ::unlink(db().c_str());
    sql_exec(db(), "CREATE TABLE probes(probe_id INTEGER PRIMARY KEY, serial TEXT)");
    EXPECT_EQ(record("S1", "", "good"), 0);
    EXPECT_EQ(sql_value(db(), "SELECT count(*) FROM probes"), "0");
}

// A poll holding the database makes the result wait, not fail.
TEST_F(ProbeRecord, BusyDatabaseIsWaitedFor) {
    ASSERT_EQ(record("S1", "", "good"), 1);
    LockHolder poll(sql_exclusive_lock(db()), 1500);
    ASSERT_TRUE(poll.held());
    EXPECT_EQ(record("S1", "", "bad"), 2);
    EXPECT_EQ(sql_value(db(), "SELECT verdict FROM probes WHERE probe_id=2"), "bad");
}

// Root writes through file modes: the directory is made read-only by a
// read-only mount in a child's private mount namespace.
TEST_F(ProbeRecord, ReadOnlyDataDirectoryStoresNothing) {
    REQUIRE_FAKE_NAS();
    ASSERT_EQ(record("S1", "", "good"), 1);
    const std::string dir = dir_.path();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0) ::_exit(10);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(11);
        if (::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) ::_exit(12);
        if (::mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            ::_exit(13);
        ::_exit(static_cast<int>(record("S1", "", "good")) + 100);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 100);
    EXPECT_EQ(sql_value(db(), "SELECT count(*) FROM probes"), "1");
}

class ProbePid : public ::testing::Test {
   protected:
    void SetUp() override { g_probe_root = root_.path().c_str(); }
    void TearDown() override { g_probe_root = ""; }
    void cmdline(int pid, const std::string& args) {
        write_file(root_.path() + "/proc/" + std::to_string(pid) + "/cmdline", args);
    }
    TempDir root_;
};

TEST_F(ProbePid, MatchesOnlyATestOfThatSerial) {
    using namespace std::string_literals;
    const struct {
        const char* name;
        std::string args;
        int expected;
    } cases[] = {
        {"detached start", "/usr/app/qorm/corvantisd\0probe\0--serial\0ABC\0--json\0"s, 1},
        {"longer program name", "./corvantisd-cli\0probe\0--mode\0full\0--serial\0ABC\0"s, 1},
        {"serial in other case", "corvantisd\0probe\0--serial\0abc\0--json\0"s, 0},
        {"last word --serial", "corvantisd\0probe\0--json\0--serial\0"s, 0},
        {"serial as command word", "corvantisd\0--serial\0ABC\0probe\0"s, 0},
        {"other command", "corvantisd\0probe-ui\0--serial\0ABC\0"s, 0},
        {"other program", "/bin/sleep\0probe\0--serial\0ABC\0"s, 0},
        {"directory named corvantisd", "/corvantisd/x\0probe\0--serial\0ABC\0"s, 0},
        {"three arguments", "corvantisd\0probe\0--serial\0"s, 0},
        {"no terminator", "corvantisd\0probe\0--serial\0ABC"s, 1},
        {"empty", ""s, 0},
        {"beyond 32 arguments",
         "corvantisd\0probe\0"s +
             [] {
                 std::string s;
                 for (int i = 0; i < 30; ++i) s += "x"s + '\0';
                 return s;
             }() +
             "--serial\0ABC\0"s,
         0},
        {"over 64 KiB", "corvantisd\0probe\0--serial\0ABC\0"s + std::string(65536, 'x'), 0},
    };
    int pid = 100;
    for (const auto& c : cases) {
        cmdline(++pid, c.args);
        EXPECT_EQ(probe_pid_is_probe(pid, "ABC"), c.expected) << c.name;
    }
    EXPECT_EQ(probe_pid_is_probe(99999, "ABC"), 0) << "no such process";
}

// The signal itself, with /proc faked so that any process may pass for the test.
TEST_F(ProbePid, ProbeStopSignalsTheTestItFound) {
    TempDir data;
    str_copy(g_var_dir, sizeof g_var_dir, data.path().c_str());
    make_dirs(data.path() + "/probe");
    UniqueFd lock(
        ::open((data.path() + "/probe/ABC.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(::flock(lock.get(), LOCK_EX | LOCK_NB), 0);
    auto stop = [] {
        testing::internal::CaptureStdout();
        const int code = cmd_probe_stop("ABC");
        return std::to_string(code) + " " + testing::internal::GetCapturedStdout();
    };
    using namespace std::string_literals;
    const pid_t child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    cmdline(child, "corvantisd\0probe\0--serial\0ABC\0"s);
    write_file(data.path() + "/probe/ABC.json", "{\"v\":1,\"pid\":" + std::to_string(child) + "}");
    EXPECT_EQ(stop(), "0 {\"ok\":true,\"pid\":" + std::to_string(child) + "}\n");
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    // The same pid once the process is gone: the signal fails.
    EXPECT_EQ(stop(),
              "1 {\"ok\":false,\"error\":\"kill\",\"pid\":" + std::to_string(child) + "}\n");
}

}  // namespace
