// flag-clear in-process: every reply and exit code, the probe rules, the
// backup, hal_event through the runner's fake (clearing, doing nothing,
// damaging the file) and the rewrite, over a real configuration file, a real
// SQLite file and a fake disk tree.
#include "nas_flags/flag_clear.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/db.h"
#include "core/paths.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_disk.h"
#include "tests/support/fake_nas.h"
#include "tests/support/fake_run.h"
#include "tests/support/lock_holder.h"
#include "tests/support/sqlite_file.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::int64_t kNow = 1800000000;
constexpr char kFlagLine[] = "pd_err_wwn_naa.5000C500A1B2C3D4 = 1\n";
constexpr char kRest[] = "pd_dev_wwn_5000c500a1b2c3d4 = 3\npd_err_wwn_5000cca0deadbeef = 1\n";
const std::string kConf = std::string("[Global]\n") + kFlagLine + kRest;
const std::string kCleared = std::string("[Global]\n") + kRest;

struct Reply {
    std::string out;
    int code;
};

class FlagClearTest : public ::testing::Test {
   protected:
    void SetUp() override {
        paths_init((dir_.path() + "/pkg").c_str());
        make_dirs(g_var_dir);
        write_file(conf(), kConf);
        write_file(hal_path(), "#!/bin/sh\n", 0755);
        make_dirs(lock_dir());
        fake_disk_add(fake_disk_root(dir_.path() + "/root"),
                      FakeDisk{.dev = "sdb", .serial = "WD-1", .wwid = "naa.5000c500a1b2c3d4"});
        ASSERT_EQ(db_open(1), 0);
        db_close();
        sql("INSERT INTO disks(serial,wwn,first_seen_ts,last_seen_ts) VALUES('WD-1','5000c500a1b2c3d4',1,1)");
        old_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
        ::setenv("PATH", (dir_.path() + "/bin").c_str(), 1);
        env_.hal_event = "/nonexistent/hal_event";
        env_.lock_dir = nullptr;
        lock_dir_ = lock_dir();
        root_ = dir_.path() + "/root";
        env_.lock_dir = lock_dir_.c_str();
        env_.sys_root = root_.c_str();
    }
    void TearDown() override {
        ::setenv("PATH", old_path_.c_str(), 1);
        db_close();
    }

    std::string conf() const { return dir_.path() + "/mnt/.conf"; }
    std::string hal_path() const { return dir_.path() + "/bin/hal_event"; }
    std::string lock_dir() const { return dir_.path() + "/lock"; }
    std::string backup() const {
        return std::string(g_var_dir) + "/flag-backups/conf-" + std::to_string(clock_.now()) +
               "-naa.5000C500A1B2C3D4.bak";
    }
    void sql(const std::string& text) const { ASSERT_EQ(sql_exec(g_db_path, text), "") << text; }
    void probe(const std::string& serial, const std::string& wwn, const std::string& status,
               const std::string& verdict, std::int64_t finished_ago) const {
        sql("INSERT INTO probes(serial,wwn,mode,status,verdict,started_ts,finished_ts) VALUES('" +
            serial + "'," + wwn + ",'quick','" + status + "'," + verdict + "," +
            std::to_string(clock_.now() - finished_ago - 60) + "," +
            std::to_string(clock_.now() - finished_ago) + ")");
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
    FakeClock clock_{kNow};
    FakeRun runner_;
    FlagClearEnv env_;
    std::string lock_dir_, root_, old_path_;
};

TEST_F(FlagClearTest, ErrorsBeforeTheProbeCheck) {
    const std::string long_wwn(65, 'a');
    for (const char* wwn : {static_cast<const char*>(nullptr), "", "5000/c500", ".5000c500",
                            "5000 c500", "5000\"c500", long_wwn.c_str()}) {
        const Reply r = run(wwn);
        EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"bad_wwn\"}\n") << (wwn ? wwn : "null");
        EXPECT_EQ(r.code, 1);
    }
    EXPECT_EQ(run(std::string(64, 'a').c_str()).out, "{\"ok\":false,\"refused\":\"not_flagged\"}\n");

    for (const std::string& text : {std::string(kConfReadMax + 1, '\n'), std::string()}) {
        if (text.empty())
            ::unlink(conf().c_str());
        else
            write_file(conf(), text);
        const Reply r = run();
        EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"conf_unreadable\",\"detail\":\"" + conf() + "\"}\n");
        EXPECT_EQ(r.code, 1);
    }
    EXPECT_TRUE(runner_.calls().empty());
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
    EXPECT_EQ(g_db, nullptr);

    write_file(g_db_path, "not a database, but not empty either");
    EXPECT_EQ(run().out, "{\"ok\":false,\"refused\":\"no_probe\"}\n");
}

