// Entry points of the software card: binding to a flash image and the
// one-command-in, one-reply-out exchange.
#pragma once

#include <cstdint>

// Size of the card's command work area: a longer command is refused.
constexpr uint32_t DAZI_CMD_MAX = 262;
// Size the caller's reply area must have: up to 255 data bytes plus SW1 SW2
// (258 bytes; 256 would not hold a 255-byte reply and its status word).
constexpr uint32_t DAZI_REPLY_MAX = 258;

// Binds the card to the key device image at path. The path must name an
// existing regular file (not a symbolic link) of at least 65536 bytes that
// opens for reading; otherwise 11006 and nothing changes. The file is held
// open until another is bound. Binding another file (another path, or
// another file under the bound path) resets the volatile state
// (InitCosSys); binding the bound file again keeps it, unless the image's
// last initialisation failed (then it runs again, repeating a first start
// that could not finish). 0; 11006 also when the initialisation finds no
// device status it can read or make (a failed read, a failed first start, an
// image that is not a card): the card then refuses every instruction but the
// reset until a binding succeeds.
int32_t SetVEFlashFile(const char* path);

// Creates or truncates the image at path, binds it, formats its file system
// and initialises a blank card (device status and default PINs).
// Returns 0, or 11006 when the file cannot be created or initialised.
int32_t CreateVEFlashFile(const char* path);

// One command APDU in (cmd, len), reply data followed by SW1 SW2 out into
// reply, which must hold DAZI_REPLY_MAX bytes; *replyLen receives the number
// of reply bytes (data + 2). Returns SW_WRONG_DATA without touching anything when
// len is 0 or above DAZI_CMD_MAX (or a pointer is null), 0 otherwise; the
// command's own status travels in the reply only.
int32_t DAZI_IO(const uint8_t* cmd, uint32_t len, uint8_t* reply, uint32_t* replyLen);

// The parser and dispatcher behind DAZI_IO. cmd must point into a work area of
// DAZI_CMD_MAX bytes (secure messaging rewrites it in place).
void proc_cmd(uint8_t* cmd, uint32_t len, uint8_t* reply, uint32_t* replyLen);

// DAZI_IO's work area: the command is copied here, run in place, and the
// area is cleansed before DAZI_IO returns.
extern uint8_t sWork[DAZI_CMD_MAX];

// Resets the volatile state and reloads the device status from card file 0,
// creating it and the default PINs on a blank card. Returns 0 or a status word.
uint16_t InitCosSys();
