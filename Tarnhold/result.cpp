#include "Tarnhold/result.h"

#include "common/config_lock.h"

bool WriteResult(CConfigBox& box, int v, const char* configFile, const char* lockDir)
{
    ConfigLock lock(lockDir);
    if (!box.load(configFile))
        return false;
    box.set_property_as_int("Result", v);
    return box.save();
}
