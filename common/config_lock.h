#pragma once
// Exclusive advisory lock (flock) taken by both programs around every
// load...save of config.ini, so that the daemon's "Result" and the tool's
// "info" never overwrite each other. The lock is on a lock file of its own,
// not on config.ini (a save renames a new file over the old one, and a lock
// on the old file's descriptor would no longer guard anything) and not on a
// folder or file that any other user may open (and so lock, to stall both
// programs). The lock file lies in a folder of the programs' own beside
// config.ini, CONFIG_LOCK_FOLDER, which only their user can enter (a real
// folder of that user, closed to group and others): nobody else can open
// anything in it, whatever the mode of the lock file itself. And nobody waits
// for the lock without bound: a lock that another holder keeps longer than
// the wait is a failure, which the caller reports.
#include "common/paths.h"

#include <string>

// Folder of the lock file, in the folder of config.ini (mode 0700).
inline constexpr const char* CONFIG_LOCK_FOLDER = ".lock";
// Name of the lock file in CONFIG_LOCK_FOLDER.
inline constexpr const char* CONFIG_LOCK_NAME = "config.lock";
// How long a program waits for a lock that another one holds, in
// milliseconds.
inline constexpr int CONFIG_LOCK_WAIT_MS = 5000;

// dir/CONFIG_LOCK_FOLDER/CONFIG_LOCK_NAME.
std::string config_lock_path(const char* dir = MAVO_DIR);

class ConfigLock {
public:
    // Takes the lock of the folder dir, waiting at most wait_ms for another
    // holder. The lock folder is made (0700) when missing, and given its
    // owner's rights back when it lacks them; the lock file is made (0600)
    // when missing. Both are opened without following a link. The lock is
    // not held (error() says why) when dir cannot be opened, when the lock
    // folder is a link, not a folder, belongs to another user or is open to
    // group or others (anything in it may be open elsewhere), when the lock
    // file is a link, not a regular file or belongs to another user, when
    // either cannot be made, and when another holder keeps the lock longer
    // than the wait. The caller then neither loads nor saves what the lock
    // guards, and reports the failure. While it waits for another holder,
    // SIGALRM belongs to the wait (a timer of the calling thread ends it);
    // its disposition and the thread's signal mask are restored afterwards.
    explicit ConfigLock(const char* dir = MAVO_DIR, int wait_ms = CONFIG_LOCK_WAIT_MS);
    ~ConfigLock();
    ConfigLock(const ConfigLock&) = delete;
    ConfigLock& operator=(const ConfigLock&) = delete;
    bool locked() const { return _fd >= 0; }
    // 0 while the lock is held; else the reason as an errno value:
    // EWOULDBLOCK when another holder kept it past the wait; ENOTDIR for a
    // lock folder that is a link or not a folder; ELOOP, EISDIR or EINVAL
    // for a lock file that is a link, a folder or another kind of file;
    // EPERM for another user's entry or a lock folder open to others; or the
    // error of the call that failed (a missing dir: ENOENT).
    int error() const { return _error; }
    // The lock file's path, for messages.
    const std::string& path() const { return _path; }

private:
    int _fd;
    int _error;
    std::string _path;
};
