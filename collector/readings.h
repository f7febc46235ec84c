// The change-only store of SMART values. `readings` is a change log: a row is
// written only when a value differs from the one stored before for the same
// (disk, namespace, attribute); `readings_latest` holds the current value of
// each. An hourly poll of an unchanged disk therefore writes no rows at all.
#pragma once

#include <cstdint>

struct JsonTok;

// Readings rows written since the poll last zeroed it.
extern std::int64_t g_rows_written;

// One value to store. Absent numbers (has_* false) and absent or empty texts
// are stored as NULL.
struct Reading {
    const char* ns;
    const char* attr_name;
    bool has_attr_id = false;
    int attr_id = 0;
    bool has_norm = false;
    int norm = 0;
    bool has_worst = false;
    int worst = 0;
    bool has_thresh = false;
    int thresh = 0;
    bool has_raw = false;
    std::int64_t raw = 0;
    const char* value_text = nullptr;
    const char* flags = nullptr;
};

// Where the rows of one collection go: every row of it carries the same ts.
struct ReadingCtx {
    std::int64_t disk_id;
    std::int64_t poll_id;
    std::int64_t ts;
};

// Stores r when it differs from the disk's current value (value_norm, worst,
// thresh, value_raw, value_text and flags are compared; attr_id and ts are
// not). 1 when a row was written, 0 when the value was unchanged.
int reading_store(const ReadingCtx& ctx, const Reading& r);

// Stores every integer leaf under the token at index (of count tokens) in ns,
// named by its path below prefix: "a.b", "list[2]", "a.list[0].c". Strings
// are never stored. Subtrees nested deeper than a real reply ever is are
// passed over, so that a hostile reply cannot exhaust the stack.
void reading_store_json_tree(const ReadingCtx& ctx, const char* text, const JsonTok* toks,
                             int count, int index, const char* prefix, const char* ns);

// The current value_raw of (disk, ns, attr_name): 1 and *out set when a
// non-NULL value is stored, else 0 with *out untouched.
int reading_latest_raw(std::int64_t disk_id, const char* ns, const char* attr_name,
                       std::int64_t* out);
