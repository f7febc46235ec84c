#include "collector/smart_snapshot.h"

#include <cstdio>
#include <cstring>

#include "core/json.h"
#include "core/smartctl.h"

namespace {

// One parsed reply: the text and its tokens.
struct Reply {
    const char* text;
    const JsonTok* toks;
    int count;
};

bool read_int(const Reply& r, int node, const char* path, std::int64_t* v) {
    return node >= 0 && json_path_int(r.text, r.toks, node, path, v) == 1;
}

void read_str(const Reply& r, int node, const char* path, char* field, std::size_t size) {
    if (node >= 0) json_path_str(r.text, r.toks, node, path, field, size);
}

bool is_array(const Reply& r, int node) {
    return node >= 0 && r.toks[node].type == kJsonArray;
}

bool is_filled_array(const Reply& r, int node) {
    return is_array(r, node) && r.toks[node].size >= 1;
}

// The elements of the array at node, in order, while fn returns true. One walk
// over the tokens: a long table costs its length, not its length squared.
template <typename Fn>
void for_each_element(const Reply& r, int node, Fn fn) {
    if (!is_array(r, node)) return;
    int k = node + 1;
    for (int n = 0; n < r.toks[node].size; ++n) {
        if (!fn(k)) return;
        k = json_tok_skip(r.toks, k);
    }
}

bool in_temp_range(std::int64_t v) {
    return v >= 1 && v <= 127;
}

void snap_clear(SmartSnapshot* out) {
    std::memset(out, 0, sizeof *out);
    out->selftest_passed = -1;
}

void read_wwn(const Reply& r, int root, SmartSnapshot* out) {
    std::int64_t naa, oui, id;
    if (!read_int(r, root, "wwn.naa", &naa) || !read_int(r, root, "wwn.oui", &oui) ||
        !read_int(r, root, "wwn.id", &id))
        return;
    using ull = unsigned long long;
    (void)std::snprintf(out->wwn, sizeof out->wwn, "%01llx%06llx%09llx",
                        static_cast<ull>(naa) & 0xF, static_cast<ull>(oui) & 0xFFFFFF,
                        static_cast<ull>(id) & 0xFFFFFFFFFULL);
}

void read_identity(const Reply& r, int root, SmartSnapshot* out) {
    std::int64_t v;
    out->exit_status = smartctl_exit_status(r.text, r.toks, r.count);
    read_str(r, root, "device.type", out->device_type, sizeof out->device_type);
    read_str(r, root, "device.protocol", out->protocol, sizeof out->protocol);
    read_str(r, root, "serial_number", out->serial, sizeof out->serial);
    read_str(r, root, "model_name", out->model, sizeof out->model);
    if (out->model[0] == '\0') read_str(r, root, "scsi_model_name", out->model, sizeof out->model);
    read_wwn(r, root, out);
    if (read_int(r, root, "power_on_time.hours", &v)) out->power_on_hours = v;
}

int attr_slot(std::int64_t id) {
    for (int k = 0; k < kSmartAttrSlots; ++k)
        if (kSmartAttrIds[k] == id) return k;
    return -1;
}

void read_attributes(const Reply& r, int root, SmartSnapshot* out) {
    const int table = json_path_get(r.text, r.toks, root, "ata_smart_attributes.table");
    if (!is_filled_array(r, table)) return;
    for_each_element(r, table, [&](int e) {
        std::int64_t id, raw;
        if (!read_int(r, e, "id", &id) || !read_int(r, e, "raw.value", &raw)) return true;
        const int slot = attr_slot(id);
        if (slot >= 0) {
            out->attr_present[slot] = 1;
            out->attr_raw[slot] = raw;
        }
        // 194 is the drive's temperature; 190 (airflow) stands in only until one is found.
        const std::int64_t low = raw & 0xFF;
        if ((id == 194 || (id == 190 && !out->temp_present)) && in_temp_range(low)) {
            out->temp_present = 1;
            out->temperature = static_cast<std::int32_t>(low);
        }
        return true;
    });
}

void read_temperature(const Reply& r, int root, SmartSnapshot* out) {
    std::int64_t v;
    if (read_int(r, root, "temperature.current", &v) && in_temp_range(v)) {
        out->temp_present = 1;
        out->temperature = static_cast<std::int32_t>(v);
    }
    if (read_int(r, root, "temperature.op_limit_max", &v) && in_temp_range(v))
        out->temp_op_limit_max = static_cast<std::int32_t>(v);
    if (read_int(r, root, "temperature.drive_trip", &v) && in_temp_range(v))
        out->temp_drive_trip = static_cast<std::int32_t>(v);
}

void read_phy_counters(const Reply& r, int root, SmartSnapshot* out) {
    const int table = json_path_get(r.text, r.toks, root, "sata_phy_event_counters.table");
    for_each_element(r, table, [&](int e) {
        std::int64_t id, value;
        if (read_int(r, e, "id", &id) && read_int(r, e, "value", &value)) {
            out->phy_id[out->phy_count] = static_cast<std::uint32_t>(id);
            out->phy_value[out->phy_count] = value;
            ++out->phy_count;
        }
        return out->phy_count < kSmartPhyMax;
    });
}

enum class ErrClass { kNone, kUnc, kIcrc };

// One error-log entry: by its error register when it has one, else by the
// words of its description. false when the entry says neither.
bool classify_error(const Reply& r, int e, ErrClass* cls) {
    std::int64_t reg;
    if (read_int(r, e, "completion_registers.error", &reg)) {
        *cls = (reg & 0x40) ? ErrClass::kUnc : (reg & 0x80) ? ErrClass::kIcrc : ErrClass::kNone;
        return true;
    }
    char desc[160] = "";
    read_str(r, e, "error_description", desc, sizeof desc);
    if (desc[0] == '\0') return false;
    *cls = std::strstr(desc, "UNC")    ? ErrClass::kUnc
           : std::strstr(desc, "ICRC") ? ErrClass::kIcrc
                                       : ErrClass::kNone;
    return true;
}

void read_error_log(const Reply& r, int root, std::int64_t baseline, SmartSnapshot* out) {
    int log = json_path_get(r.text, r.toks, root, "ata_smart_error_log.extended");
    if (log < 0) log = json_path_get(r.text, r.toks, root, "ata_smart_error_log.summary");
    if (log < 0) return;
    out->errlog_present = 1;
    read_int(r, log, "count", &out->errlog_count);
    const int table = json_obj_get(r.text, r.toks, log, "table");
    if (!is_filled_array(r, table)) return;
    for_each_element(r, table, [&](int e) {
        std::int64_t number = 0;
        read_int(r, e, "error_number", &number);
        ErrClass cls = ErrClass::kNone;
        if (!classify_error(r, e, &cls)) return true;
        if (number > out->errlog_max_number) out->errlog_max_number = number;
        const bool newer = baseline >= 0 && number > baseline;
        if (cls == ErrClass::kUnc) {
            ++out->errlog_unc;
            if (newer) ++out->errlog_unc_newer;
        } else if (cls == ErrClass::kIcrc) {
            ++out->errlog_icrc;
            if (newer) ++out->errlog_icrc_newer;
        }
        return true;
    });
}

// Where the ATA and the NVMe self-test logs keep the same facts.
struct SelftestKeys {
    const char* hours;
    const char* type;
    const char* status;
    const char* value;
};
constexpr SelftestKeys kAtaSelftest = {"lifetime_hours", "type.string", "status.string",
                                       "status.value"};
constexpr SelftestKeys kNvmeSelftest = {"power_on_hours", "self_test_code.string",
                                        "self_test_result.string", "self_test_result.value"};

// The first entry (the newest test) of a self-test table. Returns its index,
// or -1 when the table holds none; *has_value tells whether its result value
// read as an integer, and *value holds it whole.
int read_selftest_entry(const Reply& r, int table, const SelftestKeys& keys, SmartSnapshot* out,
                        bool* has_value, std::int64_t* value) {
    *has_value = false;
    if (!is_filled_array(r, table)) return -1;
    const int e = table + 1;
    out->selftest_present = 1;
    out->selftest_passed = -1;
    read_str(r, e, keys.type, out->selftest_type, sizeof out->selftest_type);
    read_str(r, e, keys.status, out->selftest_status, sizeof out->selftest_status);
    std::int64_t v;
    if (read_int(r, e, keys.value, value)) {
        out->selftest_status_value = static_cast<std::int32_t>(*value);
        *has_value = true;
    }
    if (read_int(r, e, keys.hours, &v)) out->selftest_hours = v;
    if (read_int(r, e, "lba", &v)) {
        out->selftest_lba_present = 1;
        out->selftest_lba = v;
    }
    return e;
}

void read_ata_selftest(const Reply& r, int root, SmartSnapshot* out) {
    int table = json_path_get(r.text, r.toks, root, "ata_smart_self_test_log.extended.table");
    if (table < 0)
        table = json_path_get(r.text, r.toks, root, "ata_smart_self_test_log.standard.table");
    bool has_value;
    std::int64_t value;
    const int e = read_selftest_entry(r, table, kAtaSelftest, out, &has_value, &value);
    std::int64_t passed;
    if (e >= 0 && read_int(r, e, "status.passed", &passed))
        out->selftest_passed = passed != 0 ? 1 : 0;
}

void read_nvme_selftest(const Reply& r, int root, SmartSnapshot* out) {
    const int table = json_path_get(r.text, r.toks, root, "nvme_self_test_log.table");
    bool has_value;
    std::int64_t v;
    if (read_selftest_entry(r, table, kNvmeSelftest, out, &has_value, &v) < 0 || !has_value) return;
    // 0 completed without error; 5, 6 and 7 a failed segment or a failed
    // operation; the other results (aborted, interrupted, ...) judge nothing.
    if (v == 0) out->selftest_passed = 1;
    if (v == 5 || v == 6 || v == 7) out->selftest_passed = 0;
}

void read_nvme_health(const Reply& r, int root, SmartSnapshot* out) {
    const int log = json_obj_get(r.text, r.toks, root, "nvme_smart_health_information_log");
    if (log < 0) {
        out->is_nvme = std::strcmp(out->device_type, "nvme") == 0 ? 1 : 0;
        return;
    }
    out->is_nvme = 1;
    out->nvme_health_present = 1;
    read_int(r, log, "media_errors", &out->nvme_media_errors);
    read_int(r, log, "num_err_log_entries", &out->nvme_err_log_entries);
    read_int(r, log, "critical_warning", &out->nvme_critical_warning);
}

}  // namespace

