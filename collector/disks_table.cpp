#include "collector/disks_table.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>

#include "collector/discovery.h"
#include "core/clock.h"
#include "core/db.h"
#include "core/strbuf.h"
#include "core/util.h"

namespace {

constexpr int kNoSlot = -999;

struct StoredDisk {
    char firmware[40];
    bool present;
};

StoredDisk stored_disk(std::int64_t id) {
    StoredDisk s{"", true};
    DbStmt st("SELECT firmware,present,wwn FROM disks WHERE disk_id=?");
    st.bind_int(1, id);
    if (st.step() == SQLITE_ROW) {
        str_copy(s.firmware, sizeof s.firmware, st.col_text(0));
        s.present = st.col_int(1) != 0;
    }
    return s;
}

void fw_change_event(std::int64_t id, std::int64_t poll_id, const char* from, const char* to) {
    StrBuf detail;
    sb_append_str(&detail, "{\"from\":");
    sb_append_json_str(&detail, from);
    sb_append_str(&detail, ",\"to\":");
    sb_append_json_str(&detail, to);
    sb_append_str(&detail, "}");
    event_add(id, poll_id, "fw_change", detail.c_str());
}

// model, vendor, firmware, bus, capacity_bytes, rpm, is_seagate from parameter `first` on.
void bind_identity(DbStmt& st, int first, const DiskInfo& d) {
    st.bind_text(first, d.model);
    st.bind_text(first + 1, d.vendor);
    st.bind_text(first + 2, d.firmware);
    st.bind_text(first + 3, d.bus);
    st.bind_int(first + 4, d.capacity_bytes);
    st.bind_int(first + 5, d.rpm);
    st.bind_int(first + 6, d.is_seagate);
}

void update_known(const DiskInfo& d, std::int64_t id, std::int64_t poll_id, std::int64_t now) {
    const StoredDisk before = stored_disk(id);
    const bool fw_changed =
        before.firmware[0] && d.firmware[0] && std::strcmp(before.firmware, d.firmware) != 0;
    DbStmt st(
        "UPDATE disks SET model=?,vendor=?,firmware=COALESCE(NULLIF(?,''),firmware),bus=?,"
        "capacity_bytes=?,rpm=?,is_seagate=?,present=1,last_seen_ts=?,"
        "wwn=COALESCE(NULLIF(wwn,''),?), farm_support=CASE WHEN ? THEN -1 ELSE farm_support END "
        "WHERE disk_id=?");
    bind_identity(st, 1, d);
    st.bind_int(8, now);
    st.bind_text(9, d.wwn[0] ? d.wwn : nullptr);
    st.bind_int(10, fw_changed ? 1 : 0);
    st.bind_int(11, id);
    st.step();
    if (!before.present) event_add(id, poll_id, "appear", "");
    if (fw_changed) fw_change_event(id, poll_id, before.firmware, d.firmware);
}

std::int64_t insert_new(const DiskInfo& d, std::int64_t poll_id, std::int64_t now) {
    DbStmt st(
        "INSERT INTO disks(serial,wwn,model,vendor,firmware,bus,capacity_bytes,rpm,is_seagate,"
        "present,first_seen_ts,last_seen_ts) VALUES(?,?,?,?,?,?,?,?,?,1,?,?)");
    st.bind_text(1, d.serial);
    st.bind_text(2, d.wwn[0] ? d.wwn : nullptr);
    bind_identity(st, 3, d);
    st.bind_int(10, now);
    st.bind_int(11, now);
    if (st.step() != SQLITE_DONE) return 0;
    const std::int64_t id = sqlite3_last_insert_rowid(g_db);
    event_add(id, poll_id, "appear", "{\"new\":1}");
    return id;
}

void load_collection_state(DiskInfo* d) {
    DbStmt st("SELECT smart_dtype,farm_support FROM disks WHERE disk_id=?");
    st.bind_int(1, d->disk_id);
    if (st.step() != SQLITE_ROW) return;
    str_copy(d->smart_dtype, sizeof d->smart_dtype, st.col_text(0));
    d->farm_support = static_cast<std::int32_t>(st.col_int(1));
}

void record_slot(const DiskInfo& d, std::int64_t poll_id, std::int64_t now) {
    int prev_slot = kNoSlot;
    int prev_enclosure = kNoSlot;
    char prev_dev[32] = "";
    {
        DbStmt st(
            "SELECT slot,dev_name,enclosure FROM slot_history WHERE disk_id=? ORDER BY ts DESC "
            "LIMIT 1");
        st.bind_int(1, d.disk_id);
        if (st.step() == SQLITE_ROW) {
            prev_slot = static_cast<int>(st.col_int(0));
            str_copy(prev_dev, sizeof prev_dev, st.col_text(1));
            if (!st.col_is_null(2)) prev_enclosure = static_cast<int>(st.col_int(2));
        }
    }
    if (prev_slot == d.slot && prev_enclosure == d.enclosure && std::strcmp(prev_dev, d.dev) == 0)
        return;
    char enclosure[16];
    (void)std::snprintf(enclosure, sizeof enclosure, "%d", d.enclosure);
    DbStmt ins("INSERT INTO slot_history(disk_id,ts,enclosure,slot,dev_name) VALUES(?,?,?,?,?)");
    ins.bind_int(1, d.disk_id);
    ins.bind_int(2, now);
    ins.bind_text(3, enclosure);
    ins.bind_int(4, d.slot);
    ins.bind_text(5, d.dev);
    ins.step();
    if (prev_slot != kNoSlot) event_add(d.disk_id, poll_id, "slot_change", "");
}

std::int64_t id_by_wwn(const char* wwn) {
    DbStmt st("SELECT disk_id FROM disks WHERE wwn=? LIMIT 1");
    st.bind_text(1, wwn);
    return st.step() == SQLITE_ROW ? st.col_int(0) : 0;
}

}  // namespace

std::int64_t disk_lookup_id(const DiskInfo& disk) {
    if (disk.wwn[0]) {
        const std::int64_t id = id_by_wwn(disk.wwn);
        if (id != 0) return id;
    }
    if (!disk.serial[0]) return 0;
    DbStmt st("SELECT disk_id,wwn FROM disks WHERE serial=?");
    st.bind_text(1, disk.serial);
    while (st.step() == SQLITE_ROW) {
        const char* stored = st.col_text(1);  // "" for NULL
        if (!stored[0] || !disk.wwn[0] || std::strcmp(stored, disk.wwn) == 0) return st.col_int(0);
    }
    return 0;
}

std::int64_t disk_upsert(DiskInfo* disk, std::int64_t poll_id) {
    const std::int64_t now = clock_now();
    std::int64_t id = disk_lookup_id(*disk);
    if (id != 0)
        update_known(*disk, id, poll_id, now);
    else
        id = insert_new(*disk, poll_id, now);
    disk->disk_id = id;
    if (id == 0) return 0;
    load_collection_state(disk);
    if (disk->slot >= 0) record_slot(*disk, poll_id, now);
    return id;
}

void disk_set_smart_dtype(std::int64_t disk_id, const char* dtype) {
    DbStmt st("UPDATE disks SET smart_dtype=? WHERE disk_id=?");
    st.bind_text(1, dtype);
    st.bind_int(2, disk_id);
    st.step();
}

void disk_set_farm_support(std::int64_t disk_id, int value) {
    DbStmt st("UPDATE disks SET farm_support=? WHERE disk_id=?");
    st.bind_int(1, value);
    st.bind_int(2, disk_id);
    st.step();
}
