// The surface test (`probe`) against the real drivers of emulated disks.
//
// One guest per bus (SATA, virtio-scsi, SAS, NVMe) with three 64 MiB disks:
// a clean one, tested quick and full, and two whose sector 40800 fails every
// read, with errno 61 (a medium error) and errno 5 (EIO). A 64 MiB disk has
// 64 cells of 1 MiB; sector 40800 (byte 20889600) lies in cell 19, and of the
// 128 READ samples of 1 MiB, 520159 * k rounded down to 4 KiB, samples 39
// and 40 cover it, both starting inside cell 19.
//
// The emulated SATA and SCSI disks verify without reading, so VERIFY passes
// over the bad sector: the map grades cell 19 by its speed, the two samples
// fail, the repeat pass narrows each to the bad 4 KiB unit, whose VERIFY
// passes three times while READ fails three times. That is what a cable
// fault looks like, and the range becomes "link": the verdict is `link`. On a
// real disk VERIFY would fail with a medium error and the verdict would be
// `bad`. The emulated NVMe controller does not announce Verify, so its map
// reads: cell 19 fails, and three failed READs of the unit confirm a media
// error.
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "collector/klog.h"
#include "tests/hw/hw_suite.h"
#include "tests/support/sqlite_file.h"

namespace {

std::vector<HwDisk> bus_disks(const std::string& bus, const std::string& prefix) {
    return {{"ok", bus, prefix + "OK", 64},
            {"bad61", bus, prefix + "61", 64, {{40800, 61}}},
            {"bad5", bus, prefix + "5", 64, {{40800, 5}}}};
}

}  // namespace

HW_GUEST(HwProbeSata, {"probe", bus_disks("sata", "HWSATA"), 400, "BUS=HWSATA\n"});
HW_GUEST(HwProbeScsi, {"probe", bus_disks("scsi", "HWSCSI"), 400, "BUS=HWSCSI\n"});
HW_GUEST(HwProbeSas, {"probe", bus_disks("sas", "HWSAS"), 400, "BUS=HWSAS\n"});
HW_GUEST(HwProbeNvme, {"probe", bus_disks("nvme", "HWNVME"), 400, "BUS=HWNVME\n"});
HW_GUEST(HwProbeScsiDebug, {"sdebug", {}, 300});
HW_GUEST(HwProbeLost,
         {"lost",
          {{"lostscsi", "scsi", "HWLOSTSCSI", 64}, {"lostnvme", "nvme", "HWLOSTNVME", 64}},
          300});

