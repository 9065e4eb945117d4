#pragma once
// Exclusive advisory lock (flock) taken by both programs around every
// load...save of config.ini, so that the daemon's "Result" and the tool's
// "info" never overwrite each other. The lock is on a lock file of its own
// in the folder of config.ini, not on config.ini (a save renames a new file
// over the old one, and a lock on the old file's descriptor would no longer
// guard anything) and not on the folder (which every user may open, and so
// lock, to stall both programs). The lock file is a regular file of mode
// 0600 owned by the programs' own user, which nobody else can open.
#include "common/paths.h"

// Name of the lock file in the folder of config.ini.
inline constexpr const char* CONFIG_LOCK_NAME = ".config.lock";

class ConfigLock {
public:
    // Blocks until the lock is held. The lock file dir/CONFIG_LOCK_NAME is
    // created (mode 0600) when missing. A folder or lock file that cannot be
    // opened, and a lock file that is a link, is not a regular file or
    // belongs to another user, leave the object unlocked: the load or save
    // that follows then goes on without the lock (and fails on its own where
    // the folder is unusable). A lock file that others may read or write is
    // made 0600 again.
    explicit ConfigLock(const char* dir = MAVO_DIR);
    ~ConfigLock();
    ConfigLock(const ConfigLock&) = delete;
    ConfigLock& operator=(const ConfigLock&) = delete;
    bool locked() const { return _fd >= 0; }

private:
    int _fd;
};
