#include "surface_test/probe_snapshot.h"

#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "collector/discovery.h"
#include "collector/klog.h"
#include "core/clock.h"
#include "core/smartctl.h"
#include "core/strbuf.h"
#include "core/unique_fd.h"
#include "core/util.h"
#include "surface_test/probe_state_file.h"

namespace {

constexpr std::uint64_t kEringReadMax = 65536;
constexpr std::size_t kEringLineMax = 511;  // bytes of a ring line that are examined
constexpr int kAttrCrcSlot = 5;             // attribute 199, interface CRC errors

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Both snapshots were taken with usable SMART data: what they tell about the
// run's own effect on the disk can be compared.
bool both_smart_ok() {
    const ProbeState& p = g_probe;
    return p.snap1_taken == 1 && p.snap0.smart_ok == 1 && p.snap1.smart_ok == 1;
}

// Parses a reply of cmd into snap; 1 when it is usable for cmd.
int parse_reply(SmartctlCmd cmd, const StrBuf& out, std::int64_t baseline, SmartSnapshot* snap) {
    if (smart_snap_from_json(out.data, out.len, baseline, snap) != 1) return 0;
    return smartctl_status_ok(cmd, g_probe.is_nvme, snap->exit_status);
}

void take_smart(ProbeSnapshot* snap, int which) {
    if (g_probe.identified != 1) return;
    StrBuf out;
    probe_smartctl(kSmartctlSnapshot, g_probe.dtype, g_probe.smart_dev, &out);
    // The second snapshot counts error-log entries numbered above the first's
    // newest, i.e. logged while the test ran.
    const ProbeSnapshot& s0 = g_probe.snap0;
    const std::int64_t baseline = which == 1 && s0.smart_ok == 1 ? s0.smart.errlog_max_number : -1;
    snap->smart_ok = parse_reply(kSmartctlSnapshot, out, baseline, &snap->smart);
}

void take_link(ProbeSnapshot* snap, int which) {
    if (g_probe.ata_port[0] == '\0') return;
    const char* port = std::strlen(g_probe.ata_port) > 3 ? g_probe.ata_port + 3 : "";
    char path[600];
    if (probe_path(path, sizeof path, "/sys/class/ata_link/link%.12s/sata_spd", port) == 0) {
        char line[64];
        file_read_line(path, line, sizeof line);
        str_copy(snap->sata_spd, sizeof snap->sata_spd, line);
        snap->sata_gbps = parse_leading_number(line);
    }
    StrBuf ering;
    if (probe_path(path, sizeof path, "/sys/class/ata_device/dev%.12s.0/ering", port) != 0 ||
        file_read_all(path, &ering, kEringReadMax) < 0)
        return;
    snap->ering_ok = 1;
    const ProbeSnapshot& s0 = g_probe.snap0;
    const double mark = which == 0 ? -1.0 : s0.ering_newest;
    ering_count_since(ering.c_str(), &snap->ering_bus, &snap->ering_media, &snap->ering_other,
                      &snap->ering_newest, mark);
    // Without a first reading there is no telling which entries the test
    // caused: the ring's stamps are on a clock of their own, so none is counted.
    if (which == 1 && s0.ering_ok != 1) snap->ering_bus = snap->ering_media = snap->ering_other = 0;
}

// The disk under test by its name, else its port, else its NVMe controller.
bool line_about_disk(const char* line) {
    const ProbeState& p = g_probe;
    if (klog_line_mentions_dev(line, p.name)) return true;
    if (p.ata_port[0]) return klog_line_mentions_dev(line, p.ata_port) == 1;
    return p.nvme_ctrl[0] && klog_line_mentions_dev(line, p.nvme_ctrl) == 1;
}

void take_siblings(int which) {
    for (int i = 0; i < g_probe.sibling_count; ++i) {
        SiblingLink& s = g_probe.siblings[i];
        int ok = 0;
        std::int64_t crc = 0, phy = 0;
        // A stop leaves the siblings not yet read unusable for this snapshot.
        if (!g_probe_stop) {
            char dev[48];
            (void)std::snprintf(dev, sizeof dev, "/dev/%s", s.dev);
            StrBuf out;
            probe_smartctl(kSmartctlSiblingCounters, s.dtype, dev, &out);
            SmartSnapshot r;
            // A sibling in standby answers with bit 1 set: it is not woken, and not usable.
            ok = out.len > 0 && parse_reply(kSmartctlSiblingCounters, out, -1, &r) &&
                 (r.attr_present[kAttrCrcSlot] || r.phy_count > 0);
            if (ok) {
                crc = r.attr_present[kAttrCrcSlot] ? r.attr_raw[kAttrCrcSlot] : 0;
                for (int k = 0; k < r.phy_count; ++k)
                    if (phy_event_is_crc(r.phy_id[k]) || phy_event_is_phy_error(r.phy_id[k]))
                        phy += r.phy_value[k];
                if (s.serial[0] == '\0') str_copy(s.serial, sizeof s.serial, r.serial);
            }
        }
        (which == 0 ? s.ok0 : s.ok1) = ok;
        (which == 0 ? s.crc0 : s.crc1) = crc;
        (which == 0 ? s.phy0 : s.phy1) = phy;
    }
}

}  // namespace

