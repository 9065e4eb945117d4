#include "config/image_search.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

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

// ancestors: the directories being searched above this one, so a directory
// that contains itself (a bind mount) is not searched for ever.
void scan_dir(const std::string& dir, std::vector<std::string>& vecList, const char* FileFix,
              std::vector<DirId>& ancestors)
{
    DIR* dp = opendir(dir.c_str());
    if (dp == nullptr) {
        std::puts("can't open dir.");
        return;
    }
    struct stat self;
    if (fstat(dirfd(dp), &self) == 0) {
        DirId id{self.st_dev, self.st_ino};
        for (const DirId& a : ancestors)
            if (a == id) {
                closedir(dp);
                return;
            }
        ancestors.push_back(id);
    } else {
        ancestors.push_back(DirId{0, 0});
    }

    // The entries are taken in directory order and the folder is closed
    // before any subfolder is opened, so the depth of a tree is not bounded
    // by the number of open files.
    std::vector<std::pair<std::string, bool>> entries; // name, is a folder
    while (struct dirent* entry = readdir(dp)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        std::string path = dir + "/" + entry->d_name;
        struct stat st;
        // An entry whose status cannot be read is taken as a non-directory.
        bool is_dir = lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        if (is_dir || std::strstr(entry->d_name, FileFix) != nullptr)
            entries.emplace_back(std::move(path), is_dir);
    }
    closedir(dp);

    for (const auto& e : entries) {
        if (e.second)
            scan_dir(e.first, vecList, FileFix, ancestors);
        else
            vecList.push_back(e.first);
    }
    ancestors.pop_back();
}

} // namespace

void recursion_scan_dir_file(const char* dir, std::vector<std::string>& vecList,
                             const char* FileFix)
{
    if (dir == nullptr) {
        std::puts("can't open dir.");
        return;
    }
    std::vector<DirId> ancestors;
    scan_dir(dir, vecList, FileFix != nullptr ? FileFix : "", ancestors);
}
