// Identification of the disk under test: from the serial as typed to the
// opened block device, with everything the later phases need to know about it.
#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "collector/discovery.h"
#include "collector/klog.h"
#include "collector/nas_conf.h"
#include "collector/wwn.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/run.h"
#include "core/strbuf.h"
#include "core/unique_fd.h"
#include "core/util.h"
#include "surface_test/probe_map.h"
#include "surface_test/probe_run.h"
#include "surface_test/probe_snapshot.h"
#include "surface_test/probe_state.h"

namespace {

constexpr std::uint64_t kVpdReadMax = 4096;
constexpr std::uint64_t kNasConfReadMax = 1 << 20;
constexpr int kDtypeDbTimeoutMs = 5000;

using BriefList = std::unique_ptr<DiskBrief[]>;

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The brief inventory; an allocation failure counts as an empty one.
int inventory(BriefList* list) {
    list->reset(new (std::nothrow) DiskBrief[kDiskMax]);
    if (!*list) return 0;
    return disk_list_ids_under(g_probe_root, list->get(), kDiskMax);
}

// First line of /sys/block/<name>/<attr>, trimmed.
void block_attr(const char* attr, char* out, std::size_t size) {
    sysfs_read_attr_under(g_probe_root, g_probe.name, attr, out, size);
}

void clear_identity() {
    ProbeState& p = g_probe;
    p.wwn[0] = p.model[0] = p.smart_dev[0] = p.dev[0] = p.name[0] = '\0';
    p.nvme_ctrl[0] = p.ata_port[0] = p.controller[0] = '\0';
    p.is_nvme = 0;
}

// The serial of an "sd" disk's VPD page 0x80 (the bytes after its 4-byte header).
void vpd_serial(const char* name, char* out, std::size_t size) {
    out[0] = '\0';
    char path[600];
    if (probe_path(path, sizeof path, "/sys/block/%s/device/vpd_pg80", name) != 0) return;
    StrBuf page;
    if (file_read_all(path, &page, kVpdReadMax) <= 4) return;
    const std::size_t n = page.len - 4 < 79 ? page.len - 4 : 79;
    char serial[80];
    std::memcpy(serial, page.data + 4, n);
    serial[n] = '\0';
    str_trim(serial);
    str_copy(out, size, serial);
}

// A disk that discovery does not list (no enclosure entry, no sysfs serial):
// its VPD page, else smartctl without waking it, names its serial.
bool find_unlisted(const DiskBrief* list, int count) {
    char dir_path[600];
    if (probe_path(dir_path, sizeof dir_path, "/sys/block") != 0) return false;
    UniqueDir dir(::opendir(dir_path));
    if (!dir) return false;
    while (const dirent* e = ::readdir(dir.get())) {
        if (!starts_with(e->d_name, "sd")) continue;
        bool listed = false;
        for (int i = 0; i < count && !listed; ++i)
            listed = std::strcmp(list[i].dev, e->d_name) == 0;
        if (listed) continue;
        char serial[80];
        vpd_serial(e->d_name, serial, sizeof serial);
        if (serial[0] && strcasecmp(serial, g_probe.serial_arg) == 0) {
            probe_set_device(e->d_name);
            str_copy(g_probe.serial, sizeof g_probe.serial, serial);
            return true;
        }
        probe_set_device(e->d_name);
        for (const char* dtype : {"", "sat", "scsi"}) {
            char protocol[16];
            if (probe_identify(dtype, 0, 1, serial, protocol) &&
                strcasecmp(serial, g_probe.serial_arg) == 0) {
                str_copy(g_probe.serial, sizeof g_probe.serial, serial);
                return true;
            }
        }
        clear_identity();
    }
    return false;
}

// Capacity, block size, rotation and model from sysfs. A size that is 0 or
// unreadable leaves the capacity 0.
void read_geometry() {
    ProbeState& p = g_probe;
    char text[40];
    block_attr("size", text, sizeof text);
    char* end = nullptr;
    errno = 0;
    const long long sectors = std::strtoll(text, &end, 10);
    const bool readable = end != text && errno != ERANGE && sectors > 0 &&
                          static_cast<unsigned long long>(sectors) <= UINT64_MAX / 512;
    p.capacity_bytes = readable ? static_cast<std::uint64_t>(sectors) * 512 : 0;
    block_attr("queue/logical_block_size", text, sizeof text);
    const long long lbs = std::strtoll(text, nullptr, 10);
    const bool lbs_ok = lbs >= 512 && lbs % 512 == 0 && lbs <= UINT32_MAX;
    p.logical_block_size = lbs_ok ? static_cast<std::uint32_t>(lbs) : 512;
    block_attr("queue/rotational", text, sizeof text);
    p.rotational = text[0] == '1';
    char model[96];
    block_attr("device/model", model, sizeof model);
    if (model[0]) str_copy(p.model, sizeof p.model, model);
}

// The smartctl device type that the collector found working for this disk.
void remembered_dtype(char* out, std::size_t size) {
    out[0] = '\0';
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(g_db_path, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, kDtypeDbTimeoutMs);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db,
                               "SELECT smart_dtype FROM disks WHERE upper(serial)=upper(?) ORDER "
                               "BY last_seen_ts DESC LIMIT 1",
                               -1, &st, nullptr) == SQLITE_OK) {
            sqlite3_bind_text(st, 1, g_probe.serial, -1, SQLITE_STATIC);
            if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_type(st, 0) == SQLITE_TEXT)
                str_copy(out, size, reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
}

