// TempDir: a fresh folder under /tmp, removed with everything in it.
#pragma once

#include <string>

class TempDir {
   public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

   private:
    std::string path_;
};
