// Verification of identity-key signatures: ECDSA and SM2 against the
// signer's public key computed from a public matrix.
#include "kmx/kmxsoft.h"

#include <openssl/evp.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "smcrypto/sm2.h"
#include "kmx/file_io.h"
#include "kmx/kmx_ptr.h"

namespace {

constexpr int kMaxSignerId = 64;
constexpr int kMaxTimeContent = 32;
constexpr int kBlock = 4096;
constexpr int kSm2Serial = 5;
constexpr int kSm2Len = 32;

// Fields every verification reads: a signer of 1 to 64 bytes (an empty one
// is refused by the identity mapping) and time content of at most 32 bytes.
int check_fields(const DataSig* s)
{
    if (!s->signerId || !s->signTime || !s->signVal || !s->matrixId)
        return ST_BAD_DER;
    if (ASN1_STRING_length(s->signerId) > kMaxSignerId ||
        ASN1_STRING_length(s->signTime) > kMaxTimeContent)
        return ST_BAD_ARGUMENT;
    return ST_OK;
}

int time_len(const DataSig* s) { return ASN1_STRING_length(s->signTime); }
const unsigned char* time_bytes(const DataSig* s) { return ASN1_STRING_get0_data(s->signTime); }

// The public matrix, the signer's public point Q on its curve, and the
// checks shared by the ECDSA and SM2 routes.
struct SignerKey {
    MATRIX* m = nullptr;
    KMX_Matrix_Info info{};
    EC_POINT* Q = nullptr;
    ~SignerKey()
    {
        EC_POINT_free(Q);
        MATRIX_free(m);
        KMX_Matrix_Info_free(&info);
    }
};

int load_matrix(const char* matrixPath, const void* matrixHead, long matrixLen,
                const DataSig* s, SignerKey* k)
{
    int st = KMX_Load_Matrix(matrixPath, matrixHead, matrixLen, &k->m, &k->info);
    if (st)
        return st;
    const int a = ASN1_STRING_length(s->matrixId), b = ASN1_STRING_length(k->m->matrixId);
    if (a != b || (a > 0 && std::memcmp(ASN1_STRING_get0_data(s->matrixId),
                                        ASN1_STRING_get0_data(k->m->matrixId), a) != 0))
        return ST_MATRIX_ID_MISMATCH;
    return ST_OK;
}

int signer_point(const char* matrixPath, const void* matrixHead, long matrixLen, const DataSig* s,
                 SignerKey* k)
{
    int st = check_fields(s);
    if (st)
        return st;
    if (!(k->Q = EC_POINT_new(k->info.group)))
        return ST_POINT_ALLOC;
    return KMX_Identity_Point(matrixPath, matrixHead, matrixHead ? matrixLen : -1, k->m,
                              ASN1_STRING_get0_data(s->signerId),
                              ASN1_STRING_length(s->signerId), k->Q);
}

struct BnWork {
    BN_CTX* ctx = BN_CTX_new_ex(KMX_Lib_Ctx());
    BIGNUM *r = BN_new(), *s = BN_new(), *e = BN_new(), *t = BN_new(), *u = BN_new(),
           *x = BN_new();
    ~BnWork()
    {
        BN_free(r);
        BN_free(s);
        BN_free(e);
        BN_free(t);
        BN_free(u);
        BN_free(x);
        BN_CTX_free(ctx);
    }
    bool ok() const { return ctx && r && s && e && t && u && x; }
};

bool in_range(const BIGNUM* v, const BIGNUM* n)
{
    return !BN_is_zero(v) && !BN_is_negative(v) && BN_cmp(v, n) < 0;
}

// x of P into w.x; false at infinity.
bool affine_x(const EC_GROUP* group, const EC_POINT* P, BnWork& w)
{
    if (EC_POINT_is_at_infinity(group, P))
        return false;
    return EC_POINT_get_affine_coordinates(group, P, w.x, nullptr, w.ctx) == 1;
}

} // namespace

