// The collector (`dump`, `watch`) over every kind of emulated disk with
// Debian's real smartctl. The guest lists its sd disks in an enclosure file
// in bays 1 to 4 (SATA, virtio-scsi, SAS, scsi_debug), built from what sysfs
// says of them, as the NAS would; the NVMe disk is found in sysfs. A read of
// the NVMe disk's bad sector before the first dump leaves a media error in
// the kernel log. Then a watch sees a disk plugged in and pulled out through
// QEMU's monitor (the guest adds it to the enclosure file in bay 6).
#include <sstream>
#include <string>
#include <vector>

#include "tests/hw/hw_suite.h"
#include "tests/support/sqlite_file.h"

// The virtio-scsi and SAS disks are solid state, so the enclosure file lists
// them at 0 rpm and discovery calls them "sas".
HW_GUEST(HwCollector, {"collector",
                       {{"sata", "sata", "HWCOLSATA", 64},
                        {"scsi", "scsi", "HWCOLSCSI", 64, {}, "rotation_rate=1"},
                        {"sas", "sas", "HWCOLSAS", 64, {}, "rotation_rate=1"},
                        {"nvme", "nvme", "HWCOLNVME", 64, {{40800, 61}}},
                        {"spare", "spare", "", 32}},
                       300});

namespace {

using Section = std::vector<std::pair<std::string, std::string>>;

std::string trimmed(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t");
    const std::size_t b = s.find_last_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// key=value lines; a "[" line starts a new section.
std::vector<Section> sections(const std::string& text) {
    std::vector<Section> found(1);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("[", 0) == 0) {
            found.emplace_back();
        } else if (line.find('=') != std::string::npos) {
            found.back().emplace_back(line.substr(0, line.find('=')),
                                      trimmed(line.substr(line.find('=') + 1)));
        }
    }
    return found;
}

std::string value(const Section& s, const std::string& key) {
    for (const auto& kv : s)
        if (kv.first == key) return kv.second;
    return "(missing)";
}

class HwCollector : public HwTest {
   protected:
    std::string db() const { return guest().dir + "/share/out/corvantis.db"; }
    std::vector<std::string> rows(const std::string& sql) const { return sql_rows(db(), sql); }
    std::string one(const std::string& sql) const { return sql_value(db(), sql); }
    // Bays 1 to 4 of the enclosure file as the guest wrote it.
    Section bay(int n) const { return sections(out("enclosure_0.conf")).at(n); }
};

// One disks row per disk: identity from the enclosure file (discovery strips
// "naa." off the WWN), the bus from its rule (rotating: sata; with a vendor:
// sas), and the NVMe disk from sysfs, whose controller has no WWID.
TEST_F(HwCollector, DumpRecordsEveryDiskWithItsBusAndIdentity) {
    std::vector<std::string> expected;
    const char* bus[] = {"", "sata", "sas", "sas", "sas"};
    for (int n = 1; n <= 4; ++n) {
        const Section s = bay(n);
        const std::string bytes = std::to_string(std::stoll(value(s, "capacity")) * 512);
        expected.push_back(value(s, "serial_no") + "|" + value(s, "wwn").substr(4) + "|" +
                           value(s, "model") + "|" + value(s, "vendor") + "|" +
                           value(s, "revision") + "|" + bus[n] + "|" + bytes + "|" +
                           value(s, "rotation_speed") + "|1");
    }
    const Section nvme = sections(out("nvme.sysfs")).at(0);
    expected.push_back("HWCOLNVME|NULL|" + value(nvme, "model") + "||" +
                       value(nvme, "firmware_rev") + "|nvme|67108864|0|1");
    EXPECT_EQ(
        rows("SELECT serial,wwn,model,vendor,firmware,bus,capacity_bytes,rpm,present FROM disks "
             "WHERE disk_id<=5 ORDER BY disk_id"),
        expected);
    EXPECT_EQ(value(bay(1), "serial_no"), "HWCOLSATA");
    EXPECT_EQ(value(bay(2), "serial_no"), "HWCOLSCSI");
    EXPECT_EQ(value(bay(3), "serial_no"), "HWCOLSAS");
    EXPECT_EQ(value(bay(4), "model"), "scsi_debug");
    EXPECT_EQ(rows("SELECT disk_id,enclosure,slot FROM slot_history ORDER BY disk_id"),
              (std::vector<std::string>{"1|0|1", "2|0|2", "3|0|3", "4|0|4", "6|0|6"}));
    EXPECT_EQ(rows("SELECT disk_id,type,detail FROM events WHERE type='appear' AND poll_id=1 ORDER "
                   "BY event_id"),
              (std::vector<std::string>{"1|appear|{\"new\":1}", "2|appear|{\"new\":1}",
                                        "3|appear|{\"new\":1}", "4|appear|{\"new\":1}",
                                        "5|appear|{\"new\":1}"}));
}

