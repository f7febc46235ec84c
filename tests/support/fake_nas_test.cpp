// The fake NAS's seal: inside it, a program or device node is found only when
// the test put it there, and a run in which a host program or node shows
// through fails the test.
#include "tests/support/fake_nas.h"

#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "tests/support/loop_device.h"

namespace {

// The names in dir that do not begin with '.', space-separated.
std::string shown(const char* dir) {
    std::string s;
    for (const std::string& n : dir_names(dir))
        if (n[0] != '.') s += (s.empty() ? "" : " ") + n;
    return s;
}

class SealedNas : public ::testing::Test {
   protected:
    void SetUp() override { REQUIRE_FAKE_NAS(); }
    FakeNas nas;
};

TEST_F(SealedNas, OnlyTheTestsOwnProgramsAndNodesAreInside) {
    nas.put_script("/usr/sbin/smartctl", "echo fake\n");
    const RunResult r = nas.run_function([](std::string& out) {
        for (const char* dir :
             {"/usr/app/qorm/bin", "/usr/local/sbin", "/usr/sbin", "/sbin", "/usr/local/bin"})
            out += std::string(dir) + ": " + shown(dir) + "\n";
        out += "/dev: " + shown("/dev") + "\n";
        out += "/sys/block: " + shown("/sys/block") + "\n";
        for (const char* host_tool : {"/bin/uname", "/usr/bin/getcfg", "/usr/bin/smartctl"})
            if (::access(host_tool, F_OK) == 0) out += std::string("found ") + host_tool + "\n";
        return 0;
    });
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out,
              "/usr/app/qorm/bin: \n"
              "/usr/local/sbin: \n"
              "/usr/sbin: getcfg smartctl\n"
              "/sbin: getcfg smartctl\n"
              "/usr/local/bin: \n"
              "/dev: fd kmsg null stderr stdin stdout tty urandom zero\n"
              "/sys/block: \n");
}

TEST_F(SealedNas, ScriptFakesHaveTheirShellAndTools) {
    nas.put_script("/sbin/log_tool", "printf '%s|' \"$@\" | tr a-z A-Z; cat /mnt/note\n");
    nas.put_file("/mnt/note", "from the test\n");
    RunOptions opts;
    opts.exe = "/bin/sh";
    const RunResult r = nas.run({"-c", "/sbin/log_tool -t 2 hello"}, opts);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "-T|2|HELLO|from the test\n");
}

// A loop device of the test appears under the name it gives it, and reads
// what the image holds.
TEST_F(SealedNas, ExposedLoopDeviceIsReadable) {
    const std::string image = nas.base() + "/disk.img";
    write_pattern_image(image, 1 << 20);
    LoopDevice loop(image);
    REQUIRE_LOOP(loop);
    nas.put_device("/dev/sdz", loop.path());
    const RunResult r = nas.run_function([](std::string& out) {
        const int fd = ::open("/dev/sdz", O_RDONLY | O_CLOEXEC);
        std::uint64_t word = 0;
        if (fd < 0 || ::pread(fd, &word, sizeof word, 4096) != sizeof word) return 1;
        ::close(fd);
        out = std::to_string(word);
        return 0;
    });
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, std::to_string(pattern_word(4096)));
}

// The check itself: a host program or node slipped into the test's own
// folders (a hard link, a node made by hand) is reported, and nothing runs.
TEST_F(SealedNas, HostProgramOrNodeThatShowsThroughFailsTheRun) {
    const std::string link = nas.host_path("/usr/sbin/smartctl");
    make_dirs(link.substr(0, link.rfind('/')));
    if (::link("/usr/bin/id", link.c_str()) == 0) {
        EXPECT_NONFATAL_FAILURE(nas.run_function([](std::string&) { return 0; }),
                                "host program reachable: /usr/sbin/smartctl");
        ::unlink(link.c_str());
    }
    const std::string node = nas.host_path("/dev/sdz");
    ASSERT_EQ(::mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 7)), 0) << "mknod";
    RunResult r;
    EXPECT_NONFATAL_FAILURE(r = nas.run_function([](std::string&) { return 0; }),
                            "host device reachable: /dev/sdz");
    EXPECT_FALSE(r.harness_ok);
}

}  // namespace
