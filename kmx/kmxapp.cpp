// Envelopes made by the key device.
#include "kmx/kmxapp.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <cstring>

#include "cardapi/cosapi.h"
#include "kmx/kmx_ptr.h"

namespace {

constexpr size_t kMaxId = 64;

} // namespace

int Dev_GenEnv(int keyApply, const char* matrixPath, const void* matrixHead, long matrixLen,
               const char* id, unsigned char* out, int* outLen)
{
    if (!id || !out || !outLen || (!matrixPath) == (!matrixHead))
        return ST_BAD_ARGUMENT;
    const size_t idLen = strnlen(id, kMaxId + 1);
    if (idLen == 0 || idLen > kMaxId)
        return ST_BAD_ARGUMENT;
    MATRIX* loaded = nullptr;
    KMX_Matrix_Info info{};
    int st = KMX_Load_Matrix(matrixPath, matrixHead, matrixLen, &loaded, &info);
    kmx::MatrixPtr m(loaded);
    if (st) {
        KMX_Matrix_Info_free(&info);
        return st;
    }
    const int L = info.L;
    ossl::BnCtxPtr ctx(BN_CTX_new_ex(KMX_Lib_Ctx()));
    ossl::PointPtr Q(ctx ? EC_POINT_new(info.group) : nullptr);
    kmx::DEnvelopePtr e;
    unsigned char xy[64];
    unsigned char env[68];
    if (!ctx)
        st = ST_BN_ALLOC;
    else if (!Q)
        st = ST_POINT_ALLOC;
    if (!st)
        st = KMX_Identity_Point(matrixPath, matrixHead, matrixHead ? matrixLen : -1, m.get(),
                                reinterpret_cast<const unsigned char*>(id), static_cast<int>(idLen),
                                Q.get());
    if (!st)
        st = KMX_Point_XY(info.group, Q.get(), L, xy, ctx.get());
    if (!st) {
        // The card answers the minimal envelope: X || Y of k*Q, then the CRC.
        const uint8_t t = static_cast<uint8_t>(info.serial);
        env[0] = 0x04;
        st = static_cast<int>(keyApply ? COS_ApplyPriKey(t, xy, env + 1) : COS_Gen_DE(t, xy, env + 1));
    }
    if (!st && !(e = kmx::DEnvelopePtr(DEnvelope_new())))
        st = ST_ENVELOPE_CREATE;
    if (!st)
        st = KMX_Fill_DEnvelope(e.get(), m->matrixId, reinterpret_cast<const unsigned char*>(id),
                                static_cast<int>(idLen), NID_aes_256_cbc, env, 2 * L + 3);
    if (!st)
        st = DEnvelope2string(e.get(), out, outLen);
    Q.reset();
    KMX_Matrix_Info_free(&info);
    return st;
}
