// Output file written to a temporary file in the output's folder and renamed
// over the output's name only once complete and synced; on any failure (or
// when the object dies uncommitted) the temporary file goes and the output
// stays as it was. Nothing is ever written into a file that already exists,
// and no link is followed: the folder is opened once and every later step
// (the look at the name, the temporary, the rename, the clean-up) works
// relative to that descriptor.
//
// What is at the output's name decides:
// - nothing: the new file takes the name; it gets new_mode less the umask,
//   or exactly 0600 for private content (below). Should a name appear there
//   before the rename, the output fails rather than replace it (on a file
//   system that cannot tell, the rename replaces it).
// - a regular file: replaced by the new file, which keeps the old file's
//   mode, and its owner and group where the process may set them (as root).
//   A file of several names loses only this name: its other names keep the
//   old content.
// - a symbolic link: replaced by the new file, which is made as a new
//   output is; the file the link names is never touched.
// - anything else (a folder, a FIFO, a device): refused.
// In a folder with the sticky bit that its group or others may write to
// (such as /tmp), a link or file that belongs neither to the effective user
// nor to the folder's owner is refused: it is another user's entry, and the
// result does not depend on the kernel's fs.protected_* settings.
//
// Private content (a new_mode that gives group and others nothing, used for
// decrypted plaintext) never ends in a file another user owns or may read:
// an existing file at the name is taken only when it is the effective
// user's own and neither its group nor others may read it; otherwise the
// output is refused.
//
// The temporary file is ".NAME." and six letters or digits, beside the
// output's name. It is made 0600 and gets its final mode and owner just
// before the rename, except for a new output of ordinary content (nothing or
// a link at the name), which is created with its final mode (new_mode less
// the umask) from the start. The umask itself is never changed.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

class AtomicOut {
public:
    // new_mode: 0666 for an ordinary file, 0600 for one that holds
    // plaintext.
    explicit AtomicOut(const char* target, mode_t new_mode = 0666)
        : target_(target), new_mode_(new_mode)
    {
    }
    ~AtomicOut();
    AtomicOut(const AtomicOut&) = delete;
    AtomicOut& operator=(const AtomicOut&) = delete;

    // Creates the temporary file; false when it cannot be made, or when
    // what is at the output's name is refused (see above).
    bool open();
    bool write(const void* data, size_t n);
    // Syncs the temporary file and renames it over the output's name; false
    // on any failure (the temporary file is then removed by abandon or the
    // destructor).
    bool commit();
    void abandon();

private:
    bool is_private() const { return (new_mode_ & 077) == 0; }

    std::string target_, base_, tmp_;   // base_ and tmp_: names in the folder dir_
    mode_t new_mode_;
    int dir_ = -1;
    int fd_ = -1;
    off_t off_ = 0;
    bool named_ = false;   // something was at the output's name
    bool keep_ = false;    // a regular file whose mode and owner carry over
    struct stat old_ = {};
};
