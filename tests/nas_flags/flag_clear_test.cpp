// flag-clear in-process: every reply and exit code, the probe rules, the
// backup, hal_event through the runner's fake (clearing, doing nothing,
// damaging the file) and the rewrite, over a real configuration file, a real
// SQLite file and a fake disk tree.
#include "nas_flags/flag_clear.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "collector/nas_conf.h"
#include "core/db.h"
#include "core/paths.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_disk.h"
#include "tests/support/fake_nas.h"
#include "tests/support/fake_run.h"
#include "tests/support/full_disk_vfs.h"
#include "tests/support/lock_holder.h"
#include "tests/support/sqlite_file.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr char kFlagLine[] = "pd_err_wwn_naa.5000C500A1B2C3D4 = 1\n";
constexpr char kRest[] = "pd_dev_wwn_5000c500a1b2c3d4 = 3\npd_err_wwn_5000cca0deadbeef = 1\n";
const std::string kConf = std::string("[Global]\n") + kFlagLine + kRest;
const std::string kCleared = std::string("[Global]\n") + kRest;

struct Reply {
    std::string out;
    int code;
};

std::string json_text(const std::string& text) {
    return "\"" + text + "\"";
}

class FlagClearTest : public ::testing::Test {
   protected:
    void SetUp() override {
        paths_init(dir("/pkg").c_str());
        make_dirs(g_var_dir);
        make_dirs(lock_dir_);
        write_file(conf(), kConf);
        write_file(hal(), "#!/bin/sh\n", 0755);
        fake_disk_add(fake_disk_root(root_),
                      FakeDisk{.dev = "sdb", .serial = "WD-1", .wwid = "naa.5000c500a1b2c3d4"});
        ASSERT_EQ(db_open(1), 0);
        db_close();
        sql("INSERT INTO disks(serial,wwn,first_seen_ts,last_seen_ts) "
            "VALUES('WD-1','5000c500a1b2c3d4',1,1)");
        old_path_ = std::getenv("PATH");
        ::setenv("PATH", dir("/bin").c_str(), 1);
        env_ = {"/nonexistent/hal_event", lock_dir_.c_str(), root_.c_str(), nullptr};
    }
    void TearDown() override { ::setenv("PATH", old_path_.c_str(), 1); }

    std::string dir(const char* rest) const { return dir_.path() + rest; }
    std::string conf() const { return dir("/mnt/.conf"); }
    std::string hal() const { return dir("/bin/hal_event"); }
    std::string lock() const {
        char field[kConfLockSize];
        conf_lock_path_in(lock_dir_.c_str(), conf().c_str(), field, sizeof field);
        return field;
    }
    std::string backup() const {
        return std::string(g_var_dir) + "/flag-backups/conf-" + std::to_string(clock_.now()) +
               "-naa.5000C500A1B2C3D4.bak";
    }
    // The fields of a cleared or still-flagged reply after its first ones.
    static std::string fields(const std::string& backup, const std::string& dev_id,
                              const std::string& lock, int rc, const std::string& output,
                              const std::string& hal) {
        return ",\"backup\":" + json_text(backup) + ",\"key\":\"pd_err_wwn_naa.5000C500A1B2C3D4\"" +
               ",\"dev_id\":" + dev_id + lock + ",\"hal_event\":{\"path\":" + hal +
               ",\"rc\":" + std::to_string(rc) + ",\"output\":" + output + "},\"probe_id\":1}\n";
    }
    static std::string lock_fields(const std::string& lock) {
        return ",\"conf_lock\":" + lock + ",\"conf_retries\":0";
    }

    void sql(const std::string& text) const { ASSERT_EQ(sql_exec(g_db_path, text), "") << text; }
    void probe(const std::string& serial, const std::string& wwn, const std::string& status,
               const std::string& verdict, std::int64_t ago) const {
        const std::string finished = std::to_string(clock_.now() - ago);
        sql("INSERT INTO probes(serial,wwn,mode,status,verdict,started_ts,finished_ts) VALUES('" +
            serial + "'," + wwn + ",'quick','" + status + "'," + verdict + "," + finished + "-60," +
            finished + ")");
    }
    void good_probe() const { probe("X", "'0x5000c500a1b2c3d4'", "done", "'good'", 100); }
    Reply run(const char* wwn = "0x5000c500a1b2c3d4") {
        testing::internal::CaptureStdout();
        const int code = flag_clear_run(wwn, conf().c_str(), env_);
        std::fflush(stdout);
        return {testing::internal::GetCapturedStdout(), code};
    }
    std::vector<std::string> events() const {
        return sql_rows(g_db_path, "SELECT disk_id,type,detail FROM events");
    }

