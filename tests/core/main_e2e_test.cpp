// The real executable, run over a fake NAS: command line, paths and exit codes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/fake_nas.h"

namespace {

constexpr char kUsageFirstLine[] =
    "usage: corvantisd {init|tick|dump|watch|forget|prune|status|probe|probe-ui|probe-stop|flags|"
    "flag-clear}\n";

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

class MainE2E : public ::testing::Test {
   protected:
    void SetUp() override { REQUIRE_FAKE_NAS(); }
    FakeNas nas;
};

// Unknown words, --help and -h create the database first, then print the usage.
TEST_F(MainE2E, UnknownWordsPrintTheUsageAndExit2) {
    const std::string db = nas.pkg_root() + "/var/corvantis/corvantis.db";
    for (const char* word : {"bogus", "--help", "-h", "\xff\xfe", "Init"}) {
        ::unlink(db.c_str());
        const RunResult r = nas.run({word, "--qpkg-root", nas.pkg_root()});
        EXPECT_TRUE(exists(db)) << word;
        EXPECT_EQ(r.exit_code, 2) << word;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.size(), 697u) << word;
        EXPECT_EQ(r.err.rfind(kUsageFirstLine, 0), 0u) << r.err;
        EXPECT_NE(
            r.err.find(
                "(default on a 256-colour terminal) \xC2\xB7 --ui 16 colours \xC2\xB7 --plain"),
            std::string::npos);
    }
}

TEST_F(MainE2E, CreatesThePackageFoldersWithMode0755) {
    const std::string root = nas.pkg_root();
    nas.run({"bogus", "--qpkg-root", root});
    for (const std::string& dir : {root, root + "/var", root + "/var/corvantis"}) {
        ASSERT_TRUE(exists(dir)) << dir;
        EXPECT_EQ(mode_of(dir), 0755u) << dir;
    }
}

