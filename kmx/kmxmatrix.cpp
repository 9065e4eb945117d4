// Matrix heads, the identity-to-index mapping and key calculation.
#include "kmx/kmxsoft.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <cstdio>
#include <cstring>
#include <memory>

#include "kmx/file_io.h"
#include "smcrypto/ecurve.h"
#include "smcrypto/secret_bn.h"
#include "smcrypto/ossl_ptr.h"

namespace {

// Everything a key calculation holds, released on every path.
struct Work {
    MATRIX* m = nullptr;
    KMX_Matrix_Info info{};
    BN_CTX* ctx = nullptr;
    ~Work()
    {
        MATRIX_free(m);
        KMX_Matrix_Info_free(&info);
        BN_CTX_free(ctx);
    }
};

bool get_small_int(const ASN1_INTEGER* a, long lo, long hi, long* v)
{
    int64_t x = 0;
    if (!a || ASN1_INTEGER_get_int64(&x, a) != 1 || x < lo || x > hi)
        return false;
    *v = static_cast<long>(x);
    return true;
}

// r of an identity: n mod H, with H the first L bytes of the keyed SM3 of the
// identity under matrixId; H = 0 gives r = n (R at infinity).
int identity_r(const MATRIX* m, const KMX_Matrix_Info& info, const unsigned char* id, int idLen,
               BIGNUM* r, BN_CTX* ctx)
{
    unsigned char h[64] = {0};
    int hLen = 32;
    int st = KMX_HMAC("SM3", ASN1_STRING_get0_data(m->matrixId), ASN1_STRING_length(m->matrixId),
                      id, idLen, h, &hLen);
    if (st)
        return st;
    BN_CTX_start(ctx);
    BIGNUM* H = BN_CTX_get(ctx);
    const BIGNUM* n = EC_GROUP_get0_order(info.group);
    st = ST_BN_ALLOC;
    if (H && n && BN_bin2bn(h, info.L, H)) {
        if (BN_is_zero(H))
            st = BN_copy(r, n) ? ST_OK : ST_BN_ALLOC;
        else
            st = BN_mod(r, n, H, ctx) == 1 ? ST_OK : ST_BN_ALLOC;
    }
    BN_CTX_end(ctx);
    return st;
}

// Uncompressed encoding of P into out (2L + 1 bytes; 1 for infinity).
int encode_point(const EC_GROUP* g, const EC_POINT* P, unsigned char* out, int cap, BN_CTX* ctx)
{
    size_t n = EC_POINT_point2oct(g, P, POINT_CONVERSION_UNCOMPRESSED, out, cap, ctx);
    return static_cast<int>(n);
}

// The element at byte offset off, size bytes, from the file or memory.
int read_element(FILE* f, const unsigned char* memory, long memLen, long off, int size,
                 unsigned char* out)
{
    if (f) {
        if (std::fseek(f, off, SEEK_SET) != 0 ||
            std::fread(out, 1, size, f) != static_cast<size_t>(size))
            return ST_BAD_DER;   // matrix file too short for the element
        return ST_OK;
    }
    if (memLen >= 0 && off + size > memLen)
        return ST_BAD_ARGUMENT;
    std::memcpy(out, memory + off, size);
    return ST_OK;
}

int open_head(const char* path, const unsigned char* memory, ossl::FilePtr* f,
              unsigned char head[KMX_HEAD_SIZE])
{
    std::memset(head, 0, KMX_HEAD_SIZE);
    if (path) {
        f->reset(open_input_file(path));
        if (!*f)
            return ST_MATRIX_FILE_OPEN;
        size_t got = std::fread(head, 1, KMX_HEAD_SIZE, f->get());
        (void)got;   // a short head leaves zeros, which the decoding refuses
        return ST_OK;
    }
    std::memcpy(head, memory, KMX_HEAD_SIZE);
    return ST_OK;
}

// Opens the matrix (file or memory) and decodes its head into w. A memory
// matrix of known length (memLen >= 0) must hold every element.
int load_matrix(const char* path, const unsigned char* memory, long memLen, ossl::FilePtr* f, Work* w)
{
    unsigned char head[KMX_HEAD_SIZE];
    int st = open_head(path, memory, f, head);
    if (st)
        return st;
    if ((st = KMX_Decode_Head(head, &w->m, &w->info)))
        return st;
    const long need = KMX_HEAD_SIZE + 2 * static_cast<long>(w->info.L) * w->info.row * w->info.col;
    if (memory && memLen >= 0 && memLen < need)
        return ST_BAD_ARGUMENT;
    return ST_OK;
}

// PK += the identity's elements of the loaded matrix + R.
int sum_elements(Work& w, FILE* f, const unsigned char* memory, long memLen,
                 const unsigned char* id, int idLen, const unsigned char* R, int RLen, EC_POINT* PK);

} // namespace

