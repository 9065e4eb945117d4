#pragma once
// Recording of "Result" in config.ini.

#include "common/ConfigBox.h"

// Reloads the file into box, sets "Result" = v and saves it, all under the
// configuration lock of lockDir, so that what the tool wrote meanwhile
// survives and the tool's own load...save cannot interleave. A file that cannot be loaded
// is not created. A lock that cannot be taken (common/config_lock.h) leaves
// the file untouched and is logged at level 2 while the log is in use.
// True when saved.
bool WriteResult(CConfigBox& box, int v, const char* configFile, const char* lockDir);
