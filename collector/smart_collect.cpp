#include "collector/smart_collect.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "collector/discovery.h"
#include "collector/disks_table.h"
#include "collector/readings.h"
#include "collector/rules.h"
#include "collector/smart_snapshot.h"
#include "core/clock.h"
#include "core/db.h"
#include "core/json.h"
#include "core/smartctl.h"
#include "core/strbuf.h"
#include "core/util.h"

namespace {

constexpr std::size_t kAttrNameSize = 64;  // 63 characters of the reply's name
constexpr std::size_t kFlagsSize = 48;
constexpr int kAtaNamesMax = 256;
// A health reading of our own: 1 while smartctl cannot read the disk, so that
// the disk's trouble is journalled once when it starts, not at every poll.
constexpr char kReadErrorName[] = "smart_read_error";

// Names of the ATA entries stored so far in one reply. Several entries of a
// real reply may share a name ("Unknown_Attribute"); the later ones are
// stored as "<name>#<id>" so that two attributes never share one reading.
struct NameSet {
    char names[kAtaNamesMax][kAttrNameSize];
    int n = 0;
    bool seen(const char* name) const {
        for (int i = 0; i < n; ++i)
            if (std::strcmp(names[i], name) == 0) return true;
        return false;
    }
    void add(const char* name) {
        if (n < kAtaNamesMax) str_copy(names[n++], kAttrNameSize, name);
    }
};

bool obj_int(const char* text, const JsonTok* toks, int obj, const char* path, int* out) {
    std::int64_t v = 0;
    if (!json_path_int(text, toks, obj, path, &v)) return false;
    *out = static_cast<int>(v);
    return true;
}

// A string value of the object at obj into field; "" when absent or not a string.
void obj_str(const char* text, const JsonTok* toks, int obj, const char* key, char* field,
             std::size_t size) {
    field[0] = '\0';
    const int v = json_obj_get(text, toks, obj, key);
    if (v >= 0 && toks[v].type == kJsonString) json_tok_copy(text, &toks[v], field, size);
}

void store_ata_entry(const ReadingCtx& ctx, const char* text, const JsonTok* toks, int e,
                     NameSet* names) {
    char name[kAttrNameSize];
    obj_str(text, toks, e, "name", name, sizeof name);
    if (!name[0]) return;
    Reading r{"ata", name};
    r.has_attr_id = obj_int(text, toks, e, "id", &r.attr_id);
    char unique[kAttrNameSize + 16];
    if (names->seen(name)) {
        if (r.has_attr_id)
            (void)std::snprintf(unique, sizeof unique, "%s#%d", name, r.attr_id);
        else
            (void)std::snprintf(unique, sizeof unique, "%s#", name);
        r.attr_name = unique;
    }
    names->add(name);
    r.has_norm = obj_int(text, toks, e, "value", &r.norm);
    r.has_worst = obj_int(text, toks, e, "worst", &r.worst);
    r.has_thresh = obj_int(text, toks, e, "thresh", &r.thresh);
    r.has_raw = json_path_int(text, toks, e, "raw.value", &r.raw) != 0;
    char flags[kFlagsSize];
    obj_str(text, toks, e, "when_failed", flags, sizeof flags);
    r.flags = flags;
    reading_store(ctx, r);
}

// Calls fn(element index) for each element of the array at i, in order.
template <typename Fn>
void each_element(const JsonTok* toks, int count, int i, Fn fn) {
    if (i < 0 || i >= count || toks[i].type != kJsonArray) return;
    int e = i + 1;
    for (int n = 0; n < toks[i].size && e < count; ++n) {
        fn(e);
        e = json_tok_skip(toks, e);
    }
}

void store_ata(const ReadingCtx& ctx, const char* text, const JsonTok* toks, int count) {
    const int table = json_path_get(text, toks, 0, "ata_smart_attributes.table");
    auto names = std::make_unique<NameSet>();
    each_element(toks, count, table, [&](int e) {
        if (toks[e].type == kJsonObject) store_ata_entry(ctx, text, toks, e, names.get());
    });
}

void store_sataphy(const ReadingCtx& ctx, const char* text, const JsonTok* toks, int count) {
    const int table = json_path_get(text, toks, 0, "sata_phy_event_counters.table");
    each_element(toks, count, table, [&](int e) {
        std::int64_t id = 0;
        std::int64_t value = 0;
        if (!json_path_int(text, toks, e, "id", &id) ||
            !json_path_int(text, toks, e, "value", &value))
            return;
        char name[32];
        (void)std::snprintf(name, sizeof name, "phy_0x%04llx", static_cast<unsigned long long>(id));
        Reading r{"sataphy", name};
        r.has_attr_id = true;
        r.attr_id = static_cast<int>(id);
        r.has_raw = true;
        r.raw = value;
        reading_store(ctx, r);
    });
}

void store_health_value(const ReadingCtx& ctx, const char* text, const JsonTok* toks,
                        const char* path, const char* name) {
    Reading r{"health", name};
    r.has_raw = json_path_int(text, toks, 0, path, &r.raw) != 0;
    if (r.has_raw) reading_store(ctx, r);
}

void store_subtree(const ReadingCtx& ctx, const char* text, const JsonTok* toks, int count,
                   const char* key, const char* prefix, const char* ns) {
    const int i = json_obj_get(text, toks, 0, key);
    if (i >= 0) reading_store_json_tree(ctx, text, toks, count, i, prefix, ns);
}

void selftest_check(const ReadingCtx& ctx, const StrBuf& reply) {
    SmartSnapshot snap;
    if (smart_snap_from_json(reply.data, reply.len, -1, &snap) != 1) return;
    if (!snap.selftest_present || snap.selftest_passed != 0) return;
    std::int64_t before = 0;
    const bool had_before =
        reading_latest_raw(ctx.disk_id, "health", "selftest_fail_hours", &before) != 0;
    Reading r{"health", "selftest_fail_hours"};
    r.has_raw = true;
    r.raw = snap.selftest_hours;
    r.value_text = snap.selftest_status;
    if (!reading_store(ctx, r)) return;
    // A failure first seen long after it happened is history, not news.
    const bool recent = snap.power_on_hours >= 1 && snap.power_on_hours - snap.selftest_hours <= 24;
    if (!had_before && !recent) return;
    StrBuf detail;
    sb_append_str(&detail, "{\"type\":");
    sb_append_json_str(&detail, snap.selftest_type);
    sb_append_str(&detail, ",\"status\":");
    sb_append_json_str(&detail, snap.selftest_status);
    (void)sb_printf(&detail, ",\"hours\":%lld", static_cast<long long>(snap.selftest_hours));
    if (snap.selftest_lba_present)
        (void)sb_printf(&detail, ",\"lba\":%lld", static_cast<long long>(snap.selftest_lba));
    sb_append_str(&detail, "}");
    event_add(ctx.disk_id, ctx.poll_id, "selftest_fail", detail.c_str());
}

// -1 when neither name holds a value.
std::int64_t farm_hours_stored(std::int64_t disk_id) {
    std::int64_t h = -1;
    if (reading_latest_raw(disk_id, "farm", "page_1.power_on_hours", &h) && h >= 0) return h;
    h = -1;
    reading_latest_raw(disk_id, "farm", "power_on_hours", &h);
    return h;
}

void farm_compare(std::int64_t disk_id) {
    const std::int64_t farm_hours = farm_hours_stored(disk_id);
    std::int64_t smart_hours = -1;
    reading_latest_raw(disk_id, "health", "power_on_hours", &smart_hours);
    if (farm_hours <= 0 || smart_hours <= 0) return;
    const std::int64_t d = std::llabs(farm_hours - smart_hours);
    if (d <= 1) return;
    char label[kDiskLabelSize];
    disk_label(disk_id, label, sizeof label);
    char message[kRuleMessageSize];
    (void)std::snprintf(
        message, sizeof message,
        "[Corvantis] %s: FARM power-on-hours (%lld) differs from SMART (%lld) by %lld h "
        "\xE2\x80\x94 possible used/refurbished drive",
        label, static_cast<long long>(farm_hours), static_cast<long long>(smart_hours),
        static_cast<long long>(d));
    rule_raise(disk_id, "R-M2", 1, d, message);
}

void farm_collect(DiskInfo* disk, const ReadingCtx& ctx, const char* device, const char* dtype) {
    StrBuf farm;
    smartctl_call(kSmartctlFarm, dtype, device, &farm);
    if (!smartctl_reply_ok(kSmartctlFarm, 0, farm.data, farm.len)) {
        if (disk->farm_support == -1) disk_set_farm_support(disk->disk_id, 0);
        return;
    }
    // The drive has the log, even when its reply does not parse.
    if (disk->farm_support != 1) {
        disk_set_farm_support(disk->disk_id, 1);
        disk->farm_support = 1;
    }
    int count = 0;
    const JsonTokens toks(json_parse(farm.data, farm.len, &count));
    if (!toks || count < 1) return;
    int root = json_obj_get(farm.data, toks.get(), 0, "seagate_farm_log");
    if (root < 0) root = json_obj_get(farm.data, toks.get(), 0, "farm_log");
    if (root >= 0) reading_store_json_tree(ctx, farm.data, toks.get(), count, root, "", "farm");
    farm_compare(disk->disk_id);
}

// The exit status of a collection reply; -1 when the reply is no JSON object
// that begins with "{", which nothing can be read from.
int collect_status(const StrBuf& reply) {
    int status = 0;
    if (reply.len == 0 || reply.data[0] != '{' ||
        !smartctl_reply_status(reply.data, reply.len, &status))
        return -1;
    return status;
}

bool reports_ata(const StrBuf& reply) {
    int count = 0;
    const JsonTokens toks(json_parse(reply.data, reply.len, &count));
    char protocol[16] = "";
    return toks && count >= 1 &&
           json_path_str(reply.data, toks.get(), 0, "device.protocol", protocol, sizeof protocol) &&
           std::strcmp(protocol, "ATA") == 0;
}

// A clean reply has not even bit 2 set (one failed command behind "-x"); a
// usable one passes the collection's mask.
bool reply_clean(int status) {
    return status >= 0 && (status & 7) == 0;
}
bool reply_usable(int status) {
    return status >= 0 && smartctl_status_ok(kSmartctlCollect, 0, status);
}

void remember_sat(DiskInfo* disk) {
    disk_set_smart_dtype(disk->disk_id, "sat");
    str_copy(disk->smart_dtype, sizeof disk->smart_dtype, "sat");
}

// The collection's reply: the stored type first; for a disk whose type is
// still unknown, a plain reply is used at once only when it is clean. A
// SATA disk behind a bridge answers plainly as SCSI with bit 2 set (a log
// it does not have), so "-d sat" is tried then, and kept when it is clean or
// comes from an ATA device: that reply says at least as much, and the type is
// stored, so later polls make one call. Where "-d sat" fails, nothing is stored
// and every poll makes both calls: a plain reply with bit 2 alone is the
// answer of a SAS or SCSI disk with a missing log. false when nothing is usable.
bool read_reply(DiskInfo* disk, const char* device, bool nvme, StrBuf* reply) {
    smartctl_run(device, disk->smart_dtype, reply);
    if (disk->smart_dtype[0] || nvme)
        return smartctl_reply_ok(kSmartctlCollect, nvme, reply->data, reply->len) != 0;
    const int plain = collect_status(*reply);
    if (reply_clean(plain)) return true;
    StrBuf sat;
    smartctl_run(device, "sat", &sat);
    const int sat_status = collect_status(sat);
    if (reply_clean(sat_status) || (reply_usable(sat_status) && reports_ata(sat))) {
        remember_sat(disk);
        *reply = std::move(sat);
        return true;
    }
    return reply_usable(plain);
}

// A disk that reads again after failing: the next failure is news again.
void read_recovered(const ReadingCtx& ctx) {
    std::int64_t failing = 0;
    if (!reading_latest_raw(ctx.disk_id, "health", kReadErrorName, &failing) || failing == 0)
        return;
    Reading r{"health", kReadErrorName};
    r.has_raw = true;
    r.raw = 0;
    reading_store(ctx, r);
}

}  // namespace

