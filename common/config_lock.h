#pragma once
// Exclusive advisory lock (flock) on the folder that holds config.ini, taken
// by both programs around every load...save of the file, so that the daemon's
// "Result" and the tool's "info" never overwrite each other. The lock is on
// the folder, not the file: a save renames a new file over the old one, and
// a lock on the old file's descriptor would no longer guard anything.
#include "common/paths.h"

class ConfigLock {
public:
    // Blocks until the lock is held. A folder that cannot be opened leaves
    // the object unlocked (the load or save that follows fails on its own).
    explicit ConfigLock(const char* dir = MAVO_DIR);
    ~ConfigLock();
    ConfigLock(const ConfigLock&) = delete;
    ConfigLock& operator=(const ConfigLock&) = delete;
    bool locked() const { return _fd >= 0; }

private:
    int _fd;
};