int ECDSA_Verfiy(const EC_GROUP* group, const unsigned char* digest, int digestLen,
                 const unsigned char* sig, int sigLen, const EC_POINT* Q)
{
    if (!group || !digest || !sig || !Q || digestLen < 1)
        return ST_BAD_ARGUMENT;
    const int L = EC_GROUP_Get_paramLen(group);
    if (L <= 0)
        return ST_UNKNOWN_CURVE;
    if (sigLen != 2 * L)
        return ST_BAD_SIGNATURE;
    BnWork w;
    if (!w.ok())
        return ST_BN_ALLOC;
    ossl::PointPtr X(EC_POINT_new(group));
    if (!X)
        return ST_POINT_ALLOC;
    const BIGNUM* n = EC_GROUP_get0_order(group);
    int st = ST_BAD_SIGNATURE;
    // e is the whole digest, not cut to the bit length of n: the key device
    // signs it that way.
    if (n && BN_bin2bn(sig, L, w.r) && BN_bin2bn(sig + L, L, w.s) &&
        BN_bin2bn(digest, digestLen, w.e) && in_range(w.r, n) && in_range(w.s, n)) {
        BIGNUM *inv = w.t, *u1 = w.u, *u2 = w.e;
        if (BN_mod_inverse(inv, w.s, n, w.ctx) && BN_mod_mul(u1, w.e, inv, n, w.ctx) == 1 &&
            BN_mod_mul(u2, w.r, inv, n, w.ctx) == 1 &&
            EC_POINT_mul(group, X.get(), u1, Q, u2, w.ctx) == 1 && affine_x(group, X.get(), w) &&
            BN_nnmod(w.x, w.x, n, w.ctx) == 1 && BN_cmp(w.x, w.r) == 0)
            st = ST_OK;
    }
    return st;
}

int _SM2_Verify(const EC_GROUP* group, const unsigned char* e, int eLen, const unsigned char* sig,
                int sigLen, const EC_POINT* Q)
{
    if (!group || !e || !sig || !Q || eLen != kSm2Len)
        return ST_BAD_ARGUMENT;
    if (sigLen != 2 * kSm2Len)
        return ST_BAD_SIGNATURE;
    BnWork w;
    if (!w.ok())
        return ST_BN_ALLOC;
    ossl::PointPtr P(EC_POINT_new(group));
    if (!P)
        return ST_POINT_ALLOC;
    const BIGNUM* n = EC_GROUP_get0_order(group);
    int st = ST_BAD_SIGNATURE;
    if (n && BN_bin2bn(e, kSm2Len, w.e) && BN_bin2bn(sig, kSm2Len, w.r) &&
        BN_bin2bn(sig + kSm2Len, kSm2Len, w.s) && in_range(w.r, n) && in_range(w.s, n) &&
        BN_mod_add(w.t, w.r, w.s, n, w.ctx) == 1 && !BN_is_zero(w.t) &&
        EC_POINT_mul(group, P.get(), w.s, Q, w.t, w.ctx) == 1 && affine_x(group, P.get(), w) &&
        BN_mod_add(w.u, w.e, w.x, n, w.ctx) == 1 && BN_cmp(w.u, w.r) == 0)
        st = ST_OK;
    return st;
}

int Verify_Ready(const unsigned char* data, int dataLen, unsigned char* digest, int* digestLen,
                 const DataSig* dataSig)
{
    if ((!data && dataLen != 0) || dataLen < 0 || !digest || !digestLen || !dataSig)
        return ST_BAD_ARGUMENT;
    if (!dataSig->signTime)
        return ST_BAD_DER;
    if (time_len(dataSig) > kMaxTimeContent)
        return ST_BAD_ARGUMENT;
    const EVP_MD* md = KMX_Get_md(OBJ_obj2nid(dataSig->mdOid));
    if (!md || EVP_MD_get_size(md) > EVP_MAX_MD_SIZE)
        return ST_NO_DIGEST;
    ossl::MdCtxPtr c(EVP_MD_CTX_new());
    bool ok = c.get() && EVP_DigestInit_ex(c.get(), md, nullptr) == 1;
    for (int off = 0; ok && off < dataLen; off += kBlock)
        ok = EVP_DigestUpdate(c.get(), data + off, static_cast<size_t>(std::min(kBlock, dataLen - off))) == 1;
    unsigned int n = 0;
    ok = ok && EVP_DigestUpdate(c.get(), time_bytes(dataSig), static_cast<size_t>(time_len(dataSig))) == 1 &&
         EVP_DigestFinal_ex(c.get(), digest, &n) == 1;
    if (!ok)
        return ST_DIGEST_FAILED;
    *digestLen = static_cast<int>(n);
    return ST_OK;
}