TEST_F(MainE2E, RootComesFromGetcfgWhenNotGiven) {
    const std::string root = nas.base() + "/share/pkg";
    make_dirs(nas.base() + "/share");
    nas.put_script("/sbin/getcfg",
                   "[ \"$*\" = \"qorm Install_Path -f /etc/config/qpkg.conf\" ] || exit 1\n"
                   "echo " +
                       root + "\necho second-line\n");
    const RunResult r = nas.run({"bogus"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(exists(root + "/var/corvantis"));
}

TEST_F(MainE2E, OverrideBeatsGetcfgAndEmptyOverrideCountsAsAbsent) {
    const std::string from_getcfg = nas.base() + "/fromcfg";
    nas.put_script("/sbin/getcfg", "echo " + from_getcfg + "\n");
    nas.run({"bogus", "--qpkg-root", nas.pkg_root()});
    EXPECT_TRUE(exists(nas.pkg_root() + "/var/corvantis"));
    EXPECT_FALSE(exists(from_getcfg));

    nas.run({"bogus", "--qpkg-root", ""});
    EXPECT_TRUE(exists(from_getcfg + "/var/corvantis"));
}

TEST_F(MainE2E, SilentGetcfgFallsBackToTheExecutablesFolder) {
    nas.put_script("/sbin/getcfg", "exit 0\n");
    const std::string bin = nas.base() + "/opt/a";
    make_dirs(bin);
    write_file(bin + "/corvantisd", read_file(CORVANTISD_BIN), 0755);
    RunOptions opts;
    opts.exe = bin + "/corvantisd";
    const RunResult r = nas.run({"bogus"}, opts);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(exists(nas.base() + "/opt/a/corvantisd-cli/var/corvantis"));
}

// A registry answer longer than the root field would be cut into another
// folder: it is not used. One that just fits is.
TEST_F(MainE2E, GetcfgRootMustFitItsField) {
    const std::string parent =
        nas.base() + "/" + std::string(200, 'd') + "/" + std::string(200, 'e');
    make_dirs(parent);
    const std::string fits = parent + "/" + std::string(511 - parent.size() - 1, 'f');
    const std::string too_long = fits + "g";
    ASSERT_EQ(fits.size(), 511u);
    const std::string bin = nas.base() + "/opt/a";
    make_dirs(bin);
    write_file(bin + "/corvantisd", read_file(CORVANTISD_BIN), 0755);
    RunOptions opts;
    opts.exe = bin + "/corvantisd";

    nas.put_script("/sbin/getcfg", "echo " + fits + "\n");
    nas.run({"bogus"}, opts);
    EXPECT_TRUE(exists(fits + "/var/corvantis"));

    nas.put_script("/sbin/getcfg", "echo " + too_long + "\n");
    nas.run({"bogus"}, opts);
    EXPECT_FALSE(exists(too_long));
    EXPECT_TRUE(exists(bin + "/corvantisd-cli/var/corvantis"));
}

// Without a terminal the UI prints its disk table; its hint names the program.
TEST_F(MainE2E, NoCommandRunsTheTerminalUiAndNamesTheProgram) {
    const std::string seen = nas.base() + "/cli-name";
    // getcfg runs after the rewrite, so it sees the variable main set.
    nas.put_script("/sbin/getcfg",
                   "printf '%s' \"$QORM_CLI_NAME\" > " + seen + "\necho " + nas.pkg_root() + "\n");
    const std::string hint = "watch or start a test:  ";

    RunOptions opts;
    opts.argv0 = "corv";
    opts.env_unset = {"QORM_CLI_NAME"};
    RunResult r = nas.run({}, opts);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find(hint + "corv --serial <SERIAL>"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(seen), "corv");

    opts.env_unset.clear();
    opts.env_set = {{"QORM_CLI_NAME", "kept-name"}};
    r = nas.run({"--ui", "--qpkg-root", nas.pkg_root()}, opts);
    EXPECT_NE(r.out.find(hint + "kept-name --serial <SERIAL>"), std::string::npos) << r.out;

    // A serial goes to the plain follower, which reports the disk's last test.
    write_file(nas.pkg_root() + "/var/corvantis/probe/S1.json",
               "{\"serial\":\"S1\",\"dev\":\"/dev/sdb\",\"status\":\"stopped\"}");
    r = nas.run({"--serial", "S1", "--qpkg-root", nas.pkg_root()}, opts);
    EXPECT_EQ(r.out, "corvantis: S1 (/dev/sdb): Aborted\n");

    opts.env_set.clear();
    opts.env_unset = {"QORM_CLI_NAME"};
    r = nas.run({"--ui2", "--qpkg-root", nas.pkg_root()}, opts);
    EXPECT_NE(r.out.find(hint + "corv --serial"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(seen), "corv");

    // A command word leaves the variable alone.
    write_file(seen, "untouched");
    nas.run({"bogus"}, opts);
    EXPECT_EQ(read_file(seen), "");
}

TEST_F(MainE2E, EmptyArgumentVectorStillRunsTheTerminalUi) {
    RunOptions opts;
    opts.no_argv0 = true;
    const RunResult r = nas.run({}, opts);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.out.rfind("DEVICE     MODEL", 0), 0u) << r.out;
}

TEST_F(MainE2E, TooManyArgumentsAfterAnOptionEndInTheUsage) {
    std::vector<std::string> args(70, "--json");
    RunResult r = nas.run(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.rfind(kUsageFirstLine, 0), 0u);

    // 68 arguments (argc 69) still fit the rewritten vector; 69 do not.
    args.assign(67, "--json");
    args.insert(args.begin(), {"--qpkg-root", nas.pkg_root()});
    r = nas.run(args);
    EXPECT_EQ(r.exit_code, 2);
    args.pop_back();
    r = nas.run(args);
    EXPECT_EQ(r.out.rfind("DEVICE     MODEL", 0), 0u) << r.out;
}

TEST_F(MainE2E, ProbeChoosesEngineOrTerminalUi) {
    const std::string root = nas.pkg_root();
    RunResult r = nas.run({"probe", "--serial", "S", "--qpkg-root", root});
    EXPECT_NE(r.err.find("probe: serial S mode quick pid"), std::string::npos) << r.err;

    // The plain follower starts a quick test of S, which finds no such disk.
    r = nas.run({"probe", "--serial", "S", "--plain", "--qpkg-root", root});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "corvantis: S: Test failed\n  error: serial_not_found\n");

    r = nas.run({"probe", "--plain", "--qpkg-root", root});
    EXPECT_EQ(r.out.rfind("DEVICE     MODEL", 0), 0u) << r.out;

    r = nas.run(
        {"probe", "--serial", "S", "--mode", "full", "--ui", "--json", "--qpkg-root", root});
    EXPECT_NE(r.err.find("probe: serial S mode full pid"), std::string::npos) << r.err;

    r = nas.run({"probe", "--qpkg-root", root, "--serial"});
    EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"bad_serial\"}\n");

    r = nas.run({"probe", "--serial", "\xc3\x28\xff", "--qpkg-root", root});
    EXPECT_EQ(r.out, "{\"ok\":false,\"error\":\"bad_serial\"}\n");
}