    TempDir dir_;
    const std::string lock_dir_ = dir("/lock"), root_ = dir("/root");
    std::string old_path_;
    FakeClock clock_{1800000000};
    FakeRun runner_;
    FlagClearEnv env_;
};

TEST_F(FlagClearTest, ErrorsBeforeTheProbeCheck) {
    const std::string long_wwn(65, 'a');
    for (const char* wwn : {static_cast<const char*>(nullptr), "", "5000/c500", ".5000c500",
                            "5000 c500", "5000\"c500", long_wwn.c_str()}) {
        const Reply r = run(wwn);
        EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"bad_wwn\"}\n") << (wwn ? wwn : "null");
        EXPECT_EQ(r.code, 1);
    }
    EXPECT_EQ(run(std::string(64, 'a').c_str()).out,
              "{\"ok\":false,\"refused\":\"not_flagged\"}\n");
    for (const std::string& text : {std::string(kNasConfReadMax + 1, '\n'), std::string()}) {
        text.empty() ? (void)::unlink(conf().c_str()) : write_file(conf(), text);
        const Reply r = run();
        EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"conf_unreadable\",\"detail\":" +
                             json_text(conf()) + "}\n");
        EXPECT_EQ(r.code, 1);
    }
}

TEST_F(FlagClearTest, NotFlaggedAndNoProbeNeverCreateTheDatabase) {
    ASSERT_EQ(::unlink(g_db_path), 0);
    // A key whose prefix is in upper case is no flag, as for the listing.
    write_file(conf(), "PD_ERR_WWN_5000C500A1B2C3D4 = 1\npd_err_wwn_5000c500a1b2c3d5 = 1\n");
    Reply r = run();
    EXPECT_EQ(r.out, "{\"ok\":false,\"refused\":\"not_flagged\"}\n");
    EXPECT_EQ(r.code, 3);
    write_file(conf(), kConf);
    r = run();
    EXPECT_EQ(r.out, "{\"ok\":false,\"refused\":\"no_probe\"}\n");
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(::access(g_db_path, F_OK), 0);
    write_file(g_db_path, "not a database, but not empty either");
    EXPECT_EQ(run().out, "{\"ok\":false,\"refused\":\"no_probe\"}\n");
    EXPECT_EQ(g_db, nullptr);
}

TEST_F(FlagClearTest, TheNewestProbeOfTheDiskDecides) {
    struct Case {
        const char *status, *verdict;
        std::int64_t ago;
        std::string want;  // refusal code, "" when cleared
    } cases[] = {
        {"done", "'good'", 604800, ""},  // exactly seven days
        {"done", "'good'", 604801, "probe_old"},
        {"failed", "'bad'", 10, "verdict_bad"},
        {"stopped", "'good'", 10, "verdict_inconclusive"},
        {"done", "'inconclusive'", 10, "verdict_inconclusive"},
        {"done", "NULL", 10, "verdict_inconclusive"},
        {"done", "'link'", 10, ""},
    };
    for (const Case& c : cases) {
        clock_.advance_ms(1000);  // a backup name of its own
        write_file(conf(), kConf);
        probe("X", "'naa.5000C500A1B2C3D4'", c.status, c.verdict, c.ago);
        const Reply r = run();
        if (c.want.empty()) {
            EXPECT_EQ(r.code, 0) << c.status << c.verdict << r.out;
        } else {
            EXPECT_EQ(r.out, "{\"ok\":false,\"refused\":\"" + c.want + "\",\"probe_id\":1}\n");
            EXPECT_EQ(r.code, 3);
        }
        sql("DELETE FROM probes");
    }
}

TEST_F(FlagClearTest, ProbesAreMatchedByWwnInAnyFormAndBySerial) {
    probe("X", "'5000C500A1B2C3D4'", "done", "'good'", 300);
    probe("wd-1", "NULL", "done", "'bad'", 200);                   // the inventory disk's serial
    probe("naa.5000c500a1b2c3d4", "NULL", "done", "'good'", 250);  // the WWN text as serial
    probe("Y", "'5000cca0deadbeef'", "done", "'good'", 100);       // another disk, newer
    EXPECT_EQ(run().out, "{\"ok\":false,\"refused\":\"verdict_bad\",\"probe_id\":2}\n");
    sql("DELETE FROM probes WHERE probe_id=2");
    const Reply r = run();
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\"probe_id\":3}"), std::string::npos) << r.out;
}

