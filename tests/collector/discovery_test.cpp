#include "collector/discovery.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/fake_disk.h"
#include "tests/support/fake_nas.h"
#include "tests/support/temp_dir.h"

namespace {

// A fake tree below a temporary folder that stands for "/".
class Tree {
   public:
    Tree() : root_(fake_disk_root(dir_.path())) {}
    const std::string& prefix() const { return dir_.path(); }
    const FakeDiskRoot& root() const { return root_; }

    void add(const FakeDisk& d) const { fake_disk_add(root_, d); }
    // A /sys/block entry with only a serial, for disks the enclosure files list.
    void sys_disk(const std::string& dev, const std::string& serial = "SYS") const {
        add(FakeDisk{.dev = dev, .serial = serial});
    }
    void enclosure(int index, const std::string& text) const {
        write_file(fake_enclosure_path(root_, index), text);
    }

    std::vector<DiskInfo> discover(int max = kDiskMax) const {
        std::vector<DiskInfo> out(static_cast<size_t>(max > 0 ? max : 1));
        const int n = disk_discover_under(prefix().c_str(), out.data(), max);
        out.resize(static_cast<size_t>(n < 0 ? 0 : n));
        return out;
    }
    std::vector<DiskBrief> brief(int max) const {
        std::vector<DiskBrief> out(static_cast<size_t>(max > 0 ? max : 1));
        const int n = disk_list_ids_under(prefix().c_str(), out.data(), max);
        out.resize(static_cast<size_t>(n < 0 ? 0 : n));
        return out;
    }

