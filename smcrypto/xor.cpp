#include "smcrypto/xor.h"

#include "smcrypto/sm3.h"

void Key_XOR(const unsigned char* data, int len, const unsigned char* key, int keylen,
             unsigned char* out)
{
    if (len <= 0)
        return;
    unsigned char mask[32];
    SM3(key, keylen, mask);
    int n = len < 32 ? len : 32;
    for (int i = 0; i < n; ++i)
        out[i] = data[i] ^ mask[i];
}