int KMX_Matrix_Get_Info(const MATRIX* m, KMX_Matrix_Info* info)
{
    if (!m || !info)
        return ST_BAD_ARGUMENT;
    long row = 0, col = 0;
    if (!get_small_int(m->row, 1, KMX_MAX_ELEMENTS, &row) ||
        !get_small_int(m->col, 1, KMX_MAX_COL, &col) || row * col > KMX_MAX_ELEMENTS)
        return ST_BAD_DER;
    if (!m->matrixId || ASN1_STRING_length(m->matrixId) > KMX_MAX_MATRIX_ID)
        return ST_BAD_DER;
    if (!m->ecOid)
        return ST_UNKNOWN_CURVE;
    EC_GROUP* g = KMX_Get_ecgroup(m->ecOid);
    const ecurve_info* c = ecurve_by_nid(OBJ_obj2nid(m->ecOid));
    int L = EC_GROUP_Get_paramLen(g);
    if (!g || !c || L != c->L) {
        EC_GROUP_free(g);
        return ST_UNKNOWN_CURVE;
    }
    info->row = static_cast<int>(row);
    info->col = static_cast<int>(col);
    info->L = L;
    info->serial = c->serial;
    info->group = g;
    return ST_OK;
}

void KMX_Matrix_Info_free(KMX_Matrix_Info* info)
{
    if (info) {
        EC_GROUP_free(info->group);
        info->group = nullptr;
    }
}

int KMX_Read_Head(const char* path, const unsigned char* memory, unsigned char head[KMX_HEAD_SIZE])
{
    if (!head || (!path) == (!memory))
        return ST_BAD_ARGUMENT;
    ossl::FilePtr f;
    return open_head(path, memory, &f, head);
}

int KMX_Decode_Head(const unsigned char head[KMX_HEAD_SIZE], MATRIX** out, KMX_Matrix_Info* info)
{
    if (!head || !out)
        return ST_BAD_ARGUMENT;
    uint32_t n = head[0] | (head[1] << 8) | (head[2] << 16) | (static_cast<uint32_t>(head[3]) << 24);
    if (n == 0 || n > static_cast<uint32_t>(KMX_HEAD_MAX_DER))
        return ST_BAD_DER;
    MATRIX* m = nullptr;
    int st = string2Matrix(head + 4, static_cast<int>(n), &m);
    if (st)
        return st;
    KMX_Matrix_Info tmp{};
    st = KMX_Matrix_Get_Info(m, &tmp);
    if (st) {
        MATRIX_free(m);
        return st;
    }
    if (info)
        *info = tmp;
    else
        KMX_Matrix_Info_free(&tmp);
    *out = m;
    return ST_OK;
}

int Matrix_is_valid(const MATRIX* matrix)
{
    if (!matrix)
        return ST_BAD_ARGUMENT;
    KMX_Matrix_Info info{};
    int st = KMX_Matrix_Get_Info(matrix, &info);
    KMX_Matrix_Info_free(&info);
    return st;
}

