// Opening of the files that the identity-key layer and the key device read
// (data to sign or verify, the input of an encrypted file, matrix files).
#pragma once

#include <cstdio>

// Opens path for binary reading when it names a regular file (a link to one
// counts). The open never waits: a FIFO or device named as input is refused
// at once, as is a folder. Null when the file cannot be opened or is not a
// regular file.
std::FILE* open_input_file(const char* path);
