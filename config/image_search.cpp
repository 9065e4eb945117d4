#include "config/image_search.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

int pox_system(const char* cmd_line)
{
    if (cmd_line == nullptr)
        return -1;
    struct sigaction dfl, old;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGCHLD, &dfl, &old);
    int status = std::system(cmd_line);
    sigaction(SIGCHLD, &old, nullptr);
    return status;
}

namespace {

using DirId = std::pair<dev_t, ino_t>;

// One folder being searched: its identity, its path as listed, and the
// entries still to take (name, is a folder).
struct Frame {
    DirId id;
    std::string path;
    std::vector<std::pair<std::string, bool>> entries;
    size_t next = 0;
};

// Lists the folder open at fd into frame (fd stays open). Each entry is
// looked up relative to fd without following a link, so an entry that is a
// link is never taken for a folder, whatever its name leads to now.
bool list_dir(int fd, const char* FileFix, Frame& frame)
{
    struct stat self;
    if (fstat(fd, &self) != 0)
        return false;
    frame.id = DirId{self.st_dev, self.st_ino};
    int list_fd = dup(fd);
    if (list_fd < 0)
        return false;
    DIR* dp = fdopendir(list_fd);
    if (dp == nullptr) {
        close(list_fd);
        return false;
    }
    while (struct dirent* entry = readdir(dp)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat st;
        // An entry whose status cannot be read is taken as a non-directory.
        bool is_dir = fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        if (is_dir || std::strstr(entry->d_name, FileFix) != nullptr)
            frame.entries.emplace_back(entry->d_name, is_dir);
    }
    closedir(dp);
    return true;
}

constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

} // namespace

// Depth first without recursion, holding one folder open at a time: a
// sub-folder is opened relative to the folder that lists it, never through
// a link (a folder swapped for a link after it was listed is not entered),
// and the way back up goes through "..", which must lead to the folder that
// was left (a folder moved away meanwhile ends the search). So neither the
// depth of a tree nor a name that changes leads the search outside it.
void recursion_scan_dir_file(const char* dir, std::vector<std::string>& vecList,
                             const char* FileFix)
{
    if (FileFix == nullptr)
        FileFix = "";
    int fd = dir != nullptr ? open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    std::vector<Frame> stack(1);
    if (fd < 0 || !list_dir(fd, FileFix, stack.back())) {
        if (fd >= 0)
            close(fd);
        std::puts("can't open dir.");
        return;
    }
    stack.back().path = dir;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.entries.size()) {
            stack.pop_back();
            if (stack.empty())
                break;
            int up = openat(fd, "..", DIR_FLAGS);
            close(fd);
            fd = up;
            struct stat st;
            if (fd < 0 || fstat(fd, &st) != 0 || DirId{st.st_dev, st.st_ino} != stack.back().id) {
                std::puts("can't open dir.");
                break;
            }
            continue;
        }
        const auto& entry = top.entries[top.next++];
        std::string path = top.path + "/" + entry.first;
        if (!entry.second) {
            vecList.push_back(std::move(path));
            continue;
        }
        Frame child;
        int child_fd = openat(fd, entry.first.c_str(), DIR_FLAGS);
        if (child_fd < 0 || !list_dir(child_fd, FileFix, child)) {
            if (child_fd >= 0)
                close(child_fd);
            std::puts("can't open dir.");
            continue;
        }
        // A folder that contains itself (a bind mount) is not searched again.
        bool ancestor = false;
        for (const Frame& f : stack)
            ancestor = ancestor || f.id == child.id;
        if (ancestor) {
            close(child_fd);
            continue;
        }
        child.path = std::move(path);
        close(fd);
        fd = child_fd;
        stack.push_back(std::move(child));
    }
    if (fd >= 0)
        close(fd);
}
