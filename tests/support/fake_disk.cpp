#include "tests/support/fake_disk.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "tests/support/fake_nas.h"
#include "tests/support/loop_device.h"

namespace {

// Below the devices tree: the SCSI device (or NVMe controller) folder that
// "device" points at, and the block folder of the disk itself.
struct DevicePaths {
    std::string device;
    std::string block;
};

// A number that tells the disk apart from the others: the letters of sdX
// counted as the kernel does (a 0, z 25, aa 26), else the first number in the name.
int disk_index(const std::string& dev) {
    const std::string tail = dev.rfind("sd", 0) == 0 ? dev.substr(2) : std::string();
    if (!tail.empty() && std::islower(static_cast<unsigned char>(tail[0]))) {
        long n = 0;  // kept small: only real names need to stay apart
        for (char c : tail)
            n = (n * 26 + (std::islower(static_cast<unsigned char>(c)) ? c - 'a' + 1 : 0)) % 100000;
        return static_cast<int>(n > 0 ? n - 1 : 0);
    }
    const size_t digit = dev.find_first_of("0123456789");
    return digit == std::string::npos
               ? 0
               : static_cast<int>(std::strtol(dev.c_str() + digit, nullptr, 10) % 100000);
}

DevicePaths device_paths(const FakeDisk& d) {
    const int index = disk_index(d.dev);
    switch (d.bus) {
        case FakeBus::kNvme: {
            const int n = d.host >= 0 ? d.host : index;
            char pci[32];
            std::snprintf(pci, sizeof pci, "0000:%02x:00.0", (n + 1) & 0xff);
            const std::string ctrl =
                "pci0000:00/" + std::string(pci) + "/nvme/nvme" + std::to_string(n);
            return {ctrl, ctrl + "/" + d.dev};
        }
        case FakeBus::kSas: {
            // One HBA, one port per disk.
            const std::string h = std::to_string(d.host >= 0 ? d.host : 0);
            const std::string p = std::to_string(index);
            const std::string dev = "pci0000:00/0000:00:05.0/host" + h + "/port-" + h + ":" + p +
                                    "/end_device-" + h + ":" + p + "/target" + h + ":0:" + p + "/" +
                                    h + ":0:" + p + ":0";
            return {dev, dev + "/block/" + d.dev};
        }
        case FakeBus::kSata:
        default: {
            // AHCI: every port is a link and a SCSI host of its own.
            const int n = d.host >= 0 ? d.host : index;
            const std::string h = std::to_string(n);
            const std::string dev = "pci0000:00/0000:00:02.0/ata" + std::to_string(n + 1) +
                                    "/host" + h + "/target" + h + ":0:0/" + h + ":0:0:0";
            return {dev, dev + "/block/" + d.dev};
        }
    }
}

void put_value(const std::string& path, const std::string& value) {
    if (!value.empty()) write_file(path, value + "\n");
}

void link(const std::string& target, const std::string& path) {
    ::unlink(path.c_str());
    if (::symlink(target.c_str(), path.c_str()) != 0) throw std::runtime_error("symlink " + path);
}

void append_file(const std::string& path, const std::string& text) {
    make_dirs(path.substr(0, path.rfind('/')));
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << text;
    if (!out) throw std::runtime_error("cannot append to " + path);
}

}  // namespace

FakeDiskRoot fake_disk_root(const std::string& prefix) {
    return {prefix + "/sys/block", prefix + "/sys/devices", prefix + "/etc", prefix + "/sys/class"};
}

FakeDiskRoot fake_disk_root(const FakeNas& nas) {
    return {nas.host_path("/sys/block"), nas.base() + "/sysdevices", nas.host_path("/etc"),
            nas.host_path("/sys/class")};
}

namespace {

FakeDisk sized_like(FakeDisk disk, const LoopDevice& loop) {
    if (disk.sectors == 0) disk.sectors = loop.sectors();
    disk.attrs.emplace_back("queue/logical_block_size",
                            std::to_string(loop.logical_block()) + "\n");
    return disk;
}

}  // namespace