namespace {

constexpr char kLinkRange[] =
    R"({"lba":40800,"kind":"link","via":"read","repeat":"0/3","repeat_read":"3/3","code":"L","cell":19,"lba_exact":false})";
constexpr char kMediaRange[] =
    R"({"lba":40800,"kind":"media","via":"read","repeat":"3/3","code":"B","cell":19,"lba_exact":false})";

// A map with every cell read ('a' to 'f', by speed, shown as '-') except
// cell 19, which holds code.
std::string map_with_cell19(char code) {
    return std::string(19, '-') + code + std::string(44, '-');
}

// Map codes with the speed grades 'a' to 'f' shown as '-'.
std::string graded(std::string codes) {
    for (char& c : codes)
        if (c >= 'a' && c <= 'f') c = '-';
    return codes;
}

std::string reason(const char* key, long long n) {
    return std::string(R"({"key":")") + key + R"(","n":)" + std::to_string(n) + "}";
}

std::string verdict(const char* code, const std::vector<std::string>& reasons) {
    std::string list;
    for (const std::string& r : reasons) list += (list.empty() ? "" : ",") + r;
    return std::string(R"({"code":")") + code + R"(","reasons":[)" + list + "]}";
}

struct KlogCounts {
    long long link = 0;
    long long media = 0;
};

class HwProbe : public HwTest {
   protected:
    std::string state(const std::string& run) const { return out(run + ".json"); }
    std::string at(const std::string& run, const std::string& path) const {
        return hw_json(state(run), path);
    }
    std::string db() const { return guest().dir + "/share/out/corvantis.db"; }

    // The line a finished test prints, and its exit code.
    void expect_line(const std::string& run, const char* verdict_code, int probe_id) const {
        EXPECT_EQ(out(run + ".line"), std::string(R"({"ok":true,"status":"done","verdict":")") +
                                          verdict_code + R"(","probe_id":)" +
                                          std::to_string(probe_id) + "}\nexit 0\n")
            << out(run + ".log");
    }

    void expect_identity(const std::string& run, const std::string& serial, const char* mode,
                         const char* kind) const {
        EXPECT_EQ(at(run, "serial"), '"' + serial + '"');
        EXPECT_EQ(at(run, "mode"), std::string("\"") + mode + '"');
        EXPECT_EQ(at(run, "kind"), std::string("\"") + kind + '"');
        EXPECT_EQ(at(run, "status"), "\"done\"");
        EXPECT_EQ(at(run, "phase"), "\"verdict\"");
        EXPECT_EQ(at(run, "capacity_bytes"), "67108864");
        EXPECT_EQ(at(run, "map.cells"), "64");
        EXPECT_EQ(at(run, "map.cell_bytes"), "1048576");
    }

    void expect_clean(const std::string& run, const std::string& serial, const char* mode,
                      const char* kind, const char* method, const char* selftest,
                      const std::vector<std::string>& reasons, int probe_id) const {
        SCOPED_TRACE(run);
        expect_line(run, "good", probe_id);
        expect_identity(run, serial, mode, kind);
        EXPECT_EQ(at(run, "map.method"), std::string("\"") + method + '"');
        EXPECT_EQ(at(run, "map.done"), "64");
        EXPECT_EQ(graded(at(run, "map.codes")), '"' + std::string(64, '-') + '"');
        EXPECT_EQ(at(run, "bad"), "[]");
        EXPECT_EQ(at(run, "stats.read_samples"), "128");
        EXPECT_EQ(at(run, "stats.read_errors"), "0");
        EXPECT_EQ(at(run, "selftest.status"), std::string("\"") + selftest + '"');
        EXPECT_EQ(at(run, "verdict"), verdict("good", reasons));
    }

    // The kernel-log lines about this run's disk between its two snapshots,
    // counted from the log the guest saved at its end.
    KlogCounts klog_counts(const std::string& run) const {
        const double from = std::atof(at(run, "snap0.dmesg_mark").c_str());
        const double to = std::atof(at(run, "snap1.dmesg_mark").c_str());
        const std::string dev = at(run, "dev");
        const std::string name = dev.substr(6, dev.size() - 7);  // "/dev/sdb" without quotes
        const std::string port = at(run, "ata_port").substr(1, at(run, "ata_port").size() - 2);
        const std::string ctrl =
            name.rfind("nvme", 0) == 0 ? name.substr(0, name.find('n', 4)) : "";
        KlogCounts counts;
        std::istringstream in(out("dmesg"));
        for (std::string line; std::getline(in, line);) {
            const double t = klog_line_timestamp(line.c_str());
            if (t <= from || t > to) continue;
            const bool about = klog_line_mentions_dev(line.c_str(), name.c_str()) ||
                               (!port.empty() ? klog_line_mentions_dev(line.c_str(), port.c_str())
                                              : !ctrl.empty() && klog_line_mentions_dev(
                                                                     line.c_str(), ctrl.c_str()));
            if (!about) continue;
            const int c = klog_line_classify(line.c_str());
            if (c == 2) ++counts.media;
            if (c == 1) ++counts.link;
        }
        return counts;
    }

    // The second snapshot counts what the kernel logged about the disk during
    // the test; the kernel rate-limits these messages, so their number is
    // taken from the log itself.
    KlogCounts expect_klog_counted(const std::string& run) const {
        const KlogCounts c = klog_counts(run);
        EXPECT_EQ(at(run, "snap1.dmesg"), R"({"link":)" + std::to_string(c.link) + R"(,"media":)" +
                                              std::to_string(c.media) + "}")
            << run;
        EXPECT_EQ(at(run, "deltas.dmesg_link"), std::to_string(c.link)) << run;
        EXPECT_EQ(at(run, "deltas.dmesg_media"), std::to_string(c.media)) << run;
        return c;
    }

    // A disk whose bad sector only READ finds: two link ranges in cell 19.
    void expect_link_only(const std::string& run, const std::string& serial, const char* mode,
                          const char* kind, const char* selftest, int probe_id) const {
        SCOPED_TRACE(run);
        expect_line(run, "link", probe_id);
        expect_identity(run, serial, mode, kind);
        EXPECT_EQ(at(run, "map.method"), "\"verify\"");
        EXPECT_EQ(at(run, "map.done"), "64");
        EXPECT_EQ(graded(at(run, "map.codes")), '"' + map_with_cell19('L') + '"');
        EXPECT_EQ(at(run, "bad"), std::string("[") + kLinkRange + "," + kLinkRange + "]");
        EXPECT_EQ(at(run, "stats.verify_errors"), "0");
        EXPECT_EQ(at(run, "stats.read_errors"), "2");
        EXPECT_EQ(at(run, "selftest.status"), std::string("\"") + selftest + '"');
        const KlogCounts c = expect_klog_counted(run);
        std::vector<std::string> reasons = {reason("link_read_only", 2)};
        if (c.link > 0) reasons.push_back(reason("dmesg_link", c.link));
        if (c.media > 0) reasons.push_back(reason("media_unconfirmed", c.media));
        EXPECT_EQ(at(run, "verdict"), verdict("link", reasons));
    }

    // The disks of a SCSI bus, named prefix + OK, 61 and 5.
    void expect_scsi_disks(const std::string& prefix) const {
        expect_clean("ok-quick", prefix + "OK", "quick", "scsi", "verify", "unsupported",
                     {reason("clean", 0)}, 1);
        expect_clean("ok-full", prefix + "OK", "full", "scsi", "verify", "unsupported",
                     {reason("clean", 0)}, 2);
        expect_link_only("bad61", prefix + "61", "full", "scsi", "unsupported", 3);
        expect_link_only("bad5", prefix + "5", "quick", "scsi", "unsupported", 4);
        EXPECT_GE(klog_counts("bad61").media, 3);
        EXPECT_EQ(klog_counts("bad5").media, 0);
    }

    // Each test's probes row holds the final state document, byte for byte,
    // and a probe_done event names it.
    void expect_rows_match_state(const std::vector<std::string>& runs) const {
        std::vector<std::string> rows;
        std::vector<std::string> events;
        for (const std::string& run : runs) {
            const std::string doc = state(run);
            auto text = [&](const char* key) {
                return hw_json(doc, key).substr(1, hw_json(doc, key).size() - 2);
            };
            const std::string id = std::to_string(rows.size() + 1);
            const std::string code = hw_json(doc, "verdict.code");
            rows.push_back(id + "|NULL|" + text("serial") + "|" + text("wwn") + "|" + text("mode") +
                           "|" + text("status") + "|" + code.substr(1, code.size() - 2) + "|" +
                           at(run, "started_ts") + "|" + at(run, "finished_ts") + "|" + doc);
            events.push_back(R"({"probe_id":)" + id + R"(,"serial":)" + hw_json(doc, "serial") +
                             R"(,"mode":)" + hw_json(doc, "mode") +
                             R"(,"status":"done","verdict":)" + code + "}");
        }
        EXPECT_EQ(
            sql_rows(
                db(),
                "SELECT probe_id,disk_id,serial,wwn,mode,status,verdict,started_ts,finished_ts,"
                "result_json FROM probes ORDER BY probe_id"),
            rows);
        EXPECT_EQ(
            sql_rows(db(), "SELECT detail FROM events WHERE type='probe_done' ORDER BY event_id"),
            events);
    }

    // A disk pulled during the map: the cells before it read, the failed one
    // 'E', the rest untouched; no samples, repeat or self-test.
    void expect_dropped_off(const std::string& run, const std::string& serial, const char* kind,
                            const char* method, const std::vector<std::string>& closing,
                            int probe_id) const {
        SCOPED_TRACE(run);
        expect_line(run, "inconclusive", probe_id);
        expect_identity(run, serial, "full", kind);
        EXPECT_EQ(at(run, "map.method"), std::string("\"") + method + '"');
        const int done = std::atoi(at(run, "map.done").c_str());
        EXPECT_GE(done, 8);
        EXPECT_LT(done, 64);
        EXPECT_EQ(graded(at(run, "map.codes")),
                  '"' + std::string(done, '-') + 'E' + std::string(63 - done, '.') + '"');
        EXPECT_EQ(at(run, "bad"), R"([{"lba":)" + std::to_string(done * 2048) +
                                      R"(,"kind":"other","via":")" +
                                      (method == std::string("read") ? "read" : "verify") +
                                      R"(","repeat":"0/0","code":"E","cell":)" +
                                      std::to_string(done) + R"(,"lba_exact":false}])");
        EXPECT_EQ(at(run, "stats.read_samples"), "0");
        EXPECT_EQ(at(run, "selftest.status"), "\"skipped\"");
        EXPECT_EQ(at(run, "snap1.smart"), "false");
        std::vector<std::string> reasons = {reason("dropped_off", 1)};
        reasons.insert(reasons.end(), closing.begin(), closing.end());
        EXPECT_EQ(at(run, "verdict"), verdict("inconclusive", reasons));
    }
};

