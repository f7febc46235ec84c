// Owners of the operating system's handles: each closes its handle when it
// goes out of scope, so that no error path can leak it (or hand it to a child
// process). UniqueFd holds a descriptor, UniqueFile a stdio stream, UniqueDir
// a directory stream.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

class UniqueFd {
   public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // close() is not retried on EINTR: on Linux the descriptor is gone either way.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

   private:
    int fd_ = -1;
};

// A stream read to its end needs no report of its close; one that was
// written must be closed with std::fclose(release()) and its result checked.
struct FileCloser {
    void operator()(std::FILE* f) const { (void)std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR* d) const { (void)::closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;