int KMX_Verify_Sign(const char* matrixPath, const void* matrixHead, long matrixLen,
                    const unsigned char* digest, int digestLen, const DataSig* dataSig)
{
    if (!digest || !dataSig || (!matrixPath) == (!matrixHead))
        return ST_BAD_ARGUMENT;
    SignerKey k;
    int st = load_matrix(matrixPath, matrixHead, matrixLen, dataSig, &k);
    if (st)
        return st;
    const EVP_MD* md = KMX_Get_md(OBJ_obj2nid(dataSig->mdOid));
    if (!md)
        return ST_NO_DIGEST;
    if (digestLen != EVP_MD_get_size(md))
        return ST_DIGEST_LENGTH;
    if ((st = signer_point(matrixPath, matrixHead, matrixLen, dataSig, &k)))
        return st;
    return ECDSA_Verfiy(k.info.group, digest, digestLen, ASN1_STRING_get0_data(dataSig->signVal),
                        ASN1_STRING_length(dataSig->signVal), k.Q);
}

int KMX_Verify_SM2Sign(const char* matrixPath, const void* matrixHead, long matrixLen,
                       const unsigned char* e, int eLen, const DataSig* dataSig)
{
    if (!e || !dataSig || (!matrixPath) == (!matrixHead))
        return ST_BAD_ARGUMENT;
    if (eLen != kSm2Len)
        return ST_BAD_ARGUMENT;
    SignerKey k;
    int st = load_matrix(matrixPath, matrixHead, matrixLen, dataSig, &k);
    if (!st)
        st = signer_point(matrixPath, matrixHead, matrixLen, dataSig, &k);
    if (st)
        return st;
    return _SM2_Verify(k.info.group, e, eLen, ASN1_STRING_get0_data(dataSig->signVal),
                       ASN1_STRING_length(dataSig->signVal), k.Q);
}

int KMX_Verify_Data(const char* matrixPath, const unsigned char* data, int dataLen,
                    const unsigned char* sig, int sigLen)
{
    if ((!data && dataLen != 0) || dataLen < 0 || !sig || sigLen < 48)
        return ST_BAD_ARGUMENT;
    DataSig* s = nullptr;
    int st = string2DataSig(sig, sigLen, &s);
    if (st)
        return st;
    unsigned char digest[EVP_MAX_MD_SIZE];
    int digestLen = 0;
    st = Verify_Ready(data, dataLen, digest, &digestLen, s);
    if (!st)
        st = matrixPath ? KMX_Verify_Sign(matrixPath, nullptr, 0, digest, digestLen, s)
                        : ST_BAD_ARGUMENT;
    DataSig_free(s);
    return st;
}

int KMX_Verify_File(const char* matrixPath, const char* filePath, const unsigned char* sig,
                    int sigLen)
{
    if (!sig || !matrixPath || !filePath)
        return ST_BAD_ARGUMENT;
    DataSig* s = nullptr;
    int st = string2DataSig(sig, sigLen, &s);
    if (st)
        return st;
    kmx::DataSigPtr hold(s);
    if (!s->signTime)
        return ST_BAD_DER;
    if (time_len(s) > kMaxTimeContent)
        return ST_BAD_ARGUMENT;
    const EVP_MD* md = KMX_Get_md(OBJ_obj2nid(s->mdOid));
    if (!md)
        return ST_NO_DIGEST;
    ossl::FilePtr f(open_input_file(filePath));
    if (!f)
        return ST_FILE_OPEN;
    ossl::MdCtxPtr c(EVP_MD_CTX_new());
    bool ok = c.get() && EVP_DigestInit_ex(c.get(), md, nullptr) == 1;
    unsigned char buf[kBlock];
    size_t n;
    while (ok && (n = std::fread(buf, 1, sizeof buf, f.get())) > 0)
        ok = EVP_DigestUpdate(c.get(), buf, n) == 1;
    ok = ok && !std::ferror(f.get());
    f.reset();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int dn = 0;
    ok = ok && EVP_DigestUpdate(c.get(), time_bytes(s), static_cast<size_t>(time_len(s))) == 1 &&
         EVP_DigestFinal_ex(c.get(), digest, &dn) == 1;
    if (!ok)
        return ST_DIGEST_FAILED;
    return KMX_Verify_Sign(matrixPath, nullptr, 0, digest, static_cast<int>(dn), s);
}