// Every emulated sd disk answers smartctl -x with exit status 4 (one command
// behind "-x" failed): the rest of the reply is still the drive's data, so it is
// stored, with no R-M3 and no smart_error. The SATA drive's "-d sat" reply says
// as much and reports an ATA device, so its type becomes "sat" and later polls
// make one call. The emulated SATA drive's attributes are static and the SCSI
// ones report temperature 0. The NVMe reply (exit 0) is stored too; a second
// dump stores nothing new, since nothing changed.
TEST_F(HwCollector, SecondDumpWritesNoReadings) {
    EXPECT_NE(out("dump1.log").find("manual poll #1: 5 disks, "), std::string::npos)
        << out("dump1.log");
    EXPECT_NE(out("dump2.log").find("manual poll #2: 5 disks, 0 delta rows"), std::string::npos)
        << out("dump2.log");
    EXPECT_EQ(rows("SELECT kind,status,disks_seen FROM polls WHERE poll_id<=2 ORDER BY poll_id"),
              (std::vector<std::string>{"manual|ok|5", "manual|ok|5"}));
    EXPECT_EQ(one("SELECT rows_written FROM polls WHERE poll_id=1"),
              one("SELECT count(*) FROM readings WHERE poll_id=1"));
    EXPECT_EQ(one("SELECT rows_written FROM polls WHERE poll_id=2"), "0");
    EXPECT_EQ(one("SELECT count(*) FROM readings WHERE poll_id=2"), "0");
    EXPECT_EQ(
        rows("SELECT ns,attr_name,value_raw FROM readings_latest WHERE disk_id=5 AND "
             "(ns='health' OR attr_name IN ('media_errors','temperature')) ORDER BY ns,attr_name"),
        (std::vector<std::string>{"health|power_on_hours|0", "health|smart_status|1",
                                  "health|temperature|50", "nvme|media_errors|0",
                                  "nvme|temperature|50"}));
    EXPECT_EQ(one("SELECT count(*) FROM alerts WHERE rule_id='R-M3'"), "0");
    EXPECT_EQ(one("SELECT count(*) FROM events WHERE type='smart_error'"), "0");
    EXPECT_EQ(
        rows("SELECT attr_name,value_raw FROM readings_latest WHERE disk_id=1 AND ns='ata' "
             "AND attr_name IN ('Power_On_Hours','Reallocated_Sector_Ct') ORDER BY attr_name"),
        (std::vector<std::string>{"Power_On_Hours|1", "Reallocated_Sector_Ct|0"}));
    EXPECT_EQ(
        rows("SELECT disk_id,attr_name,value_raw FROM readings_latest WHERE disk_id<=4 AND "
             "ns='health' ORDER BY disk_id,attr_name"),
        (std::vector<std::string>{"1|power_on_hours|1", "1|smart_status|1", "1|temperature|31",
                                  "2|temperature|0", "3|temperature|0", "4|smart_status|1"}));
    EXPECT_EQ(rows("SELECT disk_id,smart_dtype FROM disks WHERE disk_id<=5 ORDER BY disk_id"),
              (std::vector<std::string>{"1|sat", "2|", "3|", "4|", "5|"}));
}

// The kernel-log scan of the first dump finds the failed read of the NVMe
// disk: one media line ("critical medium error"; the NVMe status line is
// neither kind), stored without its stamp as the event's sample.
TEST_F(HwCollector, KernelLogScanFindsTheMediaError) {
    EXPECT_NE(out("dd.err").find("No data available"), std::string::npos) << out("dd.err");
    std::string sample;
    std::istringstream in(out("dmesg.before"));
    for (std::string line; std::getline(in, line);)
        if (line.find("critical medium error, dev nvme0n1") != std::string::npos)
            sample = line.substr(line.find("] ") + 2);
    ASSERT_NE(sample, "");
    EXPECT_EQ(
        rows("SELECT disk_id,poll_id,type,detail FROM events WHERE type IN "
             "('read_error','link_error')"),
        std::vector<std::string>{"5|1|read_error|{\"lines\":1,\"dev\":\"nvme0n1\",\"sample\":\"" +
                                 sample + "\"}"});
    EXPECT_NE(one("SELECT count(*) FROM dmesg_lines WHERE poll_id=1"), "0");
    EXPECT_EQ(one("SELECT count(*) FROM dmesg_lines WHERE poll_id>2"), "0");
}

// watch: the disk plugged in is polled after its settle time and recorded;
// pulling it out polls at once and marks it gone.
TEST_F(HwCollector, WatchSeesADiskPluggedInAndPulledOut) {
    const std::string log = out("watch.log");
    for (const char* line :
         {"corvantisd watch started (netlink uevent)\n",
          "uevent: block add \xE2\x80\x94 settling 15s\n", "hotswap poll #3: 6 disks, ",
          "uevent: block remove\n", "hotswap poll #4: 5 disks, 0 delta rows"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_EQ(rows("SELECT kind,status,disks_seen FROM polls WHERE poll_id>2 ORDER BY poll_id"),
              (std::vector<std::string>{"hotswap|ok|6", "hotswap|ok|5"}));
    EXPECT_EQ(rows("SELECT serial,bus,present FROM disks WHERE disk_id=6"),
              std::vector<std::string>{"HWHOTPLUG|sata|0"});
    EXPECT_EQ(
        rows("SELECT type,detail FROM events WHERE disk_id=6 AND type IN ('appear','disappear') "
             "ORDER BY event_id"),
        (std::vector<std::string>{"appear|{\"new\":1}", "disappear|"}));
    EXPECT_EQ(one("SELECT poll_id FROM events WHERE disk_id=6 AND type='appear'"), "3");
    EXPECT_EQ(rows("SELECT rule_id,message FROM alerts WHERE rule_id='R-DISAPPEAR'"),
              std::vector<std::string>{
                  "R-DISAPPEAR|[Corvantis] HWHOTPLUG (HWHOTPLUG, bay 6): disk no longer present"});
}

}  // namespace
