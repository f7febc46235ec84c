// A JSON tokenizer and the accessors that read its tokens.
//
// No tree is built: json_parse turns the text into a flat array of tokens
// that point into the unchanged text (string tokens cover the raw bytes
// between their quotes, escapes are not undone). The accessors walk that
// array by key, dotted path or array index. Used for smartctl replies and the
// probe state files; writing JSON is StrBuf's job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

enum JsonType : std::int32_t {
    kJsonObject = 1,
    kJsonArray = 2,
    kJsonString = 3,
    kJsonPrimitive = 4
};

struct JsonTok {
    std::int32_t type;
    std::int32_t start;  // first byte (after the opening quote for a string)
    std::int32_t end;    // one past the last byte (the closing quote for a string)
    std::int32_t size;   // keys of an object, elements of an array, 1 for a key string
};

// Tokens of text[0..len); nullptr on invalid text or exhausted memory. The
// caller owns the array (free with json_free, or hold it in a JsonTokens).
JsonTok* json_parse(const char* text, std::size_t len, int* count);
void json_free(JsonTok* toks);

struct JsonFree {
    void operator()(JsonTok* t) const { json_free(t); }
};
using JsonTokens = std::unique_ptr<JsonTok[], JsonFree>;

// 1 when the token is a string whose raw bytes equal s exactly.
int json_tok_streq(const char* text, const JsonTok* tok, const char* s);
// The token's raw bytes, cut to size - 1, with a terminator.
void json_tok_copy(const char* text, const JsonTok* tok, char* field, std::size_t size);
// Index of the first token after the subtree at index i.
int json_tok_skip(const JsonTok* toks, int i);
// Index of the value of key in the object at i, or -1.
int json_obj_get(const char* text, const JsonTok* toks, int i, const char* key);
// Index reached by a dotted path of object keys from i ("a.b.c"), or -1.
int json_path_get(const char* text, const JsonTok* toks, int i, const char* path);
// 1 and the value of a primitive: true 1, false 0, else a base-10 integer prefix.
int json_tok_int(const char* text, const JsonTok* tok, std::int64_t* out);
int json_path_int(const char* text, const JsonTok* toks, int i, const char* path,
                  std::int64_t* out);
// 1 when the path leads to a string, whose raw bytes are copied into field.
int json_path_str(const char* text, const JsonTok* toks, int i, const char* path, char* field,
                  std::size_t size);
// Index of element n of the array at i, or -1.
int json_array_get(const JsonTok* toks, int i, int n);
