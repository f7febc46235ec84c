// The `flags` command: the NAS's disk error flags and its map of WWNs to
// device ids, each joined to the disk of the current inventory that it names,
// as one JSON line. Also the two small pieces that `flag-clear` shares: the
// JSON error reply and the inventory lookup.
#pragma once

struct DiskBrief;
struct NasConf;
struct StrBuf;

// Lists the configuration at conf (the NAS's own file when nullptr) on
// standard output. Opens no database; the result, the exit code, is always 0.
int cmd_flags(const char* conf);

// {"ok":false,"error":"<code>"[,"detail":<detail>]} and a newline on standard
// output in one write. The code is a fixed word and is not escaped.
void flags_print_error(const char* code, const char* detail);

// Writes a reply line on standard output in one write, made valid UTF-8 in
// place first: its texts come from files, paths and programs that may hold
// any bytes.
void flags_print_line(StrBuf* line);

// The first disk, in inventory order, whose WWID equals key by wwn_equal or
// whose serial equals key ignoring case (the WWID tested first); nullptr when
// none does.
const DiskBrief* flags_find_disk(const DiskBrief* inventory, int count, const char* key);

// The device id of the first devmap entry whose WWN equals wwn by wwn_equal;
// nullptr when none.
const char* flags_find_dev_id(const NasConf* conf, const char* wwn);

// The listing line for path: conf is nullptr when the file could not be read.
// The line is valid UTF-8 whatever bytes the file holds.
void flags_list_json(const char* path, const NasConf* conf, const DiskBrief* inventory, int count,
                     StrBuf* out);