int str2index(int row, int col, const unsigned char* key, int keyLen, const unsigned char* id,
              int idLen, unsigned short* indices)
{
    if (row < 1 || col < 1 || col > KMX_MAX_COL || static_cast<long>(row) * col > KMX_MAX_ELEMENTS ||
        !indices)
        return ST_BAD_ARGUMENT;
    unsigned char h[64] = {0};
    int hLen = 32;
    int st = KMX_HMAC("SM3", key, keyLen, id, idLen, h, &hLen);
    if (st)
        return st;
    for (int i = 0; i < col; ++i)
        indices[i] = static_cast<unsigned short>((h[i] % row) * col + i);
    return ST_OK;
}

int KMX_Cal_R(const MATRIX* matrix, const unsigned char* id, int idLen, unsigned char* rOut,
              unsigned char* ROut, int* RLen)
{
    if (!matrix || !id || !ROut || !RLen || idLen <= 0)
        return ST_BAD_ARGUMENT;
    Work w;
    int st = KMX_Matrix_Get_Info(matrix, &w.info);
    if (st)
        return st;
    w.ctx = BN_CTX_new_ex(KMX_Lib_Ctx());
    if (!w.ctx)
        return ST_BN_ALLOC;
    BN_CTX_start(w.ctx);
    BIGNUM* r = BN_CTX_get(w.ctx);
    BIGNUM* rm = BN_CTX_get(w.ctx);
    if (!rm) {
        BN_CTX_end(w.ctx);
        return ST_BN_ALLOC;
    }
    st = identity_r(matrix, w.info, id, idLen, r, w.ctx);
    ossl::PointPtr R(st ? nullptr : EC_POINT_new(w.info.group));
    if (!st && !R)
        st = ST_POINT_ALLOC;
    if (!st && EC_POINT_mul(w.info.group, R.get(), r, nullptr, nullptr, w.ctx) != 1)
        st = ST_POINT_MUL;
    if (!st) {
        int n = encode_point(w.info.group, R.get(), ROut, 2 * w.info.L + 1, w.ctx);
        if (n <= 0)
            st = ST_POINT_MUL;
        else
            *RLen = n;
    }
    // r is written as it is, n included (H above n, R at infinity): who adds
    // it to the element sum modulo n gets the same key. Only r = n from H = 0
    // on a curve whose order is longer than the field cannot fit L bytes (H
    // never exceeds n there); that one is written reduced, as the scalar 0.
    if (!st && rOut) {
        if (BN_num_bytes(r) <= w.info.L)
            st = KMX_bn2bin(r, rOut, w.info.L);
        else if (BN_nnmod(rm, r, EC_GROUP_get0_order(w.info.group), w.ctx) != 1)
            st = ST_BN_ALLOC;
        else
            st = KMX_bn2bin(rm, rOut, w.info.L);
    }
    BN_CTX_end(w.ctx);
    return st;
}

int Matrix_Cal_KMX(const char* path, const unsigned char* memory, const unsigned char* id,
                   int idLen, const unsigned char* R, int RLen, EC_POINT* PK, long memLen)
{
    if (!id || idLen <= 0 || !PK || (!path) == (!memory))
        return ST_BAD_ARGUMENT;
    if (memory && memLen >= 0 && memLen < KMX_HEAD_SIZE)
        return ST_BAD_ARGUMENT;
    Work w;
    ossl::FilePtr f;
    int st = load_matrix(path, memory, memLen, &f, &w);
    if (st)
        return st;
    return sum_elements(w, f.get(), memory, memLen, id, idLen, R, RLen, PK);
}

