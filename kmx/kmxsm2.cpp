// SM2 encryption to an identity, packed into the 250-byte SM2 block.
#include "kmx/kmxsoft.h"

#include <cstring>

#include "smcrypto/sm2.h"

namespace {

constexpr int kBlockSize = 250;
constexpr int kMaxMessage = kBlockSize - 1 - 97;   // 152 bytes fill the block
constexpr int kSm2Serial = 5;

int sm2_to_identity(const char* path, const unsigned char* memory, long memLen,
                    const unsigned char* id, int idLen, const unsigned char* data, int dataLen,
                    unsigned char* out, int* outLen)
{
    if (*outLen < kBlockSize) {
        *outLen = kBlockSize;
        return ST_BUFFER_TOO_SMALL;
    }
    if (dataLen > kMaxMessage)
        return ST_SM2_TOO_LONG;
    if (dataLen <= 0)
        return ST_BAD_ARGUMENT;
    unsigned char key[65];
    int keyLen = sizeof key;
    int serial = -1;
    int st = KMX_Matrix_Pubkey(path, memory, memLen, id, idLen, key, &keyLen, &serial);
    if (st)
        return st;
    if (serial != kSm2Serial || keyLen != 65)
        return ST_UNKNOWN_CURVE;
    unsigned char work[256] = {0};
    int workLen = sizeof work;
    st = SM2_Encrypt(key + 1, data, static_cast<uint32_t>(dataLen), work, &workLen);
    if (st != SM2_OK)
        return st;
    if (workLen != dataLen + 97 || workLen > kBlockSize - 1)
        return SM2_ERR_ROOM;
    out[0] = static_cast<unsigned char>(workLen);
    std::memcpy(out + 1, work, workLen);
    *outLen = kBlockSize;
    return ST_OK;
}

} // namespace

int KMX_SM2Encrypt(const char* matrixPath, const unsigned char* id, int idLen,
                   const unsigned char* data, int dataLen, unsigned char* out, int* outLen)
{
    if (!matrixPath || !id || !data || !out || !outLen)
        return ST_BAD_ARGUMENT;
    return sm2_to_identity(matrixPath, nullptr, -1, id, idLen, data, dataLen, out, outLen);
}

int KMX_SM2Encrypt_S(const unsigned char* matrix, int matrixLen, const unsigned char* id,
                     int idLen, const unsigned char* data, int dataLen, unsigned char* out,
                     int* outLen)
{
    if (!matrix || matrixLen < 4096 || !id || !data || !out || !outLen)
        return ST_BAD_ARGUMENT;
    return sm2_to_identity(nullptr, matrix, matrixLen, id, idLen, data, dataLen, out, outLen);
}
