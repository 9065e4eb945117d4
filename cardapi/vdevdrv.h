// Virtual device driver: carries card command frames to the software card,
// which it reaches through SetVEFlashFile and DAZI_IO only.
#pragma once

#include <cstdint>

struct _apdu_frame_;

// 1 while a data file is bound, 0 otherwise.
extern int g_vDev;

// Size of the serialised command handed to the card, and of the reply area
// (255 data bytes plus SW1 SW2 fit).
constexpr unsigned VDEV_CMD_MAX = 256;
constexpr unsigned VDEV_REPLY_MAX = 258;

// Binds the card to its data file (null: "dazi.vkd"). 11006 when the path is
// 256 characters or longer or the file does not open for reading; nothing
// changes then.
uint32_t VDEV_SetDataFile(const char* path);
// 0 when a file is bound or the file opens for reading, else 11006; binds
// nothing.
uint32_t ConnectVDev(const char* path);
// 2003 when nothing is bound; otherwise unbinds (the card keeps its state).
uint32_t DisconnectVDev();
// One exchange: serialises the frame, hands it to the card and puts the
// answer back into the frame. 2003 when unbound, 11001 for a frame whose
// serialised form exceeds 256 bytes (the frame is left as it was filled).
// A reply outside 2..257 bytes gives 1011 and a failing card call its own
// code; the frame then holds an empty answer (Le 0, data zero).
uint32_t VDev_Transfer(_apdu_frame_* frame);

// Test programs only (defined in their seam library, absent from the installed
// programs): an observer of the exchanges and a stand-in for the card.
//
// Observer of the exchanges: called with each
// serialised command and the card's reply (data then SW1 SW2). Null: none.
using vdev_observer = void (*)(void* ctx, const uint8_t* cmd, unsigned cmdLen, const uint8_t* reply,
                               unsigned replyLen);
void VDev_SetObserver(vdev_observer fn, void* ctx);

// Stand-in for the software card: called in place of DAZI_IO with
// the serialised command and a reply area of VDEV_REPLY_MAX bytes, which it
// must not write past; what it claims in *replyLen is checked like a card's
// answer. Null: the software card.
using vdev_card = int32_t (*)(void* ctx, const uint8_t* cmd, uint32_t cmdLen, uint8_t* reply,
                              uint32_t* replyLen);
void VDev_SetCard(vdev_card fn, void* ctx);

// Observer of what an exchange leaves behind: called as each exchange ends
// with the driver's whole command area (VDEV_CMD_MAX bytes) and reply area
// (VDEV_REPLY_MAX bytes) as they are about to be given up. Null: none.
void VDev_SetLeftoverObserver(vdev_observer fn, void* ctx);

// Serialises a frame into cmd (room for VDEV_CMD_MAX bytes); returns its
// length, or 0 when it does not fit.
unsigned VDev_Serialise(const _apdu_frame_* frame, uint8_t* cmd);
