// The collector's commands as the real executable over a fake NAS: a fake
// smartctl replays recorded replies of real drives (and mutated copies), a
// fake log_tool records what it is handed and refuses some, enclosure files
// and /sys/block trees are laid out by the test, and the database is a real
// file checked through a connection of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/unique_fd.h"
#include "tests/support/fake_disk.h"
#include "tests/support/fake_nas.h"
#include "tests/support/json_edit.h"
#include "tests/support/lock_holder.h"
#include "tests/support/loop_device.h"
#include "tests/support/probe_nas.h"
#include "tests/support/smartctl_samples.h"
#include "tests/support/sqlite_file.h"
#include "tests/support/temp_dir.h"

namespace {

// The number after the last of the anchors, found in order, replaced by value.
std::string with_number(std::string text, const std::vector<std::string>& anchors,
                        long long value) {
    size_t pos = 0;
    for (const std::string& a : anchors) pos = text.find(a, pos) + a.size();
    const size_t end = text.find_first_not_of("-0123456789", pos);
    return text.replace(pos, end - pos, std::to_string(value));
}

std::string with_text(std::string text, const std::string& anchor, const std::string& from,
                      const std::string& to) {
    const size_t pos = text.find(from, text.find(anchor));
    return text.replace(pos, from.size(), to);
}

int occurrences(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
        ++n;
    return n;
}

class CollectorE2E : public ::testing::Test {
   protected:
    void SetUp() override {
        REQUIRE_FAKE_NAS();
        disks_ = fake_disk_root(nas);
        make_dirs(replies());
        // smartctl: the reply file named after the device, ".farm" for the
        // FARM log, ".<type>" for "-d <type>"; an optional delay first. A
        // FIFO "<device>.gate" holds the call: it marks "<device>.gate.held"
        // and answers only once the test opens the FIFO (gate_release).
        nas.put_script("/usr/sbin/smartctl",
                       "d=''; farm=''; prev=''; dev=''\n"
                       "for a in \"$@\"; do\n"
                       "  [ \"$prev\" = -d ] && d=\".$a\"; [ \"$a\" = farm ] && farm=.farm\n"
                       "  prev=\"$a\"; dev=\"$a\"\n"
                       "done\n"
                       "g=\"" +
                           replies() +
                           "/${dev##*/}.gate\"\n"
                           "if [ -p \"$g\" ]; then : > \"$g.held\"; read -r _ < \"$g\"; fi\n"
                           "[ -f " +
                           replies() + "/.delay ] && sleep \"$(cat " + replies() +
                           "/.delay)\"\n"
                           "f=\"" +
                           replies() +
                           "/${dev##*/}$farm$d\"\n"
                           "[ -f \"$f\" ] && cat \"$f\"\n"
                           "exit 0\n");
        nas.put_script("/sbin/log_tool", "printf '%s\\n' \"$*\" >> " + log_tool_calls() +
                                             "\ncase \"$*\" in *REJECT*) exit 3;; esac\nexit 0\n");
    }

    std::string replies() const { return nas.base() + "/replies"; }
    std::string log_tool_calls() const { return nas.base() + "/log_tool.calls"; }
    std::string db() const { return nas.pkg_root() + "/var/corvantis/corvantis.db"; }
    std::string value(const std::string& sql) const { return sql_value(db(), sql); }

