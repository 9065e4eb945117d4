#pragma once
// Builders of the host's reply frames and the small readers of the switch's
// requests. Every builder writes into a zero-filled buffer that the caller
// allocated with the size given in msg.h (sm2_reply_size, mac_reply_size).

#include "Tarnhold/msg.h"

#include <string>
#include <sys/types.h>
#include <vector>

// Header of a reply: macdes and macres are 6 bytes each; len the whole frame
// length (its low 16 bits are sent).
void SetMsgHead(unsigned char* frame, int len, const unsigned char* macdes, const unsigned char* macres);

// The 60-byte host-name field: the name, its terminator and zero bytes; a
// name of 60 bytes or more fills the field without terminator.
void SetHostNameField(const char* name, unsigned char* field);

// The three records of the SM2 reply into frame (sm2_reply_size(des.size())
// bytes, zero-filled, header set). The plaintext field (bytes 26..153) is the
// caller's when bSuccess; otherwise it is filled with 0xFF. hostField is the
// 60-byte host-name field. Always true.
bool SetMsgContentSM2(bool bSuccess, unsigned char* frame, const unsigned char* hostField,
                      const std::string& des);

// The MAC and description records of the identity reply from byte 24 of
// packet (mac_reply_size(macs.size(), des.size()) bytes in all). False, and
// nothing written, without a CID (first byte 0), with an empty description
// or with one longer than 128 bytes.
bool SetMsgContentMAC(const std::vector<std::string>& macs, const char* cid, const std::string& des,
                      unsigned char* packet);

// Classifies an error report of `received` bytes: 0 when each of its data
// bytes is 0x00 (also for none), 1 when each is 0xFF, otherwise -1. A report
// whose record length runs past the bytes received is -1.
int IsMsgMacCorrect(const unsigned char* frame, size_t received);

// A 12-digit hexadecimal MAC text into 6 bytes; any other length leaves mac
// untouched.
void GetMacByString(const std::string& strMac, unsigned char* mac);