void fake_disk_on_loop(const FakeDiskRoot& root, const std::string& dev_root, FakeDisk disk,
                       const LoopDevice& loop) {
    fake_disk_add(root, sized_like(disk, loop));
    make_dirs(dev_root + "/dev");
    link(loop.path(), dev_root + "/dev/" + disk.dev);
}

void fake_disk_on_loop(FakeNas& nas, FakeDisk disk, const LoopDevice& loop) {
    fake_disk_add(fake_disk_root(nas), sized_like(disk, loop));
    nas.put_device("/dev/" + disk.dev, loop.path());
}

std::string fake_disk_ata_port(const FakeDisk& d) {
    const std::string dev = device_paths(d).device;
    const std::size_t at = dev.find("/ata");
    return at == std::string::npos ? std::string()
                                   : dev.substr(at + 1, dev.find('/', at + 1) - at - 1);
}

void fake_ata_port(const FakeDiskRoot& root, const std::string& port, const std::string& sata_spd,
                   const std::string& ering) {
    const std::string n = port.substr(3);
    make_dirs(root.sys_class + "/ata_link/link" + n);
    make_dirs(root.sys_class + "/ata_device/dev" + n + ".0");
    if (!sata_spd.empty())
        write_file(root.sys_class + "/ata_link/link" + n + "/sata_spd", sata_spd + "\n");
    if (!ering.empty()) write_file(root.sys_class + "/ata_device/dev" + n + ".0/ering", ering);
}

std::string fake_enclosure_path(const FakeDiskRoot& root, int enclosure) {
    if (enclosure == 3) return root.etc + "/config/enclosure_0.conf";
    return root.etc + "/enclosure_" + std::to_string(enclosure) + ".conf";
}

std::string fake_disk_section(const FakeDisk& d) {
    std::string s = "[PhysicalDisk_" + std::to_string(d.slot) + "]\n";
    auto line = [&s](const char* key, const std::string& value) {
        if (!value.empty()) s += std::string(key) + " = " + value + "\n";
    };
    line("pd_sys_name", "/dev/" + d.dev);
    line("port_id", std::to_string(d.slot));
    line("serial_no", d.serial);
    line("model", d.model);
    line("vendor", d.vendor);
    line("revision", d.firmware);
    line("wwn", d.wwid);
    line("rotation_speed", std::to_string(d.rpm >= 0 ? d.rpm : (d.rotational ? 7200 : 0)));
    if (d.sectors > 0) line("capacity", std::to_string(d.sectors));
    for (const std::string& extra : d.enclosure_lines) s += extra + "\n";
    return s;
}

void fake_disk_add(const FakeDiskRoot& root, const FakeDisk& d) {
    const DevicePaths p = device_paths(d);
    const std::string device = root.sys_devices + "/" + p.device;
    const std::string block = root.sys_devices + "/" + p.block;
    make_dirs(block + "/queue");
    // Relative, as the kernel makes it: the folder two (SCSI) or one (NVMe)
    // levels up is the device.
    link(d.bus == FakeBus::kNvme ? ".." : "../..", block + "/device");
    put_value(device + "/serial", d.serial);
    put_value(device + "/model", d.model);
    put_value(device + "/firmware_rev", d.firmware);
    put_value(device + "/state", d.bus == FakeBus::kNvme ? "live" : "running");
    put_value((d.bus == FakeBus::kNvme ? block : device) + "/wwid", d.wwid);
    put_value(block + "/size", std::to_string(d.sectors));
    put_value(block + "/queue/rotational", d.rotational ? "1" : "0");
    put_value(block + "/queue/logical_block_size", "512");
    for (const auto& [rel, content] : d.attrs) write_file(block + "/" + rel, content);
    make_dirs(root.sys_block);
    link(block, root.sys_block + "/" + d.dev);
    if (d.slot >= 0) append_file(fake_enclosure_path(root, d.enclosure), fake_disk_section(d));
}
