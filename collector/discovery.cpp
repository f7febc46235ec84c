#include "collector/discovery.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/unique_fd.h"
#include "core/util.h"

namespace {

// The NAS's enclosure files; a disk's enclosure index is its file's position here.
constexpr const char* kEnclosureFiles[] = {
    "/etc/enclosure_0.conf",
    "/etc/enclosure_1.conf",
    "/etc/enclosure_2.conf",
    "/etc/config/enclosure_0.conf",
};
constexpr int kEnclosureCount = 4;
constexpr std::size_t kLineSize = 512;  // 511 bytes a line at most
constexpr std::size_t kAttrPathSize = 160;
constexpr std::size_t kPathSize = 4096;

struct Inventory {
    DiskInfo* out;
    int max;
    int n;
};

// One section of an enclosure file while it is being read.
struct Section {
    DiskInfo rec;
    bool counted = false;  // opened by a "[PhysicalDisk_" header
    bool has_dev = false;  // saw "pd_sys_name"
    bool dev_ok = false;   // ...and its name can stand for a /sys/block entry
};

// root + platform path; false when it does not fit (the caller then reads nothing).
bool path_under(char* buf, std::size_t size, const char* root, const char* platform) {
    const int n = std::snprintf(buf, size, "%s%s", root, platform);
    return n >= 0 && static_cast<std::size_t>(n) < size;
}

// Decimal conversions are 64-bit everywhere: raw counters, sector counts and
// byte sizes pass 31 bits, and long is 32 bits on the NAS's ARM builds.
std::int64_t dec_i64(const char* text) {
    return std::strtoll(text, nullptr, 10);
}

std::int32_t dec_i32(const char* text) {
    const std::int64_t v = dec_i64(text);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(v);
}

// count x unit, or 0 when the product does not fit: a size that overflows is unknown.
std::int64_t mul_or_zero(std::int64_t count, std::int64_t unit) {
    std::int64_t bytes = 0;
    return __builtin_mul_overflow(count, unit, &bytes) ? 0 : bytes;
}

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool starts_with_nocase(const char* text, const char* prefix) {
    return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

bool inventory_has_dev(const Inventory& inv, const char* dev) {
    for (int i = 0; i < inv.n; ++i)
        if (std::strcmp(inv.out[i].dev, dev) == 0) return true;
    return false;
}

void record_init(DiskInfo* rec, int enclosure) {
    std::memset(rec, 0, sizeof *rec);
    rec->enclosure = enclosure;
    rec->slot = -1;
    rec->farm_support = -1;
}

// Reads one line into buf (newline dropped). Returns 0 at end of file, 1 for a
// line, -1 for a line longer than buf: it is read to its end and dropped whole,
// so that its tail never passes for a line of its own.
int read_line(std::FILE* f, char* buf, std::size_t size) {
    std::size_t n = 0;
    bool any = false;
    bool too_long = false;
    int c;
    while ((c = std::getc(f)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (n + 1 < size)
            buf[n++] = static_cast<char>(c);
        else
            too_long = true;
    }
    buf[n] = '\0';
    if (!any) return 0;
    return too_long ? -1 : 1;
}

// A kernel name from "pd_sys_name" must name one entry of /sys/block: a name
// that is empty, climbs out of it, or does not fit the field would point the
// record at another device or at nothing.
void set_dev(Section* s, const char* value) {
    const char* name = starts_with(value, "/dev/") ? value + 5 : value;
    s->has_dev = true;
    s->dev_ok = name[0] != '\0' && std::strchr(name, '/') == nullptr &&
                std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
                std::strlen(name) < sizeof s->rec.dev;
    str_copy(s->rec.dev, sizeof s->rec.dev, name);
}

void apply_key(Section* s, const char* key, const char* value) {
    DiskInfo* r = &s->rec;
    if (std::strcmp(key, "pd_sys_name") == 0) {
        set_dev(s, value);
    } else if (std::strcmp(key, "port_id") == 0) {
        r->slot = dec_i32(value);
    } else if (std::strcmp(key, "wwn") == 0) {
        wwn_normalize(value, r->wwn);
    } else if (std::strcmp(key, "serial_no") == 0) {
        str_copy(r->serial, sizeof r->serial, value);
        str_upper(r->serial);
    } else if (std::strcmp(key, "model") == 0) {
        str_copy(r->model, sizeof r->model, value);
    } else if (std::strcmp(key, "vendor") == 0) {
        str_copy(r->vendor, sizeof r->vendor, value);
    } else if (std::strcmp(key, "revision") == 0) {
        str_copy(r->firmware, sizeof r->firmware, value);
    } else if (std::strcmp(key, "rotation_speed") == 0) {
        r->rpm = dec_i32(value);
    } else if (std::strcmp(key, "temperature") == 0) {
        r->temperature = dec_i32(value);
    } else if (std::strcmp(key, "capacity") == 0) {
        r->capacity_bytes = mul_or_zero(dec_i64(value), 512);
    } else if (std::strcmp(key, "sector_size") == 0) {
        // Only a capacity read before it is rescaled; before it, 512 bytes stand.
        const std::int64_t sector = dec_i64(value);
        if (sector >= 1 && r->capacity_bytes > 0)
            r->capacity_bytes = mul_or_zero(r->capacity_bytes / 512, sector);
    }
}

// A record without a serial is dropped like a sysfs one: every later step
// (disks table, surface test, flags) identifies a disk by its serial. A disk
// listed twice is held once, from the first listing.
void section_close(Inventory* inv, Section* s) {
    if (!s->counted) return;
    s->counted = false;
    if (!s->has_dev || !s->dev_ok || s->rec.serial[0] == '\0') return;
    if (inv->n >= inv->max || inventory_has_dev(*inv, s->rec.dev)) return;
    inv->out[inv->n++] = s->rec;
}

void section_line(Section* s, char* line) {
    char* eq = std::strchr(line, '=');
    if (!eq) return;
    *eq = '\0';
    char* key = line;
    char* value = eq + 1;
    str_trim(key);
    str_trim(value);
    apply_key(s, key, value);
}

// A Seagate drive names its maker in its vendor (or model) text, or has a
// model number that begins with "ST"; either selects the FARM log read.
std::int32_t names_seagate(const char* maker, const char* model) {
    char upper_maker[sizeof(DiskInfo{}.model)];
    char upper_model[sizeof(DiskInfo{}.model)];
    str_copy(upper_maker, sizeof upper_maker, maker);
    str_copy(upper_model, sizeof upper_model, model);
    str_upper(upper_maker);
    str_upper(upper_model);
    return std::strstr(upper_maker, "SEAGATE") != nullptr || starts_with(upper_model, "ST") ? 1 : 0;
}

void classify_enclosure_disk(DiskInfo* r) {
    // A spinning disk is SATA; of the solid-state ones, only SAS disks carry a vendor.
    const char* bus = "sata";
    if (starts_with(r->dev, "nvme"))
        bus = "nvme";
    else if (r->rpm < 1 && r->vendor[0] != '\0')
        bus = "sas";
    str_copy(r->bus, sizeof r->bus, bus);
    r->is_seagate = names_seagate(r->vendor, r->model);
}

void read_enclosure_file(Inventory* inv, const char* path, int enclosure) {
    const UniqueFile f(std::fopen(path, "re"));
    if (!f) return;
    const int first = inv->n;
    Section s;
    char line[kLineSize];
    int got;
    // Once the inventory is full no section can be added; the rest is not read.
    while (inv->n < inv->max && (got = read_line(f.get(), line, sizeof line)) != 0) {
        str_trim(line);
        // An over-long key line is skipped whole, but an over-long header still
        // ends the section before it: otherwise the next disk's keys would be
        // written over the previous disk's record.
        if (got < 0 && line[0] != '[') continue;
        if (line[0] == '[') {
            section_close(inv, &s);
            if (starts_with(line, "[PhysicalDisk_")) {
                record_init(&s.rec, enclosure);
                s.counted = true;
                s.has_dev = false;
                s.dev_ok = false;
            }
        } else if (s.counted) {
            section_line(&s, line);
        }
    }
    section_close(inv, &s);
    for (int i = first; i < inv->n; ++i) classify_enclosure_disk(&inv->out[i]);
}

bool sys_block_exists(const char* root, const char* dev) {
    char rel[kAttrPathSize];
    char path[kPathSize];
    const int n = std::snprintf(rel, sizeof rel, "/sys/block/%s", dev);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof rel ||
        !path_under(path, sizeof path, root, rel))
        return false;
    struct stat st {};
    return ::stat(path, &st) == 0;
}

void drop_missing_devices(const char* root, Inventory* inv) {
    int kept = 0;
    for (int i = 0; i < inv->n; ++i) {
        if (!sys_block_exists(root, inv->out[i].dev)) continue;
        if (kept != i) inv->out[kept] = inv->out[i];
        ++kept;
    }
    inv->n = kept;
}

// nvme<C>c<P>n<N>: one path of a namespace under native NVMe multipath. It
// has no /dev node and carries the drive's serial, so it would stand for the
// drive a second time, unreadable; nvme<C>n<N> is the drive.
bool nvme_path_node(const char* name) {
    const char* p = name + std::strlen("nvme");
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    return *p == 'c';
}

// Whole disks only: sd*, and the first namespace of each NVMe controller
// without its partitions. A name longer than the field would be cut into the
// name of another device (or of none) and is passed over.
bool sys_block_name_taken(const char* name) {
    if (std::strlen(name) >= sizeof(DiskInfo{}.dev)) return false;
    if (starts_with(name, "sd")) return true;
    return starts_with(name, "nvme") && std::strstr(name, "n1") != nullptr &&
           std::strchr(name, 'p') == nullptr && !nvme_path_node(name);
}

void sysfs_record(const char* root, const char* name, DiskInfo* r) {
    record_init(r, -1);
    str_copy(r->dev, sizeof r->dev, name);
    sysfs_read_attr_under(root, name, "device/serial", r->serial, sizeof r->serial);
    str_upper(r->serial);
    sysfs_read_attr_under(root, name, "device/model", r->model, sizeof r->model);
    char wwid[80];
    sysfs_read_attr_under(root, name, "device/wwid", wwid, sizeof wwid);
    wwn_normalize(wwid, r->wwn);
    sysfs_read_attr_under(root, name, "device/firmware_rev", r->firmware, sizeof r->firmware);
    char rotational[8];
    sysfs_read_attr_under(root, name, "queue/rotational", rotational, sizeof rotational);
    r->rpm = rotational[0] == '1' ? 7200 : 0;
    char size[40];
    sysfs_read_attr_under(root, name, "size", size, sizeof size);
    r->capacity_bytes = mul_or_zero(dec_i64(size), 512);
    str_copy(r->bus, sizeof r->bus, starts_with(name, "nvme") ? "nvme" : "sata");
    // sysfs has no vendor text for a SATA disk: its model stands in.
    r->is_seagate = names_seagate(r->model, r->model);
}

void scan_sys_block(const char* root, Inventory* inv) {
    char path[kPathSize];
    if (!path_under(path, sizeof path, root, "/sys/block")) return;
    const UniqueDir dir(::opendir(path));
    if (!dir) return;
    const dirent* e;
    while (inv->n < inv->max && (e = ::readdir(dir.get())) != nullptr) {
        if (!sys_block_name_taken(e->d_name) || inventory_has_dev(*inv, e->d_name)) continue;
        DiskInfo* r = &inv->out[inv->n];
        sysfs_record(root, e->d_name, r);
        if (r->serial[0] != '\0') ++inv->n;
    }
}

}  // namespace

void wwn_normalize(const char* text, char out[80]) {
    out[0] = '\0';
    if (!text) return;
    const char* p = text;
    while (*p == ' ') ++p;
    if (starts_with_nocase(p, "0x")) p += 2;
    // A t10 identifier is vendor, model and serial text: the hexadecimal
    // letters scraped from it would look like a WWN and match nothing real.
    if (starts_with_nocase(p, "t10.")) return;
    if (starts_with_nocase(p, "naa.") || starts_with_nocase(p, "eui.")) p += 4;
    std::size_t n = 0;
    for (; *p && n < 79; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (char_is_hex(c)) out[n++] = static_cast<char>(std::tolower(c));
    }
    out[n] = '\0';
}

void sysfs_read_attr_under(const char* root, const char* dev, const char* attr, char* out,
                           std::size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    char rel[kAttrPathSize];
    char path[kPathSize];
    const int n = std::snprintf(rel, sizeof rel, "/sys/block/%s/%s", dev, attr);
    // A cut path would name another file; read nothing instead.
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof rel ||
        !path_under(path, sizeof path, root, rel))
        return;
    file_read_line(path, out, size);
}

