// Device binding and frame transport.
#include "cardapi/cosapi.h"

#include "cardapi/vdevdrv.h"

int m_iType = -1;

uint32_t DEV_Open(int type, const char* path)
{
    if (type != DEV_TYPE_VIRTUAL) return ST_DEVICE_TYPE;
    uint32_t st = VDEV_SetDataFile(path);
    if (st != ST_OK) return st;
    st = ConnectVDev(path);
    if (st == ST_OK) m_iType = type;
    return st;
}

uint32_t DEV_Close()
{
    if (m_iType == -1) return ST_NO_DEVICE;
    if (m_iType != DEV_TYPE_VIRTUAL) return ST_DEVICE_TYPE;
    uint32_t st = DisconnectVDev();
    if (st == ST_OK) m_iType = -1;
    return st;
}

uint32_t COS_Transfer(_apdu_frame_* frame)
{
    if (m_iType == -1) return ST_NO_DEVICE;
    if (m_iType != DEV_TYPE_VIRTUAL) return ST_DEVICE_TYPE;
    return VDev_Transfer(frame);
}
