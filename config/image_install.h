#pragma once
// Installation of a key device image without a shell: the bytes go into a
// new file in the image folder, owned by the running user (root for the
// tool) with mode 0600, are flushed to disk and renamed over the installed
// name, so the daemon never binds a half-copied image and a link at the
// installed name is replaced, never followed.

#include "keydev/kmxdev.h"

#include <sys/types.h>

#include <string>

// Sizes of a file taken as a key device image (import, update and every
// candidate of path): at least the smallest image the card binds, at most
// 16 MiB. An image is some 64 KiB; anyone may leave a far bigger file, or
// one that keeps growing, under a name that path or an operator picks up.
constexpr off_t IMAGE_MIN_SIZE = KEY_IMAGE_MIN_SIZE;
constexpr off_t IMAGE_MAX_SIZE = 16 * 1024 * 1024;

// Opens path once for reading, without following a link at path, without
// waiting (a FIFO without a writer does not block) and without becoming its
// controlling terminal; returns the descriptor (close-on-exec) only when
// what it opened is a regular file whose size lies within the image sizes,
// and its size in *size; else -1, with errno 0 for anything that is not such
// a file (a link at path included: its target is never opened), or the errno
// of the status or open that failed. A device or FIFO named directly is not
// opened at all. A pseudo-file that reports size 0 is never read.
int open_regular_image(const char* path, off_t* size);
// The same for path relative to the folder open at dir_fd (AT_FDCWD: the
// working directory).
int open_regular_image_at(int dir_fd, const char* path, off_t* size);

enum class CopyResult {
    Ok,
    SourceRefused, // the source no longer holds the size it had
    ReadFailed,    // a read of the source failed; errno tells why
    WriteFailed,   // the destination took not every byte; errno tells why
};

// Copies the first size bytes of src_fd (from offset 0, whatever its file
// offset) to the end of dst_fd, reading no further. A source that ends
// early, or is larger than size once the bytes are copied, is refused.
CopyResult copy_file_fd(int src_fd, off_t size, int dst_fd);

// Installs the size bytes of the regular file open at src_fd (as
// copy_file_fd reads them) as dir/name. dir must be a folder (not a link)
// owned by the running user; write access of its group and others is
// removed first. False when anything fails or dir is not such a folder; the
// installed file is then as it was and no temporary file is left.
bool install_image_fd(int src_fd, off_t size, const std::string& dir, const std::string& name);

// open_regular_image, then install_image_fd. Installing the installed image
// onto itself leaves it intact.
bool install_image_file(const char* src, const std::string& dir, const std::string& name);
