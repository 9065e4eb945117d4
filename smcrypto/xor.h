// Key masking: out[i] = data[i] ^ SM3(key)[i] for i < min(len, 32).
#pragma once

void Key_XOR(const unsigned char* data, int len, const unsigned char* key, int keylen,
             unsigned char* out);
