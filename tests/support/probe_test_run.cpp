#include "tests/support/probe_test_run.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>

#include "core/cli.h"
#include "core/util.h"
#include "surface_test/probe_map.h"
#include "surface_test/probe_state.h"
#include "surface_test/thermal.h"
#include "tests/support/fake_nas.h"

namespace {

std::string block_dir(const std::string& root) {
    return root + "/sys/block/" + g_probe.name;
}

}  // namespace

ProbeTestRun::ProbeTestRun(const ProbeTestDisk& disk)
    : temp_limit_before_(g_temp_limit), max_rate_before_(g_max_rate) {
    g_probe = ProbeState{};
    g_probe_stop = 0;
    g_temp_limit = -1;
    g_max_rate = 0;
    g_probe_root = dir_.path().c_str();

    ProbeState& p = g_probe;
    str_copy(p.serial_arg, sizeof p.serial_arg, "TESTSERIAL");
    str_copy(p.serial, sizeof p.serial, "TESTSERIAL");
    str_copy(p.name, sizeof p.name, disk.name.c_str());
    std::snprintf(p.dev, sizeof p.dev, "/dev/%s", disk.name.c_str());
    str_copy(p.smart_dev, sizeof p.smart_dev, p.dev);
    str_copy(p.kind, sizeof p.kind, disk.nvme ? "nvme" : "ata");
    str_copy(p.mode, sizeof p.mode, disk.mode.c_str());
    str_copy(p.status, sizeof p.status, "running");
    str_copy(p.st_status, sizeof p.st_status, "skipped");
    p.phase = "verify";
    p.is_nvme = disk.nvme;
    p.rotational = disk.rotational;
    p.capacity_bytes = disk.capacity;
    p.logical_block_size = disk.lbs;
    p.io_fd = disk.io_fd;
    p.sg_fd = disk.nvme ? -1 : disk.sg_fd;
    p.started_ts = 1800000000;

    make_dirs(dir_.path() + "/probe");
    std::snprintf(p.probe_dir, sizeof p.probe_dir, "%s/probe", dir_.path().c_str());
    std::snprintf(p.state_path, sizeof p.state_path, "%s/TESTSERIAL.json", p.probe_dir);
    make_dirs(block_dir(dir_.path()) + "/device");

    p.bad = new BadRange[kProbeBadMax]();
    p.io_buf = static_cast<unsigned char*>(std::aligned_alloc(kProbeIoAlign, kProbeIoBufSize));
    if (map_cell_geometry(p.capacity_bytes, &p.cells, &p.cell_bytes)) {
        p.codes = new char[p.cells + 1];
        std::memset(p.codes, '.', p.cells);
        p.codes[p.cells] = '\0';
    }
    // The neutral guard of a run before its thermal set-up, with no poll due:
    // tests of the guard set it up themselves.
    thermal_guard_init(&p.thermal.guard, 0, 1, 2, 0.15);
    p.thermal.poll_ms = 30000;
    p.thermal.next_poll = 1e300;
}

ProbeTestRun::~ProbeTestRun() {
    delete[] g_probe.codes;
    delete[] g_probe.bad;
    std::free(g_probe.io_buf);
    g_probe = ProbeState{};
    g_probe.sg_fd = g_probe.io_fd = -1;
    g_probe_stop = 0;
    g_probe_root = "";
    g_temp_limit = temp_limit_before_;
    g_max_rate = max_rate_before_;
}

std::string ProbeTestRun::codes() const {
    return g_probe.codes ? std::string(g_probe.codes) : std::string();
}

void ProbeTestRun::set_device_state(const std::string& state) {
    write_file(block_dir(dir_.path()) + "/device/state", state + "\n");
}

void ProbeTestRun::remove_device() {
    std::filesystem::remove_all(block_dir(dir_.path()));
}

std::string ProbeTestRun::state_file() const {
    return read_file(g_probe.state_path);
}