// The data folder made open to every user: a link that an ordinary user put
// at the name of a file that root writes there is never followed. The run
// logs the path, and the link's target (a file whose writing, appending or
// truncating would show, or a path where nothing may appear) stays as it was.
TEST_F(MainE2E, LinksPlantedInTheDataFolderAreNeverFollowed) {
    const std::string root = nas.pkg_root(), data = root + "/var/corvantis";
    const std::string target = nas.base() + "/target", old_text((1 << 20) + 1, 'v');
    const std::vector<std::string> probe = {"probe", "--json",      "--serial",
                                            "S1",    "--qpkg-root", root};
    const std::string loop = ": Too many levels of symbolic links";
    const struct {
        std::string name;  // in the data folder
        bool target_exists;
        std::vector<std::string> args;
        std::string logged;
    } cases[] = {
        {".tick.lock",
         false,
         {"dump", "--qpkg-root", root},
         "cannot open poll lock " + data + "/.tick.lock" + loop},
        {"probe/S1.lock", false, probe, "probe: cannot open " + data + "/probe/S1.lock" + loop},
        {"probe/.all.lock", false, probe, "probe: cannot open " + data + "/probe/.all.lock" + loop},
        {"probe/S1.json.tmp", true, probe, "probe: cannot write " + data + "/probe/S1.json" + loop},
        {"probe/S1.log",
         true,
         {"probe", "--plain", "--serial", "S1", "--qpkg-root", root},
         "cannot open the test's log " + data + "/probe/S1.log" + loop},
    };
    make_dirs(data + "/probe");
    ASSERT_EQ(::chmod(data.c_str(), 0777), 0);
    ASSERT_EQ(::chmod((data + "/probe").c_str(), 0777), 0);
    for (const auto& c : cases) {
        const std::string path = data + "/" + c.name;
        const std::size_t slash = path.rfind('/');
        ::unlink(target.c_str());
        if (c.target_exists) write_file(target, old_text);
        ASSERT_TRUE(as_nobody_in(path.substr(0, slash), [&](int dirfd) {
            return ::symlinkat(target.c_str(), dirfd, path.c_str() + slash + 1) == 0;
        })) << c.name;
        const RunResult r = nas.run(c.args);
        EXPECT_NE(r.err.find(c.logged), std::string::npos) << c.name << "\n" << r.err;
        if (c.target_exists)
            EXPECT_TRUE(read_file(target) == old_text) << c.name;
        else
            EXPECT_FALSE(exists(target)) << c.name;
        ::unlink(path.c_str());
    }
}

// A backup of the package folder made with hard links (cp -al) gives the
// files of the data folder a second name. Locks are taken all the same, and
// kept to root (0600) even where an older run made them 0644; a file that the
// program writes is made anew, so the backup's copy keeps its contents.
TEST_F(MainE2E, FilesWithASecondNameInABackupAreUsedOrMadeAnew) {
    const std::string root = nas.pkg_root(), data = root + "/var/corvantis";
    const std::string backup = nas.base() + "/backup", old_text = "from the backup\n";
    const std::vector<std::string> probe = {"probe", "--json",      "--serial",
                                            "S1",    "--qpkg-root", root};
    const struct {
        std::string name;  // in the data folder
        std::vector<std::string> args;
        mode_t mode;  // of the file at the name afterwards
    } cases[] = {
        {".tick.lock", {"tick", "--qpkg-root", root}, 0600},
        {"probe/S1.lock", probe, 0600},
        {"probe/S1.json.tmp", probe, 0},  // renamed over the state file
        {"probe/S1.log", {"probe", "--plain", "--serial", "S1", "--qpkg-root", root}, 0644},
    };
    make_dirs(data + "/probe");
    for (const auto& c : cases) {
        const std::string path = data + "/" + c.name;
        write_file(path, old_text);
        ASSERT_EQ(::link(path.c_str(), backup.c_str()), 0) << c.name;
        const RunResult r = nas.run(c.args);
        EXPECT_EQ(r.err.find("Too many links"), std::string::npos) << c.name << "\n" << r.err;
        EXPECT_EQ(r.err.find("cannot "), std::string::npos) << c.name << "\n" << r.err;
        EXPECT_EQ(read_file(backup), old_text) << c.name;
        EXPECT_EQ(exists(path) ? mode_of(path) : 0, c.mode) << c.name;
        ::unlink(backup.c_str());
    }
    EXPECT_EQ(mode_of(data + "/probe/.all.lock"), 0600u);
}

