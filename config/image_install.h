#pragma once
// Installation of a key device image without a shell: the bytes go into a
// new file in the image folder, owned by the running user (root for the
// tool) with mode 0600, are flushed to disk and renamed over the installed
// name, so the daemon never binds a half-copied image and a link at the
// installed name is replaced, never followed.

#include <string>

// Opens path for reading without waiting (a FIFO without a writer does not
// block) and without becoming its controlling terminal; returns the
// descriptor (close-on-exec) only when it names a regular file (a link to
// one counts), else -1.
int open_regular_image(const char* path);

// Installs the whole content of the regular file open at src_fd (read from
// offset 0, whatever its file offset) as dir/name. dir must be a folder (not
// a link) owned by the running user; write access of its group and others is
// removed first. False when anything fails or dir is not such a folder; the
// installed file is then as it was and no temporary file is left.
bool install_image_fd(int src_fd, const std::string& dir, const std::string& name);

// open_regular_image, then install_image_fd. Installing the installed image
// onto itself leaves it intact.
bool install_image_file(const char* src, const std::string& dir, const std::string& name);

// Copies the whole content of src_fd (from offset 0) to the end of dst_fd.
bool copy_file_fd(int src_fd, int dst_fd);
