// Fake disks for tests: the sysfs folders and the NAS enclosure section of a
// disk, laid out from a few lines of test code, either below a folder that
// stands for "/" (for functions that take a root) or inside a FakeNas.
//
// The layout follows a real kernel's: /sys/block/<dev> is a link into a
// devices tree whose path names the controller (ataN/hostM for SATA,
// hostN/port-N:0/end_device-N:0 for SAS, nvme/nvmeN for NVMe), "device" is
// a link to the SCSI device or NVMe controller folder that holds model, serial
// and firmware. Values are written with a trailing newline, as sysfs shows them.
//
//   FakeDiskRoot root = fake_disk_root(nas);
//   FakeDisk d{.dev = "sdb", .serial = "WD-WCC4N1234567", .model = "WDC WD40EFRX"};
//   d.slot = 2;                 // also listed in /etc/enclosure_0.conf
//   fake_disk_add(root, d);
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class FakeNas;
class LoopDevice;

// Host folders that stand for /sys/block, for the devices tree its links point
// into, and for /etc.
struct FakeDiskRoot {
    std::string sys_block{};
    std::string sys_devices{};
    std::string etc{};
    std::string sys_class{};  // for the ATA link and device counters
};

// prefix/sys/block, prefix/sys/devices, prefix/etc and prefix/sys/class.
FakeDiskRoot fake_disk_root(const std::string& prefix);
// The fake NAS's own /sys/block and /etc (the devices tree lies in its base folder).
FakeDiskRoot fake_disk_root(const FakeNas& nas);

enum class FakeBus { kSata, kSas, kNvme };

struct FakeDisk {
    std::string dev{};  // kernel name: "sda", "nvme0n1"
    FakeBus bus = FakeBus::kSata;
    std::string serial{};       // device/serial; not written when empty
    std::string model{};        // device/model
    std::string firmware{};     // device/firmware_rev
    std::string wwid{};         // device/wwid ("wwid" of the block folder for NVMe)
    std::uint64_t sectors = 0;  // "size", in 512-byte sectors
    bool rotational = true;     // queue/rotational
    // SATA: the port's SCSI host (ataN+1/hostN); SAS: the HBA's host, the port
    // following the disk; NVMe: the controller (nvmeN). -1 takes a number from dev.
    int host = -1;
    // More files, path relative to /sys/block/<dev> ("device/state"), content as is.
    std::vector<std::pair<std::string, std::string>> attrs{};

    // Listed in an enclosure file when slot >= 0: a "[PhysicalDisk_<slot>]"
    // section appended to file `enclosure` (0..2 /etc/enclosure_N.conf,
    // 3 /etc/config/enclosure_0.conf) with pd_sys_name, port_id, serial_no,
    // model, vendor, revision, wwn, rotation_speed and capacity.
    int enclosure = 0;
    int slot = -1;
    std::string vendor{};
    int rpm = -1;  // rotation_speed; -1 means 7200 when rotational, else 0
    // More "key = value" lines at the end of the section, as is.
    std::vector<std::string> enclosure_lines{};
};

// Writes the disk's sysfs folders and, when it has a slot, its enclosure section.
void fake_disk_add(const FakeDiskRoot& root, const FakeDisk& disk);
// The enclosure section of a disk, as fake_disk_add appends it.
std::string fake_disk_section(const FakeDisk& disk);
// Host path of enclosure file 0..3.
std::string fake_enclosure_path(const FakeDiskRoot& root, int enclosure);

// A fake disk whose block device is loop: its sysfs folders below root with
// the loop device's logical block size and its size (a non-zero disk.sectors
// stays: a disk that claims more than it holds), and <dev_root>/dev/<dev> a
// link to the loop device, for code that opens g_probe_root + "/dev/<dev>".
// dev_root is the folder that stands for "/" (the prefix of root).
void fake_disk_on_loop(const FakeDiskRoot& root, const std::string& dev_root, FakeDisk disk,
                       const LoopDevice& loop);
// The same inside a fake NAS: its sysfs folders there, and /dev/<dev> inside
// the namespace the loop device's node.
void fake_disk_on_loop(FakeNas& nas, FakeDisk disk, const LoopDevice& loop);

// The ATA port ("ata3") in a SATA fake disk's sysfs path. Every SATA fake disk
// sits on the same AHCI controller, so a second one is a sibling of the first.
std::string fake_disk_ata_port(const FakeDisk& disk);
// The kernel's counters of ATA port "ataN": /sys/class/ata_link/linkN/sata_spd
// ("6.0 Gbps") and /sys/class/ata_device/devN.0/ering (lines such as
// "[  123.456789012]MediaError"). An empty text leaves its file out.
void fake_ata_port(const FakeDiskRoot& root, const std::string& port, const std::string& sata_spd,
                   const std::string& ering);
