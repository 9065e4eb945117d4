// The card's own SHA-1 (20-byte digest, H0..H4 written big-endian): a one-shot
// function and a streaming interface over a caller-owned plain state.
#pragma once

#include <cstdint>

// Streaming state. Messages must be shorter than 2^29 bytes in total (the bit
// length is kept in 32 bits).
struct _embed_sha1_state {
    uint32_t H0, H1, H2, H3, H4;   // chaining words
    uint32_t A, B, C, D, E;        // working variables of the compression
    uint32_t f, K, temp;           // round function value, round constant, new A
    uint8_t bitlen[8];             // message length in bits, big-endian (final step)
    uint32_t blockpos;             // message offset of the next block to compress
    uint32_t aligned;              // total rounded down to a multiple of 4 (final step)
    uint32_t lenpos;               // padded length - 8 (final step)
    uint32_t padded;               // padded length (final step)
    uint32_t bufbase;              // message offset of the buffer's first byte
    uint8_t tail[4];               // last total%4 bytes, 0x80, zeros (final step)
    uint8_t buffer[64];
    uint32_t buffered;             // bytes waiting in buffer (0..63 between calls)
    uint32_t total;                // bytes fed since ESHA1_Init
};

// One-shot digest of length bytes. Returns 0. Not reentrant (uses the
// module-wide message schedule).
int ESHA1(const uint8_t* data, uint32_t length, uint8_t out[20]);
void ESHA1_Init(_embed_sha1_state* st);
// Returns 1 for a piece of 0 bytes (nothing else happens), else 0.
int ESHA1_Update(_embed_sha1_state* st, const uint8_t* data, uint32_t length);
// Works on its own copy of the state: the caller's state is unchanged, a second
// call gives the same digest and more data may still be fed. Returns 0.
int ESHA1_Final(_embed_sha1_state st, uint8_t out[20]);