int probe_smartctl(SmartctlCmd cmd, const char* dtype, const char* device, StrBuf* out) {
    probe_state_catch_up();
    return smartctl_call(cmd, dtype, device, out);
}

int probe_identify(const char* dtype, int require_ata, int standby, char* serial_out,
                   char* protocol_out) {
    const SmartctlCmd cmd = standby ? kSmartctlIdentifyStandby : kSmartctlIdentify;
    StrBuf out;
    probe_smartctl(cmd, dtype, g_probe.smart_dev, &out);
    SmartSnapshot r;
    if (out.len == 0 || !parse_reply(cmd, out, -1, &r) || r.serial[0] == '\0') return 0;
    if (require_ata && ::strcasecmp(r.protocol, "ATA") != 0) return 0;
    str_copy(serial_out, 80, r.serial);
    str_copy(protocol_out, 16, r.protocol);
    ProbeState& p = g_probe;
    if (p.model[0] == '\0') str_copy(p.model, sizeof p.model, r.model);
    if (p.wwn[0] == '\0' && r.wwn[0] != '\0') str_copy(p.wwn, sizeof p.wwn, r.wwn);
    return 1;
}

void probe_snapshot_take(ProbeSnapshot* snap, int which, int with_siblings) {
    std::memset(snap, 0, sizeof *snap);
    snap->ts = clock_now();
    take_smart(snap, which);
    take_link(snap, which);
    StrBuf log;
    if (klog_read_all(&log) < 1) sb_free(&log);
    probe_snapshot_klog(snap, which, &log);
    if (with_siblings) take_siblings(which);
}

void probe_snapshot_klog(ProbeSnapshot* snap, int which, StrBuf* log) {
    snap->klog_ok = 0;
    snap->dmesg_mark = 0.0;
    snap->dmesg_link = snap->dmesg_media = 0;
    if (!log || log->len < 1) return;
    snap->klog_ok = 1;
    const ProbeSnapshot& s0 = g_probe.snap0;
    double newest = which == 0 ? -1.0 : s0.dmesg_mark;
    // Lines stamped after this are new. Without a first reading the run's own
    // start stands in: the kernel stamps its log on the monotonic clock, so
    // the history before the test is never taken for errors it caused.
    const double since = s0.klog_ok == 1 ? s0.dmesg_mark : g_probe.start_mono_ms / 1000.0;
    std::uint64_t pos = 0;
    for (char* line; (line = klog_next_line(log->data, log->len, &pos)) != nullptr;) {
        const double t = klog_line_timestamp(line);
        newest = std::max(newest, t);
        if (which != 1 || !(t > since) || !line_about_disk(line)) continue;
        const int cls = klog_line_classify(line);
        if (cls == kKlogMedia) ++snap->dmesg_media;
        if (cls == kKlogLink) ++snap->dmesg_link;
    }
    snap->dmesg_mark = newest < 0 ? 0.0 : newest;
}