TEST_F(FlagClearTest, TheNewestProbeOfTheDiskDecides) {
    struct Case {
        const char* name;
        const char* status;
        const char* verdict;
        std::int64_t ago;
        std::string want;  // refusal code, "" when cleared
    } cases[] = {
        {"exactly seven days", "done", "'good'", 604800, ""},
        {"a second more", "done", "'good'", 604801, "probe_old"},
        {"bad wins over the status", "failed", "'bad'", 10, "verdict_bad"},
        {"not done", "stopped", "'good'", 10, "verdict_inconclusive"},
        {"inconclusive", "done", "'inconclusive'", 10, "verdict_inconclusive"},
        {"no verdict", "done", "NULL", 10, "verdict_inconclusive"},
        {"link", "done", "'link'", 10, ""},
    };
    for (const Case& c : cases) {
        clock_.advance_ms(1000);  // a backup name of its own
        write_file(conf(), kConf);
        probe("X", "'naa.5000C500A1B2C3D4'", c.status, c.verdict, c.ago);
        const Reply r = run();
        if (c.want.empty()) {
            EXPECT_EQ(r.code, 0) << c.name << ": " << r.out;
        } else {
            EXPECT_EQ(r.out, "{\"ok\":false,\"refused\":\"" + c.want + "\",\"probe_id\":1}\n")
                << c.name;
            EXPECT_EQ(r.code, 3) << c.name;
        }
        sql("DELETE FROM probes");
    }
}

TEST_F(FlagClearTest, ProbesAreMatchedByWwnInAnyFormAndBySerial) {
    probe("X", "'5000C500A1B2C3D4'", "done", "'good'", 300);
    probe("wd-1", "NULL", "done", "'bad'", 200);              // the inventory disk's serial
    probe("naa.5000c500a1b2c3d4", "NULL", "done", "'good'", 250);  // serial equal to the WWN text
    probe("Y", "'5000cca0deadbeef'", "done", "'good'", 100);  // another disk, newer
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
    EXPECT_EQ(r.out, "{\"ok\":true,\"method\":\"hal_event\",\"backup\":\"" + backup() +
                         "\",\"key\":\"pd_err_wwn_naa.5000C500A1B2C3D4\",\"dev_id\":\"3\","
                         "\"hal_event\":{\"path\":\"" + hal_path() +
                         "\",\"rc\":0,\"output\":\"cleared \\\"3\\\"\\n\"},\"probe_id\":1}\n");
    EXPECT_EQ(r.code, 0);
    ASSERT_EQ(runner_.calls().size(), 1u);
    EXPECT_EQ(runner_.calls()[0],
              (std::vector<std::string>{hal_path(), "--pd_clear_error", "dev_id=3"}));
    EXPECT_EQ(runner_.timeouts()[0], 15);
    EXPECT_TRUE(clock_.sleeps().empty());
    EXPECT_EQ(read_file(backup()), kConf);
    EXPECT_EQ(events(), (std::vector<std::string>{
                            "1|flag_cleared|{\"wwn\":\"naa.5000C500A1B2C3D4\",\"key\":\"pd_err_wwn_"
                            "naa.5000C500A1B2C3D4\",\"dev_id\":\"3\",\"method\":\"hal_event\","
                            "\"backup\":\"" + backup() +
                            "\",\"hal_rc\":0,\"conf_retries\":0,\"probe_id\":1}"}));
    EXPECT_EQ(g_db, nullptr);
}

TEST_F(FlagClearTest, AHalEventThatDoesNothingIsFollowedByTheRewrite) {
    good_probe();
    runner_.push(FakeReply{2, "no such device\n"});
    const std::string saved = backup();
    const Reply r = run();
    char lock[kConfLockSize];
    ASSERT_EQ(conf_lock_path_in(lock_dir().c_str(), conf().c_str(), lock, sizeof lock), 1);
    EXPECT_EQ(r.out, "{\"ok\":true,\"method\":\"file\",\"backup\":\"" + saved +
                         "\",\"key\":\"pd_err_wwn_naa.5000C500A1B2C3D4\",\"dev_id\":\"3\","
                         "\"conf_lock\":\"" + lock + "\",\"conf_retries\":0,"
                         "\"hal_event\":{\"path\":\"" + hal_path() +
                         "\",\"rc\":2,\"output\":\"no such device\\n\"},\"probe_id\":1}\n");
    EXPECT_EQ(clock_.sleeps(), std::vector<double>(40, 250.0));
    EXPECT_EQ(read_file(conf()), kCleared);
    EXPECT_EQ(events().size(), 1u);
}

