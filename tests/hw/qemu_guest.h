// QemuGuest: boots small QEMU guests (TCG, no KVM) whose real Linux drivers
// drive emulated SATA, SCSI, SAS and NVMe disks, runs one scenario script in
// each and hands back what it left behind.
//
// Each guest gets its own folder with raw disk images filled with a pattern,
// blkdebug rules for its bad sectors, a 9p share (the scenario and the guest
// helpers in, the results out under share/out) and a monitor socket. The
// scenario may ask the host for monitor commands (device_del, device_add)
// through the share; the runner answers them while it waits. Every image is
// checksummed before the boot and after power-off, so a test can insist that
// nothing was written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A 512-byte sector that fails every read with errno err (61 ENODATA, 5 EIO).
struct HwBadSector {
    std::uint64_t sector;
    int err;
};

struct HwDisk {
    std::string id;      // QEMU id of the drive and of its device
    std::string bus;     // "sata", "scsi", "sas", "nvme"; "spare": a drive only, for device_add
    std::string serial;  // also its model name's tail
    std::uint32_t size_mib = 64;
    std::vector<HwBadSector> bad = {};
    std::string options = "";  // more device options, such as "rotation_rate=1"
};

struct HwGuestPlan {
    std::string scenario;  // tests/hw/scenarios/<scenario>.sh
    std::vector<HwDisk> disks;
    int time_limit_s = 300;
    std::string env = "";   // more shell assignments for the scenario (/hw/env)
    std::string name = "";  // its folder; the scenario's name when empty
};

struct HwImageSum {
    std::string id;
    std::uint64_t before = 0;
    std::uint64_t after = 0;
};

struct HwGuest {
    std::string name;
    std::string dir;         // the guest's folder; the scenario's results are in dir/share/out
    bool finished = false;   // the scenario ran to its end and the guest powered off
    bool timed_out = false;  // killed at its time limit
    int scenario_rc = -1;    // the scenario script's exit status
    double seconds = 0;      // boot to power-off
    std::vector<HwImageSum> images;

    // A file the scenario left in /hw/out ("" when missing).
    std::string out(const std::string& name) const;
    // The ids of the images whose contents changed, joined by blanks.
    std::string changed_images() const;
    // The tail of the serial console and of the scenario's log, for failures.
    std::string diagnostics() const;
};

// What the host lacks to run guests ("" when nothing).
std::string hw_missing_prerequisites();
// Builds the guest's initramfs (busybox, the disk drivers, corvantisd,
// hw_devcheck and smartctl) into dir; "" or the builder's complaint. The
// environment variable HW_CORVANTISD names another corvantisd to put in.
std::string hw_build_image(const std::string& dir);
// Boots one guest per plan, all at once, each in a new folder under base,
// and waits for all of them. image_dir holds what hw_build_image made.
std::vector<HwGuest> hw_run_guests(const std::vector<HwGuestPlan>& plans,
                                   const std::string& image_dir, const std::string& base);