void sysfs_read_attr(const char* dev, const char* attr, char* out, std::size_t size) {
    sysfs_read_attr_under("", dev, attr, out, size);
}

int disk_discover_under(const char* root, DiskInfo* out, int max) {
    if (max < 1) return 0;
    Inventory inv{out, max, 0};
    char path[kPathSize];
    for (int i = 0; i < kEnclosureCount && inv.n < inv.max; ++i) {
        if (!path_under(path, sizeof path, root, kEnclosureFiles[i]) || ::access(path, R_OK) != 0)
            continue;
        read_enclosure_file(&inv, path, i);
    }
    drop_missing_devices(root, &inv);
    scan_sys_block(root, &inv);
    return inv.n;
}

int disk_discover(DiskInfo* out, int max) {
    return disk_discover_under("", out, max);
}

int disk_list_ids_under(const char* root, DiskBrief* out, int max) {
    if (max < 1) return 0;
    std::unique_ptr<DiskInfo[]> disks(new (std::nothrow) DiskInfo[kDiskMax]());
    if (!disks) return 0;
    int n = disk_discover_under(root, disks.get(), kDiskMax);
    if (n > max) n = max;
    for (int i = 0; i < n; ++i) {
        const DiskInfo& d = disks[i];
        DiskBrief* b = &out[i];
        str_copy(b->dev, sizeof b->dev, d.dev);
        str_copy(b->serial, sizeof b->serial, d.serial);
        sysfs_read_attr_under(root, d.dev, "device/wwid", b->wwid, sizeof b->wwid);
        if (b->wwid[0] == '\0') sysfs_read_attr_under(root, d.dev, "wwid", b->wwid, sizeof b->wwid);
        if (b->wwid[0] == '\0') str_copy(b->wwid, sizeof b->wwid, d.wwn);
    }
    return n;
}

int disk_list_ids(DiskBrief* out, int max) {
    return disk_list_ids_under("", out, max);
}
