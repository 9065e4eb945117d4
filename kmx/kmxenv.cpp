// Digital envelopes made in software: one random k, the envelope key from
// k*G and one envelope value k*Q || CRC(k*G) per recipient.
#include "kmx/kmxsoft.h"
#include "smcrypto/secret_bn.h"
#include "smcrypto/ossl_ptr.h"
#include "smcrypto/secret_bytes.h"

#include <openssl/evp.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <climits>
#include <cstring>
#include <memory>

namespace {

struct MatrixWork {
    MATRIX* m = nullptr;
    KMX_Matrix_Info info{};
    ~MatrixWork()
    {
        MATRIX_free(m);
        KMX_Matrix_Info_free(&info);
    }
};

void put_crc(unsigned char* at, unsigned short crc)
{
    at[0] = static_cast<unsigned char>(crc & 0xFF);
    at[1] = static_cast<unsigned char>(crc >> 8);
}

} // namespace

int KMX_Load_Matrix(const char* path, const void* memory, long memLen, MATRIX** out,
                    KMX_Matrix_Info* info)
{
    if (memory && memLen < KMX_HEAD_SIZE)
        return ST_BAD_ARGUMENT;
    unsigned char head[KMX_HEAD_SIZE];
    int st = KMX_Read_Head(path, static_cast<const unsigned char*>(memory), head);
    if (st)
        return st;
    if ((st = KMX_Decode_Head(head, out, info)))
        return st;
    const long need = KMX_HEAD_SIZE + 2L * info->L * info->row * info->col;
    if (memory && memLen < need) {
        MATRIX_free(*out);
        *out = nullptr;
        KMX_Matrix_Info_free(info);
        return ST_BAD_ARGUMENT;
    }
    return ST_OK;
}

int KMX_Identity_Point(const char* path, const void* memory, long memLen, const MATRIX* m,
                       const unsigned char* id, int idLen, EC_POINT* Q)
{
    unsigned char R[65];
    int RLen = 0;
    int st = KMX_Cal_R(m, id, idLen, nullptr, R, &RLen);
    if (st)
        return st;
    return Matrix_Cal_KMX(path, static_cast<const unsigned char*>(memory), id, idLen, R, RLen, Q,
                          memLen);
}

int KMX_Point_XY(const EC_GROUP* group, const EC_POINT* P, int L, unsigned char* out, BN_CTX* ctx)
{
    BN_CTX_start(ctx);
    BIGNUM* x = BN_CTX_get(ctx);
    BIGNUM* y = BN_CTX_get(ctx);
    int st = ST_POINT_MUL;
    if (y && !EC_POINT_is_at_infinity(group, P) &&
        EC_POINT_get_affine_coordinates(group, P, x, y, ctx) == 1 &&
        KMX_bn2bin(x, out, L) == ST_OK && KMX_bn2bin(y, out + L, L) == ST_OK)
        st = ST_OK;
    BN_CTX_end(ctx);
    return st;
}

int KMX_Fill_DEnvelope(DEnvelope* e, const ASN1_STRING* matrixId, const unsigned char* id,
                       int idLen, int cipherNid, const unsigned char* env, int envLen)
{
    if (!e || !matrixId || !id || idLen < 0 || !env || envLen < 0)
        return ST_BAD_ARGUMENT;
    ASN1_OBJECT* obj = OBJ_nid2obj(cipherNid);
    if (!obj || OBJ_length(obj) == 0)
        return ST_BAD_DER;
    if (ASN1_INTEGER_set(e->version, 1) != 1 ||
        ASN1_STRING_set(e->matrixId, ASN1_STRING_get0_data(matrixId),
                        ASN1_STRING_length(matrixId)) != 1 ||
        ASN1_STRING_set(e->addresseeId, id, idLen) != 1 ||
        ASN1_STRING_set(e->env, env, envLen) != 1)
        return ST_NO_MEMORY;
    ASN1_OBJECT_free(e->encOid);
    e->encOid = obj;
    return ST_OK;
}