TEST_F(FlagClearTest, HalEventClearsTheFlag) {
    good_probe();
    runner_.set_handler([&](const std::vector<std::string>&) {
        write_file(conf(), kCleared);
        return FakeReply{0, "cleared \"3\"\n"};
    });
    const Reply r = run();
    EXPECT_EQ(r.out,
              "{\"ok\":true,\"method\":\"hal_event\"" +
                  fields(backup(), "\"3\"", "", 0, "\"cleared \\\"3\\\"\\n\"", json_text(hal())));
    EXPECT_EQ(r.code, 0);
    ASSERT_EQ(runner_.calls().size(), 1u);
    EXPECT_EQ(runner_.calls()[0],
              (std::vector<std::string>{hal(), "--pd_clear_error", "dev_id=3"}));
    EXPECT_EQ(runner_.timeouts()[0], 15);
    EXPECT_TRUE(clock_.sleeps().empty());
    EXPECT_EQ(read_file(backup()), kConf);
    EXPECT_EQ(events(),
              std::vector<std::string>{
                  "1|flag_cleared|{\"wwn\":\"naa.5000C500A1B2C3D4\",\"key\":\"pd_err_wwn_"
                  "naa.5000C500A1B2C3D4\",\"dev_id\":\"3\",\"method\":\"hal_event\","
                  "\"backup\":" +
                  json_text(backup()) + ",\"hal_rc\":0,\"conf_retries\":0,\"probe_id\":1}"});
}

// The data folder fills up while hal_event runs: the flag is gone, and the
// log tells that the history lacks its event.
TEST_F(FlagClearTest, AnEventThatCannotBeRecordedIsLogged) {
    FullDiskVfs disk;
    good_probe();
    runner_.set_handler([&](const std::vector<std::string>&) {
        write_file(conf(), kCleared);
        disk.fail_write(1);
        return FakeReply{0, ""};
    });
    testing::internal::CaptureStderr();
    const Reply r = run();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("{\"ok\":true,\"method\":\"hal_event\",", 0), 0u) << r.out;
    EXPECT_EQ(events(), std::vector<std::string>{});
    for (const char* why : {"SQL error: database or disk is full",
                            "flag-clear: the flag_cleared event could not be recorded"})
        EXPECT_NE(log.find(why), std::string::npos) << why << "\n" << log;
}

TEST_F(FlagClearTest, AHalEventThatDoesNothingIsFollowedByTheRewrite) {
    good_probe();
    runner_.push(FakeReply{2, "no such device\n"});
    const std::string saved = backup();
    const Reply r = run();
    EXPECT_EQ(r.out, "{\"ok\":true,\"method\":\"file\"" +
                         fields(saved, "\"3\"", lock_fields(json_text(lock())), 2,
                                "\"no such device\\n\"", json_text(hal())));
    EXPECT_EQ(clock_.sleeps(), std::vector<double>(40, 250.0));
    EXPECT_EQ(read_file(conf()), kCleared);
    EXPECT_EQ(events().size(), 1u);
}

TEST_F(FlagClearTest, WithoutADeviceIdOrHalEventTheFileIsRewrittenAtOnce) {
    const std::string devmap = "pd_dev_wwn_5000c500a1b2c3d4 = 3\n";
    const std::string too_long = "pd_dev_wwn_5000c500a1b2c3d4 = " + std::string(100, '7') + "\n";
    struct Case {
        std::string devmap, dev_id;
        bool hal_present;
    } cases[] = {{"", "null", true},
                 {too_long, "\"" + std::string(100, '7') + "\"", true},
                 {devmap, "\"3\"", false}};
    good_probe();
    for (const Case& c : cases) {
        clock_.advance_ms(1000);
        write_file(conf(), kFlagLine + c.devmap);
        if (!c.hal_present) ::unlink(hal().c_str());
        const Reply r = run();
        EXPECT_EQ(r.out, "{\"ok\":true,\"method\":\"file\"" +
                             fields(backup(), c.dev_id, lock_fields(json_text(lock())), -2, "\"\"",
                                    c.hal_present ? json_text(hal()) : "null"));
        EXPECT_EQ(read_file(conf()), c.devmap);
    }
    EXPECT_TRUE(runner_.calls().empty());
    EXPECT_TRUE(clock_.sleeps().empty());
    EXPECT_EQ(events().size(), 3u);
}

