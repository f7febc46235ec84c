// The smartctl search and smartctl runs over a fake NAS. Each case runs in a
// fresh child of the test process inside the fake NAS's mount namespace, so
// that the fixed search paths are the test's own files and the process-wide
// cache starts empty.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/run.h"
#include "core/smartctl.h"
#include "core/strbuf.h"
#include "tests/support/fake_nas.h"

namespace {

constexpr char kPkgBin[] = "/usr/app/qorm/bin";
constexpr char kPkgDist[] = "/usr/app/qorm/dist/smartmontools/bin";

std::string path_or_none(const char* path) {
    return path ? path : "(none)";
}

// Inside the namespace: `uname -m` prints machine and counts its runs.
void fake_uname(FakeNas& nas, const std::string& machine) {
    nas.put_script("/bin/uname",
                   "echo run >> /mnt/uname.runs\n[ \"$1\" = -m ] && echo " + machine + "\n");
}

int lines_in(const std::string& path) {
    std::ifstream in(path);
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
}

class SmartctlSearch : public ::testing::Test {
   protected:
    void SetUp() override { REQUIRE_FAKE_NAS(); }
};

TEST_F(SmartctlSearch, FirstExecutableCandidateInOrderWins) {
    const struct {
        const char* what;
        const char* machine;
        std::vector<std::pair<std::string, mode_t>> files;
        std::string found;
    } cases[] = {
        {"architecture copy in the package beats the system's",
         "aarch64",
         {{"/usr/app/qorm/bin/smartctl-aarch64", 0755}, {"/usr/sbin/smartctl", 0755}},
         "/usr/app/qorm/bin/smartctl-aarch64"},
        {"armv7l runs the armhf copy",
         "armv7l",
         {{"/usr/app/qorm/bin/smartctl-armhf", 0755}, {"/usr/app/qorm/bin/smartctl", 0755}},
         "/usr/app/qorm/bin/smartctl-armhf"},
        {"armv6l runs the armel copy",
         "armv6l",
         {{"/usr/app/qorm/bin/smartctl-armhf", 0755}, {"/usr/app/qorm/bin/smartctl-armel", 0755}},
         "/usr/app/qorm/bin/smartctl-armel"},
        {"another architecture's copy is passed over",
         "x86_64",
         {{"/usr/app/qorm/bin/smartctl-aarch64", 0755}, {"/usr/app/qorm/bin/smartctl", 0755}},
         "/usr/app/qorm/bin/smartctl"},
        {"plain package smartctl beats the system's",
         "x86_64",
         {{"/usr/app/qorm/bin/smartctl", 0755}, {"/usr/local/sbin/smartctl", 0755}},
         "/usr/app/qorm/bin/smartctl"},
        {"first package folder wins over the second",
         "x86_64",
         {{"/usr/app/qorm/bin/smartctl", 0755},
          {"/usr/app/qorm/dist/smartmontools/bin/smartctl-x86_64", 0755}},
         "/usr/app/qorm/bin/smartctl"},
        {"second package folder, architecture copy first",
         "mips",
         {{"/usr/app/qorm/dist/smartmontools/bin/smartctl-mips", 0755},
          {"/usr/app/qorm/dist/smartmontools/bin/smartctl", 0755}},
         "/usr/app/qorm/dist/smartmontools/bin/smartctl-mips"},
        {"silent uname means x86_64",
         "",
         {{"/usr/app/qorm/dist/smartmontools/bin/smartctl-x86_64", 0755},
          {"/usr/sbin/smartctl", 0755}},
         "/usr/app/qorm/dist/smartmontools/bin/smartctl-x86_64"},
        {"a copy that is not executable is passed over",
         "x86_64",
         {{"/usr/app/qorm/bin/smartctl-x86_64", 0644}, {"/usr/sbin/smartctl", 0755}},
         "/usr/sbin/smartctl"},
        {"system folders in order",
         "x86_64",
         {{"/usr/local/sbin/smartctl", 0755},
          {"/usr/sbin/smartctl", 0755},
          {"/usr/bin/smartctl", 0755}},
         "/usr/local/sbin/smartctl"},
        {"last system folders", "x86_64", {{"/usr/bin/smartctl", 0755}}, "/usr/bin/smartctl"},
    };
    for (const auto& c : cases) {
        FakeNas nas;
        fake_uname(nas, c.machine);
        for (const auto& [path, mode] : c.files) nas.put_file(path, "#!/bin/sh\nexit 0\n", mode);
        const RunResult r = nas.run_function([](std::string& out) {
            out = path_or_none(smartctl_path());
            return 0;
        });
        EXPECT_EQ(r.exit_code, 0) << c.what << "\n" << r.err;
        EXPECT_EQ(r.out, c.found) << c.what;
    }
}

TEST_F(SmartctlSearch, FailedSearchIsRetriedAndAFoundPathIsKept) {
    FakeNas nas;
    fake_uname(nas, "x86_64");
    nas.put_file("/usr/app/qorm/bin/smartctl-x86_64", "#!/bin/sh\n", 0644);
    nas.put_file("/usr/sbin/smartctl", "#!/bin/sh\n", 0644);
    const RunResult r = nas.run_function([](std::string& out) {
        out += path_or_none(smartctl_path()) + "\n";
        // Installed after a failed search: the next call finds it.
        ::chmod("/usr/sbin/smartctl", 0755);
        out += path_or_none(smartctl_path()) + "\n";
        // Once found, the path is kept without a new search: a better copy
        // placed later and the loss of the found one change nothing.
        ::chmod("/usr/app/qorm/bin/smartctl-x86_64", 0755);
        ::unlink("/usr/sbin/smartctl");
        out += path_or_none(smartctl_path()) + "\n";
        out += std::string(arch_name()) + "\n";
        return 0;
    });
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "(none)\n/usr/sbin/smartctl\n/usr/sbin/smartctl\nx86_64\n");
    // Two searches, one architecture name.
    EXPECT_EQ(lines_in(nas.host_path("/mnt/uname.runs")), 1);
}

