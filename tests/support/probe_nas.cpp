#include "tests/support/probe_nas.h"

#include <unistd.h>

#include "tests/support/json_edit.h"

LoopDisks::LoopDisks(FakeNas& nas) : nas_(nas) {}

bool LoopDisks::attach(const FakeDisk& d, std::uint64_t bytes, const std::string& image,
                       const LoopOptions& opts) {
    std::string img = image;
    if (img.empty()) {
        img = images_.path() + "/" + d.dev + ".img";
        write_file(img, "");
        if (::truncate(img.c_str(), static_cast<off_t>(bytes)) != 0) {
            error_ = "cannot size " + img;
            return false;
        }
    }
    loops_.push_back(std::make_unique<LoopDevice>(img, opts));
    if (loops_.back()->path().empty()) {
        error_ = loops_.back()->error();
        loops_.pop_back();
        return false;
    }
    fake_disk_on_loop(nas_, d, *loops_.back());
    return true;
}

std::vector<std::string> probe_args(const FakeNas& nas, const std::string& serial, const char* mode,
                                    const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"probe", "--serial", serial,        "--mode",
                                     mode,    "--json",   "--qpkg-root", nas.pkg_root()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::string probe_data_dir(const FakeNas& nas) {
    return nas.pkg_root() + "/var/corvantis";
}

std::string probe_db(const FakeNas& nas) {
    return probe_data_dir(nas) + "/corvantis.db";
}

std::string probe_state_path(const FakeNas& nas, const std::string& serial) {
    return probe_data_dir(nas) + "/probe/" + serial + ".json";
}

std::string probe_state(const FakeNas& nas, const std::string& serial) {
    return read_file(probe_state_path(nas, serial));
}

bool probe_in_phase(const FakeNas& nas, const std::string& serial, const char* phase) {
    const std::string s = probe_state(nas, serial);
    return json_get(s, "status") == "running" && json_get(s, "phase") == phase;
}
