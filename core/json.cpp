#include "core/json.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "core/util.h"

namespace {

constexpr int kFirstCapacity = 4096;
constexpr int kMaxCapacity = 1 << 21;
constexpr std::size_t kMaxComponent = 95;
constexpr std::size_t kOpen = static_cast<std::size_t>(-1);  // end of a container not closed yet

enum class Pass { kOk, kInvalid, kFull };

class Tokenizer {
   public:
    Tokenizer(const char* text, std::size_t len, JsonTok* toks, int cap)
        : text_(text), len_(len), toks_(toks), cap_(cap) {}

    Pass run();
    int count() const { return next_; }

   private:
    bool at_end(std::size_t pos) const { return pos >= len_ || text_[pos] == '\0'; }
    JsonTok* new_token(JsonType type, std::size_t start, std::size_t end);
    void gain_child() {
        if (parent_ >= 0) toks_[parent_].size++;
    }
    Pass open_container(JsonType type, std::size_t pos);
    Pass close_container(JsonType type, std::size_t pos);
    Pass string(std::size_t* pos);
    Pass primitive(std::size_t* pos);

    const char* text_;
    std::size_t len_;
    JsonTok* toks_;
    int cap_;
    int next_ = 0;
    int parent_ = -1;
    // Containers still open, innermost last: what a backwards search for an
    // unclosed container would find, without the quadratic walk.
    std::vector<int> open_;
};

JsonTok* Tokenizer::new_token(JsonType type, std::size_t start, std::size_t end) {
    if (next_ >= cap_) return nullptr;
    JsonTok* t = &toks_[next_++];
    t->type = type;
    t->start = static_cast<std::int32_t>(start);
    t->end = end == kOpen ? -1 : static_cast<std::int32_t>(end);
    t->size = 0;
    return t;
}

Pass Tokenizer::open_container(JsonType type, std::size_t pos) {
    if (!new_token(type, pos, kOpen)) return Pass::kFull;
    gain_child();
    parent_ = next_ - 1;
    open_.push_back(parent_);
    return Pass::kOk;
}

Pass Tokenizer::close_container(JsonType type, std::size_t pos) {
    if (open_.empty() || toks_[open_.back()].type != type) return Pass::kInvalid;
    toks_[open_.back()].end = static_cast<std::int32_t>(pos + 1);
    open_.pop_back();
    parent_ = open_.empty() ? -1 : open_.back();
    return Pass::kOk;
}

// *pos is at the opening quote; on success it is left at the closing quote.
Pass Tokenizer::string(std::size_t* pos) {
    const std::size_t start = *pos + 1;
    for (std::size_t p = start; !at_end(p); ++p) {
        const char c = text_[p];
        if (c == '"') {
            if (!new_token(kJsonString, start, p)) return Pass::kFull;
            gain_child();
            *pos = p;
            return Pass::kOk;
        }
        if (c != '\\') continue;
        ++p;
        if (at_end(p)) return Pass::kInvalid;
        if (std::strchr("\"/\\bfnrt", text_[p]) && text_[p] != '\0') continue;
        if (text_[p] != 'u') return Pass::kInvalid;
        for (int k = 0; k < 4; ++k) {
            ++p;
            if (at_end(p) || !char_is_hex(static_cast<unsigned char>(text_[p])))
                return Pass::kInvalid;
        }
    }
    return Pass::kInvalid;
}

// *pos is at the first byte; on success it is left at the last byte.
Pass Tokenizer::primitive(std::size_t* pos) {
    if (parent_ >= 0) {
        const JsonTok& p = toks_[parent_];
        if (p.type == kJsonObject || (p.type == kJsonString && p.size != 0)) return Pass::kInvalid;
    }
    std::size_t p = *pos;
    for (; !at_end(p); ++p) {
        const unsigned char c = static_cast<unsigned char>(text_[p]);
        if (c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == ',' || c == ':' || c == ']' ||
            c == '}')
            break;
        if (c < 0x20 || c > 0x7E) return Pass::kInvalid;
    }
    if (!new_token(kJsonPrimitive, *pos, p)) return Pass::kFull;
    gain_child();
    *pos = p - 1;
    return Pass::kOk;
}

Pass Tokenizer::run() {
    for (std::size_t pos = 0; !at_end(pos); ++pos) {
        const char c = text_[pos];
        Pass r = Pass::kOk;
        switch (c) {
            case '\t':
            case '\n':
            case '\r':
            case ' ':
                break;
            case '{':
                r = open_container(kJsonObject, pos);
                break;
            case '[':
                r = open_container(kJsonArray, pos);
                break;
            case '}':
                r = close_container(kJsonObject, pos);
                break;
            case ']':
                r = close_container(kJsonArray, pos);
                break;
            case '"':
                r = string(&pos);
                break;
            case ':':
                parent_ = next_ - 1;
                break;
            case ',':
                if (parent_ >= 0 && toks_[parent_].type != kJsonObject &&
                    toks_[parent_].type != kJsonArray && !open_.empty())
                    parent_ = open_.back();
                break;
            case '-':
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7':
            case '8':
            case '9':
            case 't':
            case 'f':
            case 'n':
                r = primitive(&pos);
                break;
            default:
                return Pass::kInvalid;
        }
        if (r != Pass::kOk) return r;
    }
    return open_.empty() ? Pass::kOk : Pass::kInvalid;
}

// The accessors walk subtrees by the sizes alone. Text such as {"a":1,"b"} or
// {{}} leaves a key without its value, and such a walk would read tokens that
// were never written; only token arrays in which every object holds key/value
// pairs (keys are strings with exactly one value) and every other size is
// consistent are handed out.
bool structure_is_sound(const JsonTok* toks, int count) {
    struct Frame {
        int remaining;  // children still expected
        bool object;
        bool want_key;
    };
    std::vector<Frame> stack;
    for (int i = 0; i < count; ++i) {
        const JsonTok& t = toks[i];
        bool is_key = false;
        if (!stack.empty()) {
            Frame& f = stack.back();
            is_key = f.object && f.want_key;
            if (f.object) {
                if (!f.want_key) f.remaining--;
                f.want_key = !f.want_key;
            } else {
                f.remaining--;
            }
        }
        if (is_key) {
            if (t.type != kJsonString || t.size != 1) return false;
        } else if (t.type == kJsonString || t.type == kJsonPrimitive) {
            if (t.size != 0) return false;
        } else {
            stack.push_back({t.size, t.type == kJsonObject, true});
        }
        while (!stack.empty() && stack.back().remaining == 0 && stack.back().want_key)
            stack.pop_back();
    }
    return stack.empty();
}

}  // namespace

