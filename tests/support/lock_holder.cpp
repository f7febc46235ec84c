#include "tests/support/lock_holder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

LockHolder::LockHolder(const std::string& path, int hold_ms)
    : LockHolder(
          [&path] {
              const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
              struct flock fl {};
              fl.l_type = F_WRLCK;
              fl.l_whence = SEEK_SET;
              return fd >= 0 && ::fcntl(fd, F_SETLKW, &fl) == 0;
          },
          hold_ms) {}

LockHolder::LockHolder(const std::function<bool()>& take, int hold_ms) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(ready[0]);
        const char ok = take() ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        if (ok != '1') ::_exit(1);
        if (hold_ms >= 0) {
            ::usleep(static_cast<useconds_t>(hold_ms) * 1000);
            ::_exit(0);
        }
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char got = '0';
    if (pid_ > 0 && ::read(ready[0], &got, 1) == 1) held_ = got == '1';
    ::close(ready[0]);
}

LockHolder::~LockHolder() {
    release();
}

void LockHolder::release() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    held_ = false;
}
