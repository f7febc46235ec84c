#include "collector/klog_scan.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "collector/klog.h"
#include "collector/platform.h"
#include "core/clock.h"
#include "core/db.h"
#include "core/strbuf.h"
#include "core/util.h"

namespace {

constexpr char kInsertLine[] =
    "INSERT INTO dmesg_lines(boot_id,mono_ts,wall_ts,poll_id,line) VALUES(?,?,?,?,?)";

// Where the previous scan stopped, from meta.
struct ScanMark {
    bool by_index;   // no stamp kept: lines past `count` are new
    double last_ts;  // otherwise: stamped lines above this are new
    std::int64_t count;
};

ScanMark scan_mark_read() {
    char text[40];
    meta_get_str("dmesg_last_ts", text, sizeof text);
    ScanMark mark{text[0] == '\0', -1.0, meta_get_int("dmesg_count", 0)};
    if (!mark.by_index) {
        char* end = nullptr;
        const double v = std::strtod(text, &end);
        // Text that holds no number cannot place us in the log: take every
        // stamped line once rather than freeze on a garbage mark.
        if (end != text && std::isfinite(v)) mark.last_ts = v;
    }
    return mark;
}

bool target_named(const KlogTarget& t, const char* line) {
    if (klog_line_mentions_dev(line, t.dev)) return true;
    if (t.ata_port[0] && klog_line_mentions_dev(line, t.ata_port)) return true;
    return t.nvme_ctrl[0] && klog_line_mentions_dev(line, t.nvme_ctrl);
}

void count_line(KlogTarget* targets, int count, int cls, const char* line) {
    for (int i = 0; i < count; ++i) {
        KlogTarget& t = targets[i];
        if (t.disk_id == 0 || !target_named(t, line)) continue;
        if (cls == kKlogMedia) {
            if (t.media_count++ == 0) utf8_copy(t.media_first, sizeof t.media_first, line);
        } else {
            if (t.link_count++ == 0) utf8_copy(t.link_first, sizeof t.link_first, line);
        }
    }
}

void store_line(DbStmt& ins, const char* boot_id, double ts, std::int64_t now, std::int64_t poll_id,
                const char* line) {
    ins.reset();
    ins.bind_text(1, boot_id);
    // Stored lines keep only positive stamps; lines without one (and the
    // 0.000000 of the first boot lines) get NULL.
    if (ts > 0.0)
        ins.bind_double(2, ts);
    else
        ins.bind_null(2);
    ins.bind_int(3, now);
    ins.bind_id(4, poll_id);
    ins.bind_text(5, line);
    ins.step();
}

void add_event(const KlogTarget& t, std::int64_t poll_id, const char* type, std::int64_t lines,
               const char* sample) {
    StrBuf detail;
    (void)sb_printf(&detail, "{\"lines\":%lld,\"dev\":", static_cast<long long>(lines));
    sb_append_json_str(&detail, t.dev);
    sb_append_str(&detail, ",\"sample\":");
    sb_append_json_str(&detail, sample);
    sb_append_str(&detail, "}");
    event_add(t.disk_id, poll_id, type, detail.c_str());
}

}  // namespace

void klog_target_init(KlogTarget* target, std::int64_t disk_id, const char* dev) {
    klog_target_init_under("", target, disk_id, dev);
}

void klog_target_init_under(const char* root, KlogTarget* target, std::int64_t disk_id,
                            const char* dev) {
    std::memset(target, 0, sizeof *target);
    target->disk_id = disk_id;
    str_copy(target->dev, sizeof target->dev, dev);
    char path[PATH_MAX];
    const int n = std::snprintf(path, sizeof path, "%s/sys/block/%s/device", root, target->dev);
    char resolved[PATH_MAX];
    if (n > 0 && static_cast<std::size_t>(n) < sizeof path && realpath(path, resolved)) {
        // The controller rule reads the path as the kernel shows it: the
        // components of a test's root folder are not part of it.
        const std::size_t root_len = std::strlen(root);
        const bool below = root_len > 0 && std::strncmp(resolved, root, root_len) == 0;
        sysfs_path_controller(below ? resolved + root_len : resolved, target->ctrl_pci,
                              sizeof target->ctrl_pci, target->ata_port, sizeof target->ata_port);
    }
    if (std::strncmp(target->dev, "nvme", 4) == 0) {
        // nvme0n1 -> nvme0. A controller name too long for the field stays
        // empty: a cut name could stand for another controller.
        const char* ns = std::strchr(target->dev + 4, 'n');
        const std::size_t n =
            ns ? static_cast<std::size_t>(ns - target->dev) : std::strlen(target->dev);
        if (n < sizeof target->nvme_ctrl) {
            std::memcpy(target->nvme_ctrl, target->dev, n);
            target->nvme_ctrl[n] = '\0';
        }
    }
}

void klog_scan_text(std::int64_t poll_id, KlogTarget* targets, int count, char* text,
                    std::uint64_t len) {
    if (len == 0) return;
    char boot_id[80];
    meta_get_str("boot_id", boot_id, sizeof boot_id);
    const ScanMark mark = scan_mark_read();
    double newest = mark.last_ts;
    DbStmt ins(kInsertLine);
    const std::int64_t now = clock_now();

    std::int64_t index = 0;
    bool is_new = false;  // a line without a stamp inherits its predecessor's verdict
    std::uint64_t pos = 0;
    for (char* line; (line = klog_next_line(text, len, &pos)) != nullptr;) {
        ++index;
        const double ts = klog_line_timestamp(line);
        if (ts > newest) newest = ts;
        if (mark.by_index)
            is_new = index > mark.count;
        else if (ts >= 0.0)
            is_new = ts > mark.last_ts;
        if (!is_new) continue;
        const char* body = klog_line_strip_prefix(line);
        store_line(ins, boot_id, ts, now, poll_id, body);
        const int cls = klog_line_classify(body);
        if (cls != kKlogNone) count_line(targets, count, cls, body);
    }

    meta_set_int("dmesg_count", index);
    if (newest >= 0.0) {
        char ts[40];
        (void)std::snprintf(ts, sizeof ts, "%.6f", newest);
        meta_set("dmesg_last_ts", ts);
    }
    for (int i = 0; i < count; ++i) {
        const KlogTarget& t = targets[i];
        if (t.disk_id == 0) continue;
        if (t.media_count > 0) add_event(t, poll_id, "read_error", t.media_count, t.media_first);
        if (t.link_count > 0) add_event(t, poll_id, "link_error", t.link_count, t.link_first);
    }
}

void klog_scan(std::int64_t poll_id, KlogTarget* targets, int count) {
    StrBuf ring;
    if (platform().klog_read(&ring) <= 0) return;
    klog_scan_text(poll_id, targets, count, ring.data, ring.len);
}