TEST_F(FlagClearTest, AFileHalEventLeftUnreadableOrDamagedIsNeverReportedCleared) {
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { ::unlink(conf().c_str()); },
         "conf_unreadable: %s after hal_event: No such file or directory"},
        {[&] { write_file(conf(), kCleared + std::string(kNasConfReadMax, '#')); },
         "conf_unreadable: %s after hal_event: over 1 MiB"},
        {[&] { write_file(conf(), ""); }, "conf_damaged: %s is empty after hal_event"},
        {[&] { write_file(conf(), "[Global]\npd_dev_wwn_5000c5"); },
         "conf_damaged: %s ends in the middle of a line after hal_event"},
    };
    good_probe();
    for (const auto& [damage, detail] : cases) {
        clock_.advance_ms(1000);
        write_file(conf(), kConf);
        runner_.set_handler([&](const std::vector<std::string>&) {
            damage();
            return FakeReply{0, ""};
        });
        const std::string saved = backup();
        const Reply r = run();
        std::string want = detail;
        want.replace(want.find("%s"), 2, conf());
        EXPECT_EQ(r.out,
                  "{\"ok\":false,\"error\":\"still_flagged\",\"detail\":" + json_text(want) +
                      fields(saved, "\"3\"", lock_fields("null"), 0, "\"\"", json_text(hal())));
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(read_file(saved), kConf);
    }
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(clock_.sleeps().size(), 4u * 40);
}

// The lock folder is open to every user (1777, as on the NAS). A lock that a
// NAS tool holds, and anything but a plain file that an ordinary user put at
// the lock's name (a link there the kernel does not even let root open),
// keep the flag and name the lock; nothing is made or changed through the
// planted name.
TEST_F(FlagClearTest, ALockedConfigurationStaysFlaggedAndNamesTheLock) {
    good_probe();
    ASSERT_EQ(::chmod(lock_dir_.c_str(), 01777), 0);
    const std::string name = lock().substr(lock_dir_.size() + 1), victim = dir("/victim");
    const struct {
        const char* what;
        std::function<bool(int dirfd)> plant;  // as nobody; none: a NAS tool holds the lock
        std::string why;
        std::size_t sleeps;
    } cases[] = {
        {"held", nullptr, "stayed locked for 10 s", 100},
        {"link", [&](int d) { return ::symlinkat(victim.c_str(), d, name.c_str()) == 0; },
         "cannot be opened: Permission denied", 0},
        {"folder", [&](int d) { return ::mkdirat(d, name.c_str(), 0755) == 0; },
         "is not a regular file", 0},
    };
    for (const auto& c : cases) {
        clock_.advance_ms(1000);
        write_file(conf(), kFlagLine);
        std::optional<LockHolder> nas_tool;
        if (c.plant) {
            ASSERT_TRUE(as_nobody_in(lock_dir_, c.plant)) << c.what;
        } else {
            nas_tool.emplace(lock());
            ASSERT_TRUE(nas_tool->held());
        }
        const std::string saved = backup();
        const std::size_t slept = clock_.sleeps().size();
        const Reply r = run();
        EXPECT_EQ(
            r.out,
            "{\"ok\":false,\"error\":\"still_flagged\",\"detail\":\"conf_locked: " + lock() + " " +
                c.why + "\"" +
                fields(saved, "null", lock_fields(json_text(lock())), -2, "\"\"", json_text(hal())))
            << c.what;
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(clock_.sleeps().size() - slept, c.sleeps) << c.what;
        EXPECT_EQ(read_file(conf()), kFlagLine);
        EXPECT_NE(::access(victim.c_str(), F_OK), 0) << c.what;
        nas_tool.reset();
        ::unlink(lock().c_str());
        ::rmdir(lock().c_str());
    }
    EXPECT_TRUE(events().empty());
}

// Ends the process outright (as a power cut would) when the run has written
// its n-th temporary file.
struct KillAt {
    int n;
    int seen = 0;
};

void kill_at_temp(void* arg) {
    auto* k = static_cast<KillAt*>(arg);
    if (++k->seen == k->n) ::raise(SIGKILL);
}

