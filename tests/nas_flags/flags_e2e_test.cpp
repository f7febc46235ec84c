// flags and flag-clear as the NAS runs them: the real executable in the fake
// NAS, its configuration at /mnt/HDA_ROOT/.conf, a /sbin/hal_event script,
// the NAS's INI lock held by another process, a busy database, and kills at
// moments spread over a whole run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fake_disk.h"
#include "tests/support/fake_nas.h"
#include "tests/support/fake_smartctl.h"
#include "tests/support/fuse_disk.h"
#include "tests/support/json_edit.h"
#include "tests/support/lock_holder.h"
#include "tests/support/probe_nas.h"
#include "tests/support/sqlite_file.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr char kConfPath[] = "/mnt/HDA_ROOT/.conf";
constexpr char kLockPath[] = "/var/lock/INI_L21udC9IREFfUk9PVC8uY29uZg==.lck";
const std::string kConf =
    "[Global]\nhostname = nas\npd_err_wwn_0x5000C500A1B2C3D4 = 1\n"
    "pd_dev_wwn_5000c500a1b2c3d4 = 3\nlast = 1\n";
const std::string kCleared =
    "[Global]\nhostname = nas\npd_dev_wwn_5000c500a1b2c3d4 = 3\nlast = 1\n";

class FlagsE2e : public ::testing::Test {
   protected:
    void SetUp() override {
        REQUIRE_FAKE_NAS();
        fake_disk_add(fake_disk_root(nas_),
                      FakeDisk{.dev = "sdb", .serial = "WD-1", .wwid = "naa.5000c500a1b2c3d4"});
        nas_.put_file(kConfPath, kConf);
    }
    std::string db() const { return nas_.pkg_root() + "/var/corvantis/corvantis.db"; }
    std::string backups() const { return nas_.pkg_root() + "/var/corvantis/flag-backups"; }
    // A database with one good surface test of the disk, finished a minute ago.
    void good_probe() {
        ASSERT_EQ(nas_.run({"init"}).exit_code, 0);
        ASSERT_EQ(
            sql_exec(db(),
                     "INSERT INTO probes(serial,wwn,mode,status,verdict,started_ts,finished_ts) "
                     "VALUES('WD-1','5000c500a1b2c3d4','quick','done','good',"
                     "strftime('%s','now')-600,strftime('%s','now')-60)"),
            "");
    }

    FakeNas nas_;
};

