// ProbeStateDir: a data directory of the test's own with its probe/ folder
// (or a given one: a fake NAS's, where a real probe writes); g_var_dir points
// at it for as long as it lives, so that the state files there are the ones
// the code under test reads.
#pragma once

#include <string>

#include "core/paths.h"
#include "tests/support/temp_dir.h"

class ProbeStateDir {
   public:
    ProbeStateDir();
    explicit ProbeStateDir(const std::string& data_dir);
    ~ProbeStateDir();
    ProbeStateDir(const ProbeStateDir&) = delete;
    ProbeStateDir& operator=(const ProbeStateDir&) = delete;

    const std::string& root() const { return root_; }
    // <data dir>/probe/<serial>.json
    std::string state_path(const std::string& serial) const;
    void write_state(const std::string& serial, const std::string& text) const;

   private:
    TempDir dir_;
    std::string root_;
    char saved_[kVarDirSize] = {};
};
