// The device command layer against the real Linux drivers of emulated disks:
// one guest with a disk of each bus whose sector 40000 fails every read
// (errno 61 or 5 from the emulator), and a scsi_debug disk with a medium
// error there. hw_devcheck (tests/hw/guest/devcheck.cpp) sends the layer's
// commands and prints one line per command.
#include <string>
#include <vector>

#include "tests/hw/hw_suite.h"
#include "tests/support/sqlite_file.h"

HW_GUEST(HwDevices, {"devices",
                     {{"sata61", "sata", "HWSATA61", 32, {{40000, 61}}},
                      {"sata5", "sata", "HWSATA5", 32, {{40000, 5}}},
                      {"scsi61", "scsi", "HWSCSI61", 32, {{40000, 61}}},
                      {"scsi5", "scsi", "HWSCSI5", 32, {{40000, 5}}},
                      {"sas61", "sas", "HWSAS61", 32, {{40000, 61}}},
                      {"sas5", "sas", "HWSAS5", 32, {{40000, 5}}},
                      {"nvme61", "nvme", "HWNVME61", 32, {{40000, 61}}},
                      {"nvme5", "nvme", "HWNVME5", 32, {{40000, 5}}}},
                     240});

namespace {

struct Answer {
    const char* check;
    const char* line;
};

class HwDevices : public HwTest {
   protected:
    void expect_answers(const std::string& disk, const std::vector<Answer>& answers) {
        const auto got = fields("devcheck", disk + " ");
        for (const Answer& a : answers) {
            const auto it = got.find(a.check);
            EXPECT_EQ(it == got.end() ? "(no answer)" : it->second, a.line)
                << disk << " " << a.check;
        }
    }
};

constexpr char kGood[] = "code=0 err=0 status=0x00 host=0 driver=0x00 sense=none";

// Emulated ATA disks verify without reading, so VERIFY(16) passes over the bad
// sector where a real drive reports a medium error; the map therefore grades
// such a cell by its time, and only the READ samples find the sector. A READ
// that fails comes back as an aborted command (key 0xB, no ASC), graded 'E',
// where a real drive reports an unrecoverable read error.
TEST_F(HwDevices, SataThroughLibata) {
    for (const char* disk : {"HWSATA61", "HWSATA5"})
        expect_answers(
            disk,
            {{"sg_v3", "1"},
             {"verify16_clean", kGood},
             {"verify16_bad", kGood},
             {"read16_bad", "code=3 err=0 status=0x02 host=0 driver=0x08 sense=b/00/00 info=40000"},
             {"pread_clean", "code=0 err=0"},
             {"pread_bad", "code=3 err=5"}});
}

// SCSI disks behind virtio-scsi and behind the LSI SAS controller answer
// alike: VERIFY passes over the bad sector too; a READ meets a medium error
// without the failing LBA (ENODATA from the emulator) or an aborted command
// (EIO), and a direct read fails with the block layer's errno for each.
TEST_F(HwDevices, ScsiThroughVirtioAndSasThroughMptsas) {
    for (const char* disk : {"HWSCSI61", "HWSAS61"})
        expect_answers(disk,
                       {{"sg_v3", "1"},
                        {"verify16_clean", kGood},
                        {"verify16_bad", kGood},
                        {"read16_bad", "code=1 err=0 status=0x02 host=0 driver=0x08 sense=3/11/00"},
                        {"pread_clean", "code=0 err=0"},
                        {"pread_bad", "code=3 err=61"}});
    for (const char* disk : {"HWSCSI5", "HWSAS5"})
        expect_answers(disk,
                       {{"verify16_bad", kGood},
                        {"read16_bad", "code=3 err=0 status=0x02 host=0 driver=0x08 sense=b/00/06"},
                        {"pread_bad", "code=3 err=5"}});
}

// The emulated NVMe controller does not set Verify in ONCS although it
// executes Verify, so the surface map of an NVMe disk reads. Its Verify reads
// the media: a bad LBA fails with status 0x6 (internal error, graded 'E')
// rather than a media error, whatever the emulator's errno; past the verify
// size limit (1024 blocks) the command is an invalid field with DNR set, which
// the layer takes as unsupported. Direct reads fail with ENODATA for both.
TEST_F(HwDevices, NvmeThroughPassthrough) {
    for (const char* disk : {"HWNVME61", "HWNVME5"})
        expect_answers(disk, {{"sg_v3", "(no answer)"},
                              {"nsid", "1"},
                              {"identify", "rc=0 has_verify=0 wctemp=70 cctemp=100"},
                              {"smart_log", "rc=0 temp_ok=1 temp=50 warning=0"},
                              {"nvme_verify_clean", "code=0 err=0 status=0x0"},
                              {"nvme_verify_bad", "code=3 err=0 status=0x6"},
                              {"nvme_verify_over_limit", "code=4 err=0 status=0x4002"},
                              {"pread_clean", "code=0 err=0"},
                              {"pread_bad", "code=3 err=61"}});
}

// scsi_debug is the one source of textbook medium-error sense: key 3, ASC
// 11/00, VALID with the failing LBA in the information field. Its VERIFY
// checks nothing either.
TEST_F(HwDevices, ScsiDebugMediumErrorCarriesItsLba) {
    expect_answers(
        "SDEBUG",
        {{"sg_v3", "1"},
         {"verify16_clean", kGood},
         {"verify16_bad", kGood},
         {"read16_bad", "code=1 err=0 status=0x02 host=0 driver=0x08 sense=3/11/00 info=40000"},
         {"pread_clean", "code=0 err=0"},
         {"pread_bad", "code=3 err=61"}});
}

TEST_F(HwDevices, InitCreatesTheDatabaseInsideTheGuest) {
    EXPECT_EQ(out("init"), "init exit 0\n");
    EXPECT_EQ(sql_value(guest().dir + "/share/out/corvantis.db",
                        "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN "
                        "('disks','probes','readings','events')"),
              "4");
}

}  // namespace
