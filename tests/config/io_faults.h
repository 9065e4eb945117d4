#pragma once
// Injected I/O errors for the code under test. The test program of the tool
// defines pread, readdir, open and openat itself (io_faults.cpp): they call
// the C library's, except on the one file a test has armed a fault for,
// which is told by its identity (device and inode), whatever name leads to
// it.

#include <string>

class IoFault {
public:
    enum Kind {
        Open,    // open or openat of the file fails with err
        Read,    // pread of the file fails with err
        Listing, // readdir of the folder fails with err once `after` of its
                 // entries were read since the fault was armed
    };
    // Arms the fault for the file at path (followed if a link); disarmed by
    // the destructor.
    IoFault(Kind kind, const std::string& path, int err, int after = 0);
    ~IoFault();
    IoFault(const IoFault&) = delete;
    IoFault& operator=(const IoFault&) = delete;
    // How often the fault fired.
    int hits() const;
};
