// LockHolder: a second process that holds a lock until the holder is released
// (or for a set time): by default a write lock by fcntl over a whole file, the
// way the NAS's own tools hold the lock of their configuration file. Such
// locks belong to a process, so only another process can make the code under
// test wait.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

class LockHolder {
   public:
    // Returns once the child holds the lock (held() false when it could not
    // take it). With hold_ms >= 0 the child lets go by itself after that long.
    explicit LockHolder(const std::string& path, int hold_ms = -1);
    // The same with take, run in the child, to take the lock (true: taken).
    LockHolder(const std::function<bool()>& take, int hold_ms);
    ~LockHolder();
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool held() const { return held_; }
    // Ends the child (and so its lock) and reaps it.
    void release();

   private:
    pid_t pid_ = -1;
    bool held_ = false;
};