TEST_F(FlagClearTest, WithoutADeviceIdOrHalEventTheFileIsRewrittenAtOnce) {
    struct Case {
        const char* name;
        std::string devmap;
        bool hal_present;
        const char* dev_id_json;
    } cases[] = {
        {"no device id", "", true, "null"},
        {"a device id too long to pass whole", "pd_dev_wwn_5000c500a1b2c3d4 = " + std::string(100, '7') + "\n",
         true, nullptr},
        {"no hal_event anywhere", "pd_dev_wwn_5000c500a1b2c3d4 = 3\n", false, "\"3\""},
    };
    good_probe();
    for (const Case& c : cases) {
        clock_.advance_ms(1000);
        write_file(conf(), std::string(kFlagLine) + c.devmap);
        if (!c.hal_present) ::unlink(hal_path().c_str());
        const Reply r = run();
        EXPECT_EQ(r.code, 0) << c.name;
        EXPECT_NE(r.out.find("\"method\":\"file\""), std::string::npos) << c.name;
        EXPECT_NE(r.out.find("\"rc\":-2,\"output\":\"\"}"), std::string::npos) << c.name;
        if (c.dev_id_json)
            EXPECT_NE(r.out.find(std::string("\"dev_id\":") + c.dev_id_json), std::string::npos) << c.name;
        if (!c.hal_present) EXPECT_NE(r.out.find("{\"path\":null"), std::string::npos) << c.name;
        EXPECT_EQ(read_file(conf()), c.devmap) << c.name;
    }
    EXPECT_TRUE(runner_.calls().empty());
    EXPECT_TRUE(clock_.sleeps().empty());
    EXPECT_EQ(events().size(), 3u);
}

TEST_F(FlagClearTest, AFileHalEventLeftUnreadableOrDamagedIsNeverReportedCleared) {
    struct Case {
        const char* name;
        std::function<void()> damage;
        std::string detail;
    } cases[] = {
        {"removed", [&] { ::unlink(conf().c_str()); },
         "conf_unreadable: " + conf() + " after hal_event: No such file or directory"},
        {"over 1 MiB", [&] { write_file(conf(), kCleared + std::string(kConfReadMax, '#')); },
         "conf_unreadable: " + conf() + " after hal_event: over 1 MiB"},
        {"emptied", [&] { write_file(conf(), ""); }, "conf_damaged: " + conf() + " is empty after hal_event"},
        {"cut in a line", [&] { write_file(conf(), "[Global]\npd_dev_wwn_5000c5"); },
         "conf_damaged: " + conf() + " ends in the middle of a line after hal_event"},
    };
    good_probe();
    for (const Case& c : cases) {
        clock_.advance_ms(1000);
        write_file(conf(), kConf);
        runner_.set_handler([&](const std::vector<std::string>&) {
            c.damage();
            return FakeReply{0, ""};
        });
        const std::string saved = backup();
        const Reply r = run();
        EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"still_flagged\",\"detail\":\"" + c.detail +
                             "\",\"backup\":\"" + saved +
                             "\",\"key\":\"pd_err_wwn_naa.5000C500A1B2C3D4\",\"dev_id\":\"3\","
                             "\"conf_lock\":null,\"conf_retries\":0,\"hal_event\":{\"path\":\"" +
                             hal_path() + "\",\"rc\":0,\"output\":\"\"},\"probe_id\":1}\n")
            << c.name;
        EXPECT_EQ(r.code, 1) << c.name;
        EXPECT_EQ(read_file(saved), kConf) << c.name;
    }
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(clock_.sleeps().size(), 4u * 40);
}

TEST_F(FlagClearTest, AFileMissingForAMomentAfterHalEventIsWaitedFor) {
    good_probe();
    runner_.set_handler([&](const std::vector<std::string>&) {
        ::unlink(conf().c_str());
        return FakeReply{0, ""};
    });
    clock_.on_sleep([&](double) {
        if (clock_.sleeps().size() == 3) write_file(conf(), kCleared);
    });
    const Reply r = run();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("\"method\":\"hal_event\""), std::string::npos);
    EXPECT_EQ(clock_.sleeps().size(), 3u);
}

