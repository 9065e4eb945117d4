#include "vcard/esha.h"

#include <cstring>

#include <openssl/crypto.h>

namespace {

// Message schedule of the one-shot function.
uint32_t words[80];

uint32_t LeftRol(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

// A word read from message memory, taken as big-endian.
uint32_t FromBigEndian(const uint8_t* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

void int2char(uint32_t v, uint8_t* p)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// A 32-bit bit count as an 8-byte big-endian field (upper four bytes zero).
void WriteBigEndian64(uint32_t bits, uint8_t out[8])
{
    std::memset(out, 0, 4);
    int2char(bits, out + 4);
}

// One block: W[0..15] hold the message words; W is extended in place.
void Compress(_embed_sha1_state* st, uint32_t W[80])
{
    for (int j = 16; j < 80; ++j)
        W[j] = LeftRol(W[j - 3] ^ W[j - 8] ^ W[j - 14] ^ W[j - 16], 1);
    st->A = st->H0;
    st->B = st->H1;
    st->C = st->H2;
    st->D = st->H3;
    st->E = st->H4;
    for (int j = 0; j < 80; ++j) {
        if (j < 20) {
            st->f = (st->B & st->C) | (~st->B & st->D);
            st->K = 0x5A827999;
        } else if (j < 40) {
            st->f = st->B ^ st->C ^ st->D;
            st->K = 0x6ED9EBA1;
        } else if (j < 60) {
            st->f = (st->B & st->C) | (st->B & st->D) | (st->C & st->D);
            st->K = 0x8F1BBCDC;
        } else {
            st->f = st->B ^ st->C ^ st->D;
            st->K = 0xCA62C1D6;
        }
        st->temp = LeftRol(st->A, 5) + st->f + st->E + st->K + W[j];
        st->E = st->D;
        st->D = st->C;
        st->C = LeftRol(st->B, 30);
        st->B = st->A;
        st->A = st->temp;
    }
    st->H0 += st->A;
    st->H1 += st->B;
    st->H2 += st->C;
    st->H3 += st->D;
    st->H4 += st->E;
}

void SetInitial(_embed_sha1_state* st)
{
    st->H0 = 0x67452301;
    st->H1 = 0xEFCDAB89;
    st->H2 = 0x98BADCFE;
    st->H3 = 0x10325476;
    st->H4 = 0xC3D2E1F0;
}

// Padding without a padded copy: the blocks from st->blockpos up to the
// padded length, built word by word. msg holds the message bytes from offset
// base up to the aligned length.
void FinishBlocks(_embed_sha1_state* st, const uint8_t* msg, uint32_t base, uint32_t W[80])
{
    const uint32_t L = st->total;
    const uint32_t rem = (L + 1) % 64;
    st->padded = (L + 1) - rem + (rem <= 56 ? 64 : 128);
    st->lenpos = st->padded - 8;
    WriteBigEndian64(L * 8, st->bitlen);
    st->aligned = L & ~3u;
    std::memset(st->tail, 0, 4);
    if (L & 3)
        std::memcpy(st->tail, msg + (st->aligned - base), L & 3);
    st->tail[L & 3] = 0x80;

    while (st->blockpos < st->padded) {
        for (uint32_t j = 0; j < 16; ++j) {
            uint32_t p = st->blockpos + 4 * j;
            if (p < st->aligned)
                W[j] = FromBigEndian(msg + (p - base));
            else if (p == st->aligned)
                W[j] = FromBigEndian(st->tail);
            else if (p == st->lenpos)
                W[j] = FromBigEndian(st->bitlen);
            else if (p == st->lenpos + 4)
                W[j] = FromBigEndian(st->bitlen + 4);
            else
                W[j] = 0;
        }
        Compress(st, W);
        st->blockpos += 64;
    }
}

void Digest(const _embed_sha1_state& st, uint8_t out[20])
{
    int2char(st.H0, out);
    int2char(st.H1, out + 4);
    int2char(st.H2, out + 8);
    int2char(st.H3, out + 12);
    int2char(st.H4, out + 16);
}

}  // namespace

int ESHA1(const uint8_t* data, uint32_t length, uint8_t out[20])
{
    _embed_sha1_state st;
    ESHA1_Init(&st);
    st.total = length;
    FinishBlocks(&st, data, 0, words);
    Digest(st, out);
    // The schedule and the state hold the message (PINs, the inner secret).
    OPENSSL_cleanse(words, sizeof words);
    OPENSSL_cleanse(&st, sizeof st);
    return 0;
}

void ESHA1_Init(_embed_sha1_state* st)
{
    std::memset(st, 0, sizeof *st);
    SetInitial(st);
}

int ESHA1_Update(_embed_sha1_state* st, const uint8_t* data, uint32_t length)
{
    st->total += length;
    if (length == 0)
        return 1;
    uint32_t W[80];
    if (st->buffered + length <= 63) {
        std::memcpy(st->buffer + st->buffered, data, length);
        st->buffered += length;
        return 0;
    }
    uint32_t take = 64 - st->buffered;
    std::memcpy(st->buffer + st->buffered, data, take);
    data += take;
    length -= take;
    for (;;) {
        for (int j = 0; j < 16; ++j)
            W[j] = FromBigEndian(st->buffer + 4 * j);
        Compress(st, W);
        st->blockpos += 64;
        st->bufbase += 64;
        if (length < 64)
            break;
        std::memcpy(st->buffer, data, 64);
        data += 64;
        length -= 64;
    }
    OPENSSL_cleanse(st->buffer, sizeof st->buffer);
    OPENSSL_cleanse(W, sizeof W);
    if (length)
        std::memcpy(st->buffer, data, length);
    st->buffered = length;
    return 0;
}

int ESHA1_Final(_embed_sha1_state st, uint8_t out[20])
{
    uint32_t W[80];
    FinishBlocks(&st, st.buffer, st.bufbase, W);
    Digest(st, out);
    OPENSSL_cleanse(W, sizeof W);
    OPENSSL_cleanse(&st, sizeof st);
    return 0;
}
