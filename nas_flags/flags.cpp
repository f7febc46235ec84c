#include "nas_flags/flags.h"

#include <strings.h>

#include <cstdio>
#include <memory>
#include <new>

#include "collector/discovery.h"
#include "collector/nas_conf.h"
#include "collector/wwn.h"
#include "core/strbuf.h"
#include "core/util.h"

namespace {

void append_disk_fields(StrBuf* out, const DiskBrief* disk) {
    sb_append_str(out, ",\"serial\":");
    sb_append_json_str(out, disk ? disk->serial : nullptr);
    sb_append_str(out, ",\"dev\":");
    sb_append_json_str(out, disk ? disk->dev : nullptr);
}

void append_flags(StrBuf* out, const NasConf* conf, const DiskBrief* inventory, int count) {
    for (int i = 0; i < conf->flag_count && i < kNasMaxFlags; ++i) {
        const NasConfEntry& e = conf->flags[i];
        sb_append_str(out, i ? ",{\"wwn\":" : "{\"wwn\":");
        sb_append_json_str(out, e.wwn);
        sb_append_str(out, ",\"key\":");
        sb_append_json_str(out, e.key);
        sb_append_str(out, ",\"value\":");
        sb_append_json_str(out, e.value);
        sb_append_str(out, ",\"dev_id\":");
        sb_append_json_str(out, flags_find_dev_id(conf, e.wwn));
        append_disk_fields(out, flags_find_disk(inventory, count, e.wwn));
        sb_append_str(out, "}");
    }
}

void append_devmap(StrBuf* out, const NasConf* conf, const DiskBrief* inventory, int count) {
    for (int i = 0; i < conf->devmap_count && i < kNasMaxDevmap; ++i) {
        const NasConfEntry& e = conf->devmap[i];
        sb_append_str(out, i ? ",{\"wwn\":" : "{\"wwn\":");
        sb_append_json_str(out, e.wwn);
        sb_append_str(out, ",\"dev_id\":");
        sb_append_json_str(out, e.value);
        append_disk_fields(out, flags_find_disk(inventory, count, e.wwn));
        sb_append_str(out, "}");
    }
}

}  // namespace

void flags_print_error(const char* code, const char* detail) {
    StrBuf line;
    (void)sb_printf(&line, "{\"ok\":false,\"error\":\"%s\"", code);
    if (detail) {
        sb_append_str(&line, ",\"detail\":");
        sb_append_json_str(&line, detail);
    }
    sb_append_str(&line, "}\n");
    flags_print_line(&line);
}

void flags_print_line(StrBuf* line) {
    if (line->data) utf8_repair(line->data, static_cast<std::size_t>(line->len));
    std::fputs(line->c_str(), stdout);
}

const DiskBrief* flags_find_disk(const DiskBrief* inventory, int count, const char* key) {
    if (!inventory || !key) return nullptr;
    for (int i = 0; i < count; ++i) {
        const DiskBrief& d = inventory[i];
        if (d.wwid[0] && wwn_equal(d.wwid, key)) return &d;
        if (d.serial[0] && strcasecmp(d.serial, key) == 0) return &d;
    }
    return nullptr;
}

const char* flags_find_dev_id(const NasConf* conf, const char* wwn) {
    if (!conf || !wwn) return nullptr;
    for (int i = 0; i < conf->devmap_count && i < kNasMaxDevmap; ++i)
        if (wwn_equal(conf->devmap[i].wwn, wwn)) return conf->devmap[i].value;
    return nullptr;
}

void flags_list_json(const char* path, const NasConf* conf, const DiskBrief* inventory, int count,
                     StrBuf* out) {
    const std::uint64_t start = out->len;
    sb_append_str(out, "{\"conf\":");
    sb_append_json_str(out, path);
    (void)sb_printf(out, ",\"readable\":%s,\"flags\":[", conf ? "true" : "false");
    if (conf) append_flags(out, conf, inventory, count);
    sb_append_str(out, "],\"devmap\":[");
    if (conf) append_devmap(out, conf, inventory, count);
    sb_append_str(out, "]}\n");
    // The NAS's web interface reads the line with a strict JSON reader, which
    // refuses the whole line for one stray byte of the file or of sysfs.
    if (out->data && out->len > start)
        utf8_repair(out->data + start, static_cast<std::size_t>(out->len - start));
}

int cmd_flags(const char* conf_path) {
    const char* path = conf_path ? conf_path : kNasConfPath;
    std::unique_ptr<NasConf> conf(new (std::nothrow) NasConf());
    if (conf) {
        StrBuf text;
        if (file_read_all(path, &text, kNasConfReadMax) >= 0)
            conf_parse_flags(text.data, text.len, conf.get());
        else
            conf.reset();
    }
    std::unique_ptr<DiskBrief[]> inventory(new (std::nothrow) DiskBrief[kDiskMax]());
    const int count = inventory ? disk_list_ids(inventory.get(), kDiskMax) : 0;

    StrBuf line;
    flags_list_json(path, conf.get(), inventory.get(), count, &line);
    std::fputs(line.c_str(), stdout);
    return 0;
}
