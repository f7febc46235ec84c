// The state reader on state files written by hand in the engine's format:
// every field it reads, stale runs, and files that are damaged, hostile or
// not files at all.
#include "surface_ui/view.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/unique_fd.h"
#include "surface_test/probe_state.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_nas.h"
#include "tests/support/probe_state_dir.h"
#include "tests/support/state_doc.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::int64_t kNow = kStateDocNow;

pid_t dead_pid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

class ViewLoad : public ::testing::Test {
   protected:
    void TearDown() override {
        view_free(&view_);
        g_probe_root = "";
    }
    std::string path(const std::string& serial = "S1") const { return dir_.state_path(serial); }
    int load(const std::string& text, const std::string& serial = "S1") {
        dir_.write_state(serial, text);
        return view_load(serial.c_str(), &view_);
    }

    FakeClock clock_{kNow};
    ProbeStateDir dir_;
    ProbeView view_{};
};

using S = std::string;
using std::make_tuple;

TEST_F(ViewLoad, RunningDocumentGivesEveryField) {
    ASSERT_EQ(load(running_doc().json()), 0);
    const ProbeView& v = view_;
    EXPECT_EQ(make_tuple(v.present, S(v.status), S(v.phase), S(v.mode), S(v.serial), S(v.model),
                         S(v.dev), S(v.kind), S(v.error)),
              make_tuple(1, S("running"), S("verify"), S("full"), S("WD-WCC4E1234567"),
                         S("WDC WD40EFRX-68N32N0"), S("/dev/sdc"), S("sat"), S("")));
    EXPECT_EQ(make_tuple(v.pid, v.started_ts, v.updated_ts, v.finished_ts, v.eta_s,
                         v.capacity_bytes, v.logical_block_size),
              make_tuple(std::int64_t{::getpid()}, kNow - 3600, kNow - 1, 0, 26816, 4000787030016LL,
                         512));
    EXPECT_EQ(make_tuple(S(v.map.method), v.map.cells, v.map.done, v.map.cell_bytes,
                         v.map.codes_len, S(v.map.codes ? v.map.codes : "")),
              make_tuple(S("verify"), 4096, 2000, 976224256, 4096, running_codes()));
    EXPECT_EQ(make_tuple(S(v.selftest.status), v.selftest.has_lba, v.stats.verify_mib,
                         v.stats.verify_errors, v.stats.slow_cells),
              make_tuple(S("skipped"), 0, 1862000, 2, 2));
    ASSERT_EQ(v.bad_count, 2);
    EXPECT_EQ(make_tuple(v.bad[0].lba, v.bad[0].cell, S(v.bad[0].kind), S(v.bad[0].via),
                         S(v.bad[0].repeat), v.bad[0].code),
              make_tuple(123456, 126, S("media"), S("verify"), S("0/0"), 'B'));
    EXPECT_EQ(make_tuple(S(v.bad[1].via), S(v.bad[1].repeat), v.bad[1].code),
              make_tuple(S("read"), S("3/3"), 'L'));
    EXPECT_EQ(make_tuple(S(v.verdict.code), v.reason_count), make_tuple(S(""), 0));
    EXPECT_EQ(make_tuple(v.deltas.has_a5, v.deltas.has_a199, v.deltas.has_phy, v.deltas.phy_sum,
                         v.deltas.has_history_a5, v.deltas.history.a5, v.siblings.count,
                         v.siblings.erring),
              make_tuple(1, 1, 1, 5, 1, 8, 3, 1));
    EXPECT_EQ(make_tuple(v.has_speed, v.speed.cur_mibs, v.speed.avg_mibs, v.speed.peak_mibs,
                         v.speed.idle_s, v.speed.hist_count, v.speed.hist[1]),
              make_tuple(1, 182.4, 175.0, 201.3, 12.0, 3, 180.0f));
    EXPECT_EQ(make_tuple(S(v.thermal.state), S(v.thermal.sensor), S(v.thermal.limit_src),
                         v.thermal.has_temp, v.thermal.temp_c, v.thermal.max_c, v.thermal.limit_c,
                         v.thermal.resume_c, v.thermal.duty_pct, v.thermal.pauses,
                         v.thermal.paused_s, v.thermal.has_throttle),
              make_tuple(S("ok"), S("smart"), S("default"), 1, 41, 43, 55, 50, 100, 1, 90, 0));
    EXPECT_EQ(
        make_tuple(v.thermal.hist_count, v.thermal.hist[0], v.thermal.hist[1], v.thermal.hist[2]),
        make_tuple(3, 40.0f, -1000.0f, 41.0f));
}