void smartctl_run(const char* device, const char* dtype, StrBuf* out) {
    smartctl_call(kSmartctlCollect, dtype, device, out);
}

void smart_store_reply(std::int64_t disk_id, std::int64_t poll_id, std::int64_t ts,
                       const char* text, const JsonTok* toks, int count) {
    const ReadingCtx ctx{disk_id, poll_id, ts};
    store_ata(ctx, text, toks, count);
    store_subtree(ctx, text, toks, count, "nvme_smart_health_information_log", "", "nvme");
    for (const char* key : {"scsi_error_counter_log", "scsi_grown_defect_list",
                            "scsi_percentage_used_endurance_indicator"})
        store_subtree(ctx, text, toks, count, key, key, "scsi");
    store_subtree(ctx, text, toks, count, "ata_device_statistics", "", "devstat");
    store_sataphy(ctx, text, toks, count);
    store_health_value(ctx, text, toks, "smart_status.passed", "smart_status");
    store_health_value(ctx, text, toks, "temperature.current", "temperature");
    store_health_value(ctx, text, toks, "power_on_time.hours", "power_on_hours");
}

void smart_collect_unreadable(std::int64_t disk_id, std::int64_t poll_id) {
    const ReadingCtx ctx{disk_id, poll_id, clock_now()};
    std::int64_t failing = 0;
    const bool was_failing =
        reading_latest_raw(ctx.disk_id, "health", kReadErrorName, &failing) && failing != 0;
    Reading r{"health", kReadErrorName};
    r.has_raw = true;
    r.raw = 1;
    reading_store(ctx, r);
    if (!was_failing) event_add(ctx.disk_id, ctx.poll_id, "smart_error", "{\"exit\":true}");
    char label[kDiskLabelSize];
    disk_label(ctx.disk_id, label, sizeof label);
    char message[kRuleMessageSize];
    (void)std::snprintf(message, sizeof message, "[Corvantis] %s: SMART read error", label);
    rule_raise(ctx.disk_id, "R-M3", 1, 1, message);
}

int smart_collect_disk(DiskInfo* disk, std::int64_t poll_id) {
    const ReadingCtx ctx{disk->disk_id, poll_id, clock_now()};
    char device[48];
    (void)std::snprintf(device, sizeof device, "/dev/%s", disk->dev);
    const bool nvme = std::string_view(disk->dev).starts_with("nvme");
    StrBuf reply;
    if (!read_reply(disk, device, nvme, &reply)) return 0;
    read_recovered(ctx);
    int count = 0;
    const JsonTokens toks(json_parse(reply.data, reply.len, &count));
    if (toks && count >= 1 && toks[0].type == kJsonObject) {
        smart_store_reply(ctx.disk_id, poll_id, ctx.ts, reply.data, toks.get(), count);
        selftest_check(ctx, reply);
    }
    if (disk->is_seagate && disk->farm_support != 0)
        farm_collect(disk, ctx, device, disk->smart_dtype);
    rule_eval_disk(disk->disk_id, poll_id);
    return 1;
}
