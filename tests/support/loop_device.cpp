#include "tests/support/loop_device.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/run.h"
#include "core/strbuf.h"
#include "core/util.h"

namespace {

const char* losetup_path() {
    for (const char* path : {"/usr/sbin/losetup", "/sbin/losetup", "/usr/bin/losetup"})
        if (::access(path, X_OK) == 0) return path;
    return nullptr;
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

LoopDevice::LoopDevice(const std::string& image, const LoopOptions& opts) {
    const char* losetup = losetup_path();
    if (!losetup) {
        error_ = "losetup not found";
        return;
    }
    // Parallel tests may pick the same free device; losetup then fails and
    // another try takes the next one.
    const std::string sector = std::to_string(opts.logical_block);
    std::vector<const char*> argv = {losetup, "--find", "--show"};
    if (opts.read_only) argv.push_back("--read-only");
    if (opts.logical_block) {
        argv.push_back("--sector-size");
        argv.push_back(sector.c_str());
    }
    argv.push_back(image.c_str());
    argv.push_back(nullptr);
    for (int attempt = 0; attempt < 5 && path_.empty(); ++attempt) {
        StrBuf out;
        const int status = run_capture(argv.data(), &out, 30);
        std::string shown = out.c_str();
        str_trim(shown.data());
        if (status == 0 && shown.rfind("/dev/", 0) == 0)
            path_ = shown.c_str();
        else
            error_ = "losetup --find --show exited " + std::to_string(status);
    }
}

std::string LoopDevice::name() const {
    const std::size_t slash = path_.rfind('/');
    return slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

std::uint64_t LoopDevice::sectors() const {
    return std::strtoull(read_file("/sys/block/" + name() + "/size").c_str(), nullptr, 10);
}

unsigned LoopDevice::logical_block() const {
    const std::string text = read_file("/sys/block/" + name() + "/queue/logical_block_size");
    return static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
}

LoopDevice::~LoopDevice() {
    if (path_.empty()) return;
    const char* const argv[] = {losetup_path(), "--detach", path_.c_str(), nullptr};
    StrBuf out;
    (void)run_capture(argv, &out, 30);
}
