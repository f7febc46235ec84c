// The real executable and its database file: the schema `init` creates, what a
// second creating open keeps, concurrent creators, and files it must refuse.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/fake_nas.h"
#include "tests/support/lock_holder.h"
#include "tests/support/sqlite_file.h"

extern char** environ;

namespace {

std::string join(const std::vector<std::string>& rows) {
    std::string s;
    for (const std::string& r : rows) s += r + "\n";
    return s;
}

// One column of PRAGMA table_info as "name TYPE[ NN][ =default][ PKn]".
std::string columns_of(const std::string& db, const std::string& table) {
    std::string out;
    for (const std::string& row :
         sql_rows(db,
                  "SELECT name || ' ' || type || CASE WHEN \"notnull\" THEN ' NN' ELSE '' END"
                  " || CASE WHEN dflt_value IS NULL THEN '' ELSE ' =' || dflt_value END"
                  " || CASE WHEN pk > 0 THEN ' PK' || pk ELSE '' END"
                  " FROM pragma_table_info('" +
                      table + "') ORDER BY cid"))
        out += (out.empty() ? "" : ", ") + row;
    return out;
}

class DbE2E : public ::testing::Test {
   protected:
    void SetUp() override { REQUIRE_FAKE_NAS(); }
    std::string data_dir() const { return nas.pkg_root() + "/var/corvantis"; }
    std::string db() const { return data_dir() + "/corvantis.db"; }
    RunResult init() const { return nas.run({"init", "--qpkg-root", nas.pkg_root()}); }
    FakeNas nas;
};

TEST_F(DbE2E, InitCreatesTheDatabaseAndLogsItsPath) {
    const RunResult r = init();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    const std::regex line("\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] schema ready at (.*)\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.err, m, line)) << r.err;
    EXPECT_EQ(m[1].str(), db());
    struct stat st {};
    ASSERT_EQ(::stat(db().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

// A command's open of a current database writes nothing, so it goes through
// while a poll holds the write lock for the minutes of its transaction.
TEST_F(DbE2E, OpenAnswersWhileAnotherProcessHoldsTheWriteLock) {
    ASSERT_EQ(init().exit_code, 0);
    LockHolder poll(sql_write_lock(db()), -1);
    ASSERT_TRUE(poll.held());
    const RunResult r = init();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("schema ready at"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("locked"), std::string::npos) << r.err;
}

// Every object in creation order, with its exact columns; the indexes with
// their columns, uniqueness and partial WHERE clause.
TEST_F(DbE2E, SchemaMatchesObjectByObject) {
    ASSERT_EQ(init().exit_code, 0);
    EXPECT_EQ(join(sql_rows(db(),
                            "SELECT type, name, tbl_name FROM sqlite_master "
                            "WHERE name NOT LIKE 'sqlite_%' ORDER BY rowid")),
              "table|meta|meta\n"
              "table|disks|disks\n"
              "index|disks_serial|disks\n"
              "index|disks_wwn|disks\n"
              "table|slot_history|slot_history\n"
              "index|slot_hist_disk|slot_history\n"
              "table|polls|polls\n"
              "index|polls_hourly_slot|polls\n"
              "table|readings|readings\n"
              "index|readings_lookup|readings\n"
              "index|readings_poll|readings\n"
              "table|readings_latest|readings_latest\n"
              "table|events|events\n"
              "index|events_disk|events\n"
              "index|events_ts|events\n"
              "table|dmesg_lines|dmesg_lines\n"
              "index|dmesg_wall|dmesg_lines\n"
              "table|dmesg_detections|dmesg_detections\n"
              "table|rule_state|rule_state\n"
              "table|alerts|alerts\n"
              "index|alerts_unpushed|alerts\n"
              "table|probes|probes\n"
              "index|probes_serial|probes\n");

    // The keys of WITHOUT ROWID tables are NOT NULL by definition.
    struct Table {
        const char* name;
        bool without_rowid;
        const char* columns;
    } const tables[] = {
        {"meta", true, "key TEXT NN PK1, value TEXT"},
        {"disks", false,
         "disk_id INTEGER PK1, serial TEXT NN, wwn TEXT, model TEXT, vendor TEXT, firmware TEXT, "
         "bus TEXT, capacity_bytes INTEGER, rpm INTEGER, is_seagate INTEGER =0, "
         "farm_support INTEGER =-1, smart_dtype TEXT ='', present INTEGER NN =1, "
         "first_seen_ts INTEGER NN, last_seen_ts INTEGER NN"},
        {"slot_history", false,
         "id INTEGER PK1, disk_id INTEGER NN, ts INTEGER NN, enclosure TEXT, slot INTEGER, "
         "dev_name TEXT"},
        {"polls", false,
         "poll_id INTEGER PK1, kind TEXT NN, sched_slot_ts INTEGER, started_ts INTEGER NN, "
         "finished_ts INTEGER, on_time INTEGER NN =1, status TEXT NN ='ok', "
         "disks_seen INTEGER NN =0, rows_written INTEGER NN =0, duration_ms INTEGER, note TEXT"},
        {"readings", false,
         "id INTEGER PK1, disk_id INTEGER NN, poll_id INTEGER NN, ts INTEGER NN, ns TEXT NN, "
         "attr_id INTEGER, attr_name TEXT NN, value_norm INTEGER, worst INTEGER, thresh INTEGER, "
         "value_raw INTEGER, value_text TEXT, flags TEXT"},
        {"readings_latest", true,
         "disk_id INTEGER NN PK1, ns TEXT NN PK2, attr_name TEXT NN PK3, attr_id INTEGER, "
         "value_norm INTEGER, worst INTEGER, thresh INTEGER, value_raw INTEGER, value_text TEXT, "
         "flags TEXT, ts INTEGER NN"},
        {"events", false,
         "event_id INTEGER PK1, ts INTEGER NN, disk_id INTEGER, poll_id INTEGER, type TEXT NN, "
         "detail TEXT"},
        {"dmesg_lines", false,
         "id INTEGER PK1, boot_id TEXT NN, mono_ts REAL, wall_ts INTEGER NN, poll_id INTEGER, "
         "line TEXT NN"},
        {"dmesg_detections", false,
         "id INTEGER PK1, line_id INTEGER NN, pattern_id INTEGER, pattern_name TEXT NN, "
         "category TEXT, ts INTEGER NN, noted_ts INTEGER NN, source TEXT NN"},
        {"rule_state", true,
         "rule_id TEXT NN PK1, disk_id INTEGER NN PK2, state TEXT NN, last_value INTEGER, "
         "raised_ts INTEGER, last_push_ts INTEGER"},
        {"alerts", false,
         "alert_id INTEGER PK1, created_ts INTEGER NN, disk_id INTEGER, rule_id TEXT, "
         "severity INTEGER NN, source TEXT NN ='collector', message TEXT NN, pushed_ts INTEGER, "
         "push_rc INTEGER"},
        {"probes", false,
         "probe_id INTEGER PK1, disk_id INTEGER, serial TEXT NN, wwn TEXT, mode TEXT NN, "
         "status TEXT NN, verdict TEXT, started_ts INTEGER NN, finished_ts INTEGER, result_json "
         "TEXT"},
    };
    for (const Table& t : tables) {
        EXPECT_EQ(columns_of(db(), t.name), t.columns) << t.name;
        const std::string rowid = sql_value(db(), std::string("SELECT rowid FROM ") + t.name);
        EXPECT_EQ(rowid.rfind("ERROR: no such column: rowid", 0) == 0, t.without_rowid) << t.name;
    }

    struct Index {
        const char* name;
        const char* columns;
        bool unique;
        const char* where;  // "" for a full index
    } const indexes[] = {
        {"disks_serial", "serial", false, ""},
        {"disks_wwn", "wwn", false, "wwn IS NOT NULL"},
        {"slot_hist_disk", "disk_id,ts", false, ""},
        {"polls_hourly_slot", "sched_slot_ts", true, "kind='hourly'"},
        {"readings_lookup", "disk_id,ns,attr_name,ts", false, ""},
        {"readings_poll", "poll_id", false, ""},
        {"events_disk", "disk_id,ts", false, ""},
        {"events_ts", "ts", false, ""},
        {"dmesg_wall", "wall_ts", false, ""},
        {"alerts_unpushed", "pushed_ts", false, "pushed_ts IS NULL"},
        {"probes_serial", "serial,finished_ts", false, ""},
    };
    for (const Index& ix : indexes) {
        const std::string n = ix.name;
        EXPECT_EQ(sql_value(db(),
                            "SELECT group_concat(name, ',') FROM (SELECT name FROM "
                            "pragma_index_info('" +
                                n + "') ORDER BY seqno)"),
                  ix.columns)
            << n;
        const std::string sql =
            sql_value(db(), "SELECT sql FROM sqlite_master WHERE name='" + n + "'");
        const std::size_t at = sql.find(" WHERE ");
        EXPECT_EQ(at == std::string::npos ? "" : sql.substr(at + 7), ix.where) << n;
        EXPECT_EQ(sql.rfind(ix.unique ? "CREATE UNIQUE INDEX " : "CREATE INDEX ", 0), 0u) << sql;
    }
    // dmesg_detections carries its one table constraint.
    EXPECT_EQ(
        sql_value(db(),
                  "SELECT group_concat(name, ',') FROM pragma_index_info("
                  "(SELECT name FROM pragma_index_list('dmesg_detections') WHERE origin='u'))"),
        "line_id,pattern_name");

    EXPECT_EQ(sql_value(db(), "PRAGMA user_version"), "1");
    EXPECT_EQ(sql_value(db(), "PRAGMA journal_mode"), "delete");
    EXPECT_EQ(sql_value(db(), "PRAGMA auto_vacuum"), "2");  // incremental
    EXPECT_EQ(sql_value(db(), "SELECT value FROM meta WHERE key='version'"), "1.0");
}

// The unique partial index lets one hourly poll claim an hour slot; other
// kinds of poll may share it.
TEST_F(DbE2E, OneHourlyPollPerSlot) {
    ASSERT_EQ(init().exit_code, 0);
    const char* insert = "INSERT INTO polls(kind, sched_slot_ts, started_ts) VALUES('%s', 3600, 1)";
    auto add = [&](const char* kind) {
        char sql[160];
        std::snprintf(sql, sizeof sql, insert, kind);
        return sql_exec(db(), sql);
    };
    EXPECT_EQ(add("hourly"), "");
    EXPECT_EQ(add("adaptive"), "");
    EXPECT_EQ(add("adaptive"), "");
    EXPECT_NE(add("hourly").find("UNIQUE constraint failed"), std::string::npos);
}

TEST_F(DbE2E, SecondInitKeepsTheCreationStampAndRewritesTheVersion) {
    ASSERT_EQ(init().exit_code, 0);
    const long long created =
        std::stoll(sql_value(db(), "SELECT value FROM meta WHERE key='schema_created_ts'"));
    EXPECT_GT(created, 1600000000LL);
    ASSERT_EQ(sql_exec(db(),
                       "UPDATE meta SET value='1000' WHERE key='schema_created_ts';"
                       "UPDATE meta SET value='0.1' WHERE key='version';"
                       "INSERT INTO events(ts, type) VALUES(5, 'appear')"),
              "");
    const RunResult r = init();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(sql_value(db(), "SELECT value FROM meta WHERE key='schema_created_ts'"), "1000");
    EXPECT_EQ(sql_value(db(), "SELECT value FROM meta WHERE key='version'"), "1.0");
    EXPECT_EQ(sql_value(db(), "SELECT count(*) FROM events"), "1");
}

// Creators that race on a fresh package root (a tick and a hot-swap poll on
// first start) must all find a ready schema, none a busy error.
TEST_F(DbE2E, ConcurrentInitsAllSucceed) {
    constexpr int kRuns = 6;
    for (int round = 0; round < 3; ++round) {
        const std::string root = nas.base() + "/race" + std::to_string(round);
        std::vector<pid_t> pids;
        for (int i = 0; i < kRuns; ++i) {
            const std::string err = root + ".err" + std::to_string(i);
            posix_spawn_file_actions_t fa;
            posix_spawn_file_actions_init(&fa);
            posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
            std::string bin = CORVANTISD_BIN, cmd = "init", opt = "--qpkg-root", r = root;
            char* argv[] = {bin.data(), cmd.data(), opt.data(), r.data(), nullptr};
            pid_t pid = -1;
            ASSERT_EQ(posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv, environ), 0);
            posix_spawn_file_actions_destroy(&fa);
            pids.push_back(pid);
        }
        for (int i = 0; i < kRuns; ++i) {
            int status = 0;
            ASSERT_EQ(::waitpid(pids[i], &status, 0), pids[i]);
            const std::string err = read_file(root + ".err" + std::to_string(i));
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << err;
            EXPECT_NE(err.find("schema ready at " + root + "/var/corvantis/corvantis.db"),
                      std::string::npos)
                << err;
            EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
        }
        const std::string path = root + "/var/corvantis/corvantis.db";
        EXPECT_EQ(sql_value(path, "SELECT count(*) FROM sqlite_master"), "24");
        EXPECT_EQ(sql_value(path, "PRAGMA user_version"), "1");
    }
}

// A database that cannot be opened, or cannot be written, or is no database,
// ends every database command with exit 1 and its reason, never with the
// usage text, a crash, or a rewritten file.
TEST_F(DbE2E, UnusableDatabaseFilesFailTheCommand) {
    ASSERT_EQ(init().exit_code, 0);
    const std::string good = read_file(db());
    ASSERT_GT(good.size(), 8192u);
    std::string garbled_page1 = good;
    garbled_page1.replace(100, 4096 - 100, std::string(4096 - 100, '\xff'));
    std::string random_bytes(8192, '\0');
    for (std::size_t i = 0; i < random_bytes.size(); ++i)
        random_bytes[i] = static_cast<char>((i * 2654435761u) >> 13);

    // A wrapper that makes the data folder a read-only mount inside the run's
    // own mount namespace (root ignores file modes), then runs the program.
    const std::string wrapper = nas.base() + "/ro-run";
    write_file(wrapper,
               "#!/bin/sh\nmount --bind '" + data_dir() + "' '" + data_dir() +
                   "' && mount -o "
                   "remount,bind,ro '" +
                   data_dir() + "' || exit 99\nexec '" CORVANTISD_BIN "' \"$@\"\n",
               0755);

    enum class Setup { Dir, Bytes, ReadOnlyMount, ReadOnlyMountNoFile };
    struct Case {
        const char* what;
        Setup setup;
        std::string content;
        std::string want;
    } const cases[] = {
        {"a folder in its place", Setup::Dir, "",
         "cannot open db " + db() + ": unable to open database file"},
        {"random bytes", Setup::Bytes, random_bytes, "SQL error: file is not a database"},
        {"short text", Setup::Bytes, "hello", "SQL error: file is not a database"},
        {"garbled first page", Setup::Bytes, garbled_page1,
         "SQL error: database disk image is malformed"},
        {"read-only mount", Setup::ReadOnlyMount, good,
         "SQL error: attempt to write a readonly database"},
        {"read-only mount, no file", Setup::ReadOnlyMountNoFile, "",
         "cannot open db " + db() + ": unable to open database file"},
    };
    for (const Case& c : cases) {
        for (const char* word : {"init", "--help", "tick", "dump"}) {
            ::unlink(db().c_str());
            ::rmdir(db().c_str());
            if (c.setup == Setup::Dir) ::mkdir(db().c_str(), 0755);
            if (c.setup == Setup::Bytes || c.setup == Setup::ReadOnlyMount)
                write_file(db(), c.content);
            RunOptions opts;
            const bool ro =
                c.setup == Setup::ReadOnlyMount || c.setup == Setup::ReadOnlyMountNoFile;
            if (ro) opts.exe = wrapper;
            const RunResult r = nas.run({word, "--qpkg-root", nas.pkg_root()}, opts);
            EXPECT_EQ(r.exit_code, 1) << c.what << " / " << word << "\n" << r.err;
            EXPECT_EQ(r.signal, 0) << c.what;
            EXPECT_NE(r.err.find(c.want), std::string::npos) << c.what << " / " << word << "\n"
                                                             << r.err;
            EXPECT_EQ(r.err.find("usage:"), std::string::npos) << c.what << " / " << word;
            EXPECT_EQ(r.err.find("not built yet"), std::string::npos) << c.what << " / " << word;
            if (c.setup == Setup::Bytes || c.setup == Setup::ReadOnlyMount) {
                EXPECT_EQ(read_file(db()), c.content) << c.what << ": the file was changed";
            }
        }
    }
}

}  // namespace