   private:
    TempDir dir_;
    FakeDiskRoot root_;
};

std::vector<std::string> devs(const std::vector<DiskInfo>& disks) {
    std::vector<std::string> names;
    for (const DiskInfo& d : disks) names.push_back(d.dev);
    return names;
}

std::string section(const std::string& dev, const std::string& serial,
                    const std::string& more = "") {
    return "[PhysicalDisk_1]\npd_sys_name=/dev/" + dev + "\nserial_no=" + serial + "\n" + more;
}

using Strings = std::vector<std::string>;

TEST(WwnNormalize, KeepsLowerCaseHexDigitsOnly) {
    struct Case {
        const char* in;
        const char* want;
    } cases[] = {
        {"naa.5000C500ABCD1234", "5000c500abcd1234"},
        {"  0x5000CCA264EBF1A2", "5000cca264ebf1a2"},
        {"0XNAA.5000cca2", "5000cca2"},
        {"5000c500-abcd1234", "5000c500abcd1234"},
        {"NAA.50014ee2b5a3c1d0", "50014ee2b5a3c1d0"},
        {"eui.0025388B91B3C4A1", "0025388b91b3c4a1"},
        {"EUI.00253888", "00253888"},
        {"t10.ATA     WDC WD40EFRX-68N32N0                    WD-WCC7K0123456", ""},
        {"T10.ATA     ST4000", ""},
        {"nvme.1b36-5249474e", "e1b365249474e"},
        {"", ""},
        {"   ", ""},
        {"zzz-ghij", ""},
        {"\xff\xfe"
         "12",
         "12"},
    };
    for (const Case& c : cases) {
        char out[80];
        std::memset(out, 'x', sizeof out);
        wwn_normalize(c.in, out);
        EXPECT_STREQ(out, c.want) << c.in;
    }
    char out[80];
    const std::string many(200, 'A');
    wwn_normalize(many.c_str(), out);
    EXPECT_EQ(std::string(out), std::string(79, 'a'));
    wwn_normalize(nullptr, out);
    EXPECT_STREQ(out, "");
}

TEST(SysfsReadAttr, FirstLineTrimmedAndCut) {
    Tree t;
    t.sys_disk("sda");
    write_file(t.root().sys_block + "/sda/device/vendor", "  ATA     \nsecond line\n");
    write_file(t.root().sys_block + "/sda/device/long", std::string(100, 'L') + "\n");
    struct Case {
        const char* attr;
        size_t size;
        std::string want;
    } cases[] = {
        {"device/vendor", 80, "ATA"}, {"device/long", 40, std::string(39, 'L')},
        {"device/long", 1, ""},       {"device/missing", 80, ""},
        {"device/serial", 80, "SYS"},
    };
    for (const Case& c : cases) {
        char out[128];
        std::memset(out, 'x', sizeof out);
        sysfs_read_attr_under(t.prefix().c_str(), "sda", c.attr, out, c.size);
        EXPECT_EQ(std::string(out), c.want) << c.attr;
    }
    // A path that would not fit its 160-byte buffer reads nothing, rather than
    // a file named by its first 159 bytes.
    const std::string deep = "device/" + std::string(140, 'd');
    write_file(t.root().sys_block + "/sda/" + deep.substr(0, 159 - 15), "cut\n");
    char out[80] = "x";
    sysfs_read_attr_under(t.prefix().c_str(), "sda", deep.c_str(), out, sizeof out);
    EXPECT_STREQ(out, "");
}

TEST(DiscoverEnclosure, ReadsEveryKeyOfASection) {
    Tree t;
    t.sys_disk("sdb");
    t.enclosure(1,
                "[Enclosure]\nmodel=NAS-BOX\n"
                "[PhysicalDisk_3]\n"
                "  pd_sys_name = /dev/sdb  \n"
                "port_id=3\n"
                "wwn=0x5000C500ABCD1234\n"
                "serial_no= zl2abc12 \n"
                "model=ST4000VN008-2DR166\n"
                "vendor=Seagate\n"
                "revision=SC60\n"
                "rotation_speed=5980\n"
                "temperature=34\n"
                "capacity=7814037168\n"
                "Model=ignored\n"
                "sector_size=512\n"
                "unknown_key=1\n"
                "no equals sign here\n");
    const std::vector<DiskInfo> d = t.discover();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_STREQ(d[0].dev, "sdb");
    EXPECT_STREQ(d[0].serial, "ZL2ABC12");
    EXPECT_STREQ(d[0].wwn, "5000c500abcd1234");
    EXPECT_STREQ(d[0].model, "ST4000VN008-2DR166");
    EXPECT_STREQ(d[0].vendor, "Seagate");
    EXPECT_STREQ(d[0].firmware, "SC60");
    EXPECT_STREQ(d[0].bus, "sata");
    EXPECT_EQ(d[0].capacity_bytes, 7814037168LL * 512);
    EXPECT_EQ(d[0].rpm, 5980);
    EXPECT_EQ(d[0].is_seagate, 1);
    EXPECT_EQ(d[0].enclosure, 1);
    EXPECT_EQ(d[0].slot, 3);
    EXPECT_EQ(d[0].temperature, 34);
    EXPECT_EQ(d[0].disk_id, 0);
    EXPECT_STREQ(d[0].smart_dtype, "");
    EXPECT_EQ(d[0].farm_support, -1);
}

TEST(DiscoverEnclosure, SectionRules) {
    struct Case {
        const char* name;
        std::string text;
        Strings want_devs;
        std::function<void(const DiskInfo&)> check;
    } cases[] = {
        {"no pd_sys_name adds nothing", "[PhysicalDisk_1]\nserial_no=A1\nport_id=1\n", {}, nullptr},
        {"keys of another section are ignored",
         "[Other_1]\npd_sys_name=/dev/sda\nserial_no=A1\n",
         {},
         nullptr},
        {"header is case-sensitive",
         "[physicaldisk_1]\npd_sys_name=/dev/sda\nserial_no=A1\n",
         {},
         nullptr},
        {"keys before any section are ignored",
         "pd_sys_name=/dev/sda\nserial_no=A1\n",
         {},
         nullptr},
        {"a non-counted header closes the section",
         section("sda", "A1") + "[Other]\nmodel=X\n",
         {"sda"},
         [](const DiskInfo& d) { EXPECT_STREQ(d.model, ""); }},
        {"name without /dev/",
         "[PhysicalDisk_1]\npd_sys_name=sdc\nserial_no=A1\n",
         {"sdc"},
         nullptr},
        {"value split at the first =",
         section("sda", "A1", "model = a=b \n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_STREQ(d.model, "a=b"); }},
        {"capacity then sector_size",
         section("sda", "A1", "capacity=1000\nsector_size=4096\n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_EQ(d.capacity_bytes, 4096000); }},
        {"sector_size before capacity",
         section("sda", "A1", "sector_size=4096\ncapacity=1000\n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_EQ(d.capacity_bytes, 512000); }},
        {"sector_size 0 keeps 512",
         section("sda", "A1", "capacity=1000\nsector_size=0\n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_EQ(d.capacity_bytes, 512000); }},
        {"capacity past 31 bits",
         section("sda", "A1", "capacity=35156656128\nsector_size=4096\n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_EQ(d.capacity_bytes, 35156656128LL * 4096); }},
        {"capacity that overflows is unknown",
         section("sda", "A1", "capacity=99999999999999999999\nsector_size=4096\n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_EQ(d.capacity_bytes, 0); }},
        {"rescale that overflows is unknown",
         section("sda", "A1", "capacity=18014398509481983\nsector_size=4096\n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_EQ(d.capacity_bytes, 0); }},
        {"numbers with sign, blanks and tails",
         section("sda", "A1", "port_id= -2x\nrotation_speed=+7200rpm\ntemperature=abc\n"),
         {"sda"},
         [](const DiskInfo& d) {
             EXPECT_EQ(d.slot, -2);
             EXPECT_EQ(d.rpm, 7200);
             EXPECT_EQ(d.temperature, 0);
         }},
        {"int fields saturate",
         section("sda", "A1", "port_id=99999999999\n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_EQ(d.slot, 2147483647); }},
        {"sas: no rotation and a vendor",
         section("sda", "A1", "rotation_speed=0\nvendor=HGST\n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_STREQ(d.bus, "sas"); }},
        {"sata: rotating whatever the vendor",
         section("sda", "A1", "rotation_speed=7200\nvendor=HGST\n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_STREQ(d.bus, "sata"); }},
        {"sata: no rotation, no vendor",
         section("sda", "A1"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_STREQ(d.bus, "sata"); }},
        {"nvme by name",
         "[PhysicalDisk_1]\npd_sys_name=/dev/nvme0n1\nserial_no=n1\nvendor=Samsung\n",
         {"nvme0n1"},
         [](const DiskInfo& d) {
             EXPECT_STREQ(d.bus, "nvme");
             EXPECT_STREQ(d.serial, "N1");
         }},
        {"seagate by vendor",
         section("sda", "A1", "vendor=  seagate inc\nmodel=X\n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_EQ(d.is_seagate, 1); }},
        {"seagate by model",
         section("sda", "A1", "model=st8000nm000a\n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_EQ(d.is_seagate, 1); }},
        {"not seagate",
         section("sda", "A1", "model=WDC WD80\nvendor=WDC\n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_EQ(d.is_seagate, 0); }},
        {"missing device dropped", section("sdq", "A1"), {}, nullptr},
        {"two sections in order",
         section("sdc", "C1") + section("sda", "A1"),
         {"sdc", "sda"},
         nullptr},
        {"later key wins within a section",
         section("sda", "A1", "serial_no=A2\n"),
         {"sda"},
         [](const DiskInfo& d) { EXPECT_STREQ(d.serial, "A2"); }},
        {"fields cut to size",
         section("sda", std::string(100, 's'), "vendor=" + std::string(100, 'v') + "\n"),
         {"sda"},
         [](const DiskInfo& d) {
             EXPECT_EQ(std::string(d.serial), std::string(79, 'S'));
             EXPECT_EQ(std::string(d.vendor), std::string(47, 'v'));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tree t;
        for (const char* dev : {"sda", "sdc", "nvme0n1"}) t.sys_disk(dev, "");
        t.enclosure(0, c.text);
        const std::vector<DiskInfo> d = t.discover();
        EXPECT_EQ(devs(d), c.want_devs);
        if (c.check && !d.empty()) c.check(d[0]);
        for (const DiskInfo& disk : d) {
            EXPECT_EQ(disk.enclosure, 0);
            EXPECT_EQ(disk.farm_support, -1);
        }
    }
}

// Records that would break the promise of a non-empty serial, or point at a
// device outside /sys/block, are dropped.
TEST(DiscoverEnclosure, DropsRecordsWithoutSerialOrWithUnsafeNames) {
    struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        {"no serial_no", "[PhysicalDisk_1]\npd_sys_name=/dev/sda\n"},
        {"empty serial_no", "[PhysicalDisk_1]\npd_sys_name=/dev/sda\nserial_no=   \n"},
        {"empty pd_sys_name", "[PhysicalDisk_1]\npd_sys_name=\nserial_no=A1\n"},
        {"only /dev/", "[PhysicalDisk_1]\npd_sys_name=/dev/\nserial_no=A1\n"},
        {"slash inside", "[PhysicalDisk_1]\npd_sys_name=/dev/sda/../sda\nserial_no=A1\n"},
        {"dot", "[PhysicalDisk_1]\npd_sys_name=/dev/.\nserial_no=A1\n"},
        {"dot dot", "[PhysicalDisk_1]\npd_sys_name=/dev/..\nserial_no=A1\n"},
        {"relative climb", "[PhysicalDisk_1]\npd_sys_name=../block/sda\nserial_no=A1\n"},
        {"longer than the field",
         "[PhysicalDisk_1]\npd_sys_name=/dev/sd" + std::string(40, 'a') + "\nserial_no=A1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tree t;
        t.sys_disk("sd" + std::string(29, 'a'), "");  // what a cut name would find
        make_dirs(t.root().sys_block + "/sda");       // a device without a serial of its own
        t.enclosure(0, c.text);
        EXPECT_EQ(devs(t.discover()), Strings{});
    }
}

TEST(DiscoverEnclosure, DiskListedTwiceIsHeldOnceFromTheFirst) {
    Tree t;
    t.sys_disk("sda", "");
    t.sys_disk("sdb", "");
    t.enclosure(0,
                section("sda", "FIRST", "port_id=1\n") + section("sda", "SECOND", "port_id=2\n"));
    t.enclosure(3, section("sdb", "B1", "port_id=5\n") + section("sda", "THIRD", "port_id=7\n"));
    const std::vector<DiskInfo> d = t.discover();
    ASSERT_EQ(devs(d), (Strings{"sda", "sdb"}));
    EXPECT_STREQ(d[0].serial, "FIRST");
    EXPECT_EQ(d[0].slot, 1);
    EXPECT_EQ(d[0].enclosure, 0);
    EXPECT_EQ(d[1].enclosure, 3);
    EXPECT_EQ(d[1].slot, 5);
}

TEST(DiscoverEnclosure, FilesInTheirOrderWithTheirIndex) {
    Tree t;
    for (const char* dev : {"sda", "sdb", "sdc", "sdd"}) t.sys_disk(dev, "");
    t.enclosure(3, section("sdd", "D"));
    t.enclosure(2, section("sdc", "C"));
    t.enclosure(0, section("sda", "A"));
    t.enclosure(1, section("sdb", "B"));
    const std::vector<DiskInfo> d = t.discover();
    ASSERT_EQ(devs(d), (Strings{"sda", "sdb", "sdc", "sdd"}));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(d[static_cast<size_t>(i)].enclosure, i);
}

// A line longer than the 511-byte buffer is skipped whole: neither its head
// nor its tail may be read as a line.
TEST(DiscoverEnclosure, OverLongLinesAreSkippedWhole) {
    Tree t;
    t.sys_disk("sda", "");
    t.sys_disk("sdb", "");
    const std::string pad(511, ' ');
    const std::string text =
        "[PhysicalDisk_1]\n"
        "pd_sys_name=/dev/sda\n"
        "serial_no=GOOD\n"
        "model=" +
        std::string(600, 'M') + "\n" + pad + "serial_no=EVIL\n" + pad + "[PhysicalDisk_2]\n" +
        "vendor=" + std::string(504, 'v') + "\n" +  // exactly 511 bytes: kept
        "[PhysicalDisk_3]\n"
        "pd_sys_name=/dev/sdb\n"
        "serial_no=B\n" +
        "model=" + std::string(2000, 'x');  // over-long last line without newline
    t.enclosure(0, text);
    const std::vector<DiskInfo> d = t.discover();
    ASSERT_EQ(devs(d), (Strings{"sda", "sdb"}));
    EXPECT_STREQ(d[0].serial, "GOOD");
    EXPECT_STREQ(d[0].model, "");
    EXPECT_EQ(std::string(d[0].vendor), std::string(47, 'v'));
    EXPECT_STREQ(d[1].model, "");
}

TEST(DiscoverEnclosure, OverLongHeaderStillEndsTheSectionBeforeIt) {
    Tree t;
    t.sys_disk("sdb", "");
    t.sys_disk("sdc", "");
    t.enclosure(0,
                "[PhysicalDisk_1]\npd_sys_name=/dev/sdb\nserial_no=aaa\nport_id=1\nvendor=HGST\n"
                "[PhysicalDisk_2" +
                    std::string(600, 'x') +
                    "]\n"
                    "pd_sys_name=/dev/sdc\nserial_no=bbb\n");
    const std::vector<DiskInfo> d = t.discover();
    ASSERT_EQ(devs(d), (Strings{"sdb", "sdc"}));
    EXPECT_STREQ(d[0].serial, "AAA");
    EXPECT_EQ(d[0].slot, 1);
    EXPECT_STREQ(d[1].serial, "BBB");
    EXPECT_EQ(d[1].slot, -1) << "the second disk must not inherit the first one's bay";
    EXPECT_STREQ(d[1].vendor, "");
}

TEST(DiscoverEnclosure, BinaryBytesAndJunkAreHarmless) {
    Tree t;
    t.sys_disk("sda", "");
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 131 + 7) & 0xff);
    std::string text = junk + "\n[PhysicalDisk_1]\n" +
                       std::string("pd_sys_name=/dev/sda\0tail\n", 26) +
                       "serial_no=\xff\xfe"
                       "abc\n=\n==\n[\n" +
                       junk;
    t.enclosure(0, text);
    const std::vector<DiskInfo> d = t.discover();
    ASSERT_EQ(devs(d), Strings{"sda"});
    EXPECT_STREQ(d[0].serial,
                 "\xff\xfe"
                 "ABC");
}

TEST(DiscoverEnclosure, HundredsOfSectionsStopAtTheLimit) {
    Tree t;
    std::string text;
    for (int i = 0; i < 300; ++i) {
        const std::string dev = "sd" + std::to_string(i);
        make_dirs(t.root().sys_block + "/" + dev);
        text += "[PhysicalDisk_" + std::to_string(i) + "]\npd_sys_name=/dev/" + dev +
                "\nserial_no=S" + std::to_string(i) + "\nport_id=" + std::to_string(i) + "\n";
    }
    t.enclosure(0, text);
    t.enclosure(1, section("sdx", "X"));
    t.sys_disk("sdy", "Y");
    const std::vector<DiskInfo> d = t.discover();
    ASSERT_EQ(d.size(), 128u);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(d[static_cast<size_t>(i)].slot, i);

    EXPECT_EQ(t.discover(3).size(), 3u);
    DiskInfo none[1];
    EXPECT_EQ(disk_discover_under(t.prefix().c_str(), none, 0), 0);
    EXPECT_EQ(disk_discover_under(t.prefix().c_str(), none, -5), 0);
}

TEST(DiscoverSysBlock, ReadsTheDiskAttributes) {
    Tree t;
    t.add({.dev = "sda",
           .serial = "  wd-wcc7k0123456   ",
           .model = "WDC WD40EFRX-68N32N0                    ",
           .firmware = "82.00A82",
           .wwid = "naa.50014EE2B5A3C1D0",
           .sectors = 7814037168,
           .rotational = true});
    t.add({.dev = "nvme0n1",
           .bus = FakeBus::kNvme,
           .serial = "RIGNVME0001          ",
           .model = "QEMU NVMe Ctrl                           ",
           .firmware = "7.2.22   ",
           .wwid = "nvme.1b36-5249474e564d4530303031-51454d55204e564d65204374726c-00000001",
           .sectors = 262144,
           .rotational = false});
    t.add({.dev = "sdb",
           .bus = FakeBus::kSas,
           .serial = "ZA1B2C3D",
           .model = "ST4000NM0025",
           .wwid = "naa.5000c500abcd1234",
           .sectors = 1,
           .rotational = false});
    const std::vector<DiskInfo> d = t.discover();
    ASSERT_EQ(d.size(), 3u);
    for (const DiskInfo& disk : d) {
        SCOPED_TRACE(disk.dev);
        EXPECT_EQ(disk.enclosure, -1);
        EXPECT_EQ(disk.slot, -1);
        EXPECT_EQ(disk.farm_support, -1);
        EXPECT_STREQ(disk.vendor, "");
        const std::string dev = disk.dev;
        if (dev == "sda") {
            EXPECT_STREQ(disk.serial, "WD-WCC7K0123456");
            EXPECT_STREQ(disk.model, "WDC WD40EFRX-68N32N0");
            EXPECT_STREQ(disk.wwn, "50014ee2b5a3c1d0");
            EXPECT_STREQ(disk.firmware, "82.00A82");
            EXPECT_EQ(disk.rpm, 7200);
            EXPECT_EQ(disk.capacity_bytes, 7814037168LL * 512);
            EXPECT_STREQ(disk.bus, "sata");
            EXPECT_EQ(disk.is_seagate, 0);
        } else if (dev == "nvme0n1") {
            EXPECT_STREQ(disk.serial, "RIGNVME0001");
            EXPECT_STREQ(disk.model, "QEMU NVMe Ctrl");
            EXPECT_STREQ(disk.firmware, "7.2.22");
            EXPECT_STREQ(disk.wwn, "");  // an NVMe namespace has no device/wwid
            EXPECT_EQ(disk.rpm, 0);
            EXPECT_EQ(disk.capacity_bytes, 262144LL * 512);
            EXPECT_STREQ(disk.bus, "nvme");
        } else {
            EXPECT_STREQ(disk.bus, "sata");  // found here, never "sas"
            EXPECT_EQ(disk.is_seagate, 1);
            EXPECT_EQ(disk.rpm, 0);
        }
    }
}

TEST(DiscoverSysBlock, TakesWholeDisksOnly) {
    Tree t;
    const Strings names = {"sda",
                           "sdaa",
                           "nvme0n1",
                           "nvme1n1",
                           "nvme0n1p1",
                           "nvme0n2",
                           "md9",
                           "loop0",
                           "sr0",
                           "dm-0",
                           "nvme0c0n1",
                           "nvme10c21n1",
                           "sd" + std::string(29, 'z'),
                           "sd" + std::string(30, 'z'),
                           "sd" + std::string(200, 'y')};
    for (const std::string& n : names) {
        make_dirs(t.root().sys_block + "/" + n + "/device");
        write_file(t.root().sys_block + "/" + n + "/device/serial", "S-" + n.substr(0, 20) + "\n");
    }
    Strings got = devs(t.discover());
    std::sort(got.begin(), got.end());
    // nvme0c0n1 is one path of nvme0n1 under native multipath: the same drive.
    Strings want = {"nvme0n1", "nvme1n1", "sd" + std::string(29, 'z'), "sda", "sdaa"};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
}

TEST(DiscoverSysBlock, DiskWithoutSerialIsLeftOut) {
    Tree t;
    t.add({.dev = "sda", .serial = "", .model = "M"});
    t.add({.dev = "sdb", .serial = "   ", .model = "M"});
    t.add({.dev = "sdc", .serial = "C"});
    EXPECT_EQ(devs(t.discover()), Strings{"sdc"});
}

TEST(DiscoverSysBlock, EnclosureDiskIsHeldOnceWithItsEnclosureData) {
    Tree t;
    t.add({.dev = "sda", .serial = "SYSFS-SERIAL", .model = "sysfs model"});
    t.add({.dev = "sdb", .serial = "ONLY-SYSFS"});
    write_file(fake_enclosure_path(t.root(), 0),
               section("sda", "ENC-SERIAL", "model=enclosure model\nport_id=4\n"));
    const std::vector<DiskInfo> d = t.discover();
    ASSERT_EQ(devs(d), (Strings{"sda", "sdb"}));
    EXPECT_STREQ(d[0].serial, "ENC-SERIAL");
    EXPECT_STREQ(d[0].model, "enclosure model");
    EXPECT_EQ(d[0].slot, 4);
    EXPECT_EQ(d[1].enclosure, -1);
}

TEST(DiscoverSysBlock, ManyDisksStopAtTheLimit) {
    Tree t;
    for (int i = 0; i < 140; ++i) t.sys_disk("sd" + std::to_string(i), "S" + std::to_string(i));
    EXPECT_EQ(t.discover().size(), 128u);
    EXPECT_EQ(t.discover(200).size(), 140u);
}

TEST(DiskListIds, FirstEntriesOfTheInventoryWithTheirWwid) {
    Tree t;
    t.add({.dev = "sda", .serial = "A", .wwid = "naa.5000C500AAAA0001", .slot = 1});
    t.add({.dev = "nvme0n1", .bus = FakeBus::kNvme, .serial = "N", .wwid = "eui.0025388b91b3c4a1"});
    t.add({.dev = "sdc", .serial = "c", .slot = 2, .enclosure_lines = {"wwn=0x5000CCA2BBBB0003"}});
    t.add({.dev = "sdd", .serial = "D"});
    t.add({.dev = "sde", .serial = "E"});
    t.add({.dev = "sdf", .serial = "F"});
    const std::vector<DiskInfo> all = t.discover();
    ASSERT_EQ(all.size(), 6u);
    const std::vector<DiskBrief> four = t.brief(4);
    ASSERT_EQ(four.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_STREQ(four[i].dev, all[i].dev);
        EXPECT_STREQ(four[i].serial, all[i].serial);
    }
    std::vector<DiskBrief> b = t.brief(kDiskMax);
    ASSERT_EQ(b.size(), 6u);
    const std::map<std::string, std::pair<std::string, std::string>> want = {
        {"sda", {"A", "naa.5000C500AAAA0001"}},      // device/wwid as written
        {"nvme0n1", {"N", "eui.0025388b91b3c4a1"}},  // the block folder's wwid
        {"sdc", {"C", "5000cca2bbbb0003"}},          // the inventory's wwn
        {"sdd", {"D", ""}},
        {"sde", {"E", ""}},
        {"sdf", {"F", ""}},
    };
    for (const DiskBrief& e : b) {
        ASSERT_EQ(want.count(e.dev), 1u) << e.dev;
        EXPECT_EQ(e.serial, want.at(e.dev).first);
        EXPECT_EQ(e.wwid, want.at(e.dev).second);
    }
    EXPECT_EQ(t.brief(0).size(), 0u);
}

// End to end: the real platform paths inside a fake NAS, read by a child of
// the test binary (no command runs discovery on its own).
class DiscoveryE2E : public ::testing::Test {
   protected:
    void SetUp() override { REQUIRE_FAKE_NAS(); }

    // Runs fn inside the fake NAS and hands back its records as they are in memory.
    template <typename T>
    std::vector<T> in_nas(int (*fn)(T*, int), int max) {
        const RunResult r = nas.run_function([&](std::string& out) {
            std::vector<T> recs(static_cast<size_t>(max));
            const int n = fn(recs.data(), max);
            if (n < 0 || n > max) return 3;
            out.assign(reinterpret_cast<const char*>(recs.data()),
                       sizeof(T) * static_cast<size_t>(n));
            return 0;
        });
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out.size() % sizeof(T), 0u);
        std::vector<T> recs(r.out.size() / sizeof(T));
        if (!recs.empty()) std::memcpy(recs.data(), r.out.data(), recs.size() * sizeof(T));
        return recs;
    }

    FakeNas nas;
};

TEST_F(DiscoveryE2E, ReadsTheFakeNasEnclosuresAndSysBlock) {
    const FakeDiskRoot root = fake_disk_root(nas);
    fake_disk_add(root, {.dev = "sdb",
                         .serial = "zl2abc12",
                         .model = "ST4000VN008-2DR166",
                         .firmware = "SC60",
                         .wwid = "naa.5000c500abcd1234",
                         .sectors = 7814037168,
                         .slot = 2,
                         .vendor = "Seagate",
                         .enclosure_lines = {"temperature=31"}});
    fake_disk_add(root, {.dev = "sda",
                         .bus = FakeBus::kSas,
                         .serial = "SAS1",
                         .model = "HUC101860CSS200",
                         .sectors = 1172123568,
                         .rotational = false,
                         .host = 13,
                         .enclosure = 3,
                         .slot = 9,
                         .vendor = "HGST"});
    fake_disk_add(root, {.dev = "nvme0n1",
                         .bus = FakeBus::kNvme,
                         .serial = "RIGNVME0001",
                         .model = "QEMU NVMe Ctrl",
                         .wwid = "nvme.1b36-52",
                         .sectors = 262144,
                         .rotational = false});
    fake_disk_add(root, {.dev = "sdc", .serial = "", .model = "no serial"});
    // Listed by the enclosure but absent from /sys/block: dropped.
    nas.put_file("/etc/enclosure_1.conf", section("sdq", "GONE"));

    const std::vector<DiskInfo> d = in_nas<DiskInfo>(disk_discover, kDiskMax);
    ASSERT_EQ(devs(d), (Strings{"sdb", "sda", "nvme0n1"}));
    EXPECT_STREQ(d[0].serial, "ZL2ABC12");
    EXPECT_EQ(d[0].enclosure, 0);
    EXPECT_EQ(d[0].slot, 2);
    EXPECT_EQ(d[0].temperature, 31);
    EXPECT_STREQ(d[0].wwn, "5000c500abcd1234");
    EXPECT_EQ(d[0].capacity_bytes, 7814037168LL * 512);
    EXPECT_EQ(d[0].is_seagate, 1);
    EXPECT_STREQ(d[0].bus, "sata");
    EXPECT_EQ(d[1].enclosure, 3);
    EXPECT_STREQ(d[1].bus, "sas");
    EXPECT_EQ(d[2].enclosure, -1);
    EXPECT_STREQ(d[2].bus, "nvme");
    EXPECT_STREQ(d[2].serial, "RIGNVME0001");

    const std::vector<DiskBrief> b = in_nas<DiskBrief>(disk_list_ids, 2);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_STREQ(b[0].dev, "sdb");
    EXPECT_STREQ(b[0].wwid, "naa.5000c500abcd1234");
    EXPECT_STREQ(b[1].dev, "sda");
    EXPECT_STREQ(b[1].wwid, "");
}

TEST_F(DiscoveryE2E, EmptyNasHasNoDisks) {
    EXPECT_EQ(in_nas<DiskInfo>(disk_discover, kDiskMax).size(), 0u);
    EXPECT_EQ(in_nas<DiskBrief>(disk_list_ids, kDiskMax).size(), 0u);
}

}  // namespace