    void reply(const std::string& dev, const std::string& text) {
        write_file(replies() + "/" + dev, text);
    }
    // smartctl calls on dev wait, once they marked that they run, until
    // gate_release lets them answer.
    std::string gate(const std::string& dev) const { return replies() + "/" + dev + ".gate"; }
    bool gate_set(const std::string& dev) const { return ::mkfifo(gate(dev).c_str(), 0600) == 0; }
    bool gate_held(const std::string& dev) const {
        return ::access((gate(dev) + ".held").c_str(), F_OK) == 0;
    }
    // Opening the FIFO lets the waiting call go on (its reader sees the end).
    void gate_release(const std::string& dev) const {
        const UniqueFd w(::open(gate(dev).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        ::unlink(gate(dev).c_str());
        ::unlink((gate(dev) + ".held").c_str());
    }
    // Lays the disks out (sysfs and one enclosure file) and their replies.
    void lay_out(const std::vector<FakeDisk>& disks) {
        std::string enclosure;
        for (const FakeDisk& d : disks) {
            if (d.slot >= 0) enclosure += fake_disk_section(d);
            FakeDisk sysfs_only = d;
            sysfs_only.slot = -1;
            fake_disk_add(disks_, sysfs_only);
        }
        write_file(fake_enclosure_path(disks_, 0), enclosure);
    }
    RunResult corvantisd(std::vector<std::string> args) const {
        args.push_back("--qpkg-root");
        args.push_back(nas.pkg_root());
        return nas.run(args);
    }
    NasProcess start(std::vector<std::string> args, const RunOptions& opts = {}) const {
        args.push_back("--qpkg-root");
        args.push_back(nas.pkg_root());
        return nas.start(args, opts);
    }
    std::vector<FakeDisk> many(int n) {
        std::vector<FakeDisk> disks;
        const std::string text = smartctl_sample("ata-hdd-wd181kryz-all.json");
        for (int i = 0; i < n; ++i) {
            const std::string dev = std::string("sd") + static_cast<char>('a' + i);
            disks.push_back({.dev = dev,
                             .serial = "SER" + std::to_string(i),
                             .model = "WDC",
                             .firmware = "F1",
                             .slot = i});
            reply(dev, with_number(text, {"\"id\": 9,", "\"raw\": {", "\"value\": "}, 1000 + i));
        }
        lay_out(disks);
        return disks;
    }

    FakeNas nas;
    FakeDiskRoot disks_;
};

TEST_F(CollectorE2E, DumpTickStatusForgetPruneOverSeveralDisks) {
    const std::string sata = smartctl_sample("ata-hdd-wd181kryz-all.json");
    const std::string ssd = smartctl_sample("ata-ssd-samsung-860evo-xall-phy-devstats.json");
    const std::string nvme = smartctl_sample("nvme-samsung-970evo-xall.json");
    const std::vector<std::string> realloc = {"\"name\": \"Reallocated_Sector_Ct\"", "\"raw\": {",
                                              "\"value\": "};
    std::vector<FakeDisk> disks = {
        {.dev = "sda",
         .serial = "HDD1",
         .model = "WDC WD181KRYZ",
         .firmware = "01.01H01",
         .slot = 1},
        {.dev = "sdb",
         .bus = FakeBus::kSas,
         .serial = "SAS1",
         .model = "ST600MP0036",
         .firmware = "N003",
         .slot = 2,
         .vendor = "SEAGATE"},
        {.dev = "sdc", .serial = "SSD1", .model = "Samsung 860", .rotational = false, .slot = 3},
        {.dev = "nvme0n1", .bus = FakeBus::kNvme, .serial = "NVME1", .model = "Samsung 970"},
        {.dev = "sdd", .serial = "BAD1", .model = "REJECT me", .slot = 4},
    };
    lay_out(disks);
    // Junk beside them: a second enclosure file of random bytes and sections
    // without a disk, a /sys/block entry without any attribute.
    std::mt19937 rng(3);
    std::string junk = "[PhysicalDisk_9]\npd_sys_name = /dev/sdq\n[PhysicalDisk_\n=\n";
    for (int i = 0; i < 4096; ++i) junk += static_cast<char>(rng() % 256);
    write_file(fake_enclosure_path(disks_, 1), junk);
    make_dirs(nas.host_path("/sys/block/sdq"));
    reply("sda", with_number(sata, realloc, 5));
    reply("sdb", smartctl_sample("scsi-sas-seagate-st600mp0036-all.json"));
    reply("sdc", ssd);
    reply("nvme0n1", nvme);
    reply("sdd", smartctl_sample("fail-unable-to-detect-device-type-exit1.json"));

    RunResult r = corvantisd({"dump"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("manual poll #1: 5 disks, "), std::string::npos) << r.err;
    EXPECT_EQ(sql_rows(db(), "SELECT type,COUNT(*) FROM events GROUP BY type ORDER BY type"),
              (std::vector<std::string>{"appear|5", "boot_detected|1", "smart_error|1"}));
    EXPECT_EQ(sql_rows(db(), "SELECT DISTINCT ns FROM readings ORDER BY ns"),
              (std::vector<std::string>{"ata", "devstat", "health", "nvme", "sataphy", "scsi"}));
    EXPECT_EQ(sql_rows(db(), "SELECT rule_id,severity,pushed_ts IS NOT NULL,push_rc FROM alerts"),
              (std::vector<std::string>{"R-A1|1|1|0", "R-M3|1|0|3"}));
    EXPECT_EQ(
        read_file(log_tool_calls()),
        "-t1 -uqorm -p127.0.0.1 -mlocalhost -a [Corvantis] WDC WD181KRYZ (HDD1, bay 1): 5 "
        "reallocated sectors \xE2\x80\x94 back up and plan replacement\n"
        "-t1 -uqorm -p127.0.0.1 -mlocalhost -a [Corvantis] REJECT me (BAD1, bay 4): SMART read "
        "error\n");
    EXPECT_EQ(value("SELECT farm_support FROM disks WHERE serial='SAS1'"), "0");

    r = corvantisd({"dump"});
    EXPECT_NE(r.err.find("manual poll #2: 5 disks, 0 delta rows"), std::string::npos) << r.err;
    EXPECT_EQ(value("SELECT COUNT(*) FROM events"), "7");

    // A raw value grows, a temperature rises, a self-test fails, a firmware
    // is updated, a disk moves to another bay and the NVMe disk is pulled.
    reply("sda", with_number(sata, realloc, 6));
    reply("sdc", with_number(with_text(ssd, "\"ata_smart_self_test_log\"", "\"passed\": true",
                                       "\"passed\": false"),
                             {"\"ata_smart_self_test_log\"", "\"lifetime_hours\": "}, 14540));
    disks[1].firmware = "N004";
    disks[2].slot = 5;
    disks.erase(disks.begin() + 3);
    ::unlink(nas.host_path("/sys/block/nvme0n1").c_str());
    lay_out(disks);
    r = corvantisd({"dump"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(sql_rows(db(), "SELECT type,detail FROM events WHERE poll_id=3 ORDER BY event_id"),
              (std::vector<std::string>{
                  "fw_change|{\"from\":\"N003\",\"to\":\"N004\"}", "slot_change|",
                  "selftest_fail|{\"type\":\"Short offline\",\"status\":\"Completed without "
                  "error\",\"hours\":14540}",
                  "disappear|"}));
    EXPECT_EQ(sql_rows(db(), "SELECT rule_id FROM alerts WHERE alert_id>2 ORDER BY alert_id"),
              (std::vector<std::string>{"R-A1", "R-DISAPPEAR"}));

    // tick: the hour has no hourly poll yet; the next tick finds nothing due.
    r = corvantisd({"tick"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.err.find("hourly poll #4: 4 disks"), std::string::npos) << r.err;
    r = corvantisd({"tick"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(value("SELECT COUNT(*) FROM polls"), "4");

    r = corvantisd({"status"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "{\"collector\":\"ok\",\"db\":\"" + db() +
                         "\",\"version\":\"1.0\",\"counts\":{"
                         "\"disks\":5,\"polls\":4,\"readings\":" +
                         value("SELECT COUNT(*) FROM readings") +
                         ",\"events\":" + value("SELECT COUNT(*) FROM events") +
                         ",\"alerts\":4,\"unpushed\":1},\"last_poll\":" +
                         value("SELECT started_ts FROM polls WHERE poll_id=4") + "}\n");

    r = corvantisd({"forget", "--serial", "hdd1"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.err.find("] forgot disk HDD1 (id 1)\n"), std::string::npos) << r.err;
    EXPECT_EQ(value("SELECT COUNT(*) FROM readings WHERE disk_id=1"), "0");
    r = corvantisd({"forget", "--serial", "hdd1"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("] no disk with serial HDD1\n"), std::string::npos);
    r = corvantisd({"forget"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("] forget needs --serial\n"), std::string::npos);

    r = corvantisd({"prune"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_NE(value("SELECT value FROM meta WHERE key='last_prune_ts'"), "");
}

TEST_F(CollectorE2E, PollLockBudgetAndBusyDatabase) {
    many(10);
    const std::string lock = nas.pkg_root() + "/var/corvantis/.tick.lock";
    ASSERT_EQ(corvantisd({"init"}).exit_code, 0);
    {
        UniqueFd held(::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        ASSERT_EQ(::flock(held.get(), LOCK_EX | LOCK_NB), 0);
        RunResult r = corvantisd({"tick"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_NE(r.err.find("another tick running"), std::string::npos);
        r = corvantisd({"dump"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(value("SELECT COUNT(*) FROM polls"), "0");
    }

    // SIGALRM, as the 240-second alarm sends it, ends the poll after the
    // disk in hand; what was done is committed as a partial poll.
    write_file(replies() + "/.delay", "0.3");
    const NasProcess p = start({"dump"});
    ASSERT_EQ(p.harness_error, "");
    ::usleep(1200 * 1000);
    ::kill(p.pid, SIGALRM);
    const RunResult r = nas.wait(p);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("timeout \xE2\x80\x94 committing partial"), std::string::npos) << r.err;
    const std::string seen = value("SELECT disks_seen FROM polls");
    EXPECT_EQ(value("SELECT status FROM polls"), "partial");
    EXPECT_GE(std::stoi(seen), 2);
    EXPECT_LT(std::stoi(seen), 10);
    EXPECT_EQ(value("SELECT COUNT(*) FROM disks"), seen);
    ::unlink((replies() + "/.delay").c_str());

    // Another writer holds the database past the busy time-out: a clear
    // failure, not a pretended success.
    LockHolder other(sql_write_lock(db()), -1);
    ASSERT_TRUE(other.held());
    const RunResult busy = corvantisd({"dump"});
    other.release();
    EXPECT_EQ(busy.exit_code, 1);
    EXPECT_NE(busy.err.find("database is locked"), std::string::npos) << busy.err;
    EXPECT_EQ(value("SELECT COUNT(*) FROM polls"), "1");

    // A lock file that cannot be opened.
    ::unlink(lock.c_str());
    ::mkdir(lock.c_str(), 0755);
    const RunResult no_lock = corvantisd({"dump"});
    EXPECT_EQ(no_lock.exit_code, 1);
    EXPECT_NE(no_lock.err.find("cannot open poll lock"), std::string::npos) << no_lock.err;
}

// The database must hold whole polls only, wherever a dump is killed: each
// dump is killed while smartctl runs on its i-th disk, so inside its
// transaction with the rows of i disks written.
TEST_F(CollectorE2E, KillNineNeverLeavesHalfAPoll) {
    const std::vector<FakeDisk> disks = many(24);
    const std::string text = smartctl_sample("ata-hdd-wd181kryz-all.json");
    ASSERT_EQ(corvantisd({"dump"}).exit_code, 0);
    for (size_t i = 0; i < disks.size(); ++i) {
        // New power-on hours on every disk: each poll writes rows to lose.
        for (const FakeDisk& d : disks)
            reply(d.dev, with_number(text, {"\"power_on_time\": {", "\"hours\": "},
                                     9000 + static_cast<long long>(i)));
        const std::string& dev = disks[i].dev;
        ASSERT_TRUE(gate_set(dev));
        const NasProcess p = start({"dump"});
        const bool held = wait_until([&] { return gate_held(dev); }, 30);
        ::kill(p.pid, SIGKILL);
        const RunResult r = nas.wait(p);
        gate_release(dev);
        ASSERT_TRUE(held) << r.err;
        ASSERT_EQ(r.signal, SIGKILL) << r.err;
        ASSERT_EQ(value("PRAGMA integrity_check"), "ok") << i;
        ASSERT_EQ(value("SELECT COUNT(*) FROM polls WHERE finished_ts IS NULL"), "0") << i;
        ASSERT_EQ(value("SELECT COUNT(*) FROM polls p WHERE rows_written != (SELECT COUNT(*) FROM "
                        "readings r WHERE r.poll_id=p.poll_id)"),
                  "0")
            << i;
        ASSERT_EQ(value("SELECT COUNT(*) FROM readings WHERE poll_id NOT IN (SELECT poll_id FROM "
                        "polls)"),
                  "0")
            << i;
    }
    EXPECT_EQ(value("SELECT COUNT(*) FROM polls"), "1") << "a killed poll was stored";
}

// tick, dump, the watch, a real probe of a disk and another writer at once:
// every poll that said it was stored is there, the probe stores its row, and
// no one meets a lock it cannot wait out.
TEST_F(CollectorE2E, ConcurrentWritersLoseNothing) {
    TempDir dir;
    write_pattern_image(dir.path() + "/img", 4 << 20);
    LoopDevice loop(dir.path() + "/img");
    REQUIRE_LOOP(loop);
    many(6);
    // The probe's disk, polled by the collector too (smartctl has no reply for it).
    fake_disk_on_loop(nas, FakeDisk{.dev = "sdz", .serial = "P-1"}, loop);
    ASSERT_EQ(corvantisd({"init"}).exit_code, 0);
    const NasProcess watch = start({"watch"});
    const pid_t writer = ::fork();
    if (writer == 0) {
        int failures = 0;
        for (int i = 0; i < 300; ++i) {
            const std::string err = sql_exec(
                db(), "INSERT INTO probes(serial,mode,status,started_ts) VALUES('X','quick','ok'," +
                          std::to_string(i) + ")");
            failures += !err.empty();
            ::usleep(50000);
        }
        ::_exit(failures);
    }
    // The map and its 128 READ samples of 1 MiB span several polls.
    const NasProcess probe = nas.start(probe_args(nas, "P-1", "quick", {"--max-rate", "32"}));
    ASSERT_TRUE(wait_until(
        [&] { return FakeNas::err_so_far(watch).find("watch started") != std::string::npos; }, 20))
        << FakeNas::err_so_far(watch);
    std::ofstream("/sys/block/" + loop.path().substr(5) + "/uevent") << "add";
    int stored = 0;
    // Polls go on until the hot-swap poll ran and the probe has stored its
    // row (its final line comes after the insert).
    for (int round = 0;
         round < 60 && (value("SELECT COUNT(*) FROM polls WHERE kind='hotswap'") == "0" ||
                        read_file(probe.out_path).empty());
         ++round) {
        const NasProcess dump = start({"dump"});
        const NasProcess tick = start({"tick"});
        for (const NasProcess* p : {&dump, &tick}) {
            const RunResult r = nas.wait(*p);
            EXPECT_EQ(r.exit_code, 0) << r.err;
            stored += r.err.find(" poll #") != std::string::npos;
        }
    }
    const RunResult pr = nas.wait(probe);
    EXPECT_EQ(pr.exit_code, 0) << pr.err;
    EXPECT_EQ(pr.err.find("insert failed"), std::string::npos) << pr.err;
    EXPECT_EQ(pr.err.find("database is locked"), std::string::npos) << pr.err;
    EXPECT_EQ(json_get(pr.out, "probe_id"),
              value("SELECT probe_id FROM probes WHERE serial='P-1' AND status='done'"))
        << pr.out;
    int status = 0;
    ::waitpid(writer, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed inserts of the other writer";
    // The watch announces its poll once the commit is through.
    EXPECT_TRUE(wait_until(
        [&] { return FakeNas::err_so_far(watch).find("hotswap poll #") != std::string::npos; },
        20));
    ::kill(watch.pid, SIGTERM);
    const RunResult w = nas.wait(watch);
    // Other block devices of the machine may come and go meanwhile: count
    // every hot-swap poll the watch reported.
    const int hotswap = occurrences(w.err, "hotswap poll #");
    EXPECT_GE(hotswap, 1) << w.err;
    EXPECT_EQ(value("SELECT COUNT(*) FROM probes WHERE serial='X'"), "300");
    EXPECT_EQ(value("SELECT COUNT(*) FROM probes WHERE serial='P-1'"), "1");
    EXPECT_NE(value("SELECT COUNT(*) FROM polls, probes WHERE serial='P-1' AND "
                    "polls.started_ts BETWEEN probes.started_ts AND probes.finished_ts"),
              "0")
        << "polls ran while the probe did";
    EXPECT_EQ(value("SELECT COUNT(*) FROM polls"), std::to_string(stored + hotswap));
    EXPECT_EQ(value("PRAGMA integrity_check"), "ok");
}

// The watch over a real netlink socket: a real block uevent of a loop
// device, the settle wait, the hot-swap poll, a burst that overflows the
// socket, and the re-execution of a replaced executable under the same pid.
TEST_F(CollectorE2E, WatchOnRealUevents) {
    TempDir dir;
    write_pattern_image(dir.path() + "/img", 1 << 20);
    LoopDevice loop(dir.path() + "/img");
    REQUIRE_LOOP(loop);
    many(2);
    const std::string exe = nas.base() + "/bin/corvantisd";
    write_file(exe, read_file(CORVANTISD_BIN), 0755);
    RunOptions opts;
    opts.exe = exe;
    const NasProcess w = start({"watch"}, opts);
    auto wait_for = [&](const std::string& text, int count, int seconds) {
        return wait_until([&] { return occurrences(FakeNas::err_so_far(w), text) >= count; },
                          seconds);
    };
    const std::string uevent = "/sys/block/" + loop.path().substr(5) + "/uevent";
    ASSERT_TRUE(wait_for("corvantisd watch started (netlink uevent)", 1, 10));
    std::ofstream(uevent) << "add";
    ASSERT_TRUE(wait_for("uevent: block add \xE2\x80\x94 settling 15s", 1, 10))
        << FakeNas::err_so_far(w);
    // While it settles, thousands of events overflow its socket.
    for (int i = 0; i < 3000; ++i) std::ofstream(uevent) << "change";
    ASSERT_TRUE(wait_for("hotswap poll #", 2, 40)) << FakeNas::err_so_far(w);
    EXPECT_NE(FakeNas::err_so_far(w).find("hotswap poll #1: 2 disks"), std::string::npos);
    EXPECT_NE(FakeNas::err_so_far(w).find("uevent: events were lost"), std::string::npos);

    // A package upgrade replaces the file; the next pass of the loop runs it.
    write_file(exe, read_file(CORVANTISD_BIN), 0755);
    std::ofstream(uevent) << "change";
    ASSERT_TRUE(wait_for("corvantisd watch started (netlink uevent)", 2, 20))
        << FakeNas::err_so_far(w);
    EXPECT_NE(
        FakeNas::err_so_far(w).find("watch: " + exe + " was replaced, executing the new binary"),
        std::string::npos);
    struct stat running {};
    struct stat installed {};
    ASSERT_EQ(::stat(("/proc/" + std::to_string(w.pid) + "/exe").c_str(), &running), 0);
    ASSERT_EQ(::stat(exe.c_str(), &installed), 0);
    EXPECT_EQ(running.st_ino, installed.st_ino);
    ::kill(w.pid, SIGTERM);
    const RunResult r = nas.wait(w);
    EXPECT_EQ(r.signal, SIGTERM) << r.err;
}

}  // namespace