int KMX_Cal_SKey(const EC_GROUP* group, EnvelopeSlot* slots, int count, unsigned char* key,
                 int keyLen, unsigned char* kOut, int* kOutLen)
{
    if (!group || !slots || count < 1 || !key)
        return ST_BAD_ARGUMENT;
    if (keyLen < 8 || keyLen > 64)
        return ST_BAD_ARGUMENT;
    const int L = EC_GROUP_Get_paramLen(group);
    if (L <= 0 || L > 32)
        return ST_UNKNOWN_CURVE;
    ossl::BnCtxPtr ctx(BN_CTX_new_ex(KMX_Lib_Ctx()));
    ossl::SecretBnPtr k(secret_bn(BN_secure_new()));
    const BIGNUM* n = EC_GROUP_get0_order(group);
    if (!ctx || !k || !n)
        return ST_BN_ALLOC;
    int st = random_scalar(k.get(), n, ctx.get()) ? ST_OK : ST_RANDOM_FAILED;
    // k·G is the secret the content key is derived from; k·Q goes out.
    ossl::SecretPointPtr kG(st ? nullptr : EC_POINT_new(group));
    ossl::PointPtr kQ(st ? nullptr : EC_POINT_new(group));
    if (!st && (!kG || !kQ))
        st = ST_POINT_ALLOC;
    if (!st && EC_POINT_mul(group, kG.get(), k.get(), nullptr, nullptr, ctx.get()) != 1)
        st = ST_POINT_MUL;
    if (!st && kOut && kOutLen) {
        // The order may be one byte longer than the field (secp160r1), and
        // so may k: the room must hold k itself, not only L bytes.
        if (*kOutLen < KMX_Scalar_Room(k.get(), L)) {
            st = ST_BUFFER_TOO_SMALL;
        } else {
            *kOutLen = BN_bn2bin(k.get(), kOut);
        }
    }
    unsigned char xy[64];
    unsigned short crc = 0;
    if (!st)
        st = KMX_Point_XY(group, kG.get(), L, xy, ctx.get());
    if (!st) {
        crc = CalCrc16(0, xy, 2 * L);
        st = KMX_KDF(xy, 2 * L, key, keyLen);
    }
    for (int i = 0; !st && i < count; ++i) {
        EnvelopeSlot& s = slots[i];
        if (!s.Q || EC_POINT_mul(group, kQ.get(), nullptr, s.Q, k.get(), ctx.get()) != 1 ||
            EC_POINT_is_at_infinity(group, kQ.get())) {
            st = ST_POINT_MUL;
            break;
        }
        s.env[0] = 0x04;
        st = KMX_Point_XY(group, kQ.get(), L, s.env + 1, ctx.get());
        if (!st) {
            put_crc(s.env + 1 + 2 * L, crc);
            s.envLen = 2 * L + 3;
        }
    }
    OPENSSL_cleanse(xy, sizeof xy);
    return st;
}

int KMX_Encrypt_data(const char* matrixPath, const void* matrixHead, long matrixLen,
                     const unsigned char* id,
                     int idLen, const EVP_CIPHER* cipher, const unsigned char* data, int dataLen,
                     DEnvelope* env)
{
    if ((!matrixPath) == (!matrixHead) || !id || !cipher || !data || !env)
        return ST_BAD_ARGUMENT;
    MatrixWork w;
    int st = KMX_Load_Matrix(matrixPath, matrixHead, matrixLen, &w.m, &w.info);
    if (st)
        return st;
    const int kl = EVP_CIPHER_get_key_length(cipher), il = EVP_CIPHER_get_iv_length(cipher);
    if (kl + il < 8 || kl + il > 64)
        return ST_UNKNOWN_CIPHER;
    ossl::PointPtr Q(EC_POINT_new(w.info.group));
    if (!Q)
        return ST_POINT_ALLOC;
    if ((st = KMX_Identity_Point(matrixPath, matrixHead, matrixHead ? matrixLen : -1, w.m, id, idLen, Q.get())))
        return st;
    EnvelopeSlot slot{};
    slot.Q = Q.get();
    unsigned char keyIv[64];
    if ((st = KMX_Cal_SKey(w.info.group, &slot, 1, keyIv, kl + il, nullptr, nullptr)))
        return st;
    // The ciphertext room is the length plus a block; it must stay an int.
    if (dataLen < 1 || dataLen > INT_MAX - EVP_MAX_BLOCK_LENGTH) {
        OPENSSL_cleanse(keyIv, sizeof keyIv);
        return ST_BAD_ARGUMENT;
    }
    const int cap = dataLen + EVP_MAX_BLOCK_LENGTH;
    std::unique_ptr<unsigned char[]> content(new (std::nothrow) unsigned char[cap]);
    if (!content) {
        OPENSSL_cleanse(keyIv, sizeof keyIv);
        return ST_NO_MEMORY;
    }
    int clen = cap;
    int est = Openssl_Encrypt(cipher, data, dataLen, keyIv, il ? keyIv + kl : nullptr,
                              content.get(), &clen);
    OPENSSL_cleanse(keyIv, sizeof keyIv);
    st = KMX_Fill_DEnvelope(env, w.m->matrixId, id, idLen, EVP_CIPHER_get_nid(cipher), slot.env,
                            slot.envLen);
    if (!st && !est && ASN1_STRING_set(env->cdata, content.get(), clen) != 1)
        st = ST_NO_MEMORY;
    return est ? est : st;
}