TEST_F(FlagClearTest, ALockedConfigurationStaysFlaggedAndNamesTheLock) {
    good_probe();
    write_file(conf(), kFlagLine);
    char lock[kConfLockSize];
    ASSERT_EQ(conf_lock_path_in(lock_dir().c_str(), conf().c_str(), lock, sizeof lock), 1);
    LockHolder nas_tool(lock);
    ASSERT_TRUE(nas_tool.held());
    const std::string saved = backup();
    const Reply r = run();
    EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"still_flagged\",\"detail\":\"conf_locked: " +
                         std::string(lock) + " stayed locked for 10 s\",\"backup\":\"" + saved +
                         "\",\"key\":\"pd_err_wwn_naa.5000C500A1B2C3D4\",\"dev_id\":null,"
                         "\"conf_lock\":\"" + lock + "\",\"conf_retries\":0,\"hal_event\":{"
                         "\"path\":\"" + hal_path() + "\",\"rc\":-2,\"output\":\"\"},\"probe_id\":1}\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(read_file(conf()), kFlagLine);
    EXPECT_TRUE(events().empty());
}

TEST_F(FlagClearTest, BackupsAreNeverReplacedAndTheirFailureStopsTheRun) {
    good_probe();
    write_file(backup(), "an earlier backup\n");
    Reply r = run();
    EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"backup_failed\",\"detail\":\"" + backup() + "\"}\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(read_file(backup()), "an earlier backup\n");
    EXPECT_EQ(read_file(conf()), kConf);

    // A backup folder that cannot hold files (root ignores permission bits).
    const std::string folder = std::string(g_var_dir) + "/flag-backups";
    ASSERT_EQ(::rename(folder.c_str(), (folder + ".old").c_str()), 0);
    write_file(folder, "a file in the folder's place");
    r = run();
    EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"backup_failed\",\"detail\":\"" + backup() + "\"}\n");
    EXPECT_EQ(read_file(conf()), kConf);
    EXPECT_TRUE(runner_.calls().empty());
}

TEST_F(FlagClearTest, ThousandsOfFlagsAndOddlyWrittenKeys) {
    std::string text = "[Global]\r\n";
    for (int i = 0; i < 3000; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "pd_err_wwn_5000cca0%08x = 1\r\n", i);
        text += line;
        if (i == 2500) text += "pd_err_wwn_\t0X5000c500a1b2c3d4 = \x01\xff\r\nPD_ERR_WWN_5000C500A1B2C3D4=1\r\n";
    }
    write_file(conf(), text);
    good_probe();
    const Reply r = run();
    EXPECT_EQ(r.code, 0) << r.out;
    // The WWN as the file writes it is not safe in a file name: the backup
    // is named after the WWN as given.
    EXPECT_NE(r.out.find("-0x5000c500a1b2c3d4.bak\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"key\":\"pd_err_wwn_\\t0X5000c500a1b2c3d4\""), std::string::npos) << r.out;
    const std::string left = read_file(conf());
    EXPECT_EQ(left.find("c500a1b2c3d4"), std::string::npos);
    EXPECT_EQ(left.size(), text.size() - 68);
}

TEST(FlagClearHalEvent, FoundFixedThenInAbsolutePathFoldersOnly) {
    TempDir dir;
    const std::string d = dir.path();
    write_file(d + "/fixed", "#!/bin/sh\n", 0755);
    write_file(d + "/plain/hal_event", "not executable\n", 0644);
    make_dirs(d + "/dir/hal_event");  // a folder is no program
    write_file(d + "/good/hal_event", "#!/bin/sh\n", 0755);
    write_file(d + "/rel/hal_event", "#!/bin/sh\n", 0755);
    const std::string rel = d.substr(1) + "/rel";  // relative to "/"
    const std::string old = std::getenv("PATH") ? std::getenv("PATH") : "";
    const char* cwd_before = ::getcwd(nullptr, 0);
    ASSERT_EQ(::chdir("/"), 0);
    const std::string fixed = d + "/fixed";
    struct Case {
        const char* fixed;
        std::string path;
        std::string want;
    } cases[] = {
        {"", "", ""},
        {nullptr, d + "/good", d + "/good/hal_event"},
        {fixed.c_str(), d + "/good", fixed},
        {"/nonexistent", "::" + rel + ":" + d + "/plain:" + d + "/dir:" + d + "/good", d + "/good/hal_event"},
        {"/nonexistent", rel + ":.", ""},
    };
    char out[4096];
    for (const Case& c : cases) {
        ::setenv("PATH", c.path.c_str(), 1);
        flag_clear_find_hal_event(c.fixed, out, sizeof out);
        EXPECT_EQ(std::string(out), c.want) << c.path;
    }
    ::setenv("PATH", old.c_str(), 1);
    if (cwd_before) (void)!::chdir(cwd_before);
    std::free(const_cast<char*>(cwd_before));
}

}  // namespace
