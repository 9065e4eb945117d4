#pragma once
// A process that takes the configuration lock of a folder through its own
// ConfigLock and keeps it until release() or the end of the object.
#include "common/config_lock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <string>

class LockHolder {
public:
    explicit LockHolder(const std::string& dir)
    {
        int ready[2];
        if (pipe(ready) != 0 || pipe(done_) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(done_[1]);
            ConfigLock lock(dir.c_str());
            char ok = lock.locked() ? 1 : 0;
            if (write(ready[1], &ok, 1) != 1)
                _exit(3);
            char b;
            (void)!read(done_[0], &b, 1);
            _exit(0);
        }
        close(ready[1]);
        close(done_[0]);
        char ok = 0;
        held_ = pid_ > 0 && read(ready[0], &ok, 1) == 1 && ok == 1;
        close(ready[0]);
    }
    ~LockHolder() { release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    // The lock was taken by the other process.
    bool held() const { return held_; }
    void release()
    {
        if (pid_ <= 0)
            return;
        close(done_[1]);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int done_[2] = {-1, -1};
    bool held_ = false;
};
