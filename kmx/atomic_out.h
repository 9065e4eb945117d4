// Output file written to a temporary file in the target's folder and renamed
// over the target only once complete and synced; on any failure (or when the
// object dies uncommitted) the temporary file goes and the target stays as it
// was. The new file gets the mode an ordinary new file would (0666 less the
// umask).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

class AtomicOut {
public:
    explicit AtomicOut(const char* target) : target_(target) {}
    ~AtomicOut() { abandon(); }
    AtomicOut(const AtomicOut&) = delete;
    AtomicOut& operator=(const AtomicOut&) = delete;

    // Creates the temporary file; false when it cannot be made.
    bool open();
    bool write(const void* data, size_t n);
    // Flushes, syncs and renames over the target; false on any failure (the
    // temporary file is then removed by abandon or the destructor).
    bool commit();
    void abandon();

private:
    std::string target_, tmp_;
    FILE* f_ = nullptr;
};