TEST_F(FlagsE2e, ListingJoinsTheInventoryAndOpensNoDatabase) {
    RunResult r = nas_.run({"flags"});
    EXPECT_EQ(
        r.out,
        "{\"conf\":\"/mnt/HDA_ROOT/.conf\",\"readable\":true,\"flags\":["
        "{\"wwn\":\"0x5000C500A1B2C3D4\",\"key\":\"pd_err_wwn_0x5000C500A1B2C3D4\","
        "\"value\":\"1\",\"dev_id\":\"3\",\"serial\":\"WD-1\",\"dev\":\"sdb\"}],\"devmap\":["
        "{\"wwn\":\"5000c500a1b2c3d4\",\"dev_id\":\"3\",\"serial\":\"WD-1\",\"dev\":\"sdb\"}]}\n");
    EXPECT_EQ(r.exit_code, 0);
    r = nas_.run({"flags", "--conf", "/mnt/none"});
    EXPECT_EQ(r.out, "{\"conf\":\"/mnt/none\",\"readable\":false,\"flags\":[],\"devmap\":[]}\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(::access(db().c_str(), F_OK), 0);
}

// hal_event clears the flag, while a poll holds the database too. Whatever
// bytes it prints, the reply is one line that a strict JSON reader takes: its
// output is cut between characters, and bytes that are no UTF-8 show as "?".
TEST_F(FlagsE2e, HalEventClearsAndTheReplyIsStrictJson) {
    good_probe();
    std::string e_acute;
    for (int i = 0; i < 400; ++i) e_acute += "é";
    const struct {
        const char* what;
        std::string print;  // shell commands after the flag's line is gone
        bool busy;
        std::string reply;  // the end of the reply line
    } cases[] = {
        {"its own words", "echo \"hal_event $*\"\n", true,
         "\"rc\":0,\"output\":\"hal_event --pd_clear_error dev_id=3\\n\"},\"probe_id\":1}\n"},
        {"UTF-8 past the output's 400 bytes", "printf '%s' 'x" + e_acute + "'\nexit 1\n", false,
         "\"rc\":1,\"output\":\"x" + e_acute.substr(0, 199 * 2) + "\"},\"probe_id\":1}\n"},
        {"Latin-1", "printf '\\351\\377'\nexit 1\n", false,
         "\"rc\":1,\"output\":\"??\"},\"probe_id\":1}\n"},
    };
    for (const auto& c : cases) {
        nas_.put_file(kConfPath, kConf);
        nas_.put_script("/sbin/hal_event",
                        "sed -i '/^pd_err_wwn_/d' /mnt/HDA_ROOT/.conf\n" + c.print);
        std::optional<LockHolder> poll;
        if (c.busy) poll.emplace(sql_exclusive_lock(db()), 1500);
        ASSERT_TRUE(!poll || poll->held()) << c.what;
        const RunResult r = nas_.run({"flag-clear", "--wwn", "5000c500a1b2c3d4"});
        EXPECT_EQ(r.exit_code, 0) << c.what << "\n" << r.out << r.err;
        EXPECT_EQ(
            r.out.rfind(
                "{\"ok\":true,\"method\":\"hal_event\",\"backup\":\"" + backups() + "/conf-", 0),
            0u)
            << c.what << "\n"
            << r.out;
        EXPECT_NE(r.out.find("\"hal_event\":{\"path\":\"/sbin/hal_event\"," + c.reply),
                  std::string::npos)
            << c.what << "\n"
            << r.out;
        EXPECT_TRUE(json_strict_text(r.out)) << c.what << "\n" << r.out;
        EXPECT_EQ(read_file(nas_.host_path(kConfPath)), kCleared) << c.what;
        const std::vector<std::string> saved = dir_names(backups());
        ASSERT_EQ(saved.size(), 1u) << c.what;
        EXPECT_EQ(read_file(backups() + "/" + saved[0]), kConf) << c.what;
        ::unlink((backups() + "/" + saved[0]).c_str());  // names count seconds
        EXPECT_EQ(sql_value(db(),
                            "SELECT type||' '||json_extract(detail,'$.method') FROM events "
                            "ORDER BY event_id DESC LIMIT 1"),
                  "flag_cleared hal_event")
            << c.what;
    }
}

// Whether a lease on the lock file is being broken: an open of the file was
// refused for it, so the rewrite has begun to wait.
bool lease_breaking(const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return false;
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    std::istringstream locks(read_file("/proc/locks"));
    for (std::string line; std::getline(locks, line);)
        if (line.find(" BREAKING ") != std::string::npos && line.find(inode) != std::string::npos)
            return true;
    return false;
}

// The lock folder is open to every user (1777, as on the NAS). The rewrite
// waits for a lock that a NAS tool holds and for a lease that another user
// holds, takes a plain file found at the lock's name as the lock, as the
// NAS's tools do, and refuses whatever else stands there. A lock that an
// ordinary user takes on the configuration's folder holds nothing up.
TEST_F(FlagsE2e, TheRewriteTakesTheNasToolsLockAndNoOther) {
    good_probe();
    const std::string lock_dir = nas_.host_path("/var/lock"), lock = nas_.host_path(kLockPath);
    const std::string name = lock.substr(lock_dir.size() + 1), conf = nas_.host_path(kConfPath);
    const std::string victim = nas_.host_path("/mnt/victim");
    ASSERT_EQ(::chmod(lock_dir.c_str(), 01777), 0);
    const bool protected_regular = read_file("/proc/sys/fs/protected_regular") != "0\n";
    const std::string denied = "cannot be opened: Permission denied";
    const struct {
        const char* what;
        std::function<bool()> take;  // in the holder's process; none: a NAS tool's lock
        std::string why;             // of the refusal; "" when cleared
        bool lease = false;
    } cases[] = {
        {"a NAS tool's lock", nullptr, ""},
        {"a link planted by root", [&] { return ::symlink("/mnt/victim", lock.c_str()) == 0; },
         "is not a regular file"},
        {"a socket",
         [&] {
             return become_nobody_in(lock_dir, [&](int d) {
                 sockaddr_un addr{};
                 addr.sun_family = AF_UNIX;
                 name.copy(addr.sun_path, sizeof addr.sun_path - 1);
                 const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
                 return ::fchdir(d) == 0 && s >= 0 &&
                        ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
             });
         },
         denied},
        {"a read lease",
         [&] {
             ::signal(SIGIO, SIG_IGN);  // the holder lets go when the test says so
             return become_nobody_in(lock_dir, [&](int d) {
                 const int fd = ::openat(d, name.c_str(), O_RDONLY | O_CREAT, 0644);
                 return fd >= 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
             });
         },
         "", true},
        {"a plain file",
         [&] {
             return become_nobody_in(lock_dir, [&](int d) {
                 return ::openat(d, name.c_str(), O_RDWR | O_CREAT, 0666) >= 0;
             });
         },
         protected_regular ? denied : ""},
        {"a lock on the configuration's folder",
         [&] {
             return become_nobody_in(conf.substr(0, conf.rfind('/')), [](int d) {
                 const int fd = ::openat(d, ".", O_RDONLY | O_DIRECTORY);
                 return fd >= 0 && ::flock(fd, LOCK_EX) == 0;
             });
         },
         ""},
    };
    RunOptions no_hal;
    no_hal.env_set = {{"PATH", "/nonexistent"}};
    for (const auto& c : cases) {
        nas_.put_file(kConfPath, kConf);
        LockHolder holder = c.take ? LockHolder(c.take, -1) : LockHolder(lock, 1500);
        ASSERT_TRUE(holder.held()) << c.what;
        const NasProcess p = nas_.start({"flag-clear", "--wwn", "0X5000C500A1B2C3D4"}, no_hal);
        if (c.lease) {
            EXPECT_TRUE(wait_until([&] { return lease_breaking(lock); }, 10)) << c.what;
            holder.release();
        }
        // A run still waiting past the lock's own 10 s bound is killed: the row fails.
        const RunResult r = nas_.wait(p, 10);
        EXPECT_EQ(r.exit_code, c.why.empty() ? 0 : 1) << c.what << "\n" << r.out << r.err;
        const std::string detail =
            "\"detail\":\"conf_locked: " + std::string(kLockPath) + " " + c.why + "\",";
        EXPECT_NE(r.out.find(c.why.empty() ? "\"method\":\"file\"" : detail), std::string::npos)
            << c.what << "\n"
            << r.out;
        EXPECT_NE(
            r.out.find(std::string("\"conf_lock\":\"") + kLockPath + "\",\"conf_retries\":0,"),
            std::string::npos)
            << c.what << "\n"
            << r.out;
        EXPECT_EQ(read_file(conf), c.why.empty() ? kCleared : kConf) << c.what;
        EXPECT_NE(::access(victim.c_str(), F_OK), 0) << c.what;
        ::unlink(lock.c_str());
        for (const std::string& saved : dir_names(backups()))
            ::unlink((backups() + "/" + saved).c_str());  // names count seconds
    }
}

TEST_F(FlagsE2e, AHalEventThatDamagesTheFileLeavesTheFlagReported) {
    good_probe();
    nas_.put_script("/sbin/hal_event",
                    "head -c 40 /mnt/HDA_ROOT/.conf > /mnt/t\nmv /mnt/t /mnt/HDA_ROOT/.conf\n");
    const RunResult r = nas_.run({"flag-clear", "--wwn", "5000c500a1b2c3d4"});
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_EQ(r.out.rfind("{\"ok\":false,\"error\":\"still_flagged\",\"detail\":\"conf_damaged: "
                          "/mnt/HDA_ROOT/.conf ends in the middle of a line after hal_event\"",
                          0),
              0u)
        << r.out;
    EXPECT_EQ(read_file(nas_.host_path(kConfPath)), kConf.substr(0, 40));
    EXPECT_EQ(sql_value(db(), "SELECT count(*) FROM events"), "0");
    const std::vector<std::string> saved = dir_names(backups());
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(read_file(backups() + "/" + saved[0]), kConf);
}

// Whatever moment a stop or a kill lands on, the configuration is the old
// text or the new one, whole, and every backup holds the old text whole. A
// stop (SIGTERM, or SIGQUIT from Ctrl-\) leaves no temporary copy of the
// configuration, beside it or in the backup folder; a kill (SIGKILL) may,
// under a temporary name.
TEST_F(FlagsE2e, AKillAtAnyMomentLeavesAWholeConfiguration) {
    good_probe();
    RunOptions opts;
    opts.env_set = {{"PATH", "/nonexistent"}};
    const std::string conf = nas_.host_path(kConfPath);
    auto temporary_files = [&] {
        std::vector<std::string> names;
        for (const std::string& dir : {nas_.host_path("/mnt/HDA_ROOT"), backups()})
            for (const std::string& name : dir_names(dir))
                if (name.rfind(".conf.corvantis.", 0) == 0 || name.rfind(".conf-backup.", 0) == 0)
                    names.push_back(name);
        return names;
    };
    // The moments are spread evenly over the time a whole run takes.
    nas_.put_file(kConfPath, kConf);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(nas_.run({"flag-clear", "--wwn", "5000c500a1b2c3d4"}, opts).exit_code, 0);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    const struct { int signal, runs; } rounds[] = {{SIGTERM, 100}, {SIGQUIT, 100}, {SIGKILL, 40}};
    for (const auto& round : rounds) {
        int old_left = 0, new_left = 0;
        opts.kill_signal = round.signal;
        for (int i = 0; i < round.runs; ++i) {
            nas_.put_file(kConfPath, kConf);
            opts.kill_after_us = static_cast<int>(whole.count() * i / round.runs);
            nas_.run({"flag-clear", "--wwn", "5000c500a1b2c3d4"}, opts);
            const std::string now = read_file(conf);
            ASSERT_TRUE(now == kConf || now == kCleared)
                << "signal " << round.signal << " after " << opts.kill_after_us << " us:\n"
                << now;
            (now == kConf ? old_left : new_left)++;
            if (round.signal != SIGKILL) {
                EXPECT_EQ(temporary_files(), std::vector<std::string>{})
                    << "stopped after " << opts.kill_after_us << " us";
            }
            for (const std::string& name : dir_names(backups())) {
                if (name[0] == '.') continue;  // a backup still under its temporary name
                EXPECT_EQ(read_file(backups() + "/" + name), kConf) << name;
                ::unlink((backups() + "/" + name).c_str());
            }
        }
        std::printf("a run takes %lld us; signal %d left the old text %d times, the new one %d\n",
                    static_cast<long long>(whole.count()), round.signal, old_left, new_left);
    }
}

// The rows that decide are written by the real probe: a good run of a clean
// disk lets its flag go, through hal_event and through the locked rewrite; a
// stopped run and an inconclusive one (real read errors of the FUSE disk)
// keep theirs.
TEST_F(FlagsE2e, RealProbeRunsDecide) {
    constexpr std::uint64_t kMiB = 1 << 20;
    TempDir images;
    const std::string image = images.path() + "/errors.img";
    write_pattern_image(image, 8 * kMiB);
    FuseDisk fuse(image);
    REQUIRE_FUSE(fuse);
    fuse.fail(3 * kMiB, 4096, ENODATA);
    LoopDisks disks(nas_);  // detached before the FUSE disk goes
    FakeSmartctl sc = FakeSmartctl::in(nas_);
    const struct {
        const char* dev;
        const char* serial;
        const char* wwn;  // as the NAS writes it in its flag key
        std::string image;
    } disk[] = {
        {"sdc", "G-1", "0x5000C5000000A001", ""},
        {"sdd", "S-1", "0x5000C5000000A002", ""},
        {"sde", "I-1", "0x5000C5000000A003", fuse.file()},
    };
    std::string conf = "[Storage]\n";
    for (int i = 0; i < 3; ++i) {
        const std::string digits = std::string(disk[i].wwn).substr(2);
        REQUIRE_ATTACHED(
            disks,
            disks.attach(
                FakeDisk{.dev = disk[i].dev, .serial = disk[i].serial, .wwid = "naa." + digits},
                8 * kMiB, disk[i].image, LoopOptions{.read_only = !disk[i].image.empty()}));
        sc.healthy_sata(disk[i].dev, disk[i].serial);
        conf += std::string("pd_err_wwn_") + disk[i].wwn + " = 1\npd_dev_wwn_" + digits + " = " +
                std::to_string(i + 1) + "\n";
    }
    const std::string conf_path = nas_.host_path(kConfPath);
    auto without_flag = [&conf](const char* wwn) {
        const std::string line = std::string("pd_err_wwn_") + wwn + " = 1\n";
        return std::string(conf).erase(conf.find(line), line.size());
    };
    auto clear = [this](const char* wwn, const RunOptions& opts = {}) {
        return nas_.run({"flag-clear", "--wwn", wwn}, opts);
    };

    nas_.put_file(kConfPath, conf);
    RunResult r = nas_.run(probe_args(nas_, "G-1"));
    ASSERT_EQ(r.out, "{\"ok\":true,\"status\":\"done\",\"verdict\":\"good\",\"probe_id\":1}\n")
        << r.err;
    EXPECT_EQ(sql_value(db(), "SELECT wwn FROM probes"), "5000C5000000A001") << "the NAS's own";
    nas_.put_script("/sbin/hal_event",
                    "sed -i '/^pd_err_wwn_0x5000C5000000A001 /d' " + std::string(kConfPath) + "\n");
    r = clear(disk[0].wwn);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("{\"ok\":true,\"method\":\"hal_event\","), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"rc\":0,\"output\":\"\"},\"probe_id\":1}\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(read_file(conf_path), without_flag(disk[0].wwn));

    // A backup name of its own: names count seconds.
    const std::time_t first = std::time(nullptr);
    ASSERT_TRUE(wait_until([first] { return std::time(nullptr) > first; }));
    nas_.put_file(kConfPath, conf);
    ::unlink(nas_.host_path("/sbin/hal_event").c_str());
    RunOptions no_hal;
    no_hal.env_set = {{"PATH", "/nonexistent"}};
    r = clear(disk[0].wwn, no_hal);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(std::string("{\"ok\":true,\"method\":\"file\",")), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(std::string("\"conf_lock\":\"") + kLockPath + "\",\"conf_retries\":0,"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(read_file(conf_path), without_flag(disk[0].wwn));
    EXPECT_EQ(sql_rows(db(),
                       "SELECT json_extract(detail,'$.method')||' '||"
                       "json_extract(detail,'$.probe_id') FROM events WHERE "
                       "type='flag_cleared' ORDER BY event_id"),
              (std::vector<std::string>{"hal_event 1", "file 1"}));

    // A run stopped during its map, and a run that ends inconclusive.
    NasProcess stopped = nas_.start(probe_args(nas_, "S-1", "quick", {"--max-rate", "0.5"}));
    ASSERT_TRUE(wait_until([&] { return probe_in_phase(nas_, "S-1", "verify"); }));
    ::kill(stopped.pid, SIGTERM);
    r = nas_.wait(stopped);
    EXPECT_EQ(r.out, "{\"ok\":true,\"status\":\"stopped\",\"verdict\":null,\"probe_id\":2}\n")
        << r.err;
    r = nas_.run(probe_args(nas_, "I-1"));
    EXPECT_EQ(r.out,
              "{\"ok\":true,\"status\":\"done\",\"verdict\":\"inconclusive\",\"probe_id\":3}\n")
        << r.err;
    EXPECT_NE(json_get(probe_state(nas_, "I-1"), "map.codes").find('E'), std::string::npos);
    nas_.put_file(kConfPath, conf);
    const std::size_t backups_before = dir_names(backups()).size();
    for (int i : {1, 2}) {
        r = clear(disk[i].wwn);
        EXPECT_EQ(r.exit_code, 3) << disk[i].serial;
        EXPECT_EQ(r.out, "{\"ok\":false,\"refused\":\"verdict_inconclusive\",\"probe_id\":" +
                             std::to_string(i + 1) + "}\n");
    }
    EXPECT_EQ(read_file(conf_path), conf);
    EXPECT_EQ(dir_names(backups()).size(), backups_before) << "a refusal keeps no backup";
    EXPECT_EQ(sql_value(db(), "SELECT count(*) FROM events WHERE type='flag_cleared'"), "2");
}

}  // namespace
