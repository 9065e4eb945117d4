// Output file written to a temporary file beside the file it replaces and
// put in its place only once complete and synced; on any failure (or when
// the object dies uncommitted) the temporary file goes and the output stays
// as it was. The output is the file that a write to its path would reach: a
// symbolic link is followed and stays. An existing output keeps its mode,
// its owner and group where the process may set them, and its hard links
// (a file of several names is rewritten in place once the new content is
// complete). A new output gets new_mode less the umask; the umask itself is
// never changed. The temporary file is made 0600 and opened to others only
// as it takes the output's place.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <string>

class AtomicOut {
public:
    // new_mode: 0666 for an ordinary file, 0600 for one that holds
    // plaintext.
    explicit AtomicOut(const char* target, mode_t new_mode = 0666)
        : target_(target), new_mode_(new_mode)
    {
    }
    ~AtomicOut() { abandon(); }
    AtomicOut(const AtomicOut&) = delete;
    AtomicOut& operator=(const AtomicOut&) = delete;

    // Creates the temporary file; false when it cannot be made, or when the
    // output is not a regular file (a folder, a FIFO, a device) or a link
    // that leads nowhere.
    bool open();
    bool write(const void* data, size_t n);
    // Flushes, syncs and puts the new content in place; false on any
    // failure (the temporary file is then removed by abandon or the
    // destructor).
    bool commit();
    void abandon();

private:
    bool commit_in_place();

    std::string target_, dest_, tmp_;
    mode_t new_mode_;
    bool exists_ = false;
    struct stat old_ = {};
    std::FILE* f_ = nullptr;
};