// A fake smartctl that prints its arguments in brackets, then a JSON reply.
constexpr char kEchoSmartctl[] =
    "printf '[%s]' \"$@\"\necho '{\"smartctl\":{\"exit_status\":0}}'\n";

TEST_F(SmartctlSearch, CallsRunTheFoundSmartctlWithTheWholeCommandLine) {
    FakeNas nas;
    fake_uname(nas, "x86_64");
    nas.put_script("/usr/app/qorm/bin/smartctl-x86_64", kEchoSmartctl);
    const RunResult r = nas.run_function([](std::string& out) {
        const struct {
            SmartctlCmd cmd;
            const char* dtype;
            const char* device;
        } calls[] = {
            {kSmartctlCollect, "", "/dev/sda"},
            {kSmartctlCollect, "sat", "/dev/sda"},
            {kSmartctlFarm, "sat", "/dev/sdb"},
            {kSmartctlSiblingCounters, "sat", "/dev/sdc"},
            {kSmartctlSelftestStart, nullptr, "/dev/nvme0"},
        };
        for (const auto& c : calls) {
            StrBuf reply;
            sb_append_str(&reply, "stale reply");
            const int rc = smartctl_call(c.cmd, c.dtype, c.device, &reply);
            out += std::to_string(rc) + " " + reply.c_str();
        }
        return 0;
    });
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "0 [-x][-j][/dev/sda]{\"smartctl\":{\"exit_status\":0}}\n"
        "0 [-x][-j][-d][sat][/dev/sda]{\"smartctl\":{\"exit_status\":0}}\n"
        "0 [-l][farm][-j][-d][sat][/dev/sdb]{\"smartctl\":{\"exit_status\":0}}\n"
        "0 "
        "[-A][-l][sataphy][-j][-n][standby][-d][sat][/dev/sdc]{\"smartctl\":{\"exit_status\":0}}\n"
        "0 [-t][short][-j][/dev/nvme0]{\"smartctl\":{\"exit_status\":0}}\n");
}

TEST_F(SmartctlSearch, ReplyIsJudgedByItsJsonNotByTheProcessExitCode) {
    FakeNas nas;
    fake_uname(nas, "x86_64");
    const std::string data = std::string(CORVANTIS_TEST_DATA) + "/smartctl/";
    // smartctl's exit code carries the same bits as its JSON; here they differ
    // on purpose, and only the JSON may count.
    nas.put_script("/usr/sbin/smartctl", "cat " + data + "$SMARTCTL_REPLY\nexit $SMARTCTL_EXIT\n");
    const RunResult r = nas.run_function([](std::string& out) {
        const struct {
            const char* file;
            const char* exit;
        } runs[] = {
            {"usb-jmicron-wd3200bevt-failing-exit216.json", "2"},
            {"ata-hdd-standby-nocheck-exit2.json", "0"},
        };
        for (const auto& run : runs) {
            ::setenv("SMARTCTL_REPLY", run.file, 1);
            ::setenv("SMARTCTL_EXIT", run.exit, 1);
            StrBuf reply;
            const int rc = smartctl_call(kSmartctlCollect, "", "/dev/sda", &reply);
            out +=
                std::to_string(rc) + " " +
                std::to_string(smartctl_reply_ok(kSmartctlCollect, 0, reply.c_str(), reply.len)) +
                "\n";
        }
        return 0;
    });
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "2 1\n0 0\n");
}

TEST_F(SmartctlSearch, WithoutSmartctlNothingRunsAndNoStaleReplyRemains) {
    FakeNas nas;
    fake_uname(nas, "x86_64");
    const RunResult r = nas.run_function([](std::string& out) {
        StrBuf reply;
        sb_append_str(&reply, "{\"smartctl\":{\"exit_status\":0}}");
        const int rc = smartctl_call(kSmartctlIdentify, "", "/dev/sda", &reply);
        out = std::to_string(rc) + " [" + reply.c_str() + "] " + std::to_string(reply.len);
        return 0;
    });
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "-1 [] 0");
}

}  // namespace