namespace {

int sum_elements(Work& w, FILE* f, const unsigned char* memory, long memLen,
                 const unsigned char* id, int idLen, const unsigned char* R, int RLen, EC_POINT* PK)
{
    const int L = w.info.L, row = w.info.row, col = w.info.col;
    int st = ST_OK;
    if (!w.ctx && !(w.ctx = BN_CTX_new_ex(KMX_Lib_Ctx())))
        return ST_BN_ALLOC;
    ossl::PointPtr Rp(EC_POINT_new(w.info.group));
    ossl::PointPtr P(EC_POINT_new(w.info.group));
    unsigned char buf[65];
    unsigned short idx[KMX_MAX_COL];
    if (!Rp || !P)
        st = ST_POINT_ALLOC;
    else if (!R || RLen <= 0 || EC_POINT_oct2point(w.info.group, Rp.get(), R, RLen, w.ctx) != 1)
        st = ST_BAD_ID_POINT;
    if (!st) {
        // The index key is X || Y of R; R at infinity gives an empty key.
        int keyLen = 0;
        if (!EC_POINT_is_at_infinity(w.info.group, Rp.get())) {
            if (encode_point(w.info.group, Rp.get(), buf, sizeof buf, w.ctx) != 2 * L + 1)
                st = ST_BAD_ID_POINT;
            keyLen = 2 * L;
        }
        if (!st)
            st = str2index(row, col, buf + 1, keyLen, id, idLen, idx);
    }
    for (int i = 0; !st && i < col; ++i) {
        buf[0] = 0x04;
        st = read_element(f, memory, memLen, KMX_HEAD_SIZE + static_cast<long>(idx[i]) * 2 * L,
                          2 * L, buf + 1);
        if (!st && EC_POINT_oct2point(w.info.group, P.get(), buf, 2 * L + 1, w.ctx) != 1)
            st = ST_BAD_ID_POINT;   // matrix element not on the curve
        if (!st && EC_POINT_add(w.info.group, PK, PK, P.get(), w.ctx) != 1)
            st = ST_BAD_ID_POINT;
    }
    if (!st && EC_POINT_add(w.info.group, PK, PK, Rp.get(), w.ctx) != 1)
        st = ST_BAD_ID_POINT;
    return st;
}

// Public key of id from a public matrix (file or memory) as 0x04 || X || Y.
int cal_pubkey(const char* path, const unsigned char* memory, long memLen, const unsigned char* id,
               int idLen, unsigned char* out, int* outLen, int* serial)
{
    Work w;
    ossl::FilePtr f;
    int st = load_matrix(path, memory, memLen, &f, &w);
    if (st)
        return st;
    const int L = w.info.L;
    unsigned char R[65];
    int RLen = 0;
    if ((st = KMX_Cal_R(w.m, id, idLen, nullptr, R, &RLen)))
        return st;
    if (*outLen < 2 * L + 1) {
        *outLen = 2 * L + 1;
        return ST_BUFFER_TOO_SMALL;
    }
    w.ctx = BN_CTX_new_ex(KMX_Lib_Ctx());
    if (!w.ctx)
        return ST_BN_ALLOC;
    ossl::PointPtr PK(EC_POINT_new(w.info.group));
    if (!PK)
        return ST_POINT_ALLOC;
    st = sum_elements(w, f.get(), memory, memLen, id, idLen, R, RLen, PK.get());
    if (!st && encode_point(w.info.group, PK.get(), out, 2 * L + 1, w.ctx) != 2 * L + 1)
        st = ST_BAD_ID_POINT;   // the sum is the point at infinity
    if (!st) {
        *outLen = 2 * L + 1;
        if (serial)
            *serial = w.info.serial;
    }
    return st;
}

} // namespace

int KMX_Matrix_Pubkey(const char* path, const unsigned char* memory, long memLen,
                      const unsigned char* id, int idLen, unsigned char* out, int* outLen,
                      int* serial)
{
    if ((!path) == (!memory) || !id || !out || !outLen)
        return ST_BAD_ARGUMENT;
    if (memory && memLen < KMX_HEAD_SIZE)
        return ST_BAD_ARGUMENT;
    return cal_pubkey(path, memory, memLen, id, idLen, out, outLen, serial);
}

