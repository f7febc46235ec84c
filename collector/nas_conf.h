// The NAS's own configuration file, read (never written) for the two key
// families this program cares about: the per-disk error flags
// ("pd_err_wwn_<wwn> = <value>") and the map of WWNs to the NAS's device ids
// ("pd_dev_wwn_<wwn> = <dev_id>"). Every other key, section and comment
// belongs to the platform and is ignored.
//
// Reading the file is the caller's (file_read_all, at most kNasConfReadMax
// bytes); NasConf is large, so callers keep it on the heap.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr char kNasConfPath[] = "/mnt/HDA_ROOT/.conf";
// The most of the file that is read: a larger one is not the NAS's own.
inline constexpr std::uint64_t kNasConfReadMax = 1 << 20;
inline constexpr std::size_t kNasKeySize = 160;
inline constexpr std::size_t kNasValueSize = 128;
inline constexpr int kNasMaxFlags = 128;
inline constexpr int kNasMaxDevmap = 256;

// One key line of the file.
struct NasConfEntry {
    char key[kNasKeySize];      // the whole key, prefix included
    char wwn[kNasKeySize];      // the key after its 11-character prefix, as written
    char value[kNasValueSize];  // the value
    std::int32_t line;          // line number in the file, from 1
};

struct NasConf {
    std::int32_t flag_count;
    NasConfEntry flags[kNasMaxFlags];  // "pd_err_wwn_" lines, in file order
    std::int32_t devmap_count;
    NasConfEntry devmap[kNasMaxDevmap];  // "pd_dev_wwn_" lines, in file order
};

// Zeroes conf and fills it from text[0, len). Lines beyond a full table are
// dropped; over-long keys and values are cut. No failure is reported.
void conf_parse_flags(const char* text, std::uint64_t len, NasConf* conf);

// The first flag entry whose wwn equals wwn ignoring case; nullptr when none.
const NasConfEntry* conf_find_flag(const NasConf* conf, const char* wwn);
// The device id of the first devmap entry whose wwn equals wwn ignoring case;
// nullptr when none.
const char* conf_find_dev_id(const NasConf* conf, const char* wwn);

// Splits one line (len bytes, no newline) at its first "=" into the trimmed
// key and value, cut to their fields. 1 when it is a key line: a non-empty
// key that does not begin with ";", "[" or "#". Both fields are always set.
int ini_split_line(const char* line, std::size_t len, char* key, std::size_t key_size, char* value,
                   std::size_t value_size);

// The bytes [start, end) without white space at either end, cut to at most
// size - 1 bytes (never inside a UTF-8 character) and terminated, into field.
void ini_trim_copy(const char* start, const char* end, char* field, std::size_t size);