TEST_F(ViewLoad, FinishedDocumentGivesTheVerdictAndItsReasons) {
    ASSERT_EQ(load(finished_doc().json()), 0);
    EXPECT_STREQ(view_.status, "done");
    EXPECT_STREQ(view_.verdict.code, "bad");
    ASSERT_EQ(view_.reason_count, 3);
    EXPECT_STREQ(view_.reasons[0].key, "media_repeatable");
    EXPECT_EQ(view_.reasons[0].n, 1);
    EXPECT_EQ(view_.reasons[0].has_n, 1);
    EXPECT_STREQ(view_.reasons[1].key, "crc_grew");
    EXPECT_EQ(view_.reasons[1].n, 41);
    EXPECT_STREQ(view_.reasons[2].key, "clean");
    EXPECT_EQ(view_.reasons[2].has_n, 0);

    ASSERT_EQ(load(finished_doc().set("status", q("stopped")).json()), 0);
    EXPECT_STREQ(view_.verdict.code, "");
    EXPECT_EQ(view_.reason_count, 0);
}

TEST_F(ViewLoad, NoFileGivesAnEmptyView) {
    ASSERT_EQ(load(running_doc().json()), 0);
    ::unlink(path().c_str());
    EXPECT_EQ(view_load("S1", &view_), -1);
    EXPECT_EQ(view_.present, 0);
    EXPECT_STREQ(view_.status, "");
    EXPECT_EQ(view_.map.codes, nullptr);
}

