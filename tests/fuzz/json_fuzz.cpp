// libFuzzer target for the JSON tokenizer: any text either fails cleanly or
// yields tokens that every accessor can walk without leaving the array.
// Build with clang: cmake -DCMAKE_CXX_COMPILER=clang++ -DCORVANTIS_FUZZ=ON
#include <cstddef>
#include <cstdint>

#include "core/json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    int count = 0;
    JsonTokens toks(json_parse(text, size, &count));
    if (!toks) return 0;
    for (int i = 0; i < count; ++i) {
        if (json_tok_skip(toks.get(), i) > count) __builtin_trap();
        std::int64_t v;
        json_tok_int(text, &toks[i], &v);
        json_path_get(text, toks.get(), i, "a.b");
        json_array_get(toks.get(), i, toks[i].size - 1);
    }
    return 0;
}