int KMX_Encrypt_Data(const char* matrixPath, const unsigned char* id, int idLen,
                     const unsigned char* data, int dataLen, unsigned char* out, int* outLen)
{
    if (!matrixPath || !id || !data || dataLen <= 0 || !out || !outLen)
        return ST_BAD_ARGUMENT;
    const EVP_CIPHER* cipher = KMX_Get_cipher(nullptr);
    if (!cipher)
        return ST_UNKNOWN_CIPHER;
    DEnvelope* e = DEnvelope_new();
    if (!e)
        return ST_ENVELOPE_CREATE;
    int st = KMX_Encrypt_data(matrixPath, nullptr, 0, id, idLen, cipher, data, dataLen, e);
    if (!st)
        st = DEnvelope2string(e, out, outLen);
    DEnvelope_free(e);
    return st;
}

int KMX_Make_Envelope(const char* matrixPath, const unsigned char* id, int idLen,
                      const unsigned char* key, int keyLen, unsigned char* out, int* outLen)
{
    if (!matrixPath || !id || !key || !out || !outLen || keyLen < 8 || keyLen > 64)
        return ST_BAD_ARGUMENT;
    return KMX_Encrypt_Data(matrixPath, id, idLen, key, keyLen, out, outLen);
}

int KMX_GenMinDE(const char* matrixPath, const void* matrixHead, long matrixLen, const char* id,
                 int idLen,
                 unsigned char* keyPoint, int* keyPointLen, unsigned char* env, int* envLen)
{
    if (!id || !keyPoint || !keyPointLen || !env || !envLen || (!matrixPath) == (!matrixHead))
        return ST_BAD_ARGUMENT;
    MatrixWork w;
    int st = KMX_Load_Matrix(matrixPath, matrixHead, matrixLen, &w.m, &w.info);
    if (st)
        return st;
    const int L = w.info.L;
    if (*keyPointLen < 2 * L) {
        *keyPointLen = 2 * L;
        return ST_BUFFER_TOO_SMALL;
    }
    if (*envLen < 2 * L + 2) {
        *envLen = 2 * L + 2;
        return ST_BUFFER_TOO_SMALL;
    }
    ossl::PointPtr Q(EC_POINT_new(w.info.group));
    if (!Q)
        return ST_POINT_ALLOC;
    const auto* uid = reinterpret_cast<const unsigned char*>(id);
    if ((st = KMX_Identity_Point(matrixPath, matrixHead, matrixHead ? matrixLen : -1, w.m, uid, idLen, Q.get())))
        return st;
    // KMX_Cal_SKey with the key point itself as the requested key: 2L bytes
    // of KDF output from 2L bytes of input are the input unchanged.
    EnvelopeSlot slot{};
    slot.Q = Q.get();
    unsigned char xy[64];
    cleanse_on_exit wipeXy(xy, sizeof xy);
    if ((st = KMX_Cal_SKey(w.info.group, &slot, 1, xy, 2 * L, nullptr, nullptr)))
        return st;
    std::memcpy(keyPoint, xy, 2 * L);
    std::memcpy(env, slot.env + 1, 2 * L + 2);
    OPENSSL_cleanse(xy, sizeof xy);
    *keyPointLen = 2 * L;
    *envLen = 2 * L + 2;
    return ST_OK;
}

int KMX_GenDE(const char* matrixPath, const char* id, int idLen, unsigned char* keyPoint,
              int* keyPointLen, unsigned char* env, int* envLen)
{
    return KMX_GenMinDE(matrixPath, nullptr, 0, id, idLen, keyPoint, keyPointLen, env, envLen);
}
