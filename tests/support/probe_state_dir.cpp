#include "tests/support/probe_state_dir.h"

#include "core/util.h"
#include "tests/support/fake_nas.h"

ProbeStateDir::ProbeStateDir() : ProbeStateDir(std::string()) {}

ProbeStateDir::ProbeStateDir(const std::string& data_dir)
    : root_(data_dir.empty() ? dir_.path() : data_dir) {
    str_copy(saved_, sizeof saved_, g_var_dir);
    str_copy(g_var_dir, sizeof g_var_dir, root_.c_str());
    make_dirs(root_ + "/probe");
}

ProbeStateDir::~ProbeStateDir() {
    str_copy(g_var_dir, sizeof g_var_dir, saved_);
}

std::string ProbeStateDir::state_path(const std::string& serial) const {
    return root_ + "/probe/" + serial + ".json";
}

void ProbeStateDir::write_state(const std::string& serial, const std::string& text) const {
    write_file(state_path(serial), text);
}