JsonTok* json_parse(const char* text, std::size_t len, int* count) {
    *count = 0;
    if (len >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return nullptr;
    for (int cap = kFirstCapacity; cap <= kMaxCapacity; cap *= 2) {
        JsonTokens toks(
            static_cast<JsonTok*>(std::malloc(sizeof(JsonTok) * static_cast<std::size_t>(cap))));
        if (!toks) return nullptr;
        Tokenizer tz(text, len, toks.get(), cap);
        Pass r;
        bool sound = false;
        // The bookkeeping vectors may run out of memory: that is "none", not an exception.
        try {
            r = tz.run();
            sound = r == Pass::kOk && structure_is_sound(toks.get(), tz.count());
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        if (sound) {
            *count = tz.count();
            return toks.release();
        }
        if (r != Pass::kFull) return nullptr;
    }
    return nullptr;
}

void json_free(JsonTok* toks) {
    std::free(toks);
}

int json_tok_streq(const char* text, const JsonTok* tok, const char* s) {
    if (tok->type != kJsonString) return 0;
    const std::size_t n = static_cast<std::size_t>(tok->end - tok->start);
    return std::strlen(s) == n && std::memcmp(text + tok->start, s, n) == 0 ? 1 : 0;
}

void json_tok_copy(const char* text, const JsonTok* tok, char* field, std::size_t size) {
    if (size == 0) return;
    std::size_t n = tok->end > tok->start ? static_cast<std::size_t>(tok->end - tok->start) : 0;
    if (n > size - 1) n = size - 1;
    std::memcpy(field, text + tok->start, n);
    field[n] = '\0';
}

int json_tok_skip(const JsonTok* toks, int i) {
    std::int64_t pending = 1;
    for (;; ++i) {
        const JsonTok& t = toks[i];
        pending -= 1;
        if (t.type == kJsonObject) pending += 2 * static_cast<std::int64_t>(t.size);
        if (t.type == kJsonArray) pending += t.size;
        if (pending < 1) return i + 1;
    }
}

int json_obj_get(const char* text, const JsonTok* toks, int i, const char* key) {
    if (i < 0 || toks[i].type != kJsonObject || toks[i].size <= 0) return -1;
    int k = i + 1;
    for (int n = 0; n < toks[i].size; ++n) {
        if (json_tok_streq(text, &toks[k], key)) return k + 1;
        k = json_tok_skip(toks, k + 1);
    }
    return -1;
}

int json_path_get(const char* text, const JsonTok* toks, int i, const char* path) {
    if (i < 0 || !path || !*path) return i;
    const char* p = path;
    while (*p) {
        const char* dot = std::strchr(p, '.');
        const std::size_t n = dot ? static_cast<std::size_t>(dot - p) : std::strlen(p);
        if (n > kMaxComponent) return -1;
        char key[kMaxComponent + 1];
        std::memcpy(key, p, n);
        key[n] = '\0';
        i = json_obj_get(text, toks, i, key);
        if (i < 0) return -1;
        if (!dot) break;
        p = dot + 1;
    }
    return i;
}

int json_tok_int(const char* text, const JsonTok* tok, std::int64_t* out) {
    const int n = tok->end - tok->start;
    if (tok->type != kJsonPrimitive || n < 1 || n > 63) return 0;
    char field[64];
    std::memcpy(field, text + tok->start, static_cast<std::size_t>(n));
    field[n] = '\0';
    if (field[0] == 't') {
        *out = 1;
        return 1;
    }
    if (field[0] == 'f') {
        *out = 0;
        return 1;
    }
    if (field[0] == 'n') return 0;
    char* end = nullptr;
    const long long v = std::strtoll(field, &end, 10);
    if (end == field) return 0;
    *out = v;
    return 1;
}

int json_path_int(const char* text, const JsonTok* toks, int i, const char* path,
                  std::int64_t* out) {
    const int k = json_path_get(text, toks, i, path);
    return k >= 0 ? json_tok_int(text, &toks[k], out) : 0;
}

int json_path_str(const char* text, const JsonTok* toks, int i, const char* path, char* field,
                  std::size_t size) {
    const int k = json_path_get(text, toks, i, path);
    if (k < 0 || toks[k].type != kJsonString) return 0;
    json_tok_copy(text, &toks[k], field, size);
    return 1;
}

int json_array_get(const JsonTok* toks, int i, int n) {
    if (i < 0 || toks[i].type != kJsonArray || n < 0 || n >= toks[i].size) return -1;
    int k = i + 1;
    for (int m = 0; m < n; ++m) k = json_tok_skip(toks, k);
    return k;
}
