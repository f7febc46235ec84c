#include "tests/support/json_edit.h"

#include <iconv.h>

#include <stdexcept>
#include <vector>

#include "core/json.h"

namespace {

// The bytes a token covers, quotes included.
std::pair<int, int> span(const JsonTok& t) {
    return t.type == kJsonString ? std::pair{t.start - 1, t.end + 1} : std::pair{t.start, t.end};
}

bool valid_utf8(std::string text) {
    const iconv_t cd = ::iconv_open("UTF-32LE", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::vector<char> out(text.size() * 4 + 4);
    char* in = text.data();
    char* to = out.data();
    std::size_t in_left = text.size(), out_left = out.size();
    const bool ok = ::iconv(cd, &in, &in_left, &to, &out_left) != static_cast<std::size_t>(-1);
    ::iconv_close(cd);
    return ok && in_left == 0;
}

}  // namespace

bool json_strict_text(const std::string& text) {
    int count = 0;
    const JsonTokens toks(json_parse(text.data(), text.size(), &count));
    return valid_utf8(text) && toks && count > 0;
}

std::string json_set(const std::string& text, const std::string& path,
                     const std::string& value_json) {
    int count = 0;
    const JsonTokens toks(json_parse(text.data(), text.size(), &count));
    if (!toks || count < 1 || toks[0].type != kJsonObject)
        throw std::runtime_error("json_set: no object");
    // Walk down while the keys exist.
    int at = 0;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        const std::size_t dot = path.find('.', pos);
        const std::string key =
            path.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
        const int next = toks[at].type == kJsonObject
                             ? json_obj_get(text.data(), toks.get(), at, key.c_str())
                             : -1;
        if (next < 0) break;
        at = next;
        pos = dot == std::string::npos ? path.size() + 1 : dot + 1;
    }
    if (pos > path.size()) {
        const auto [from, to] = span(toks[at]);
        return text.substr(0, from) + value_json + text.substr(to);
    }
    if (toks[at].type != kJsonObject)
        throw std::runtime_error("json_set: " + path + " crosses a non-object");
    // Build the missing keys from the innermost out, then put them first in the object.
    std::string rest = path.substr(pos);
    std::string member = value_json;
    for (std::size_t dot = rest.rfind('.'); dot != std::string::npos; dot = rest.rfind('.')) {
        member = "{\"" + rest.substr(dot + 1) + "\":" + member + "}";
        rest.resize(dot);
    }
    member = "\"" + rest + "\":" + member;
    const int open = toks[at].start;  // the '{'
    return text.substr(0, open + 1) + member + (toks[at].size > 0 ? "," : "") +
           text.substr(open + 1);
}

std::string json_get(const std::string& text, const std::string& path) {
    int count = 0;
    const JsonTokens toks(json_parse(text.data(), text.size(), &count));
    if (!toks || count < 1) return "(no json)";
    const int k = json_path_get(text.data(), toks.get(), 0, path.c_str());
    if (k < 0) return "(missing)";
    return text.substr(toks[k].start, toks[k].end - toks[k].start);
}
