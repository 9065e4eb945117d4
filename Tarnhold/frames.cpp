#include "Tarnhold/frames.h"

#include <cstdio>
#include <cstring>

void SetMsgHead(unsigned char* frame, int len, const unsigned char* macdes, const unsigned char* macres)
{
    msg::put_head(frame, static_cast<size_t>(static_cast<unsigned>(len)), macdes, macres);
}

void SetHostNameField(const char* name, unsigned char* field)
{
    std::memset(field, 0, msg::HOSTNAME_LEN);
    size_t n = strnlen(name, msg::HOSTNAME_LEN);
    std::memcpy(field, name, n);
}

bool SetMsgContentSM2(bool bSuccess, unsigned char* frame, const unsigned char* hostField,
                      const std::string& des)
{
    frame[msg::RESP_MSG_TYPE] = response_sm2;
    frame[msg::RESP_MSG_LEN] = static_cast<unsigned char>(msg::PLAIN_LEN);
    if (!bSuccess)
        std::memset(frame + msg::RESP_MSG_DATA, 0xFF, msg::PLAIN_LEN);
    frame[msg::RESP_ID_TYPE] = response_id;
    frame[msg::RESP_ID_LEN] = static_cast<unsigned char>(msg::HOSTNAME_LEN);
    std::memcpy(frame + msg::RESP_ID_DATA, hostField, msg::HOSTNAME_LEN);
    frame[msg::RESP_DES_TYPE] = response_des;
    frame[msg::RESP_DES_LEN] = static_cast<unsigned char>(des.size() & 0xFF);
    if (!des.empty())
        std::memcpy(frame + msg::RESP_DES_DATA, des.data(), des.size());
    frame[msg::RESP_DES_DATA + des.size()] = 0;
    return true;
}

bool SetMsgContentMAC(const std::vector<std::string>& macs, const char* cid, const std::string& des,
                      unsigned char* packet)
{
    if (cid[0] == 0 || des.empty() || des.size() > msg::MAX_DES_FOR_MAC)
        return false;
    const size_t n = macs.size();
    packet[msg::TLV_TYPE] = response_mac;
    packet[msg::TLV_LEN] = msg::mac_record_len(n);
    unsigned char* p = packet + msg::TLV_DATA;
    for (const std::string& m : macs) {
        GetMacByString(m, p);
        p += msg::MAC_LEN;
    }
    std::memcpy(p, cid, msg::CID_SIZE);
    p += msg::CID_SIZE;
    p[msg::TLV_TYPE] = response_des;
    p[msg::TLV_LEN] = static_cast<unsigned char>(des.size());
    std::memcpy(p + msg::TLV_DATA, des.data(), des.size());
    return true;
}

int IsMsgMacCorrect(const unsigned char* frame, size_t received)
{
    if (received < msg::REQUEST_SIZE)
        return -1;
    const size_t m = frame[msg::REQ_LEN];
    if (m > received - msg::REQ_DATA)
        return -1;
    const unsigned char* d = frame + msg::REQ_DATA;
    bool allZero = true;
    for (size_t i = 0; i < m && allZero; ++i)
        allZero = d[i] == 0x00;
    if (allZero)
        return 0;
    for (size_t i = 0; i < m; ++i)
        if (d[i] != 0xFF)
            return -1;
    return 1;
}

void GetMacByString(const std::string& strMac, unsigned char* mac)
{
    if (strMac.size() != 12)
        return;
    for (int j = 0; j < 6; ++j) {
        unsigned int v = 0;
        std::sscanf(strMac.c_str() + 2 * j, "%02X", &v);
        mac[j] = static_cast<unsigned char>(v & 0xFF);
    }
}