void probe_find_siblings() {
    ProbeState& p = g_probe;
    p.sibling_count = 0;
    if (p.is_nvme || p.controller[0] == '\0') return;
    char path[600];
    if (probe_path(path, sizeof path, "/sys/block") != 0) return;
    const UniqueDir dir(::opendir(path));
    if (!dir) return;
    std::unique_ptr<DiskBrief[]> brief(new (std::nothrow) DiskBrief[kDiskMax]);
    const int count = brief ? disk_list_ids_under(g_probe_root, brief.get(), kDiskMax) : 0;
    while (const dirent* e = ::readdir(dir.get())) {
        if (p.sibling_count >= kProbeSiblingMax) break;
        if (std::strncmp(e->d_name, "sd", 2) != 0 || std::strcmp(e->d_name, p.name) == 0) continue;
        char resolved[PATH_MAX];
        char ctrl[16], port[16];
        if (probe_path(path, sizeof path, "/sys/block/%s/device", e->d_name) != 0 ||
            !::realpath(path, resolved) || resolved[0] != '/' ||
            !sysfs_path_controller(resolved, ctrl, sizeof ctrl, port, sizeof port) ||
            std::strcmp(ctrl, p.controller) != 0)
            continue;
        SiblingLink& s = p.siblings[p.sibling_count++];
        std::memset(&s, 0, sizeof s);
        str_copy(s.dev, sizeof s.dev, e->d_name);
        str_copy(s.dtype, sizeof s.dtype, port[0] ? "sat" : "");
        for (int i = 0; i < count; ++i)
            if (std::strcmp(brief[i].dev, e->d_name) == 0)
                str_copy(s.serial, sizeof s.serial, brief[i].serial);
    }
}

std::int64_t probe_snap_attr_delta(int k) {
    const ProbeState& p = g_probe;
    if (k < 0 || k >= kSmartAttrSlots || !both_smart_ok() || !p.snap0.smart.attr_present[k] ||
        !p.snap1.smart.attr_present[k])
        return 0;
    return p.snap1.smart.attr_raw[k] - p.snap0.smart.attr_raw[k];
}

int probe_snap_phy_delta(int i, std::int64_t* delta) {
    const SmartSnapshot& s1 = g_probe.snap1.smart;
    if (i < 0 || i >= s1.phy_count || i >= kSmartPhyMax || !both_smart_ok()) return 0;
    int found = 0;
    const std::int64_t before = smart_snap_phy_counter(&g_probe.snap0.smart, s1.phy_id[i], &found);
    if (!found) return 0;
    *delta = s1.phy_value[i] - before;
    return 1;
}

int probe_snap_speed_drop() {
    const ProbeState& p = g_probe;
    return p.snap1_taken == 1 && p.snap0.sata_gbps > 0 && p.snap1.sata_gbps > 0 &&
                   p.snap1.sata_gbps < p.snap0.sata_gbps
               ? 1
               : 0;
}

std::int64_t probe_snap_nvme_media_delta() {
    const ProbeState& p = g_probe;
    if (!both_smart_ok() || !p.snap0.smart.nvme_health_present ||
        !p.snap1.smart.nvme_health_present)
        return 0;
    return p.snap1.smart.nvme_media_errors - p.snap0.smart.nvme_media_errors;
}

std::int64_t smart_snap_phy_counter(const SmartSnapshot* snap, std::uint32_t id, int* found) {
    if (found) *found = 0;
    for (int i = 0; snap && i < snap->phy_count; ++i) {
        if (snap->phy_id[i] != id) continue;
        if (found) *found = 1;
        return snap->phy_value[i];
    }
    return 0;
}

int phy_event_is_crc(std::uint32_t id) {
    return id == 1 || id == 11 ? 1 : 0;
}

int phy_event_is_phy_error(std::uint32_t id) {
    return (id >= 2 && id <= 7) || id == 9 || id == 10 ? 1 : 0;
}

double parse_leading_number(const char* text) {
    return text && is_digit(text[0]) ? std::strtod(text, nullptr) : 0.0;
}

void ering_count_since(const char* text, std::int64_t* bus, std::int64_t* media,
                       std::int64_t* other, double* newest, double mark) {
    *bus = *media = *other = 0;
    *newest = mark;
    if (!text) return;
    char line[kEringLineMax + 1];
    while (*text) {
        // A line longer than the examined part goes on as the next one.
        std::size_t n = 0;
        while (n < kEringLineMax && text[n] && text[n] != '\n') ++n;
        std::memcpy(line, text, n);
        line[n] = '\0';
        text += n;
        if (*text == '\n' && n < kEringLineMax) ++text;
        if (line[0] != '[') continue;
        const double stamp = std::strtod(line + 1, nullptr);
        if (!(stamp > mark)) continue;
        *newest = std::max(*newest, stamp);
        if (std::strstr(line, "BusError"))
            ++*bus;
        else if (std::strstr(line, "MediaError"))
            ++*media;
        else
            ++*other;
    }
}