int KMX_SM2Verify(const char* matrixPath, const unsigned char* e, const unsigned char* sig,
                  int sigLen)
{
    if (!matrixPath || !e || !sig || sigLen < 64)
        return ST_BAD_ARGUMENT;
    DataSig* s = nullptr;
    int st = string2DataSig(sig, sigLen, &s);
    if (st)
        return st;
    kmx::DataSigPtr hold(s);
    if ((st = check_fields(s)))
        return st;
    if (ASN1_STRING_length(s->signVal) != 2 * kSm2Len)
        return ST_BAD_SIGNATURE;
    unsigned char pub[65];
    int pubLen = sizeof pub;
    int serial = -1;
    st = KMX_Matrix_Pubkey(matrixPath, nullptr, -1, ASN1_STRING_get0_data(s->signerId),
                           ASN1_STRING_length(s->signerId), pub, &pubLen, &serial);
    if (st == ST_BUFFER_TOO_SMALL || (!st && (serial != kSm2Serial || pubLen != 65)))
        return ST_UNKNOWN_CURVE;   // a matrix on another curve than sm2p256v1
    if (st)
        return st;
    return SM2_Verify(pub + 1, e, ASN1_STRING_get0_data(s->signVal));
}

int KMX_SM2_CalE(const char* matrixPath, const char* id, const unsigned char* msg, int msgLen,
                 int signTime, unsigned char* e)
{
    if (!matrixPath || !id || !msg || !e || msgLen < 0)
        return ST_BAD_ARGUMENT;
    // Full lengths are checked before anything is narrowed: the ID must fit
    // SM2_GetZ's work area and the message with its time SM2_GetE's.
    const size_t idLen = strnlen(id, SM2_MAX_ID + 1);
    if (idLen == 0 || idLen > SM2_MAX_ID)
        return ST_BAD_ARGUMENT;
    unsigned char t[16];
    int tLen = 0;
    if (signTime != 0 && Time2ASN1_Integer(signTime, t, &tLen) != ST_OK)
        return ST_BAD_ARGUMENT;
    if (static_cast<long>(msgLen) + tLen > SM2_MAX_E_MESSAGE)
        return ST_BAD_ARGUMENT;
    unsigned char pub[65];
    int pubLen = sizeof pub;
    int serial = -1;
    int st = KMX_Matrix_Pubkey(matrixPath, nullptr, -1, reinterpret_cast<const unsigned char*>(id),
                               static_cast<int>(idLen), pub, &pubLen, &serial);
    if (st == ST_BUFFER_TOO_SMALL || (!st && (serial != kSm2Serial || pubLen != 65)))
        return ST_UNKNOWN_CURVE;   // Z needs a 64-byte key of sm2p256v1
    if (st)
        return st;
    unsigned char z[32];
    SM2_GetZ(reinterpret_cast<const unsigned char*>(id), static_cast<uint8_t>(idLen), pub + 1, z);
    unsigned char m[SM2_MAX_E_MESSAGE];
    if (msgLen > 0)
        std::memcpy(m, msg, static_cast<size_t>(msgLen));
    if (tLen > 0)
        std::memcpy(m + msgLen, t, static_cast<size_t>(tLen));
    SM2_GetE(m, msgLen + tLen, z, e);
    OPENSSL_cleanse(m, sizeof m);
    return ST_OK;
}
