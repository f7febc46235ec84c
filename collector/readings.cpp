#include "collector/readings.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>

#include "core/db.h"
#include "core/json.h"

std::int64_t g_rows_written = 0;

namespace {

// Real replies nest five levels at most; paths are cut at 159 bytes anyway.
constexpr int kTreeDepthMax = 32;
constexpr std::size_t kKeySize = 80;
constexpr std::size_t kPathSize = 160;

bool text_present(const char* text) {
    return text && *text;
}

// Column c against an optional 32-bit number: NULL exactly when absent.
bool same_int(const DbStmt& st, int c, bool has, std::int64_t v, bool wide) {
    if (st.col_is_null(c)) return !has;
    if (!has) return false;
    const std::int64_t stored = st.col_int(c);
    return wide ? stored == v : static_cast<std::int32_t>(stored) == static_cast<std::int32_t>(v);
}

bool same_text(const DbStmt& st, int c, const char* text) {
    if (st.col_is_null(c) || st.col_text(c)[0] == '\0') return !text_present(text);
    if (!text_present(text)) return false;
    const auto* stored = sqlite3_column_blob(st.get(), c);
    const std::size_t n = static_cast<std::size_t>(sqlite3_column_bytes(st.get(), c));
    return n == std::strlen(text) && std::memcmp(stored, text, n) == 0;
}

bool reading_unchanged(std::int64_t disk_id, const Reading& r) {
    DbStmt st(
        "SELECT value_norm,worst,thresh,value_raw,value_text,flags FROM readings_latest WHERE "
        "disk_id=? AND ns=? AND attr_name=?");
    st.bind_int(1, disk_id);
    st.bind_text(2, r.ns);
    st.bind_text(3, r.attr_name);
    if (st.step() != SQLITE_ROW) return false;
    return same_int(st, 0, r.has_norm, r.norm, false) &&
           same_int(st, 1, r.has_worst, r.worst, false) &&
           same_int(st, 2, r.has_thresh, r.thresh, false) &&
           same_int(st, 3, r.has_raw, r.raw, true) && same_text(st, 4, r.value_text) &&
           same_text(st, 5, r.flags);
}

void bind_opt(DbStmt& st, int i, bool has, std::int64_t v) {
    if (has)
        st.bind_int(i, v);
    else
        st.bind_null(i);
}

void bind_opt_text(DbStmt& st, int i, const char* text) {
    st.bind_text(i, text_present(text) ? text : nullptr);
}

// value_norm, worst, thresh, value_raw, value_text and flags, from parameter
// `first` on, in the column order both tables share.
void bind_values(DbStmt& st, int first, const Reading& r) {
    bind_opt(st, first, r.has_norm, r.norm);
    bind_opt(st, first + 1, r.has_worst, r.worst);
    bind_opt(st, first + 2, r.has_thresh, r.thresh);
    bind_opt(st, first + 3, r.has_raw, r.raw);
    bind_opt_text(st, first + 4, r.value_text);
    bind_opt_text(st, first + 5, r.flags);
}

struct Tree {
    const ReadingCtx& ctx;
    const char* text;
    const JsonTok* toks;
    int count;
    const char* ns;
};

int store_tree(const Tree& t, int i, const char* path, int depth);

int store_object(const Tree& t, int i, const char* prefix, int depth) {
    const int keys = t.toks[i].size;
    int k = i + 1;
    for (int n = 0; n < keys && k < t.count; ++n) {
        char key[kKeySize];
        json_tok_copy(t.text, &t.toks[k], key, sizeof key);
        char path[kPathSize];
        (void)std::snprintf(path, sizeof path, "%s%s%s", prefix, *prefix ? "." : "", key);
        k = k + 1 < t.count ? store_tree(t, k + 1, path, depth + 1) : t.count;
    }
    return k;
}

int store_array(const Tree& t, int i, const char* prefix, int depth) {
    const int elements = t.toks[i].size;
    int k = i + 1;
    for (int n = 0; n < elements && k < t.count; ++n) {
        char path[kPathSize];
        (void)std::snprintf(path, sizeof path, "%s[%d]", prefix, n);
        k = store_tree(t, k, path, depth + 1);
    }
    return k;
}

int store_tree(const Tree& t, int i, const char* path, int depth) {
    if (i >= t.count) return t.count;
    if (depth > kTreeDepthMax) return json_tok_skip(t.toks, i);
    const JsonTok& tok = t.toks[i];
    if (tok.type == kJsonObject) return store_object(t, i, path, depth);
    if (tok.type == kJsonArray) return store_array(t, i, path, depth);
    std::int64_t v = 0;
    if (tok.type == kJsonPrimitive && *path && json_tok_int(t.text, &tok, &v)) {
        Reading r{t.ns, path};
        r.has_raw = true;
        r.raw = v;
        reading_store(t.ctx, r);
    }
    return i + 1;
}

}  // namespace

int reading_store(const ReadingCtx& ctx, const Reading& r) {
    if (reading_unchanged(ctx.disk_id, r)) return 0;
    {
        DbStmt ins(
            "INSERT INTO readings(disk_id,poll_id,ts,ns,attr_id,attr_name,value_norm,worst,thresh,"
            "value_raw,value_text,flags) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)");
        ins.bind_int(1, ctx.disk_id);
        ins.bind_int(2, ctx.poll_id);
        ins.bind_int(3, ctx.ts);
        ins.bind_text(4, r.ns);
        bind_opt(ins, 5, r.has_attr_id, r.attr_id);
        ins.bind_text(6, r.attr_name);
        bind_values(ins, 7, r);
        ins.step();
    }
    DbStmt up(
        "INSERT INTO "
        "readings_latest(disk_id,ns,attr_name,attr_id,value_norm,worst,thresh,value_raw,"
        "value_text,flags,ts) VALUES(?,?,?,?,?,?,?,?,?,?,?) ON CONFLICT(disk_id,ns,attr_name) DO "
        "UPDATE SET attr_id=excluded.attr_id,value_norm=excluded.value_norm,worst=excluded.worst,"
        "thresh=excluded.thresh,value_raw=excluded.value_raw,value_text=excluded.value_text,"
        "flags=excluded.flags,ts=excluded.ts");
    up.bind_int(1, ctx.disk_id);
    up.bind_text(2, r.ns);
    up.bind_text(3, r.attr_name);
    bind_opt(up, 4, r.has_attr_id, r.attr_id);
    bind_values(up, 5, r);
    up.bind_int(11, ctx.ts);
    up.step();
    ++g_rows_written;
    return 1;
}

void reading_store_json_tree(const ReadingCtx& ctx, const char* text, const JsonTok* toks,
                             int count, int index, const char* prefix, const char* ns) {
    if (!text || !toks || index < 0 || index >= count) return;
    const Tree t{ctx, text, toks, count, ns};
    store_tree(t, index, prefix ? prefix : "", 0);
}

int reading_latest_raw(std::int64_t disk_id, const char* ns, const char* attr_name,
                       std::int64_t* out) {
    DbStmt st("SELECT value_raw FROM readings_latest WHERE disk_id=? AND ns=? AND attr_name=?");
    st.bind_int(1, disk_id);
    st.bind_text(2, ns);
    st.bind_text(3, attr_name);
    if (st.step() != SQLITE_ROW || st.col_is_null(0)) return 0;
    *out = st.col_int(0);
    return 1;
}
