// The card's volatile state: everything that lives in the process only and
// never reaches the flash image. InitCosSys (dazi.h) resets it.
#pragma once

#include <cstdint>

#include "smcrypto/sm3.h"
#include "vcard/acos.h"     // _dev_info_, _len_buf_
#include "vcard/esha.h"     // _embed_sha1_state
#include "vcard/filesys.h"  // _file_info_

// The parsed command. Cleared before each command of more than 3 bytes.
struct _cmd_frame_ {
    uint8_t CLA;
    uint8_t INS;
    uint8_t P1;
    uint8_t P2;
    uint8_t Lc;
    uint8_t Le;        // on return from a handler: number of reply bytes
    uint8_t* data;     // first data byte in the work copy; null for cases 0, 2
    uint8_t* reply;    // caller's reply area (DAZI_REPLY_MAX bytes)
};

// Hash stream states of sSha1Status / sSM3Status.
enum : uint8_t {
    HASH_IDLE = 0,
    HASH_STARTED = 1,
    HASH_UPDATING = 2,
};

constexpr uint8_t NO_CURRENT_FILE = 0xFF;   // sfi.file id when none is current

extern _cmd_frame_ sIFP;             // command being processed
extern _dev_info_ sDevInfo;          // copy of card file 0
extern _file_info_ sfi;              // current file entry
extern _embed_sha1_state sSha1Ctx;   // running SHA-1 of the hash instruction
extern uint8_t sSha1Status;
extern _sm3_ctx_ sSM3Ctx;            // running SM3 of the hash instruction
extern uint8_t sSM3Status;
extern uint32_t sCurDate;            // yyyymmdd last sent with a PIN verification
extern _len_buf_ sRand;              // last challenge (length 0: none)
extern _len_buf_ sInnerKey;          // inner key (length 16 once loaded)
extern _len_buf_ sUsrPin;            // user PIN as last verified or set
extern _len_buf_ sSessonKey;         // session key (length 16 once set)
extern uint16_t sSecStatus;          // security status bits

// Current-file bookkeeping shared by the handlers.
// Makes no file current.
void ClearCurrentFile();
// Deletes a card file; when it was the current file, no file is current
// afterwards. Returns the file system's status (0 on success).
uint16_t DeleteCardFile(uint8_t fid);

// Little-endian u32 of the 4 bytes at p (dates and lengths in commands and
// in the image).
uint32_t GetLE32(const uint8_t* p);
void PutLE32(uint8_t* p, uint32_t v);
