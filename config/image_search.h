#pragma once
// The two routines of the configuration tool that touch the operating system.

#include <string>
#include <vector>

// Runs cmd_line through /bin/sh with the default SIGCHLD disposition (so the
// shell's status can be collected) and puts the caller's disposition back.
// Returns the status of system(), -1 for a null command.
int pox_system(const char* cmd_line);

// Appends to vecList the path ("dir/name", joined with "/") of every
// non-directory entry below dir, at any depth, whose name contains FileFix,
// in directory order, each subdirectory searched where it is met. Symbolic
// links are listed by name and never followed, also when a folder is
// swapped for one during the search. A directory that cannot be opened
// prints "can't open dir." and adds nothing. The working directory is not
// changed.
void recursion_scan_dir_file(const char* dir, std::vector<std::string>& vecList,
                             const char* FileFix);
