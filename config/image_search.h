#pragma once
// The two routines of the configuration tool that touch the operating system.

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

// Runs cmd_line through /bin/sh with the default SIGCHLD disposition (so the
// shell's status can be collected) and puts the caller's disposition back.
// Returns the status of system(), -1 for a null command.
int pox_system(const char* cmd_line);

// A part of a tree that a search could not search.
enum class SearchGap {
    NotOpened,    // a folder it met could not be opened (errno tells why)
    NotListed,    // reading a folder's entries failed (errno tells why);
                  // the entries read before the failure are searched
    NotReentered, // a folder it had left could no longer be reached from the
                  // top folder as the folder it listed (it was moved or
                  // replaced meanwhile): its entries still to come are not
                  // searched
};

// What a search does with what it meets. Unset members are passed over.
struct SearchVisitor {
    // Each non-directory entry whose name contains the marker, when it is
    // met: its name in the folder open at dir_fd (open during the call
    // only) and its path (for messages; it may be longer than PATH_MAX).
    // False ends the search.
    std::function<bool(int dir_fd, const char* name, const std::string& path)> candidate;
    // Each part of the tree not searched: what, its path, and errno (0 for
    // NotReentered).
    std::function<void(SearchGap gap, const std::string& path, int err)> gap;
    // A folder is not entered when this returns true for its status.
    std::function<bool(const struct stat& st)> skip;
};

enum class SearchEnd {
    Finished, // the whole tree was walked (gaps, if any, were reported)
    Stopped,  // candidate returned false
    NoFolder, // dir could not be opened as a folder
};

// Walks the tree below dir depth first, in directory order, each
// sub-folder searched where it is met, and hands visitor every entry that
// is not a folder and whose name contains marker. Folders are opened
// relative to the folder that lists them, without following links, so
// neither the depth of the tree nor the length of its paths limits the
// search, and a folder swapped for a link is not entered; the search holds
// two folders open (the top one and the current one) and keeps one path for
// the whole walk. A folder moved away while it is searched is searched to
// its end, then the search goes on with the rest of the tree. Every folder
// that cannot be opened, listed or reached again prints "can't open dir."
// and is handed to visitor.gap, except a dir that is not a folder at all
// (there is no tree to search). The working directory is not changed.
SearchEnd search_image_tree(const char* dir, const char* marker, const SearchVisitor& visitor);

// Appends to vecList the path ("dir/name", joined with "/") of every
// candidate search_image_tree meets below dir with the marker FileFix
// ("" when null), in its order. A directory that cannot be opened prints
// "can't open dir." and adds nothing.
void recursion_scan_dir_file(const char* dir, std::vector<std::string>& vecList,
                             const char* FileFix);

// Test programs only (defined in their seam library, absent from the
// installed programs): called with each folder the search has listed and
// entered, before it takes the folder's entries (so a test can change the
// tree at a point of the search it chooses). Null: none.
using search_observer = void (*)(void* ctx, const std::string& path);
void ImageSearch_SetObserver(search_observer fn, void* ctx);
