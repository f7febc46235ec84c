#include "tests/support/temp_dir.h"

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <stdexcept>

namespace {
int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    return std::remove(path);
}
}  // namespace

TempDir::TempDir() {
    char tmpl[] = "/tmp/corvantis-test-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    ::nftw(path_.c_str(), remove_entry, 32, FTW_DEPTH | FTW_PHYS);
}