TEST_F(ViewLoad, RunningFileWhoseWriterIsGoneIsStale) {
    const std::string dead = std::to_string(dead_pid());
    const std::string live = std::to_string(::getpid());
    // The disk's lock file: none, there but free, held by this process, or
    // there with a recorded /proc/locks line on its inode: another process's
    // shared flock, or an exclusive one named by another device than stat
    // gives (as btrfs names 00:28 what stat calls 0:29); or free, with the
    // test ending just as the reader looks: /proc/locks is a FIFO that is
    // answered only once the last save (if any) was written.
    enum Lock { kNoLock, kFree, kHeld, kSharedLine, kOtherDeviceLine, kEndsAsLockIsRead };
    const struct {
        const char* name;
        const char* status;
        std::string pid;
        std::int64_t age_s;
        const char* loaded;
        Lock lock = kNoLock;
        const char* last_save = nullptr;  // the status of the writer's last save
        const char* verdict = "";
    } cases[] = {
        {"process gone", "running", dead, 1, "stale"},
        {"no pid, 301 s old", "running", "0", 301, "stale"},
        {"no pid, 300 s old", "running", "0", 300, "running"},
        {"pid 1, 301 s old", "running", "1", 301, "stale"},
        {"alive and fresh", "running", live, 1, "running"},
        {"alive but silent", "running", live, 400, "stale"},
        {"lock held, silent for one slow read", "running", live, 400, "running", kHeld},
        {"lock free, fresh", "running", live, 1, "stale", kFree},
        {"only shared by another process, fresh", "running", live, 1, "stale", kSharedLine},
        {"held on another device, fresh", "running", live, 1, "running", kOtherDeviceLine},
        {"ends done as its lock is read", "running", live, 1, "done", kEndsAsLockIsRead, "done",
         "good"},
        {"stopped as its lock is read", "running", live, 1, "stopped", kEndsAsLockIsRead,
         "stopped"},
        {"dies unsaved as its lock is read", "running", live, 1, "stale", kEndsAsLockIsRead},
        {"finished, process gone", "done", dead, 4000, "done"},
        {"pid -1 is no process", "running", "-1", 1, "running"},
        {"pid beyond 32 bits is no process", "running", "4294967297", 1, "running"},
    };
    const std::string lock_path = dir_.root() + "/probe/S1.lock";
    const TempDir fake_proc;
    for (const auto& c : cases) {
        ::unlink(lock_path.c_str());
        g_probe_root = "";
        UniqueFd lock;
        if (c.lock != kNoLock) lock.reset(::open(lock_path.c_str(), O_RDWR | O_CREAT, 0644));
        if (c.lock == kHeld) {
            ASSERT_EQ(::flock(lock.get(), LOCK_EX | LOCK_NB), 0);
        }
        if (c.lock == kSharedLine || c.lock == kOtherDeviceLine) {
            struct stat st {};
            ASSERT_EQ(::fstat(lock.get(), &st), 0);
            const unsigned min = minor(st.st_dev) ^ (c.lock == kOtherDeviceLine ? 1 : 0);
            char line[128];
            std::snprintf(line, sizeof line, "1: FLOCK  ADVISORY  %s 4242 %02x:%02x:%llu 0 EOF\n",
                          c.lock == kSharedLine ? "READ " : "WRITE", major(st.st_dev), min,
                          static_cast<unsigned long long>(st.st_ino));
            write_file(fake_proc.path() + "/proc/locks", line);
            g_probe_root = fake_proc.path().c_str();
        }
        const std::string locks = fake_proc.path() + "/proc/locks";
        std::thread writer;
        if (c.lock == kEndsAsLockIsRead) {
            make_dirs(fake_proc.path() + "/proc");
            ::unlink(locks.c_str());
            ASSERT_EQ(::mkfifo(locks.c_str(), 0600), 0);
            g_probe_root = fake_proc.path().c_str();
            writer = std::thread([&] {
                const UniqueFd fifo(::open(locks.c_str(), O_WRONLY | O_CLOEXEC));
                if (!c.last_save) return;
                StateDoc last = running_doc().set("status", q(c.last_save)).set("pid", c.pid);
                if (c.verdict[0]) last.set("verdict", R"({"code":")" + S(c.verdict) + R"("})");
                dir_.write_state("S1", last.json());
            });
        }
        const int loaded = load(running_doc()
                                    .set("status", q(c.status))
                                    .set("pid", c.pid)
                                    .set("updated_ts", std::to_string(kNow - c.age_s))
                                    .json());
        if (writer.joinable()) {
            // Frees a writer that the reader never asked.
            const UniqueFd opened(::open(locks.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
            writer.join();
        }
        ASSERT_EQ(loaded, 0) << c.name;
        EXPECT_STREQ(view_.status, c.loaded) << c.name;
        EXPECT_STREQ(view_.verdict.code, c.verdict) << c.name;
    }
    EXPECT_EQ(view_.pid, 0) << "a pid that no process can have is not kept";
}

TEST_F(ViewLoad, MapIsKeptWithinItsCellsAndCodes) {
    const struct {
        const char* name;
        std::string map;
        std::int64_t cells, done, codes_len;
        const char* codes;  // nullptr: none expected
    } cases[] = {
        {"no cells", R"({"cells":0,"done":10})", 4096, 10, 0, nullptr},
        {"cells missing", R"({"done":10})", 4096, 10, 0, nullptr},
        {"done beyond cells", R"({"cells":4096,"done":5000})", 4096, 4096, 0, nullptr},
        {"done negative", R"({"cells":4096,"done":-3})", 4096, 0, 0, nullptr},
        {"more cells than a map has", R"({"cells":5000,"done":4500})", 4096, 4096, 0, nullptr},
        {"cells beyond 64 bits", R"({"cells":99999999999999999999,"done":1})", 4096, 1, 0, nullptr},
        {"fewer codes than cells", R"({"cells":4096,"done":9,"codes":"aaaaBaaa"})", 8, 8, 8,
         "aaaaBaaa"},
        {"more codes than cells", R"({"cells":4,"done":4,"codes":"abcdefE"})", 4, 4, 4, "abcd"},
        {"codes that are no codes", R"({"cells":6,"done":6,"codes":"xZ\\B.a"})", 6, 6, 6, "....B."},
        {"raw control bytes in codes", "{\"cells\":5,\"done\":5,\"codes\":\"a\x1b[2J\"}", 5, 5, 5,
         "a...."},
        {"empty codes before the map", R"({"cells":4096,"done":0,"codes":""})", 4096, 0, 0, ""},
        {"codes of the wrong type", R"({"cells":7,"done":1,"codes":5})", 7, 1, 0, nullptr},
        {"map of the wrong type", R"("map")", 4096, 0, 0, nullptr},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(load(running_doc().set("map", c.map).json()), 0) << c.name;
        const ProbeView& v = view_;
        EXPECT_EQ(make_tuple(v.map.cells, v.map.done, v.map.codes_len,
                             S(v.map.codes ? v.map.codes : "none")),
                  make_tuple(c.cells, c.done, c.codes_len, S(c.codes ? c.codes : "none")))
            << c.name;
    }
}

TEST_F(ViewLoad, ListsAreCutAndTheirOddEntriesSkipped) {
    std::string bad = "[7,";
    for (int i = 0; i < 300; ++i)
        bad += R"({"lba":)" + std::to_string(i) + (i == 0 ? "}," : R"(,"code":"L"},)");
    bad.back() = ']';
    std::string reasons = R"(["x",)";
    for (int i = 0; i < 20; ++i)
        reasons +=
            R"({"key":"k)" + std::to_string(i) + R"(","n":)" + (i == 1 ? "null" : "5") + "},";
    reasons.back() = ']';
    ASSERT_EQ(load(finished_doc()
                       .set("bad", bad)
                       .set("verdict", R"({"code":"link","reasons":)" + reasons + "}")
                       .json()),
              0);
    const ProbeView& v = view_;
    EXPECT_EQ(make_tuple(v.bad_count, v.bad[0].code, v.bad[1].code, v.bad[63].lba),
              make_tuple(64, 'E', 'L', 63));
    EXPECT_EQ(make_tuple(v.reason_count, S(v.reasons[0].key), v.reasons[1].has_n, v.reasons[15].n),
              make_tuple(16, S("k0"), 0, 5));
}

TEST_F(ViewLoad, HistoriesReadNumbersAndMarkGaps) {
    std::string long_hist = "[";
    for (int i = 0; i < 130; ++i) long_hist += std::to_string(i) + ",";
    long_hist.back() = ']';
    const struct {
        const char* name;
        std::string hist;
        std::vector<float> speed;  // as loaded; the same array is the temperature history
        std::vector<float> temps;
    } cases[] = {
        {"only null", "[null]", {0}, {-1000}},
        {"gaps", "[40,null,41]", {40, 0, 41}, {40, -1000, 41}},
        {"odd members",
         R"(["x",5,{},[1],true,1e999,-1e999,12.5])",
         {5, 0, 0, 0, 12.5f},
         {5, 0, -1000, -1000, 12.5f}},
        {"empty", "[]", {}, {}},
        {"not an array", "7", {}, {}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(load(running_doc()
                           .set("speed", R"({"cur_mibs":1,"hist":)" + c.hist + "}")
                           .set("thermal", R"({"state":"ok","hist":)" + c.hist + "}")
                           .json()),
                  0)
            << c.name;
        ASSERT_EQ(view_.speed.hist_count, static_cast<int>(c.speed.size())) << c.name;
        ASSERT_EQ(view_.thermal.hist_count, static_cast<int>(c.temps.size())) << c.name;
        for (std::size_t i = 0; i < c.speed.size(); ++i) {
            EXPECT_FLOAT_EQ(view_.speed.hist[i], c.speed[i]) << c.name << " " << i;
            EXPECT_FLOAT_EQ(view_.thermal.hist[i], c.temps[i]) << c.name << " " << i;
        }
    }
    ASSERT_EQ(load(running_doc().set("speed", R"({"hist":)" + long_hist + "}").json()), 0);
    EXPECT_EQ(view_.speed.hist_count, 120);
    EXPECT_FLOAT_EQ(view_.speed.hist[119], 119);
}

TEST_F(ViewLoad, OptionalValuesAndTheirFlags) {
    ASSERT_EQ(
        load(running_doc()
                 .set("thermal",
                      R"({"state":"pause","temp_c":null,"max_c":null,"drive_throttle_s":90})")
                 .set("selftest", R"({"status":"failed","remaining_pct":0,"lba_first_error":4711})")
                 .set("deltas", R"({"a5":null,"phy":{},"history":{}})")
                 .json()),
        0);
    const ProbeView& v = view_;
    EXPECT_EQ(
        make_tuple(v.thermal.has_temp, v.thermal.max_c, v.thermal.has_throttle,
                   v.thermal.drive_throttle_s, v.selftest.has_lba, v.selftest.lba_first_error),
        make_tuple(0, 0, 1, 90, 1, 4711));
    EXPECT_EQ(
        make_tuple(v.deltas.has_a5, v.deltas.has_phy, v.deltas.phy_sum, v.deltas.has_history_a5),
        make_tuple(0, 1, 0, 0));

    ASSERT_EQ(load(running_doc().erase("thermal").json()), 0);
    EXPECT_EQ(make_tuple(view_.has_speed, view_.speed.cur_mibs, view_.speed.hist_count),
              make_tuple(0, 0.0, 0));

    ASSERT_EQ(
        load(running_doc().set("deltas", R"({"phy":{"a":9223372036854775807,"b":5}})").json()), 0);
    EXPECT_EQ(view_.deltas.phy_sum, INT64_MAX);
    ASSERT_EQ(load(running_doc().set("deltas", R"({"phy":[1,2]})").json()), 0);
    EXPECT_EQ(view_.deltas.has_phy, 0);
}

TEST_F(ViewLoad, TextsAreRawAndCleanedOfControlCharacters) {
    ASSERT_EQ(
        load(running_doc()
                 .set("serial", R"("AB\"C")")
                 .set("model", "\"WDC \x1b]0;owned\x07\x1b[2J\"")
                 .set("error",
                      "\"csi \xc2\x9b"
                      "31m and \\u001b kept as written\"")
                 .set("dev", "\"/dev/sd\x7f\"")
                 .set("thermal", "{\"state\":\"o\x1bk\",\"sensor\":\"\x9b\"}")
                 .set("bad",
                      "[{\"kind\":\"m\x1b\",\"via\":\"\x1b[\",\"repeat\":\"\r\n\",\"code\":"
                      "\"\x1b\"}]")
                 .set("verdict", "{\"code\":\"b\x1b\",\"reasons\":[{\"key\":\"\x1b[2J\",\"n\":1}]}")
                 .json()),
        0);
    const ProbeView& v = view_;
    EXPECT_EQ(make_tuple(S(v.serial), S(v.model), S(v.error), S(v.dev)),
              make_tuple(S(R"(AB\"C)"), S("WDC ?]0;owned??[2J"),
                         S("csi ??31m and \\u001b kept as written"), S("/dev/sd?")));
    EXPECT_EQ(make_tuple(S(v.thermal.state), S(v.thermal.sensor), S(v.bad[0].kind), S(v.bad[0].via),
                         S(v.bad[0].repeat), v.bad[0].code),
              make_tuple(S("o?k"), S("?"), S("m?"), S("?["), S("??"), 'E'));
    EXPECT_EQ(make_tuple(S(v.verdict.code), S(v.reasons[0].key)), make_tuple(S("b?"), S("?[2J")));
}

TEST_F(ViewLoad, CountsAreKeptToTheirRanges) {
    ASSERT_EQ(
        load(running_doc()
                 .set("started_ts", "-5")
                 .set("updated_ts", "-9223372036854775808")
                 .set("eta_s", "-100")
                 .set("capacity_bytes", "18446744073709551615")
                 .set("logical_block_size", "-512")
                 .set("selftest", R"({"remaining_pct":250,"lba_first_error":-1})")
                 .set("stats", R"({"verify_mib":-1,"verify_errors":-2,"slow_cells":-3})")
                 .set("bad", R"([{"lba":-5,"cell":-6,"code":"B"}])")
                 .set("speed", R"({"cur_mibs":-4.5,"avg_mibs":1e999,"peak_mibs":"7"})")
                 .set("thermal", R"({"duty_pct":-20,"pauses":-1,"paused_s":-2,"limit_c":-55})")
                 .json()),
        0);
    const ProbeView& v = view_;
    EXPECT_EQ(
        make_tuple(v.started_ts, v.updated_ts, v.eta_s, v.capacity_bytes, v.logical_block_size,
                   v.selftest.remaining_pct, v.selftest.lba_first_error),
        make_tuple(0, 0, 0, INT64_MAX, 0, 100, 0));
    EXPECT_EQ(make_tuple(v.stats.verify_mib, v.stats.verify_errors, v.stats.slow_cells,
                         v.bad[0].lba, v.bad[0].cell),
              make_tuple(0, 0, 0, 0, 0));
    EXPECT_EQ(make_tuple(v.speed.cur_mibs, v.speed.avg_mibs, v.speed.peak_mibs),
              make_tuple(0.0, 0.0, 0.0));
    EXPECT_EQ(
        make_tuple(v.thermal.duty_pct, v.thermal.pauses, v.thermal.paused_s, v.thermal.limit_c),
        make_tuple(0, 0, 0, 0));
}

TEST_F(ViewLoad, WrongTypesLeaveTheirFieldsEmpty) {
    ASSERT_EQ(
        load(R"({"status":5,"phase":["verify"],"pid":"123","map":"x","bad":{"lba":1},)"
             R"("verdict":[],"speed":1,"thermal":"y","deltas":3,"siblings":{},"model":null})"),
        0);
    EXPECT_EQ(view_.present, 1);
    EXPECT_STREQ(view_.status, "");
    EXPECT_STREQ(view_.phase, "");
    EXPECT_EQ(view_.pid, 0);
    EXPECT_EQ(view_.map.cells, 4096);
    EXPECT_EQ(view_.bad_count, 0);
    EXPECT_EQ(view_.reason_count, 0);
    EXPECT_EQ(view_.has_speed, 1);
    EXPECT_EQ(view_.speed.hist_count, 0);
    EXPECT_EQ(view_.siblings.count, 0);
    EXPECT_STREQ(view_.model, "");
}

TEST_F(ViewLoad, FilesThatAreNotStateDocumentsAreRefused) {
    const std::string doc = running_doc().json();
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"cut in the middle", doc.substr(0, doc.size() / 2)},
        {"cut at the last brace", doc.substr(0, doc.size() - 1)},
        {"an array", "[1,2,3]"},
        {"a string", "\"running\""},
        {"garbage", "\x1b[2J\x1b]0;x\x07"},
        {"larger than any state file", std::string(kViewMaxBytes - 1, ' ') + "{}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(load(c.text), -1) << c.name;
        EXPECT_EQ(view_.present, 0) << c.name;
    }

    ::unlink(path().c_str());
    ASSERT_EQ(::mkfifo(path().c_str(), 0644), 0);
    EXPECT_EQ(view_load("S1", &view_), -1) << "a FIFO";  // must not block
    ::unlink(path().c_str());
    ASSERT_EQ(::mkdir(path().c_str(), 0755), 0);
    EXPECT_EQ(view_load("S1", &view_), -1) << "a directory";
    ::rmdir(path().c_str());
    ASSERT_EQ(::symlink("/dev/zero", path().c_str()), 0);
    EXPECT_EQ(view_load("S1", &view_), -1) << "a device";
}

TEST_F(ViewLoad, SerialsThatLeaveTheProbeDirectoryAreRefused) {
    std::ofstream(dir_.root() + "/secret.json") << running_doc().json();
    for (const char* serial : {"../secret", "", ".hidden", "a/b", "bad serial"}) {
        EXPECT_EQ(view_load(serial, &view_), -1) << serial;
        EXPECT_EQ(view_.present, 0) << serial;
    }
}

TEST_F(ViewLoad, ReloadingReplacesTheCodes) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(load(running_doc().json()), 0);
    ASSERT_EQ(load(running_doc().set("map", R"({"cells":3,"codes":"aBc"})").json()), 0);
    EXPECT_STREQ(view_.map.codes, "aBc");
    view_free(&view_);
    EXPECT_EQ(view_.map.codes, nullptr);
    view_free(&view_);
}

}  // namespace