class HwProbeSata : public HwProbe {};
class HwProbeScsi : public HwProbe {};
class HwProbeSas : public HwProbe {};
class HwProbeNvme : public HwProbe {};
class HwProbeScsiDebug : public HwProbe {};
class HwProbeLost : public HwProbe {};

// SATA: the short self-test runs and is logged at once as passed.
TEST_F(HwProbeSata, CleanDiskIsGoodInBothModes) {
    expect_clean("ok-quick", "HWSATAOK", "quick", "ata", "verify", "passed", {reason("clean", 0)},
                 1);
    expect_clean("ok-full", "HWSATAOK", "full", "ata", "verify", "passed", {reason("clean", 0)}, 2);
}

// libata retries each failed read, slows the link down and resets it: the
// resets are link-class kernel lines about the port. The emulated disk's
// errors are device errors in the ATA error ring, neither bus nor media.
TEST_F(HwProbeSata, BadSectorOnlyReadFindsIsTakenForLinkTrouble) {
    expect_link_only("bad61", "HWSATA61", "full", "ata", "passed", 3);
    expect_link_only("bad5", "HWSATA5", "quick", "ata", "passed", 4);
    for (const char* run : {"bad61", "bad5"}) {
        EXPECT_EQ(at(run, "deltas.ering_bus"), "0") << run;
        EXPECT_EQ(at(run, "deltas.ering_media"), "0") << run;
        EXPECT_EQ(at(run, "deltas.spd_drop"), "false") << run;
    }
}