TEST_F(MainE2E, DatabaseCommandsOpenTheDatabaseFirst) {
    const std::string db = nas.pkg_root() + "/var/corvantis/corvantis.db";
    const std::pair<const char*, int> words[] = {
        {"tick", 0}, {"dump", 0}, {"forget", 2}, {"prune", 0}, {"status", 0}};
    for (const auto& [word, code] : words) {
        ::unlink(db.c_str());
        const RunResult r = nas.run({word, "--qpkg-root", nas.pkg_root()});
        EXPECT_EQ(r.exit_code, code) << word << "\n" << r.err;
        EXPECT_EQ(r.err.find("not built yet"), std::string::npos) << r.err;
        EXPECT_TRUE(exists(db)) << word;
    }
}

TEST_F(MainE2E, BadOptionValuesExit2AndCreateNothing) {
    const std::string temp_msg = "corvantisd: --temp-limit auto, off or 30..95 (degrees C)\n";
    const std::string rate_msg = "corvantisd: --max-rate MiB/s (0 = no limit)\n";
    struct Case {
        const char* option;
        const char* value;
        std::string want;
    } cases[] = {
        {"--temp-limit", "29", temp_msg},  {"--temp-limit", "96", temp_msg},
        {"--temp-limit", "hot", temp_msg}, {"--temp-limit", "4294967346", temp_msg},
        {"--max-rate", "-1", rate_msg},    {"--max-rate", "100001", rate_msg},
        {"--max-rate", "nan", rate_msg},   {"--max-rate", "-nan", rate_msg},
        {"--max-rate", "inf", rate_msg},   {"--max-rate", "1e999", rate_msg},
    };
    for (const Case& c : cases) {
        const RunResult r = nas.run({"init", "--qpkg-root", nas.pkg_root(), c.option, c.value});
        EXPECT_EQ(r.exit_code, 2) << c.option << " " << c.value;
        EXPECT_EQ(r.err, c.want) << c.option << " " << c.value;
        EXPECT_FALSE(exists(nas.pkg_root())) << c.option << " " << c.value;
    }
}

TEST_F(MainE2E, GoodOptionValuesPass) {
    const char* const cases[][2] = {
        {"--temp-limit", "30"},  {"--temp-limit", "95"},   {"--temp-limit", "50abc"},
        {"--temp-limit", "off"}, {"--temp-limit", "auto"}, {"--max-rate", "100000"},
        {"--max-rate", "abc"},   {"--max-rate", "0"},      {"--max-rate", "12.5"},
    };
    for (const auto& c : cases) {
        const RunResult r = nas.run({"bogus", "--qpkg-root", nas.pkg_root(), c[0], c[1]});
        EXPECT_EQ(r.exit_code, 2) << c[0] << " " << c[1];
        EXPECT_EQ(r.err.rfind(kUsageFirstLine, 0), 0u) << c[0] << " " << c[1];
    }
}

TEST_F(MainE2E, HugeRootIsRefusedNotCut) {
    const std::string huge = nas.base() + "/" + std::string(10000, 'r');
    const RunResult r = nas.run({"init", "--qpkg-root", huge});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "corvantisd: --qpkg-root path too long\n");
    EXPECT_EQ(r.signal, 0);
}

}  // namespace