// A run killed while its backup or its new text lies under a temporary name
// leaves that copy of the configuration behind; the next run removes it.
TEST_F(FlagClearTest, WhatAKilledRunLeftTheNextRunRemoves) {
    good_probe();
    const std::string backups = std::string(g_var_dir) + "/flag-backups";
    auto temporary_files = [&] {
        std::vector<std::string> names;
        for (const std::string& name : dir_names(dir("/mnt")))
            if (name.rfind(kConfTempPrefix, 0) == 0) names.push_back(name);
        for (const std::string& name : dir_names(backups))
            if (name.rfind(kBackupTempPrefix, 0) == 0) names.push_back(name);
        return names;
    };
    const std::pair<int, const char*> cases[] = {{1, kBackupTempPrefix}, {2, kConfTempPrefix}};
    for (const auto& [at, prefix] : cases) {
        clock_.advance_ms(1000);
        write_file(conf(), std::string(kFlagLine) + "x = 1\n");  // no device id: no hal_event
        KillAt kill{at};
        const ConfRewriteHooks hooks{kill_at_temp, &kill};
        FlagClearEnv env = env_;
        env.hooks = &hooks;
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            (void)flag_clear_run("0x5000c500a1b2c3d4", conf().c_str(), env);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << prefix;
        const std::vector<std::string> left = temporary_files();
        ASSERT_EQ(left.size(), 1u) << prefix;
        EXPECT_EQ(left[0].rfind(prefix, 0), 0u) << left[0];

        clock_.advance_ms(1000);
        const Reply r = run();
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_EQ(read_file(conf()), "x = 1\n");
        EXPECT_EQ(temporary_files(), std::vector<std::string>{}) << prefix;
    }
}

TEST_F(FlagClearTest, BackupsAreNeverReplacedAndTheirFailureStopsTheRun) {
    good_probe();
    write_file(backup(), "an earlier backup\n");
    Reply r = run();
    EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"backup_failed\",\"detail\":" + json_text(backup()) +
                         "}\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(read_file(backup()), "an earlier backup\n");
    // A backup folder that cannot hold files (root ignores permission bits).
    const std::string folder = std::string(g_var_dir) + "/flag-backups";
    ASSERT_EQ(::rename(folder.c_str(), (folder + ".old").c_str()), 0);
    write_file(folder, "a file in the folder's place");
    r = run();
    EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"backup_failed\",\"detail\":" + json_text(backup()) +
                         "}\n");
    EXPECT_EQ(read_file(conf()), kConf);
    EXPECT_TRUE(runner_.calls().empty());
}

TEST_F(FlagClearTest, ThousandsOfFlagsAndOddlyWrittenKeys) {
    std::string text = "[Global]\r\n";
    for (int i = 0; i < 3000; ++i) {
        text += "pd_err_wwn_5000cca0" + std::to_string(100000 + i) + " = 1\r\n";
        if (i == 2500)
            text +=
                "pd_err_wwn_\t0X5000c500a1b2c3d4 = \x01\xff\r\nPD_ERR_WWN_5000C500A1B2C3D4=1\r\n";
    }
    write_file(conf(), text);
    good_probe();
    const Reply r = run();
    EXPECT_EQ(r.code, 0) << r.out;
    // The WWN as the file writes it is unsafe in a file name: the backup is
    // named after the WWN as given.
    EXPECT_NE(r.out.find("-0x5000c500a1b2c3d4.bak\",\"key\":\"pd_err_wwn_\\t0X5000c500a1b2c3d4\""),
              std::string::npos)
        << r.out;
    EXPECT_EQ(read_file(conf()).size(), text.size() - 68);  // the two lines of the disk
}

TEST(FlagClearHalEvent, FoundFixedThenInAbsolutePathFoldersOnly) {
    TempDir dir;
    const std::string d = dir.path(), fixed = d + "/fixed", good = d + "/good/hal_event";
    for (const std::string& exe : {fixed, good, d + "/rel/hal_event"})
        write_file(exe, "#!/bin/sh\n", 0755);
    write_file(d + "/plain/hal_event", "not executable\n", 0644);
    make_dirs(d + "/dir/hal_event");               // a folder is no program
    const std::string rel = d.substr(1) + "/rel";  // relative to "/", the current folder
    const std::string old = std::getenv("PATH");
    char* cwd = ::getcwd(nullptr, 0);
    ASSERT_EQ(::chdir("/"), 0);
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {nullptr, d + "/good", good},
        {fixed.c_str(), d + "/good", fixed},
        {"/nonexistent", "::" + rel + ":" + d + "/plain:" + d + "/dir:" + d + "/good", good},
        {"/nonexistent", rel + ":.", ""},
    };
    char out[4096];
    for (const auto& [fixed_path, path, want] : cases) {
        ::setenv("PATH", path.c_str(), 1);
        flag_clear_find_hal_event(fixed_path, out, sizeof out);
        EXPECT_EQ(std::string(out), want) << path;
    }
    ::setenv("PATH", old.c_str(), 1);
    EXPECT_EQ(::chdir(cwd), 0);
    std::free(cwd);
}

}  // namespace