// The short self-test: started (the drive's log holds it after the test),
// followed until the drive reports it done, and recorded as passed.
TEST_F(HwProbeSata, SelfTestIsStartedFollowedAndRecorded) {
    for (const char* run : {"ok-quick", "ok-full", "bad61", "bad5"}) {
        SCOPED_TRACE(run);
        if (run != std::string("ok-full")) {
            EXPECT_EQ(at(run, "snap0.selftest_newest"), "(none)");
        }
        EXPECT_EQ(at(run, "selftest"),
                  R"({"type":"short","status":"passed","remaining_pct":0,"lba_first_error":null})");
        EXPECT_EQ(
            at(run, "snap1.selftest_newest"),
            R"({"type":"Short offline","status":"Completed without error","passed":true,"hours":4660})");
    }
}

TEST_F(HwProbeSata, ProbesRowsHoldTheStateFiles) {
    expect_rows_match_state({"ok-quick", "ok-full", "bad61", "bad5"});
}

// virtio-scsi, and SAS through mptsas, which answers alike: no self-test
// (the emulated disk refuses the command). A medium error is logged as three
// media lines (sense key, additional sense, "critical medium error"); an
// aborted command as none.
TEST_F(HwProbeScsi, CleanAndBadDisks) {
    expect_scsi_disks("HWSCSI");
}

TEST_F(HwProbeScsi, ProbesRowsHoldTheStateFiles) {
    expect_rows_match_state({"ok-quick", "ok-full", "bad61", "bad5"});
}

TEST_F(HwProbeSas, CleanAndBadDisks) {
    expect_scsi_disks("HWSAS");
}

TEST_F(HwProbeSas, ProbesRowsHoldTheStateFiles) {
    expect_rows_match_state({"ok-quick", "ok-full", "bad61", "bad5"});
}

