#include "collector/nas_conf.h"

#include <strings.h>

#include <cctype>
#include <climits>
#include <cstring>

#include "core/util.h"

namespace {

constexpr char kFlagPrefix[] = "pd_err_wwn_";
constexpr char kDevPrefix[] = "pd_dev_wwn_";
constexpr std::size_t kPrefixLen = sizeof kFlagPrefix - 1;

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

void fill_entry(NasConfEntry* e, const char* key, const char* value, std::int64_t line) {
    str_copy(e->key, sizeof e->key, key);
    str_copy(e->wwn, sizeof e->wwn, key + kPrefixLen);
    str_copy(e->value, sizeof e->value, value);
    // Callers bound the file to a few MiB; the clamp only keeps a freak text
    // from wrapping the 32-bit line number.
    e->line = line > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(line);
}

void parse_line(const char* line, std::size_t len, std::int64_t number, NasConf* conf) {
    char key[kNasKeySize];
    char value[kNasValueSize];
    if (!ini_split_line(line, len, key, sizeof key, value, sizeof value)) return;
    if (std::strncmp(key, kFlagPrefix, kPrefixLen) == 0) {
        if (conf->flag_count < kNasMaxFlags)
            fill_entry(&conf->flags[conf->flag_count++], key, value, number);
    } else if (std::strncmp(key, kDevPrefix, kPrefixLen) == 0) {
        if (conf->devmap_count < kNasMaxDevmap)
            fill_entry(&conf->devmap[conf->devmap_count++], key, value, number);
    }
}

}  // namespace

void ini_trim_copy(const char* start, const char* end, char* field, std::size_t size) {
    if (size == 0) return;
    while (start < end && is_space(*start)) ++start;
    while (end > start && is_space(end[-1])) --end;
    std::size_t n = static_cast<std::size_t>(end - start);
    // A cut keeps whole characters: the fields end up in JSON read by
    // strict readers.
    if (n > size - 1) n = utf8_cut(start, size - 1);
    std::memcpy(field, start, n);
    field[n] = '\0';
}

int ini_split_line(const char* line, std::size_t len, char* key, std::size_t key_size, char* value,
                   std::size_t value_size) {
    if (key_size > 0) key[0] = '\0';
    if (value_size > 0) value[0] = '\0';
    const char* eq = static_cast<const char*>(std::memchr(line, '=', len));
    if (!eq || key_size == 0) return 0;
    ini_trim_copy(line, eq, key, key_size);
    ini_trim_copy(eq + 1, line + len, value, value_size);
    return key[0] != '\0' && key[0] != ';' && key[0] != '[' && key[0] != '#';
}

void conf_parse_flags(const char* text, std::uint64_t len, NasConf* conf) {
    std::memset(conf, 0, sizeof *conf);
    if (!text) return;
    std::int64_t number = 0;
    std::uint64_t pos = 0;
    std::size_t n = 0;
    while (const char* line = text_next_line(text, len, &pos, &n))
        parse_line(line, n, ++number, conf);
}

const NasConfEntry* conf_find_flag(const NasConf* conf, const char* wwn) {
    if (!wwn) return nullptr;
    for (int i = 0; i < conf->flag_count && i < kNasMaxFlags; ++i)
        if (strcasecmp(conf->flags[i].wwn, wwn) == 0) return &conf->flags[i];
    return nullptr;
}

const char* conf_find_dev_id(const NasConf* conf, const char* wwn) {
    if (!wwn) return nullptr;
    for (int i = 0; i < conf->devmap_count && i < kNasMaxDevmap; ++i)
        if (strcasecmp(conf->devmap[i].wwn, wwn) == 0) return conf->devmap[i].value;
    return nullptr;
}
