#pragma once
// The host's machine identifier (CID): 39 raw bytes kept in the process-wide
// buffer g_szCID and stored in Key.dat (no header, no line end). The buffer
// holds an identifier exactly when its first byte is non-zero.

#include "common/paths.h"

#include <string>

inline constexpr int CID_LEN = 39;

extern char g_szCID[CID_LEN];

// Reads up to 39 bytes of the file into g_szCID from its first byte; a
// shorter file replaces only its own length, a missing or unreadable file,
// or one that is not a regular file (a directory, FIFO or device), nothing.
void ReadCID(const char* path = MAVO_KEY_DAT_FILE);
// ReadCID with its outcome: 0 when the file was read, ENOENT when there is
// no such file, otherwise the error number of the failure to open or read
// it (EISDIR for a folder, EINVAL for another kind of file that is not a
// regular one, EIO, EMFILE, ...). Only after 0 or ENOENT does a zero first
// byte of g_szCID mean that the host has no identifier; after any other
// failure the identifier is unknown, and Key.dat must not be replaced.
int ReadCIDStatus(const char* path = MAVO_KEY_DAT_FILE);

// Writes the 39 bytes of g_szCID to the file when its first byte is non-zero,
// replacing the file as one step (a failure leaves the old file). True when
// written.
bool SaveCID(const char* path = MAVO_KEY_DAT_FILE);

// Each of the first len bytes as two upper-case hexadecimal digits; "" for a
// len of 0 or less.
std::string getHex(const unsigned char* data, int len);

// Splits the path of the running program. processdir, processpath and
// processname each hold len bytes. processdir gets the directory with its
// final "/", processpath the same, processname the file name; all three
// zero-terminated. Returns the length of the directory part, or -1 when the
// link cannot be read, does not fit or holds no "/".
int GetCurrentExcutableFilePathName(char* processdir, char* processpath, char* processname,
                                    unsigned long len);