// The smartctl device type that answers for this disk; protocol gets the
// protocol of the answering reply ("" when none answered).
void smartctl_identify(char* protocol) {
    ProbeState& p = g_probe;
    protocol[0] = '\0';
    if (!smartctl_path()) return;
    char serial[80];
    if (p.is_nvme) {
        p.identified = probe_identify("", 0, 0, serial, protocol);
        return;
    }
    char remembered[16];
    remembered_dtype(remembered, sizeof remembered);
    const bool ata = p.ata_port[0] != '\0';
    const char* const with_port[] = {"sat", remembered, ""};
    const char* const without_port[] = {remembered, "", "sat", "scsi"};
    const char* const* list = ata ? with_port : without_port;
    const int n = ata ? 3 : 4;
    for (int i = 0; i < n; ++i) {
        if (i > 0 && std::strcmp(list[i], list[i - 1]) == 0) continue;
        // Behind an ATA port only an ATA answer of the automatic type is the disk's own.
        const int require_ata = ata && list[i][0] == '\0';
        if (probe_identify(list[i], require_ata, 0, serial, protocol)) {
            p.identified = 1;
            str_copy(p.dtype, sizeof p.dtype, list[i]);
            return;
        }
    }
    protocol[0] = '\0';
}

void decide_kind(const char* protocol) {
    ProbeState& p = g_probe;
    const char* kind = "scsi";
    if (p.is_nvme)
        kind = "nvme";
    else if (p.ata_port[0])
        kind = "ata";
    else if (strcasecmp(protocol, "ATA") == 0)
        kind = "sat";
    str_copy(p.kind, sizeof p.kind, kind);
}

// The WWN as the NAS's configuration writes it, so that the flag commands
// find this test under the key the NAS uses.
void decide_wwn() {
    ProbeState& p = g_probe;
    char wwid[128];
    block_attr("device/wwid", wwid, sizeof wwid);
    if (!wwid[0]) block_attr("wwid", wwid, sizeof wwid);
    char path[600];
    StrBuf text;
    std::unique_ptr<NasConf> conf(new (std::nothrow) NasConf);
    if (conf && probe_path(path, sizeof path, "%s", kNasConfPath) == 0 &&
        file_read_all(path, &text, kNasConfReadMax) >= 0) {
        conf_parse_flags(text.c_str(), text.len, conf.get());
        for (int i = 0; i < conf->devmap_count; ++i) {
            const char* w = conf->devmap[i].wwn;
            if (!w[0]) continue;
            if ((wwid[0] && wwn_equal(w, wwid)) || strcasecmp(w, p.serial) == 0 ||
                (p.wwn[0] && wwn_equal(w, p.wwn))) {
                str_copy(p.wwn, sizeof p.wwn, w);
                return;
            }
        }
    }
    if (wwid[0]) {
        wwn_strip_prefix_checked(wwid, p.wwn, sizeof p.wwn);
        str_lower(p.wwn);
    }
}

