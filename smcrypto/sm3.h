// SM3 hash (32-byte digest), one-shot and streaming.
#pragma once

#include <cstdint>

// Streaming context: plain data, no pointers; copying it copies the running
// hash. `processed_hi` extends the byte count past 4 GiB so the bit length
// stays right for any input.
struct _sm3_ctx_ {
    uint32_t state[8];       // chaining words, host order
    uint32_t processed;      // bytes already compressed (multiple of 64), low 32 bits
    uint32_t buffered;       // bytes waiting in buf (0..63)
    unsigned char buf[64];
    uint32_t processed_hi;   // high 32 bits of the compressed byte count
};

void SM3(const unsigned char* in, int len, unsigned char out[32]);
void SM3_Init(_sm3_ctx_* ctx);
// A context whose buffered count is above 63 (one that SM3_Init never filled,
// or one the caller overwrote) is refused: SM3_Update leaves it unchanged and
// SM3_Final writes 32 zero bytes, no digest of anything.
void SM3_Update(_sm3_ctx_* ctx, const unsigned char* data, uint32_t len);
// Works on its own copy: the caller's context is left as it was.
void SM3_Final(_sm3_ctx_ ctx, unsigned char out[32]);