int smart_snap_from_json(const char* text, std::size_t len, std::int64_t error_baseline,
                         SmartSnapshot* out) {
    if (!out) return 0;
    snap_clear(out);
    if (!text || len == 0) return 0;
    int count = 0;
    const JsonTokens toks(json_parse(text, len, &count));
    if (!toks || count < 1 || toks[0].type != kJsonObject) return 0;
    out->parsed = 1;
    const Reply r{text, toks.get(), count};
    read_identity(r, 0, out);
    read_attributes(r, 0, out);
    read_temperature(r, 0, out);
    read_phy_counters(r, 0, out);
    read_error_log(r, 0, error_baseline, out);
    read_ata_selftest(r, 0, out);
    read_nvme_selftest(r, 0, out);
    read_nvme_health(r, 0, out);
    return 1;
}

std::int64_t smart_attr188_value(std::uint64_t raw) {
    std::int64_t best = 0;
    for (int shift = 0; shift <= 32; shift += 16) {
        const std::int64_t counter = static_cast<std::int64_t>((raw >> shift) & 0xFFFF);
        if (counter > best) best = counter;
    }
    return best;
}

int smart_attr188_rose(std::uint64_t previous, std::uint64_t current) {
    return smart_attr188_value(previous) < smart_attr188_value(current) ? 1 : 0;
}
