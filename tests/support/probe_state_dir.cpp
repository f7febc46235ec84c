#include "tests/support/probe_state_dir.h"

#include <sys/stat.h>

#include <fstream>

#include "core/util.h"

ProbeStateDir::ProbeStateDir() : ProbeStateDir(std::string()) {}

ProbeStateDir::ProbeStateDir(const std::string& data_dir)
    : root_(data_dir.empty() ? dir_.path() : data_dir) {
    str_copy(saved_, sizeof saved_, g_var_dir);
    str_copy(g_var_dir, sizeof g_var_dir, root_.c_str());
    ::mkdir((root_ + "/probe").c_str(), 0755);
}

ProbeStateDir::~ProbeStateDir() {
    str_copy(g_var_dir, sizeof g_var_dir, saved_);
}

std::string ProbeStateDir::state_path(const std::string& serial) const {
    return root_ + "/probe/" + serial + ".json";
}

void ProbeStateDir::write_state(const std::string& serial, const std::string& text) const {
    std::ofstream(state_path(serial), std::ios::binary | std::ios::trunc) << text;
}
