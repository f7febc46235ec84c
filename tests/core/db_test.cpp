// The database layer in process, on real SQLite files: opening, the stamps,
// the meta table, the journal writers, the disk lookup, and separate
// processes that write at once.
#include "core/db.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/paths.h"
#include "core/util.h"
#include "tests/support/fake_nas.h"
#include "tests/support/lock_holder.h"
#include "tests/support/sqlite_file.h"
#include "tests/support/temp_dir.h"

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The exit code of a child process, -1 when it died of a signal.
int wait_code(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs body in a child process and gives its exit code.
template <typename F>
int in_child(F body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    return wait_code(pid);
}

class DbTest : public ::testing::Test {
   protected:
    void SetUp() override {
        path_ = dir_.path() + "/corvantis.db";
        str_copy(g_db_path, sizeof g_db_path, path_.c_str());
    }
    void TearDown() override { db_close(); }
    const std::string& path() const { return path_; }

    TempDir dir_;
    std::string path_;
};

TEST_F(DbTest, CreatingOpenSetsTheConnectionUpAndStampsTheFile) {
    const std::int64_t before = std::time(nullptr);
    ASSERT_EQ(db_open(1), 0);
    ASSERT_NE(g_db, nullptr);
    const std::int64_t after = std::time(nullptr);
    DbStmt sync("PRAGMA synchronous");
    ASSERT_EQ(sync.step(), SQLITE_ROW);
    EXPECT_EQ(sync.col_int(0), 2);  // FULL
    DbStmt busy("PRAGMA busy_timeout");
    ASSERT_EQ(busy.step(), SQLITE_ROW);
    EXPECT_EQ(busy.col_int(0), 10000);
    const std::int64_t created = meta_get_int("schema_created_ts", 0);
    EXPECT_GE(created, before);
    EXPECT_LE(created, after);
    char version[8] = "x";
    meta_get_str("version", version, sizeof version);
    EXPECT_STREQ(version, "1.0");
}

TEST_F(DbTest, UserVersionIsSetOnlyWhenNotPositive) {
    const struct {
        int stored;
        const char* want;
    } cases[] = {{0, "1"}, {-3, "1"}, {1, "1"}, {5, "5"}};
    for (const auto& c : cases) {
        ::unlink(path().c_str());
        ASSERT_EQ(sql_exec(path(), "PRAGMA user_version=" + std::to_string(c.stored)), "");
        ASSERT_EQ(db_open(1), 0);
        db_close();
        EXPECT_EQ(sql_value(path(), "PRAGMA user_version"), c.want) << c.stored;
    }
}

TEST_F(DbTest, OpenWithoutCreationNeedsTheFileAndWritesNoSchema) {
    EXPECT_EQ(db_open(0), -1);
    EXPECT_EQ(g_db, nullptr);
    EXPECT_FALSE(exists(path()));

    ASSERT_EQ(sql_exec(path(), "CREATE TABLE other(x)"), "");
    ASSERT_EQ(db_open(0), 0);
    db_close();
    EXPECT_EQ(sql_value(path(), "SELECT group_concat(name) FROM sqlite_master"), "other");
}

// Every failed open leaves the process without a connection, so a caller
// that retries (the hot-swap watch) leaks nothing; the leak checker of the
// test build sees any handle that was dropped instead of closed.
TEST_F(DbTest, FailedOpensLeaveNoConnection) {
    const std::string folder = dir_.path() + "/folder.db";
    ::mkdir(folder.c_str(), 0755);
    const std::string missing_dir = dir_.path() + "/no/such/dir/corvantis.db";
    const std::string corrupt = dir_.path() + "/corrupt.db";
    write_file(corrupt, std::string(4096, 'Z'));
    const struct {
        const std::string* path;
        int create;
    } cases[] = {{&folder, 0}, {&folder, 1}, {&missing_dir, 1}, {&missing_dir, 0}, {&corrupt, 1}};
    for (const auto& c : cases) {
        str_copy(g_db_path, sizeof g_db_path, c.path->c_str());
        EXPECT_EQ(db_open(c.create), -1) << *c.path << " create " << c.create;
        EXPECT_EQ(g_db, nullptr) << *c.path;
    }
    EXPECT_EQ(read_file(corrupt), std::string(4096, 'Z'));
    EXPECT_FALSE(exists(dir_.path() + "/no"));
}

// Opening a database whose schema is current writes nothing, so it needs no
// write lock: it answers at once while another process holds one.
TEST_F(DbTest, OpeningACurrentDatabaseWritesNothing) {
    ASSERT_EQ(db_open(1), 0);
    const std::int64_t created = meta_get_int("schema_created_ts", 0);
    db_close();
    const std::string before = read_file(path());
    {
        LockHolder poll(sql_write_lock(path()), -1);
        ASSERT_TRUE(poll.held());
        ASSERT_EQ(db_open(1), 0) << "a write would have waited out the busy time-out";
        EXPECT_EQ(meta_get_int("schema_created_ts", 0), created);
        DbStmt sync("PRAGMA synchronous");
        ASSERT_EQ(sync.step(), SQLITE_ROW);
        EXPECT_EQ(sync.col_int(0), 2);
    }
    db_close();
    EXPECT_EQ(read_file(path()), before);
}

// What is missing from a database is added, and only that.
TEST_F(DbTest, IncompleteDatabaseGetsWhatIsMissing) {
    ASSERT_EQ(db_open(1), 0);
    const std::string full = sql_value(path(), "SELECT count(*) FROM sqlite_master");
    db_close();
    const struct {
        const char* what;
        const char* damage;
    } cases[] = {
        {"a table", "DROP TABLE probes"},
        {"an index", "DROP INDEX events_ts"},
        {"the creation stamp", "DELETE FROM meta WHERE key='schema_created_ts'"},
        {"the version", "UPDATE meta SET value='0.9' WHERE key='version'"},
        {"the user version", "PRAGMA user_version=0"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(sql_exec(path(), c.damage), "") << c.what;
        ASSERT_EQ(db_open(1), 0) << c.what;
        db_close();
        EXPECT_EQ(sql_value(path(), "SELECT count(*) FROM sqlite_master"), full) << c.what;
        EXPECT_EQ(sql_value(path(), "SELECT value FROM meta WHERE key='version'"), "1.0");
        EXPECT_NE(sql_value(path(), "SELECT value FROM meta WHERE key='schema_created_ts'"), "");
        EXPECT_EQ(sql_value(path(), "PRAGMA user_version"), "1") << c.what;
    }
}

// The leak checker reports at exit whatever connection was dropped unclosed.
TEST_F(DbTest, ReopeningReplacesTheConnectionAndLeaksNothing) {
    ASSERT_EQ(db_open(1), 0);
    ASSERT_EQ(db_open(1), 0) << "a second open replaces the first connection";
    ASSERT_EQ(db_open(0), 0);
    EXPECT_EQ(meta_get_int("schema_created_ts", 0) > 0, true);
}

// Closing under a statement that is still alive is its owner's fault: it is
// logged with the statement's text, and the test build stops right there.
TEST_F(DbTest, ClosingUnderALiveStatementIsReported) {
    ASSERT_EQ(db_open(1), 0);
    const auto close_under_statement = [] {
        DbStmt st("SELECT value FROM meta WHERE key='version'");
        (void)st.step();
        db_close();
    };
#ifdef CORVANTIS_CHECKED
    EXPECT_DEATH(close_under_statement(),
                 "statement never finalized: SELECT value FROM meta WHERE key='version'");
#else
    ::testing::internal::CaptureStderr();
    close_under_statement();
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("statement never finalized"),
              std::string::npos);
    EXPECT_EQ(g_db == nullptr, true);
#endif
}

// Root writes through file modes, so the file is made read-only by a
// read-only mount in a private mount namespace of a child process.
TEST_F(DbTest, ReadOnlyFileOpensForReadingButNotForCreation) {
    REQUIRE_FAKE_NAS();
    ASSERT_EQ(db_open(1), 0);
    db_close();
    const std::string dir = dir_.path();
    const int rc = in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0) return 10;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 11;
        if (::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) return 12;
        if (::mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            return 13;
        if (db_open(1) != -1 || g_db != nullptr) return 20;
        if (db_open(0) != 0) return 21;
        char version[8] = "";
        meta_get_str("version", version, sizeof version);
        db_close();
        return std::strcmp(version, "1.0") == 0 ? 0 : 22;
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(DbTest, ClosedConnectionGivesDefaultsAndWritesNothing) {
    ASSERT_EQ(g_db, nullptr);
    EXPECT_EQ(meta_get_int("k", 77), 77);
    char field[8] = "junk";
    meta_get_str("k", field, sizeof field);
    EXPECT_STREQ(field, "");
    meta_set("k", "v");
    meta_set_int("k", 1);
    event_add(1, 1, "appear", "d");
    alert_add(1, "R-A1", 1, "m");
    EXPECT_EQ(disk_find_by_serial_or_wwn("S", "W"), 0);
    EXPECT_EQ(db_exec("SELECT 1"), -1);
    DbStmt st("SELECT 1");
    EXPECT_FALSE(st.ok());
    st.bind_int(1, 1);
    st.bind_text(1, "x");
    EXPECT_EQ(st.step(), -1);
    EXPECT_STREQ(st.col_text(0), "");
    EXPECT_TRUE(st.col_is_null(0));
    EXPECT_FALSE(exists(path()));
}

TEST_F(DbTest, ExecReportsFailuresAndStatementsThatDoNotPrepareDoNothing) {
    ASSERT_EQ(db_open(1), 0);
    EXPECT_EQ(db_exec("CREATE TABLE t(x); INSERT INTO t VALUES(1); INSERT INTO t VALUES(2)"), 0);
    EXPECT_EQ(db_exec("INSERT INTO t VALUES(3); INSERT INTO nowhere VALUES(4)"), -1);
    EXPECT_EQ(db_exec("not sql at all"), -1);
    DbStmt bad("SELECT nothing FROM nowhere");
    EXPECT_FALSE(bad.ok());
    EXPECT_EQ(bad.step(), -1);
    DbStmt count("SELECT count(*), sum(x) FROM t");
    ASSERT_EQ(count.step(), SQLITE_ROW);
    EXPECT_EQ(count.col_int(0), 3);  // statements before the failing one stay done
    EXPECT_EQ(count.col_int(1), 6);
}

TEST_F(DbTest, StatementBindsAndReadsEveryKindOfValue) {
    ASSERT_EQ(db_open(1), 0);
    DbStmt st("SELECT ?1, ?2, ?3, ?4, ?5, ?6, ?7");
    ASSERT_TRUE(st.ok());
    st.bind_int(1, INT64_MIN);
    st.bind_id(2, 0);
    st.bind_id(3, 5000000000LL);
    st.bind_double(4, 2.5);
    st.bind_text(5, nullptr);
    st.bind_null(6);
    std::string text = "transient";
    st.bind_text(7, text.c_str());
    text.assign("overwritten");  // the statement holds its own copy
    ASSERT_EQ(st.step(), SQLITE_ROW);
    EXPECT_EQ(st.col_int(0), INT64_MIN);
    EXPECT_TRUE(st.col_is_null(1));
    EXPECT_EQ(st.col_int(2), 5000000000LL);
    EXPECT_DOUBLE_EQ(st.col_double(3), 2.5);
    EXPECT_TRUE(st.col_is_null(4));
    EXPECT_STREQ(st.col_text(5), "");
    EXPECT_STREQ(st.col_text(6), "transient");
    EXPECT_EQ(st.step(), SQLITE_DONE);
    st.reset();
    EXPECT_EQ(st.step(), SQLITE_ROW);
}

TEST_F(DbTest, MetaValuesReadBackAsIntegersAndTexts) {
    ASSERT_EQ(db_open(1), 0);
    meta_set("text", "abc");
    meta_set("num", "42");
    meta_set("big", "9000000000");
    meta_set_int("max", INT64_MAX);
    meta_set_int("min", INT64_MIN);
    meta_set_int("neg", -17);
    ASSERT_EQ(db_exec("INSERT INTO meta(key,value) VALUES('null',NULL)"), 0);
    const struct {
        const char* key;
        std::int64_t want;
    } ints[] = {{"missing", -5},    {"text", 0},        {"num", 42}, {"big", 9000000000LL},
                {"max", INT64_MAX}, {"min", INT64_MIN}, {"neg", -17}};
    for (const auto& c : ints) EXPECT_EQ(meta_get_int(c.key, -5), c.want) << c.key;

    const struct {
        const char* key;
        std::size_t size;
        const char* want;
    } texts[] = {{"text", 16, "abc"},
                 {"text", 3, "ab"},
                 {"missing", 16, ""},
                 {"null", 16, ""},
                 {"max", 32, "9223372036854775807"},
                 {"min", 32, "-9223372036854775808"}};
    for (const auto& c : texts) {
        char field[32];
        std::memset(field, 'j', sizeof field);
        field[31] = '\0';
        meta_get_str(c.key, field, c.size);
        EXPECT_STREQ(field, c.want) << c.key << " " << c.size;
    }

    meta_set("num", "43");
    EXPECT_EQ(meta_get_int("num", 0), 43);
    db_close();
    EXPECT_EQ(sql_value(path(), "SELECT count(*) FROM meta WHERE key='num'"), "1");
}

TEST_F(DbTest, EventsStoreIdsBelowOneAsNull) {
    ASSERT_EQ(db_open(1), 0);
    const std::int64_t before = std::time(nullptr);
    event_add(0, -1, "appear", nullptr);
    event_add(-9, 0, "disappear", "");
    event_add(1, 1, "fw_change", "A -> B");
    event_add(5000000000LL, 7000000000LL, "read_error", "sda: 8 sectors");
    const std::int64_t after = std::time(nullptr);
    db_close();
    EXPECT_EQ(
        sql_rows(path(),
                 "SELECT disk_id, poll_id, type, quote(detail) FROM events ORDER BY event_id"),
        (std::vector<std::string>{"NULL|NULL|appear|''", "NULL|NULL|disappear|''",
                                  "1|1|fw_change|'A -> B'",
                                  "5000000000|7000000000|read_error|'sda: 8 sectors'"}));
    const std::string range =
        sql_value(path(), "SELECT count(*) FROM events WHERE ts BETWEEN " + std::to_string(before) +
                              " AND " + std::to_string(after));
    EXPECT_EQ(range, "4");
}

TEST_F(DbTest, AlertsAreStoredUnpushedFromTheCollector) {
    ASSERT_EQ(db_open(1), 0);
    alert_add(0, nullptr, 2, "disk vanished");
    alert_add(6000000000LL, "R-A1", 1, "reallocated sectors grew");
    db_close();
    EXPECT_EQ(sql_rows(path(),
                       "SELECT disk_id, rule_id, severity, source, message, pushed_ts, push_rc,"
                       " created_ts > 1600000000 FROM alerts ORDER BY alert_id"),
              (std::vector<std::string>{
                  "NULL|NULL|2|collector|disk vanished|NULL|NULL|1",
                  "6000000000|R-A1|1|collector|reallocated sectors grew|NULL|NULL|1"}));
    EXPECT_EQ(sql_value(path(), "SELECT count(*) FROM alerts WHERE pushed_ts IS NULL"), "2");
}

TEST_F(DbTest, DiskLookupBySerialThenWwn) {
    ASSERT_EQ(db_open(1), 0);
    ASSERT_EQ(db_exec("INSERT INTO disks(disk_id,serial,wwn,first_seen_ts,last_seen_ts) VALUES"
                      "(10,'ABC123','5000c500aaaa',1,100),"
                      "(11,'DUP',NULL,1,100),"
                      "(12,'DUP','5000cca0bbbb',1,200),"
                      "(13,'NOWWN','',1,300),"
                      "(14,'OLDWWN','5000cca0bbbb',1,50),"
                      "(5000000001,'BIG','5000abcdef',1,1)"),
              0);
    const struct {
        const char* serial;
        const char* wwn;
        std::int64_t want;
    } cases[] = {
        {"abc123", nullptr, 10},         // serials match ignoring case
        {"ABC123", "5000cca0bbbb", 10},  // the serial wins over the WWN
        {"nope", "5000C500AAAA", 10},    // unknown serial falls back to the WWN
        {"nope", "ffff", 0},
        {"DUP", nullptr, 12},  // the most recently seen of two
        {nullptr, "5000cca0bbbb", 12},
        {"", "5000cca0bbbb", 12},
        {"nope", "", 0},  // an empty WWN matches nothing, not a stored ''
        {nullptr, nullptr, 0},
        {"", nullptr, 0},
        {"big", nullptr, 5000000001LL},
        {nullptr, "5000ABCDEF", 5000000001LL},
    };
    for (const auto& c : cases)
        EXPECT_EQ(disk_find_by_serial_or_wwn(c.serial, c.wwn), c.want)
            << (c.serial ? c.serial : "(none)") << " / " << (c.wwn ? c.wwn : "(none)");
}

// Two processes with their own connections write at once: the second waits
// on SQLite's lock within the busy time-out instead of failing.
TEST_F(DbTest, TwoProcessesWritingAtOnceBothSucceed) {
    ASSERT_EQ(db_open(1), 0);
    db_close();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::close(ready[0]);
        if (db_open(1) != 0 || db_exec("BEGIN IMMEDIATE") != 0) ::_exit(1);
        event_add(1, 1, "appear", "holder");
        (void)!::write(ready[1], "x", 1);
        ::usleep(700 * 1000);  // the other process runs into the lock meanwhile
        const int rc = db_exec("COMMIT");
        db_close();
        ::_exit(rc == 0 ? 0 : 2);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    const int waiter = in_child([] {
        if (db_open(1) != 0) return 1;
        event_add(2, 2, "appear", "waiter");
        meta_set_int("last_tick_ts", 123);
        db_close();
        return 0;
    });
    EXPECT_EQ(wait_code(holder), 0);
    EXPECT_EQ(waiter, 0);
    EXPECT_EQ(sql_rows(path(), "SELECT detail FROM events ORDER BY event_id"),
              (std::vector<std::string>{"holder", "waiter"}));
    EXPECT_EQ(sql_value(path(), "SELECT value FROM meta WHERE key='last_tick_ts'"), "123");
}

// Many writes from two processes interleave without one lost.
TEST_F(DbTest, ConcurrentWritersLoseNoRow) {
    ASSERT_EQ(db_open(1), 0);
    db_close();
    auto writer = [](std::int64_t disk) {
        return [disk] {
            if (db_open(1) != 0) return 1;
            for (int i = 0; i < 100; ++i) event_add(disk, i + 1, "smart_error", "x");
            db_close();
            return 0;
        };
    };
    const pid_t a = ::fork();
    if (a == 0) ::_exit(writer(1)());
    const int b = in_child(writer(2));
    EXPECT_EQ(wait_code(a), 0);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(
        sql_rows(path(), "SELECT disk_id, count(*) FROM events GROUP BY disk_id ORDER BY disk_id"),
        (std::vector<std::string>{"1|100", "2|100"}));
}

}  // namespace

namespace {

TEST_F(DbTest, TransactionCommitsOnlyWhenAsked) {
    ASSERT_EQ(db_open(1), 0);
    {
        DbTxn txn;
        ASSERT_TRUE(txn.ok());
        meta_set("kept", "1");
        EXPECT_EQ(txn.commit(), 0);
    }
    {
        DbTxn txn;
        ASSERT_TRUE(txn.ok());
        meta_set("dropped", "1");
    }  // left without commit: rolled back
    EXPECT_EQ(meta_get_int("kept", 0), 1);
    EXPECT_EQ(meta_get_int("dropped", 0), 0);
}

TEST_F(DbTest, TransactionReportsABusyDatabase) {
    ASSERT_EQ(db_open(1), 0);
    ASSERT_EQ(db_exec("PRAGMA busy_timeout=50"), 0);
    LockHolder other(sql_write_lock(path()), -1);
    ASSERT_TRUE(other.held());
    {
        DbTxn txn;
        EXPECT_FALSE(txn.ok()) << "another writer holds the lock";
        EXPECT_EQ(txn.commit(), -1);
    }
    other.release();
    DbTxn txn;
    EXPECT_TRUE(txn.ok());
}

}  // namespace
