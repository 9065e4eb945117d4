// What a name in a folder holds, taken without following a link: its kind,
// inode, mode, owner, group, number of names and bytes (a link's text), so a
// test can show that a call left a file or link exactly as it was.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <ostream>
#include <string>

struct EntrySnapshot {
    bool present = false;
    struct stat st = {};
    std::string bytes;

    bool operator==(const EntrySnapshot& o) const
    {
        return present == o.present &&
               (!present || (st.st_dev == o.st.st_dev && st.st_ino == o.st.st_ino && st.st_mode == o.st.st_mode &&
                             st.st_uid == o.st.st_uid && st.st_gid == o.st.st_gid && st.st_nlink == o.st.st_nlink &&
                             bytes == o.bytes));
    }
    bool operator!=(const EntrySnapshot& o) const { return !(*this == o); }
};

inline EntrySnapshot snapshot(const std::string& path)
{
    EntrySnapshot s;
    if (lstat(path.c_str(), &s.st) != 0)
        return s;
    s.present = true;
    if (S_ISLNK(s.st.st_mode)) {
        char buf[4096];
        const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
        if (n > 0)
            s.bytes.assign(buf, static_cast<size_t>(n));
    } else if (S_ISREG(s.st.st_mode)) {
        std::ifstream in(path, std::ios::binary);
        s.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return s;
}

inline std::ostream& operator<<(std::ostream& os, const EntrySnapshot& s)
{
    if (!s.present)
        return os << "(nothing)";
    return os << "mode " << std::oct << s.st.st_mode << std::dec << " uid " << s.st.st_uid << " gid "
              << s.st.st_gid << " ino " << s.st.st_ino << " links " << s.st.st_nlink << ", "
              << s.bytes.size() << " bytes";
}
