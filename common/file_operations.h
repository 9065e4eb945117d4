#pragma once
// Small wrappers over buffered C file I/O that report every failure through
// the log at level 2 (ERROR).

#include <cstdio>
#include <string>

enum emDESIRED_ACCESS { RE_FILE_APPEND_DATA = 0, RE_FILE_NORMAL_DATA = 1 };

enum emDESIRED_CREATION {
    RE_CREATE_ALWAYS = 0,
    RE_CREATE_NEW = 1,
    RE_OPEN_ALWAYS = 2,
    RE_OPEN_EXISTING = 3,
    RE_TRUNCATE_EXISTING = 4,
    RE_CREATE_NEW_SERVER_RANDOM = 5,
};

// The values are the C seek origins.
enum emPOINTER_MOVEMETHOD { MO_FILE_BEGIN = 0, MO_FILE_CURRENT = 1, MO_FILE_FILE_END = 2 };

// Opens a regular file for reading, as a descriptor (close-on-exec). Anything
// else (a directory, a FIFO, a device, a socket) gives -1 with errno set
// (ENOENT for a missing file, EISDIR for a folder, EINVAL for another kind of
// file), without waiting for a writer at the other end of a FIFO and without
// reading a device that never ends.
int open_regular_fd(const char* file_path);

// Reads from fd until cap bytes are in buf or the end of the file is reached
// (a read interrupted by a signal is repeated). The number of bytes read, or
// -1 with errno set when a read fails: a failed read is never taken for the
// end of the file.
long read_fd_up_to(int fd, char* buf, size_t cap);
// Reads the rest of fd into out (replacing what it held). 0, or the error
// number of the failure (ENOMEM when the text does not fit in memory); out
// is then empty.
int read_fd_whole(int fd, std::string& out);

// Reads at most len bytes of the file into data. Returns the number of bytes
// read (0 for an empty file), or -1 when the file cannot be opened or read
// (also when it is not a regular file).
long read_file_to_buff(const char* file_path, unsigned long len, char* data);

// Unless bIgnoreByteOffset, seeks to nByteOffset from the start, then reads
// (writes) len bytes; nRead (nWrite) is the number transferred. 0 when
// 0 < count <= len, 1 on a seek failure or when nothing was transferred, -1
// for a null stream (or a null buffer with a non-zero len).
int read_Offset_file_to_buff(FILE* fp, long long nByteOffset, unsigned long len, char* data,
                             bool bIgnoreByteOffset, unsigned long& nRead);
int write_Offset_file_to_buff(FILE* fp, long long nByteOffset, unsigned long len,
                              const char* data, bool bIgnoreByteOffset, unsigned long& nWrite);

// Seeks by emMode. 0, 1 on a seek failure, -1 for a null stream.
int set_Offset_file(FILE* fp, long long nByteOffset, emPOINTER_MOVEMETHOD emMode);

// True when file_path exists or mkdir(file_path, mode) succeeds.
bool create_dir(const char* file_path, unsigned int mode);

// Opens a stream by access and creation kind; nRet: 0 opened, 1 combination
// not supported, 2 missing file, 3 open of an existing file failed, 4 creation
// of a temporary file failed.
FILE* open_file(const char* file_path, emDESIRED_ACCESS emDesiredAccess,
                emDESIRED_CREATION emDesiredCreation, bool bTempFile, int& nRet);

// Replaces the file at path with data as one step: the bytes go to a
// temporary file in the same directory, which is flushed to disk and renamed
// over the original. The original's mode is kept (new_mode for a new file);
// a symbolic link is followed so the link stays, also one whose target does
// not exist yet (the target is created); a loop of links or any other path
// that cannot be resolved is refused. On any failure the original
// is left as it was, the temporary file is removed and false is returned.
// The temporary file is named ".NAME.saving-" and six letters or digits
// (NAME the file's own name), a name that no person gives a file. A
// successful save also removes the temporary files of earlier saves of the
// same file that were killed before their rename: regular files of that
// pattern owned by the running user on which no save holds its lock; a save
// in progress in another process keeps its own, and every other name beside
// the file is left alone.
bool replace_file_contents(const char* path, const void* data, size_t len,
                           unsigned int new_mode = 0644);

// The parts of a save's temporary file name around the file's own name.
inline constexpr const char* SAVE_TEMPORARY_PREFIX = ".";
inline constexpr const char* SAVE_TEMPORARY_MARKER = ".saving-";
// True when name (a bare name, no folder) is the pattern of the temporary
// files that saves of the file named file_name make.
bool is_save_temporary_name(const char* name, const char* file_name);
