// The surface map by READ against dd over the same loop device, in one run.
// The device is a sparse file (in RAM by default, so its holes cost no disk
// time) of at least 32 GiB, whose cells are 8 MiB: the map reads each cell in
// one 8 MiB direct read, as `dd iflag=direct bs=8M` does. Prints the figures
// of each round and the ratio of the map's speed to dd's; asserts nothing.
//
//   map_read_bench [--size-gib N] [--dir D] [--rounds R]
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/ram_loop.h"
#include "core/run.h"
#include "core/strbuf.h"
#include "core/util.h"
#include "surface_test/probe_map.h"
#include "surface_test/probe_state.h"
#include "surface_test/thermal.h"

namespace {

constexpr double kMiB = 1048576.0;

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double dd_seconds(const std::string& dev) {
    const std::string in = "if=" + dev;
    const char* const argv[] = {"/bin/dd",      in.c_str(),    "of=/dev/null", "bs=8M",
                                "iflag=direct", "status=none", nullptr};
    StrBuf out;
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = run_capture(argv, &out, 3600);
    return rc == 0 ? seconds_since(t0) : -1;
}

// g_probe as the run leaves it before the map, for a full test of dev.
void probe_setup(const std::string& dev, int io_fd, std::uint64_t capacity,
                 const std::string& state_dir) {
    delete[] g_probe.codes;
    delete[] g_probe.bad;
    unsigned char* buf = g_probe.io_buf;
    g_probe = ProbeState{};
    ProbeState& p = g_probe;
    const std::string name = dev.substr(dev.rfind('/') + 1);
    str_copy(p.name, sizeof p.name, name.c_str());
    str_copy(p.dev, sizeof p.dev, dev.c_str());
    str_copy(p.serial_arg, sizeof p.serial_arg, "BENCH");
    str_copy(p.mode, sizeof p.mode, "full");
    str_copy(p.status, sizeof p.status, "running");
    str_copy(p.st_status, sizeof p.st_status, "skipped");
    p.phase = "verify";
    p.rotational = 0;
    p.capacity_bytes = capacity;
    p.logical_block_size = 512;
    p.io_fd = io_fd;
    p.sg_fd = -1;  // a loop device takes no SCSI commands: the map reads
    std::snprintf(p.state_path, sizeof p.state_path, "%s/BENCH.json", state_dir.c_str());
    p.bad = new BadRange[kProbeBadMax]();
    p.io_buf =
        buf ? buf : static_cast<unsigned char*>(std::aligned_alloc(kProbeIoAlign, kProbeIoBufSize));
    map_cell_geometry(capacity, &p.cells, &p.cell_bytes);
    p.codes = new char[p.cells + 1];
    std::memset(p.codes, '.', p.cells);
    p.codes[p.cells] = '\0';
    thermal_guard_init(&p.thermal.guard, 0, 1, 2, 0.15);
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t size_gib = 32;
    std::string dir = "/dev/shm";
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--size-gib")) size_gib = std::strtoull(argv[i + 1], nullptr, 10);
        if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
    }
    const std::uint64_t capacity = size_gib << 30;
    RamLoop disk(capacity, dir);
    const std::string& dev = disk.dev();
    if (dev.empty()) return 1;
    char state_dir[] = "/tmp/corvantis-bench-state-XXXXXX";
    ::mkdtemp(state_dir);
    const int io_fd = ::open(dev.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);

    std::printf("device %s over %s: %llu GiB\n", dev.c_str(), disk.image().c_str(),
                static_cast<unsigned long long>(size_gib));
    // The machine may be shared: the two take turns going first, and the
    // medians of each are compared as well as each round's pair.
    std::vector<double> ratios, maps, dds;
    for (int r = 0; r < rounds && io_fd >= 0; ++r) {
        const double dd_first_s = r % 2 ? dd_seconds(dev) : 0;
        probe_setup(dev, io_fd, capacity, state_dir);
        const auto t0 = std::chrono::steady_clock::now();
        probe_map_choose_method();
        probe_map_run();
        const double map_s = seconds_since(t0);
        const double map_mibs = static_cast<double>(capacity) / kMiB / map_s;
        const ProbeState& p = g_probe;
        const double avg = p.verify_mib / ((p.pace.map_end_ms - p.pace.map_start_ms) / 1000);
        const double dev_mibs = p.verify_mib / (p.map_ms / 1000);
        const double dd_s = r % 2 ? dd_first_s : dd_seconds(dev);
        const double dd_mibs = static_cast<double>(capacity) / kMiB / dd_s;
        ratios.push_back(map_mibs / dd_mibs);
        maps.push_back(map_mibs);
        dds.push_back(dd_mibs);
        std::printf(
            "round %d (%s first): map %s, %u cells of %llu MiB, done %u: %.2f s, %.0f MiB/s "
            "(state file: avg_mibs %.0f, dev_mibs %.0f, peak_mibs %.0f); dd bs=8M iflag=direct: "
            "%.2f s, %.0f MiB/s; ratio %.3f\n",
            r + 1, r % 2 ? "dd" : "map", p.method, p.cells,
            static_cast<unsigned long long>(p.cell_bytes >> 20), p.done, map_s, map_mibs, avg,
            dev_mibs, p.pace.peak_mibs, dd_s, dd_mibs, map_mibs / dd_mibs);
    }
    if (!ratios.empty()) {
        for (auto* v : {&ratios, &maps, &dds}) std::sort(v->begin(), v->end());
        const std::size_t mid = ratios.size() / 2;
        std::printf("map / dd per round: median %.3f, best %.3f, worst %.3f\n", ratios[mid],
                    ratios.back(), ratios.front());
        std::printf("median map %.0f MiB/s, median dd %.0f MiB/s: ratio %.3f\n", maps[mid],
                    dds[mid], maps[mid] / dds[mid]);
    }
    if (io_fd >= 0) ::close(io_fd);
    std::string cleanup = std::string(state_dir) + "/BENCH.json";
    ::unlink(cleanup.c_str());
    ::rmdir(state_dir);
    return 0;
}
