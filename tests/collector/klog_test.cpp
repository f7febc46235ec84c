// Kernel-log line operations and the controller path rule, on hand-made lines
// and on whole kernel logs of a real kernel whose disks hit read errors.
#include "collector/klog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/strbuf.h"
#include "tests/support/fake_nas.h"

namespace {

// All non-empty lines of text, as klog_next_line gives them.
std::vector<std::string> split_lines(std::string text) {
    StrBuf buf;
    EXPECT_EQ(sb_append(&buf, text.data(), text.size()), 0);
    std::vector<std::string> lines;
    std::uint64_t pos = 0;
    for (char* line; (line = klog_next_line(buf.data, buf.len, &pos));) lines.emplace_back(line);
    return lines;
}

TEST(KlogLineTimestamp, ReadsOnlyAPlainStampAfterAnOptionalPriority) {
    struct Case {
        const char* line;
        double want;
    } cases[] = {
        {"<3>[   12.345678] sd 2:0:0:0: [sda] tag#1", 12.345678},
        {"<12>[   60.771962] loop0: detected capacity change", 60.771962},
        {"[    0.000000] Linux version 6.1.0", 0.0},
        {"[12.5]x", 12.5},
        {"[ 100]", 100.0},
        {"[\t5.25] tab", 5.25},
        {"[.5] short", 0.5},
        {"[5.] short", 5.0},
        {"<>[ 1.5] empty priority", 1.5},
        {"[18446744073.709551] largest kernel stamp", 18446744073.709551},
        {"<6>no stamp", -1.0},
        {"<6[ 1.0] priority without close", -1.0},
        {"", -1.0},
        {"[ ] nothing converted", -1.0},
        {"[ 1.0 ] blank before close", -1.0},
        {"[ 1.0 unclosed", -1.0},
        {"[abc] tag", -1.0},
        {"text [1.0] stamp later", -1.0},
        {" [1.0] leading blank", -1.0},
        {"[-1.0] sign", -1.0},
        {"[inf] word", -1.0},
        {"[nan]", -1.0},
        {"[1e3] exponent", -1.0},
        {"[0x10] hexadecimal", -1.0},
        {"[1234567890123456.0] too many digits", -1.0},
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(klog_line_timestamp(c.line), c.want) << c.line;
}

TEST(KlogLineStripPrefix, RemovesPriorityStampAndBlanks) {
    struct Case {
        const char* line;
        const char* want;
    } cases[] = {
        {"<3>[   12.345678] sd 2:0:0:0: [sda] tag#1 Sense Key : Medium Error",
         "sd 2:0:0:0: [sda] tag#1 Sense Key : Medium Error"},
        {"[    4.308505] ata6: SATA link down (SStatus 0 SControl 300)",
         "ata6: SATA link down (SStatus 0 SControl 300)"},
        {"<6>plain text", "plain text"},
        {"<6 no close", "<6 no close"},
        {"[ 1.0]\t \tx", "x"},
        {"[ 1.0]", ""},
        {"no prefix", "no prefix"},
        // With kernel stamps off a bracketed tag is part of the text.
        {"<6>[drm] Initialized", "[drm] Initialized"},
        {"[ 1.0 unclosed", "[ 1.0 unclosed"},
    };
    for (const Case& c : cases) EXPECT_STREQ(klog_line_strip_prefix(c.line), c.want) << c.line;
}

TEST(KlogLineClassify, MediaBeforeLinkAndWholeWords) {
    struct Case {
        const char* line;
        int want;
    } cases[] = {
        {"sd 2:0:0:0: [sda] tag#1 Sense Key : Medium Error [current]", kKlogMedia},
        {"sd 2:0:0:0: [sda] Sense Key : MEDIUM ERROR", kKlogMedia},
        {"sd 2:0:0:0: [sda] tag#1 Add. Sense: Unrecovered read error", kKlogMedia},
        {"critical medium error, dev nvme0n1, sector 150000", kKlogMedia},
        {"ata3.00: irq_stat 0x08000000, MediaError", kKlogMedia},
        {"ata1.00: error: { UNC }", kKlogMedia},
        {"UNC", kKlogMedia},
        {"ata1.00: error: { ICRC ABRT }", kKlogLink},
        {"ICRC", kKlogLink},
        {"ata1.00: status: { DRDY ERR } BadCRC", kKlogLink},
        {"ata1: hard resetting link", kKlogLink},
        {"ata1: limiting SATA link speed to 3.0 Gbps", kKlogLink},
        {"ata1: SError: { CommWake 10B8B Dispar }", kKlogLink},
        {"ata1: COMRESET failed (errno=-16)", kKlogLink},
        {"ata1: link is slow to respond, please be patient", kKlogLink},
        {"ata6: SATA link down (SStatus 0 SControl 300)", kKlogLink},
        {"ata1.00: ATA bus error", kKlogLink},
        {"ata1: interface fatal error", kKlogLink},
        {"ata1: SError: x and error: { UNC }", kKlogMedia},
        {"BadCRC then Medium Error", kKlogMedia},
        {"ata1.00: error: { UNCORRECTABLE }", kKlogNone},
        {"xUNC UNC2 ICRCs", kKlogNone},
        {"medium error unrecovered READ ERROR", kKlogNone},
        {"ata1.00: exception Emask 0x1 SAct 0x400 SErr 0x0 action 0x0", kKlogNone},
        {"I/O error, dev sda, sector 100000 op 0x0:(READ)", kKlogNone},
        {"", kKlogNone},
    };
    for (const Case& c : cases) EXPECT_EQ(klog_line_classify(c.line), c.want) << c.line;
}

TEST(KlogLineMentionsDev, DeviceTokensOnly) {
    struct Case {
        const char* line;
        const char* name;
        int want;
    } cases[] = {
        {"sd 0:0:0:0: [sda] tag#9", "sda", 1},
        {"I/O error, dev sda, sector 1", "sda", 1},
        {"sda1: bad partition", "sda", 1},
        {"sd 0:0:0:0: [sdab] tag#9", "sda", 0},
        {"xsda error", "sda", 0},
        {"_sda error", "sda", 0},
        {"9sda error", "sda", 0},
        {"sda", "sda", 1},
        {"[sdab] first, then [sda]", "sda", 1},
        {"ata1: SATA link up", "ata1", 1},
        {"ata1.00: failed command", "ata1", 1},
        {"ata10: SATA link down", "ata1", 0},
        {"ata1a strange", "ata1", 0},
        {"critical medium error, dev nvme0n1", "nvme0", 1},
        {"nvme0p1: partition", "nvme0", 1},
        {"nvme0: I/O 12 QID 3 timeout", "nvme0", 1},
        {"nvme01: another controller", "nvme0", 0},
        {"nvme0x: not a name", "nvme0", 0},
        {"nvme0n1p2 partition", "nvme0n1", 1},
        {"nvme0n10 other namespace", "nvme0n1", 0},
        {"nvme0n1", "nvme0n1", 1},
        {"loop1p1: a partition", "loop1", 0},
        {"anything", "", 0},
        {"", "sda", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(klog_line_mentions_dev(c.line, c.name), c.want) << c.line << " / " << c.name;
}

TEST(StrHelpers, FindWordAndPrefixDigits) {
    EXPECT_EQ(str_find_word("a UNC b", "UNC"), 1);
    EXPECT_EQ(str_find_word("UNCORRECTABLE", "UNC"), 0);
    EXPECT_EQ(str_find_word("xUNC UNCx UNC", "UNC"), 1);
    EXPECT_EQ(str_find_word("{UNC}", "UNC"), 1);
    EXPECT_EQ(str_find_word("\xc3UNC", "UNC"), 1);
    EXPECT_EQ(str_find_word("text", ""), 0);

    struct Case {
        const char* comp;
        const char* prefix;
        int want;
    } cases[] = {
        {"ata3", "ata", 1},  {"host12", "host", 1}, {"ata", "ata", 0},  {"ata3a", "ata", 0},
        {"ata03", "ata", 1}, {"xata3", "ata", 0},   {"hos", "host", 0}, {"ata-3", "ata", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(str_is_prefix_digits(c.comp, std::strlen(c.comp), c.prefix), c.want) << c.comp;
    // Only the given length counts: "ata3" inside "ata3/host2".
    EXPECT_EQ(str_is_prefix_digits("ata3/host2", 4, "ata"), 1);
}

TEST(KlogNextLine, SkipsEmptyLinesAndKeepsTheLast) {
    EXPECT_EQ(split_lines("a\n\nb\n"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(split_lines("\n\n\n"), std::vector<std::string>{});
    EXPECT_EQ(split_lines(""), std::vector<std::string>{});
    EXPECT_EQ(split_lines("one\ntail"), (std::vector<std::string>{"one", "tail"}));
    EXPECT_EQ(split_lines(std::string("bin\0ary\nnext", 12)),
              (std::vector<std::string>{"bin", "next"}));
    const std::string long_line(200000, 'x');
    EXPECT_EQ(split_lines(long_line + "\n" + long_line),
              (std::vector<std::string>{long_line, long_line}));
}

struct PathCase {
    const char* path;
    std::size_t ctrl_size;
    std::size_t port_size;
    int want;
    const char* ctrl;
    const char* port;
};

TEST(SysfsPathController, LastPciAddressBeforeAtaHostOrNvme) {
    const PathCase cases[] = {
        {"/sys/devices/pci0000:00/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0", 16, 16, 1,
         "0000:00:17.0", "ata3"},
        // A bridge first: the address nearest the disk wins.
        {"/sys/devices/pci0000:00/0000:00:1c.4/0000:03:00.0/ata7/host6/target6:0:0/6:0:0:0", 16, 16,
         1, "0000:03:00.0", "ata7"},
        {"/sys/devices/pci0000:00/0000:00:04.0/nvme/nvme0", 16, 16, 1, "0000:00:04.0", ""},
        // Addresses after the stop are not the controller's.
        {"/sys/devices/pci0000:00/0000:00:05.0/host13/0000:00:06.0/x", 16, 16, 1, "0000:00:05.0",
         ""},
        {"/sys/devices/pci0000:00/0000:00:05.0/host123456789/0000:00:06.0", 16, 16, 1,
         "0000:00:05.0", ""},
        {"/sys/devices/pci0000:00/0000:00:05.0/host12345678/0000:00:06.0", 16, 16, 1,
         "0000:00:05.0", ""},
        {"/sys/devices/pci0000:00/0000:00:05.0/nvme/0000:00:06.0", 16, 16, 1, "0000:00:05.0", ""},
        {"//sys///devices/0000:AB:1F.7//ata12//host3", 16, 16, 1, "0000:AB:1F.7", "ata12"},
        // The later ATA port wins; an ATA port stops the search too.
        {"/x/ata1/ata2/0000:00:01.0", 16, 16, 0, "", "ata2"},
        {"/sys/devices/platform/host0/target0:0:0/0:0:0:0", 16, 16, 0, "", ""},
        {"/sys/devices/virtual/block/loop0", 16, 16, 0, "", ""},
        {"/sys/devices/0000:00:17.g/ata3", 16, 16, 0, "", "ata3"},
        {"/sys/devices/0000-00:17.0/ata3", 16, 16, 0, "", "ata3"},
        {"/sys/devices/00000:00:17.0/ata3", 16, 16, 0, "", "ata3"},
        {"", 16, 16, 0, "", ""},
        // Fields too small keep their outputs empty.
        {"/sys/devices/pci0000:00/0000:00:17.0/ata3/host2", 12, 4, 0, "", ""},
        {"/sys/devices/pci0000:00/0000:00:17.0/ata3/host2", 13, 5, 1, "0000:00:17.0", "ata3"},
    };
    for (const PathCase& c : cases) {
        char ctrl[16] = "junk";
        char port[16] = "junk";
        EXPECT_EQ(sysfs_path_controller(c.path, ctrl, c.ctrl_size, port, c.port_size), c.want)
            << c.path;
        EXPECT_STREQ(ctrl, c.ctrl) << c.path;
        EXPECT_STREQ(port, c.port) << c.path;
    }
    char untouched = 'u';
    EXPECT_EQ(sysfs_path_controller("/a/0000:00:17.0/ata1", &untouched, 0, &untouched, 0), 0);
    EXPECT_EQ(untouched, 'u');
}

// The link targets of /sys/block in the emulated machine: each disk's device
// path is its block path without the trailing "/block/<name>".
TEST(SysfsPathController, RealSysBlockLinksOfTheEmulatedDisks) {
    std::map<std::string, std::string> target;
    std::istringstream in(test_data_file("sysfs/sys-block.txt"));
    for (std::string line; std::getline(in, line);) {
        const std::size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        const std::string name =
            line.substr(line.rfind(' ', arrow - 1) + 1, arrow - line.rfind(' ', arrow - 1) - 1);
        std::string path = line.substr(arrow + 4);
        const std::size_t block = path.find("/block/");
        if (block != std::string::npos) path.resize(block);
        target[name] = path;
    }
    ASSERT_EQ(target.size(), 4u);
    struct Want {
        const char* dev;
        const char* ctrl;
        const char* port;
    } wants[] = {
        {"sda", "0000:00:02.0", "ata1"},  // AHCI, libata
        {"sdb", "0000:00:03.0", ""},      // virtio-scsi
        {"sdc", "0000:00:05.0", ""},      // mptsas
        {"nvme0n1", "0000:00:04.0", ""},  // nvme
    };
    for (const Want& w : wants) {
        char ctrl[16];
        char port[16];
        ASSERT_TRUE(target.count(w.dev)) << w.dev;
        EXPECT_EQ(
            sysfs_path_controller(target[w.dev].c_str(), ctrl, sizeof ctrl, port, sizeof port), 1)
            << w.dev;
        EXPECT_STREQ(ctrl, w.ctrl) << w.dev;
        EXPECT_STREQ(port, w.port) << w.dev;
    }
}

// Every line of a real kernel log that reports an error: its 1-based line
// number in the file, its class, and which of the emulated machine's disks
// (sda, sdb, sdc, nvme0n1), its ATA port (ata1) and NVMe controller (nvme0) it names.
struct ErrorLine {
    int number;
    int cls;
    std::set<std::string> names;
};

void check_real_log(const char* file, const std::vector<ErrorLine>& want) {
    const char* const kNames[] = {"sda", "sdb", "sdc", "nvme0n1", "ata1", "nvme0"};
    const std::string text = test_data_file(file);
    ASSERT_FALSE(text.empty()) << file;
    std::istringstream in(text);
    std::vector<ErrorLine> got;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const char* body = klog_line_strip_prefix(line.c_str());
        const int cls = klog_line_classify(body);
        if (cls == kKlogNone) continue;
        ErrorLine e{number, cls, {}};
        for (const char* name : kNames)
            if (klog_line_mentions_dev(body, name)) e.names.insert(name);
        got.push_back(e);
    }
    ASSERT_EQ(got.size(), want.size()) << file;
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].number, want[i].number) << file << " entry " << i;
        EXPECT_EQ(got[i].cls, want[i].cls) << file << " line " << want[i].number;
        EXPECT_EQ(got[i].names, want[i].names) << file << " line " << want[i].number;
    }
}

TEST(KlogRealKernelLog, ErrorLinesOfTheEioRun) {
    const int L = kKlogLink, M = kKlogMedia;
    check_real_log("kernel-log/read-errors-eio.txt",
                   {
                       // Empty AHCI ports: ata6, ata2, ata3, ata5, ata4, ata9, ata11, ata10, ata7,
                       // ata8, ata12.
                       {400, L, {}},
                       {402, L, {}},
                       {403, L, {}},
                       {407, L, {}},
                       {408, L, {}},
                       {410, L, {}},
                       {411, L, {}},
                       {412, L, {}},
                       {413, L, {}},
                       {414, L, {}},
                       {416, L, {}},
                       {543, M, {"nvme0n1", "nvme0"}},
                       // scsi_debug disk sdd: none of the watched disks.
                       {558, M, {}},
                       {559, M, {}},
                       {561, M, {}},
                   });
}

TEST(KlogRealKernelLog, ErrorLinesOfTheEnodataRun) {
    const int L = kKlogLink, M = kKlogMedia;
    check_real_log("kernel-log/read-errors-enodata.txt",
                   {
                       {406, L, {}},      {408, L, {}},      {409, L, {}},
                       {413, L, {}},      {414, L, {}},      {415, L, {}},
                       {416, L, {}},      {417, L, {}},      {418, L, {}},
                       {420, L, {}},      {421, L, {}},      {574, M, {"sdb"}},
                       {575, M, {"sdb"}}, {577, M, {"sdb"}}, {579, M, {"sdc"}},
                       {580, M, {"sdc"}}, {582, M, {"sdc"}}, {584, M, {}},
                       {585, M, {}},      {587, M, {}},      {589, M, {"nvme0n1", "nvme0"}},
                       {604, M, {}},      {605, M, {}},      {607, M, {}},
                   });
}

}  // namespace
