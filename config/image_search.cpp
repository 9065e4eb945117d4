#include "config/image_search.h"
#include "config/image_search_seam.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// Null unless a test program links its seams.
void tarn_seam_search_entered(const std::string& path) __attribute__((weak));

namespace {

using DirId = std::pair<dev_t, ino_t>;

// One folder on the way down: its identity, where its name ends in the
// search's path, and the entries still to take (name, is a folder).
struct Frame {
    DirId id;
    size_t path_end = 0;
    std::vector<std::pair<std::string, bool>> entries;
    size_t next = 0;
};

constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool identity(int fd, DirId* id)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    *id = DirId{st.st_dev, st.st_ino};
    return true;
}

// Lists the folder open at fd into frame (fd stays open): its sub-folders
// and the other entries whose names contain marker. Each entry is looked up
// relative to fd without following a link, so an entry that is a link is
// never taken for a folder, whatever its name leads to now. Returns 0, or
// the errno of a listing that failed; the entries read before it are kept.
int list_dir(int fd, const char* marker, Frame& frame)
{
    int list_fd = dup(fd);
    if (list_fd < 0)
        return errno;
    DIR* dp = fdopendir(list_fd);
    if (dp == nullptr) {
        const int err = errno;
        close(list_fd);
        return err;
    }
    int err = 0;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dp);
        if (entry == nullptr) {
            err = errno;
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat st;
        // An entry whose status cannot be read (other than one gone since
        // the listing) is tried as a folder: its open then fails and is
        // reported, so nothing that could hold the image is passed over
        // unseen.
        const bool seen = fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!seen && errno == ENOENT)
            continue;
        bool is_dir = !seen || S_ISDIR(st.st_mode);
        if (is_dir || std::strstr(entry->d_name, marker) != nullptr)
            frame.entries.emplace_back(entry->d_name, is_dir);
    }
    closedir(dp);
    return err;
}

class Walk {
public:
    Walk(const SearchVisitor& visitor) : visitor_(visitor) {}
    SearchEnd run(const char* dir, const char* marker);

private:
    void report(SearchGap gap, const std::string& path, int err)
    {
        std::puts("can't open dir.");
        if (visitor_.gap)
            visitor_.gap(gap, path, err);
    }
    void leave(int fd)
    {
        if (fd != top_)
            close(fd);
    }
    bool enter(int fd, const char* marker);
    int climb(int fd);
    int walk_down();

    const SearchVisitor& visitor_;
    int top_ = -1;
    std::string path_;
    std::vector<Frame> stack_;
};

// Pushes the folder open at fd, whose path is path_, unless it is skipped
// or is one of the folders above it (a bind mount that contains itself);
// false when it is not entered (fd is then closed).
bool Walk::enter(int fd, const char* marker)
{
    Frame frame;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        report(SearchGap::NotOpened, path_, errno);
        leave(fd);
        return false;
    }
    frame.id = DirId{st.st_dev, st.st_ino};
    frame.path_end = path_.size();
    bool again = false;
    for (const Frame& f : stack_)
        again = again || f.id == frame.id;
    if (again || (visitor_.skip && visitor_.skip(st))) {
        leave(fd);
        return false;
    }
    if (int err = list_dir(fd, marker, frame))
        report(SearchGap::NotListed, path_, err);
    stack_.push_back(std::move(frame));
    if (tarn_seam_search_entered)
        tarn_seam_search_entered(path_);
    return true;
}

// From the folder open at fd, which the search has just left, to the
// folder of the top frame: through "..", which must be that folder. When it
// is not (the folder left was moved meanwhile), the way down from the top
// folder is taken again (walk_down).
int Walk::climb(int fd)
{
    if (stack_.size() == 1) {
        leave(fd);
        return top_;
    }
    int up = openat(fd, "..", DIR_FLAGS);
    leave(fd);
    DirId id;
    if (up >= 0 && identity(up, &id) && id == stack_.back().id)
        return up;
    if (up >= 0)
        close(up);
    return walk_down();
}

// Opens the folders of the stack again from the top folder, each by its name
// in the one above, each of which must still be the folder that was listed
// there. The first that is not ends the way down: it and the folders below
// it are dropped from the stack (reported when entries of theirs were still
// to come), and the search goes on in the folder above it. Returns the
// descriptor of the folder of the top frame.
int Walk::walk_down()
{
    int fd = top_;
    for (size_t i = 1; i < stack_.size(); ++i) {
        const size_t from = stack_[i - 1].path_end + 1;
        const std::string name = path_.substr(from, stack_[i].path_end - from);
        int next = openat(fd, name.c_str(), DIR_FLAGS);
        DirId id;
        if (next >= 0 && !(identity(next, &id) && id == stack_[i].id)) {
            close(next);
            next = -1;
        }
        if (next < 0) {
            bool pending = false;
            for (size_t j = i; j < stack_.size(); ++j)
                pending = pending || stack_[j].next < stack_[j].entries.size();
            if (pending)
                report(SearchGap::NotReentered, path_.substr(0, stack_[i].path_end), 0);
            stack_.resize(i);
            path_.resize(stack_.back().path_end);
            return fd;
        }
        leave(fd);
        fd = next;
    }
    return fd;
}

SearchEnd Walk::run(const char* dir, const char* marker)
{
    top_ = dir != nullptr ? open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (top_ < 0) {
        const int err = dir != nullptr ? errno : ENOENT;
        std::puts("can't open dir.");
        // A plain file holds no tree to search.
        if (err != ENOTDIR && visitor_.gap)
            visitor_.gap(SearchGap::NotOpened, dir != nullptr ? dir : "", err);
        return SearchEnd::NoFolder;
    }
    path_ = dir;
    SearchEnd end = SearchEnd::Finished;
    int fd = top_;
    if (!enter(fd, marker))
        stack_.clear();
    while (!stack_.empty()) {
        Frame& here = stack_.back();
        if (here.next == here.entries.size()) {
            stack_.pop_back();
            if (stack_.empty())
                break;
            path_.resize(stack_.back().path_end);
            fd = climb(fd);
            continue;
        }
        const auto& entry = here.entries[here.next++];
        const size_t base = path_.size();
        path_ += '/';
        path_ += entry.first;
        if (!entry.second) {
            const bool more = !visitor_.candidate || visitor_.candidate(fd, entry.first.c_str(), path_);
            path_.resize(base);
            if (!more) {
                end = SearchEnd::Stopped;
                break;
            }
            continue;
        }
        int child = openat(fd, entry.first.c_str(), DIR_FLAGS);
        if (child < 0) {
            report(SearchGap::NotOpened, path_, errno);
            path_.resize(base);
            continue;
        }
        if (!enter(child, marker)) {
            path_.resize(base);
            continue;
        }
        leave(fd);
        fd = child;
    }
    leave(fd);
    close(top_);
    return end;
}

} // namespace

// Depth first without recursion. The way back up goes through "..", checked
// against the identity of the folder listed above; a folder moved away
// meanwhile is found again from the top folder by the names on the way
// down, so what the search still has to take above it is not lost. So
// neither the depth of a tree nor a name that changes leads the search
// outside it.
SearchEnd search_image_tree(const char* dir, const char* marker, const SearchVisitor& visitor)
{
    return Walk(visitor).run(dir, marker != nullptr ? marker : "");
}

void recursion_scan_dir_file(const char* dir, std::vector<std::string>& vecList,
                             const char* FileFix)
{
    SearchVisitor visitor;
    visitor.candidate = [&vecList](int, const char*, const std::string& path) {
        vecList.push_back(path);
        return true;
    };
    search_image_tree(dir, FileFix, visitor);
}
