#include "Tarnhold/result.h"

#include "Tarnhold/startup.h"
#include "common/config_lock.h"
#include "common/log.h"

#include <cstdio>
#include <cstring>

bool WriteResult(CConfigBox& box, int v, const char* configFile, const char* lockDir)
{
    ConfigLock lock(lockDir);
    if (!lock.locked()) {
        // A save without the lock could undo an "info" that the tool saves meanwhile.
        if (g_bLoadLog) {
            char line[LOG_MAX_LINE];
            std::snprintf(line, sizeof line, "[%s %s %d] Can't lock %s err:%d, %s.\n", LOG_SOURCE_FILE,
                          __func__, __LINE__, lock.path().c_str(), lock.error(), std::strerror(lock.error()));
            log_string(LOG_ERROR, line);
        }
        return false;
    }
    if (!box.load(configFile))
        return false;
    box.set_property_as_int("Result", v);
    return box.save();
}