int FMatrix_Cal_pubkey(const char* path, const unsigned char* id, int idLen, unsigned char* out,
                       int* outLen)
{
    if (!path)
        return ST_BAD_ARGUMENT;
    return KMX_Matrix_Pubkey(path, nullptr, -1, id, idLen, out, outLen, nullptr);
}

int SMatrix_Cal_pubkey(const unsigned char* memory, int memoryLen, const unsigned char* id,
                       int idLen, unsigned char* out, int* outLen)
{
    if (!memory)
        return ST_BAD_ARGUMENT;
    return KMX_Matrix_Pubkey(nullptr, memory, memoryLen, id, idLen, out, outLen, nullptr);
}

int KMX_CalPubkey(const char* path, const unsigned char* id, int idLen, unsigned char* out,
                  int* outLen)
{
    return FMatrix_Cal_pubkey(path, id, idLen, out, outLen);
}

int Matrix_Cal_isk(const char* path, int randomR, const unsigned char* id, int idLen, BIGNUM* isk,
                   unsigned char* ROut, int* RLen)
{
    if (!path || !id || !isk || idLen < 1)
        return ST_BAD_ARGUMENT;
    Work w;
    ossl::FilePtr f;
    int st = load_matrix(path, nullptr, -1, &f, &w);
    if (st)
        return st;
    const int L = w.info.L;
    const BIGNUM* n = EC_GROUP_get0_order(w.info.group);
    if (!n || BN_is_zero(n))
        return ST_NO_ORDER;
    // r (when drawn at random), the matrix elements and their sum are secret:
    // every number of this context lives in secure memory.
    w.ctx = BN_CTX_secure_new_ex(KMX_Lib_Ctx());
    if (!w.ctx)
        return ST_BN_ALLOC;
    BN_CTX_start(w.ctx);
    BIGNUM* r = secret_bn(BN_CTX_get(w.ctx));
    BIGNUM* s = secret_bn(BN_CTX_get(w.ctx));
    BIGNUM* sum = secret_bn(BN_CTX_get(w.ctx));
    secret_bn(isk);
    ossl::PointPtr R;
    unsigned char enc[65];
    unsigned short idx[KMX_MAX_COL];
    int encLen = 0;
    if (!sum)
        st = ST_BN_ALLOC;
    else if (randomR)
        st = BN_priv_rand_range_ex(r, n, 0, w.ctx) == 1 ? ST_OK : ST_RANDOM_FAILED;   // 0 to n-1
    else
        st = identity_r(w.m, w.info, id, idLen, r, w.ctx);
    if (!st && !(R = ossl::PointPtr(EC_POINT_new(w.info.group))))
        st = ST_POINT_ALLOC;
    if (!st && EC_POINT_mul(w.info.group, R.get(), r, nullptr, nullptr, w.ctx) != 1)
        st = ST_POINT_MUL;
    if (!st && (encLen = encode_point(w.info.group, R.get(), enc, sizeof enc, w.ctx)) <= 0)
        st = ST_POINT_MUL;
    if (!st) {
        if (ROut && RLen) {
            std::memcpy(ROut, enc, encLen);
            *RLen = encLen;
        }
        int keyLen = encLen == 2 * L + 1 ? 2 * L : 0;
        st = str2index(w.info.row, w.info.col, enc + 1, keyLen, id, idLen, idx);
    }
    if (!st)
        BN_zero(sum);
    unsigned char buf[32];
    for (int i = 0; !st && i < w.info.col; ++i) {
        st = read_element(f.get(), nullptr, -1, KMX_HEAD_SIZE + static_cast<long>(idx[i]) * L, L, buf);
        if (!st && (!BN_bin2bn(buf, L, s) || BN_mod_add(sum, sum, s, n, w.ctx) != 1))
            st = ST_BN_ALLOC;
    }
    if (!st && BN_mod_add(isk, r, sum, n, w.ctx) != 1)
        st = ST_BN_ALLOC;
    OPENSSL_cleanse(buf, sizeof buf);
    BN_CTX_end(w.ctx);
    return st;
}
