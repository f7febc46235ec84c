#include "tests/support/loop_device.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "core/util.h"

namespace {

// Runs a command line and returns its standard output and exit status.
std::string run_shell(const std::string& cmd, int* status) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "re");
    if (!p) {
        *status = -1;
        return out;
    }
    char buf[256];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    *status = ::pclose(p);
    return out;
}

}  // namespace

std::uint64_t pattern_word(std::uint64_t offset) {
    return (offset / 8 + 1) * 0x9E3779B97F4B53F7ULL;
}

void write_pattern_image(const std::string& image, std::uint64_t size) {
    std::vector<std::uint64_t> words(size / 8);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = pattern_word(i * 8);
    std::ofstream out(image, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(size));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + image);
}

LoopDevice::LoopDevice(const std::string& image) {
    // Parallel tests may pick the same free device; losetup then fails and a
    // second try takes the next one.
    for (int attempt = 0; attempt < 5 && path_.empty(); ++attempt) {
        int status = 0;
        std::string out = run_shell("losetup -f --show '" + image + "' 2>&1", &status);
        if (status == 0 && out.rfind("/dev/", 0) == 0) {
            str_trim(out.data());
            path_ = out.c_str();
        } else {
            error_ = out;
        }
    }
}

LoopDevice::~LoopDevice() {
    if (path_.empty()) return;
    int status = 0;
    run_shell("losetup -d " + path_ + " 2>&1", &status);
}
