#include "smcrypto/xor.h"

#include "smcrypto/secret_bytes.h"
#include "smcrypto/sm3.h"

void Key_XOR(const unsigned char* data, int len, const unsigned char* key, int keylen,
             unsigned char* out)
{
    if (len <= 0)
        return;
    // The digest of the transport key is the mask itself: XORed with the
    // masked scalar it gives the private key.
    secret_array<32> mask;
    SM3(key, keylen, mask.data());
    int n = len < 32 ? len : 32;
    for (int i = 0; i < n; ++i)
        out[i] = data[i] ^ mask[i];
}