// The md arrays built on the disk's partitions; the first one that is not one
// of the NAS's own system arrays is the one a user would recognise.
void find_md_arrays() {
    ProbeState& p = g_probe;
    char path[600];
    if (probe_path(path, sizeof path, "/sys/block/%s", p.name) != 0) return;
    UniqueDir dir(::opendir(path));
    if (!dir) return;
    const std::size_t name_len = std::strlen(p.name);
    while (const dirent* part = ::readdir(dir.get())) {
        if (std::strncmp(part->d_name, p.name, name_len) != 0 ||
            std::strlen(part->d_name) <= name_len)
            continue;
        char holders_path[900];
        if (probe_format(holders_path, sizeof holders_path, "%s/%s/holders", path, part->d_name) !=
            0)
            continue;
        UniqueDir holders(::opendir(holders_path));
        if (!holders) continue;
        while (const dirent* h = ::readdir(holders.get())) {
            if (!starts_with(h->d_name, "md")) continue;
            const std::size_t used = std::strlen(p.md_all);
            const std::size_t add = std::strlen(h->d_name) + (used ? 1 : 0);
            if (used + add < sizeof p.md_all) {
                if (used) std::strcat(p.md_all, ",");
                std::strcat(p.md_all, h->d_name);
            }
            if (!p.md_member[0] && !is_system_md_array(h->d_name))
                str_copy(p.md_member, sizeof p.md_member, h->d_name);
        }
    }
}

int fail(const char* error) {
    str_copy(g_probe.error, sizeof g_probe.error, error);
    return -1;
}

int open_device() {
    ProbeState& p = g_probe;
    char path[600];
    if (probe_path(path, sizeof path, "%s", p.dev) != 0) {
        errno = ENAMETOOLONG;
    } else {
        p.io_fd = ::open(path, O_RDONLY | O_DIRECT | O_CLOEXEC);
        if (p.io_fd >= 0 && !p.is_nvme) p.sg_fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (p.io_fd >= 0 && (p.is_nvme || p.sg_fd >= 0)) return 0;
    }
    if (probe_format(p.error, sizeof p.error, "open %s: %s", p.dev, std::strerror(errno)) != 0)
        str_copy(p.error, sizeof p.error, "open");
    return -1;
}

}  // namespace

void probe_set_device(const char* name) {
    ProbeState& p = g_probe;
    str_copy(p.name, sizeof p.name, name);
    probe_format(p.dev, sizeof p.dev, "/dev/%s", p.name);
    p.is_nvme = starts_with(p.name, "nvme");
    if (p.is_nvme) {
        str_copy(p.nvme_ctrl, sizeof p.nvme_ctrl, p.name);
        char* n = std::strlen(p.nvme_ctrl) > 4 ? std::strchr(p.nvme_ctrl + 4, 'n') : nullptr;
        if (n) *n = '\0';
        probe_format(p.smart_dev, sizeof p.smart_dev, "/dev/%s", p.nvme_ctrl);
    } else {
        probe_format(p.smart_dev, sizeof p.smart_dev, "/dev/%s", p.name);
    }
    char link[600];
    char resolved[4096];
    if (probe_path(link, sizeof link, "/sys/block/%s/device", p.name) == 0 &&
        ::realpath(link, resolved))
        sysfs_path_controller(resolved, p.controller, sizeof p.controller, p.ata_port,
                              sizeof p.ata_port);
}

int is_system_md_array(const char* name) {
    for (const char* sys : {"md9", "md13", "md256", "md321", "md322"})
        if (std::strcmp(name, sys) == 0) return 1;
    return 0;
}

int probe_identify_disk() {
    ProbeState& p = g_probe;
    BriefList list;
    const int count = inventory(&list);
    for (int i = 0; i < count && !p.name[0]; ++i) {
        if (strcasecmp(list[i].serial, p.serial_arg) != 0) continue;
        probe_set_device(list[i].dev);
        str_copy(p.serial, sizeof p.serial, list[i].serial);
    }
    if (!p.name[0] && !find_unlisted(list.get(), count)) return fail("serial_not_found");
    list.reset();
    read_geometry();

    char protocol[16];
    smartctl_identify(protocol);
    decide_kind(protocol);
    str_trim(p.model);
    str_trim(p.serial);
    decide_wwn();
    find_md_arrays();
    probe_find_siblings();

    // A dead drive often reports 0 blocks; an empty map would judge it good.
    if (p.capacity_bytes == 0) return fail("no_capacity");
    if (map_cell_geometry(p.capacity_bytes, &p.cells, &p.cell_bytes) && p.cells > 0) {
        p.codes = static_cast<char*>(std::malloc(p.cells + 1));
        if (!p.codes) return fail("out_of_memory");
        std::memset(p.codes, '.', p.cells);
        p.codes[p.cells] = '\0';
    }
    if (open_device() != 0) return -1;
    log_msg("probe: %s kind %s dtype '%s' capacity %llu lbs %u controller %s %s", p.dev, p.kind,
            p.dtype, static_cast<unsigned long long>(p.capacity_bytes), p.logical_block_size,
            p.controller, p.ata_port);
    return 0;
}
