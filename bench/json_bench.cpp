// Throughput of the JSON tokenizer over the recorded smartctl replies, and of
// one large synthetic document. Prints figures; asserts nothing.
#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/json.h"

namespace {

std::vector<std::string> load_samples(const std::string& dir) {
    std::vector<std::string> texts;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return texts;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() < 6 || name.substr(name.size() - 5) != ".json") continue;
        std::ifstream in(dir + "/" + name);
        std::ostringstream ss;
        ss << in.rdbuf();
        texts.push_back(ss.str());
    }
    ::closedir(d);
    return texts;
}

void measure(const char* label, const std::vector<std::string>& texts, int rounds) {
    std::size_t bytes = 0;
    long tokens = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (const std::string& t : texts) {
            int count = 0;
            JsonTokens toks(json_parse(t.data(), t.size(), &count));
            bytes += t.size();
            tokens += count;
        }
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%-28s %8.1f MB/s  %10.0f tokens/s  (%zu bytes in %.3f s)\n", label,
                bytes / s / 1e6, tokens / s, bytes, s);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : CORVANTIS_TEST_DATA "/smartctl";
    measure("smartctl replies", load_samples(dir), 200);
    std::string big = "[";
    for (int i = 0; i < 250000; ++i) big += "{\"id\":1,\"raw\":{\"value\":123456789}},";
    big += "0]";
    measure("1.75M-token document", {big}, 3);
    return 0;
}