// NVMe: Identify does not announce Verify, so the map reads; there is no
// self-test and no link analysis. The temperature limit comes from the
// warning temperature in Identify (70 C, less 5), the temperature from the
// SMART / Health log.
TEST_F(HwProbeNvme, CleanDiskIsGoodInBothModes) {
    const std::vector<std::string> reasons = {reason("clean", 0),
                                              reason("nvme_no_link_analysis", 0)};
    expect_clean("ok-quick", "HWNVMEOK", "quick", "nvme", "read", "unsupported", reasons, 1);
    expect_clean("ok-full", "HWNVMEOK", "full", "nvme", "read", "unsupported", reasons, 2);
    for (const char* run : {"ok-quick", "ok-full"}) {
        EXPECT_EQ(at(run, "thermal.sensor"), "\"nvme\"") << run;
        EXPECT_EQ(at(run, "thermal.limit_c"), "65") << run;
        EXPECT_EQ(at(run, "thermal.limit_src"), "\"wctemp\"") << run;
        EXPECT_EQ(at(run, "thermal.temp_c"), "50") << run;
        EXPECT_EQ(at(run, "thermal.wctemp_c"), "70") << run;
        EXPECT_EQ(at(run, "thermal.cctemp_c"), "100") << run;
        EXPECT_EQ(at(run, "snap0.nvme"),
                  R"({"media_errors":0,"err_log_entries":0,"critical_warning":0})")
            << run;
    }
}

// Whatever the emulator's errno, a failed NVMe read is a media error to the
// kernel. The map's READ of cell 19 fails (a range at the cell's start), so
// do samples 39 and 40; all three narrow to the bad unit and fail three READs
// more: media, confirmed.
TEST_F(HwProbeNvme, BadSectorIsARepeatableMediaError) {
    for (const char* run : {"bad61", "bad5"}) {
        SCOPED_TRACE(run);
        expect_line(run, "bad", run == std::string("bad61") ? 3 : 4);
        EXPECT_EQ(at(run, "map.method"), "\"read\"");
        EXPECT_EQ(at(run, "map.done"), "64");
        EXPECT_EQ(graded(at(run, "map.codes")), '"' + map_with_cell19('B') + '"');
        EXPECT_EQ(at(run, "bad"),
                  std::string("[") + kMediaRange + "," + kMediaRange + "," + kMediaRange + "]");
        EXPECT_EQ(at(run, "stats.verify_mib"), "63");
        EXPECT_EQ(at(run, "stats.verify_errors"), "1");
        EXPECT_EQ(at(run, "stats.read_samples"), "128");
        EXPECT_EQ(at(run, "stats.read_errors"), "2");
        EXPECT_GE(expect_klog_counted(run).media, 1);
        EXPECT_EQ(at(run, "verdict"), verdict("bad", {reason("media_repeatable", 3),
                                                      reason("nvme_no_link_analysis", 0)}));
    }
}

TEST_F(HwProbeNvme, ProbesRowsHoldTheStateFiles) {
    expect_rows_match_state({"ok-quick", "ok-full", "bad61", "bad5"});
}

// scsi_debug's medium error is found by READ only too (its VERIFY checks
// nothing); deleting the disk in the middle of the map ends the test with the
// device-lost rule. It sits on no PCI controller.
TEST_F(HwProbeScsiDebug, MediumErrorOnlyReadFindsIsTakenForLinkTrouble) {
    const std::string serial = out("names").substr(0, out("names").find(' '));
    expect_link_only("bad", serial, "full", "scsi", "unsupported", 1);
    EXPECT_GE(klog_counts("bad").media, 3);
    EXPECT_EQ(at("bad", "controller"), "\"\"");
}

TEST_F(HwProbeScsiDebug, DeletedDiskDropsOff) {
    const std::string serial = out("names").substr(0, out("names").find(' '));
    expect_dropped_off("deleted", serial, "scsi", "verify", {}, 2);
}

TEST_F(HwProbeScsiDebug, ProbesRowsHoldTheStateFiles) {
    expect_rows_match_state({"bad", "deleted"});
}

// device_del through QEMU's monitor while the map runs (at 4 MiB/s).
TEST_F(HwProbeLost, DiskPulledDuringTheMapDropsOff) {
    expect_dropped_off("scsi", "HWLOSTSCSI", "scsi", "verify", {}, 1);
    expect_dropped_off("nvme", "HWLOSTNVME", "nvme", "read", {reason("nvme_no_link_analysis", 0)},
                       2);
    EXPECT_EQ(out("scsi.interrupt"), "");
    EXPECT_EQ(out("nvme.interrupt"), "");
}

TEST_F(HwProbeLost, ProbesRowsHoldTheStateFiles) {
    expect_rows_match_state({"scsi", "nvme"});
}

}  // namespace
