// Key utilities: random key pairs on a named curve, a point from its x and
// the first byte of its y, and overwriting a file before removing it.
#include "kmx/kmxsoft.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <fcntl.h>
#include <openssl/objects.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "smcrypto/ecurve.h"
#include "smcrypto/ossl_ptr.h"
#include "smcrypto/pwrite_all.h"
#include "smcrypto/secret_bn.h"

namespace {

// The group of a curve given by short or long name or dotted identifier;
// null for a curve outside the table.
EC_GROUP* group_by_name(const char* name)
{
    ecurve_secp64r1_nid();   // the scheme's own curve must be registered first
    if (const ecurve_info* c = ecurve_by_text(name))
        return ecurve_new_group(c->serial, KMX_Lib_Ctx());
    ossl::ptr<ASN1_OBJECT, ASN1_OBJECT_free> obj(OBJ_txt2obj(name, 0));
    if (!obj || OBJ_obj2nid(obj.get()) == NID_undef)
        return nullptr;
    return KMX_Get_ecgroup(obj.get());
}

struct CurveWork {
    EC_GROUP* group = nullptr;
    BN_CTX* ctx = nullptr;
    EC_POINT* P = nullptr;
    int L = 0;
    ~CurveWork()
    {
        EC_POINT_free(P);
        BN_CTX_free(ctx);
        EC_GROUP_free(group);
    }
    // Group (16006), L, context (15002) and one point (16003).
    int open(const char* curveName)
    {
        if (!(group = group_by_name(curveName)) || (L = EC_GROUP_Get_paramLen(group)) <= 0)
            return ST_UNKNOWN_CURVE;
        if (!(ctx = BN_CTX_new_ex(KMX_Lib_Ctx())))
            return ST_BN_ALLOC;
        if (!(P = EC_POINT_new(group)))
            return ST_POINT_ALLOC;
        return ST_OK;
    }
};

constexpr size_t kWipeBlock = 64;

// One overwrite pass over [0, size) in whole blocks, flushed to the disk
// before it returns.
int overwrite_pass(int fd, off_t size)
{
    unsigned char block[kWipeBlock];
    int st = GetRandom(block, sizeof block);
    if (st)
        return st;
    for (off_t off = 0; off < size; off += static_cast<off_t>(sizeof block))
        if (!pwrite_all(fd, block, sizeof block, off))
            return ST_FILE_WRITE;
    return fsync(fd) == 0 ? ST_OK : ST_FILE_WRITE;
}

} // namespace

int KMX_GenSymKey(const char* curveName, unsigned char* pub, int* pubLen, unsigned char* priv,
                  int* privLen)
{
    if (!curveName || !pub || !pubLen || !priv || !privLen)
        return ST_BAD_ARGUMENT;
    CurveWork w;
    int st = w.open(curveName);
    if (st)
        return st;
    const BIGNUM* n = EC_GROUP_get0_order(w.group);
    ossl::SecretBnPtr k(secret_bn(BN_secure_new()));
    if (!n || !k)
        return ST_BN_ALLOC;
    if (!random_scalar(k.get(), n, w.ctx))
        st = ST_RANDOM_FAILED;
    if (!st && EC_POINT_mul(w.group, w.P, k.get(), nullptr, nullptr, w.ctx) != 1)
        st = ST_POINT_MUL;
    // The room for the scalar is checked against k itself, as for the
    // envelope's k: on a curve whose order is longer than its field
    // (secp160r1) k may need L + 1 bytes.
    const int privRoom = st ? w.L : KMX_Scalar_Room(k.get(), w.L);
    if (!st && (*pubLen < 2 * w.L || *privLen < privRoom)) {
        *pubLen = 2 * w.L;
        *privLen = privRoom;
        st = ST_BUFFER_TOO_SMALL;
    }
    if (!st)
        st = KMX_Point_XY(w.group, w.P, w.L, pub, w.ctx);
    if (!st) {
        *pubLen = 2 * w.L;
        *privLen = BN_bn2bin(k.get(), priv);
    }
    return st;
}

int KMX_ECP_x2xy(const char* curveName, const unsigned char* x, unsigned char yFirstByte,
                 unsigned char* out)
{
    if (!curveName || !x || !out)
        return ST_BAD_ARGUMENT;
    CurveWork w;
    int st = w.open(curveName);
    if (st)
        return st;
    const int L = w.L;
    unsigned char enc[1 + 32];
    enc[0] = 0x02;   // the even root
    std::memcpy(enc + 1, x, L);
    if (EC_POINT_oct2point(w.group, w.P, enc, 1 + L, w.ctx) != 1)
        return ST_NO_POINT_FOR_X;
    unsigned char xy[64];
    if ((st = KMX_Point_XY(w.group, w.P, L, xy, w.ctx)))
        return st;
    std::memset(out, 0, 2 * L);
    if (xy[L] != yFirstByte) {
        // The odd root p - y; it must match the wanted first byte too.
        BN_CTX_start(w.ctx);
        BIGNUM* p = BN_CTX_get(w.ctx);
        BIGNUM* y = BN_CTX_get(w.ctx);
        if (!y)
            st = ST_BN_ALLOC;
        else if (EC_GROUP_get_curve(w.group, p, nullptr, nullptr, w.ctx) != 1)
            st = ST_UNKNOWN_CURVE;
        else if (!BN_bin2bn(xy + L, L, y) || BN_mod_sub(y, p, y, p, w.ctx) != 1)
            st = ST_BN_ALLOC;
        else
            st = KMX_bn2bin(y, xy + L, L);
        BN_CTX_end(w.ctx);
        if (!st && xy[L] != yFirstByte)
            st = ST_NO_POINT_FOR_X;
        if (st)
            return st;
    }
    std::memcpy(out, xy, 2 * L);
    return ST_OK;
}

int KMX_DeleteFile(const char* path, unsigned char passes)
{
    if (!path)
        return ST_BAD_ARGUMENT;
    // Never through a link, never a device, pipe or folder: only the regular
    // file that the name itself holds is overwritten and removed.
    const int fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return ST_FILE_OPEN;
    struct stat sb;
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
        close(fd);
        return ST_FILE_OPEN;
    }
    int st = ST_OK;
    if (passes == 0) {
        if (ftruncate(fd, 0) != 0 || fsync(fd) != 0)
            st = ST_FILE_WRITE;
    } else {
        const int count = passes & 0x0F;
        for (int i = 0; !st && i < count; ++i)
            st = overwrite_pass(fd, sb.st_size);
    }
    if (close(fd) != 0 && !st)
        st = ST_FILE_WRITE;
    if (st)
        return st;   // the file stays, so that nobody takes it for wiped
    return std::remove(path) == 0 ? ST_OK : ST_FILE_REMOVE;
}
