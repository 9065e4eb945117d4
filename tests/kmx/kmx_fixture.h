// Helpers of the identity-key tests: a temporary folder, matrix files the
// tests write themselves, hex, running the openssl command line as an oracle
// and opening software envelopes with an identity's private key.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/objects.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/crc16_oracle.h"
#include "common/reference_curves.h"
#include "kmx/kmxsoft.h"
#include "smcrypto/ecurve.h"
#include "common/seeded_bn.h"

namespace kmxt {

using Bytes = std::vector<unsigned char>;

inline std::string hex(const unsigned char* p, size_t n)
{
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}
inline std::string hex(const Bytes& b) { return hex(b.data(), b.size()); }

inline Bytes unhex(const std::string& s)
{
    Bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        b.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return b;
}

inline Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline void write_file(const std::string& path, const Bytes& b)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline Bytes read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string& path)
{
    std::ifstream f(path);
    return f.good();
}

// Runs a shell command; its standard output, and the exit status in *rc.
inline std::string run(const std::string& cmd, int* rc = nullptr)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        if (rc)
            *rc = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int st = pclose(p);
    if (rc)
        *rc = st;
    return out;
}

// A fresh temporary folder per test, removed afterwards.
class TempDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kmxtest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { run("rm -rf '" + dir_ + "'"); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

// A MATRIX record with the given fields (ecOid from the curve table).
inline MATRIX* make_matrix_record(const std::string& matrixId, unsigned serial, long row, long col)
{
    MATRIX* m = MATRIX_new();
    const ecurve_info* c = ecurve_by_serial(serial);
    ASN1_INTEGER_set(m->version, 1);
    ASN1_STRING_set(m->matrixId, matrixId.data(), static_cast<int>(matrixId.size()));
    ASN1_STRING_set(m->name, "test matrix", -1);
    ASN1_INTEGER_set(m->row, row);
    ASN1_INTEGER_set(m->col, col);
    ASN1_OBJECT_free(m->ecOid);
    m->ecOid = OBJ_nid2obj(c->nid);
    ASN1_UTCTIME_set(m->genTime, 1700000000);
    return m;
}

// The 256-byte head of a record.
inline Bytes head_of(const MATRIX* m)
{
    Bytes head(KMX_HEAD_SIZE, 0);
    int n = i2d_MATRIX(m, nullptr);
    EXPECT_GT(n, 0);
    EXPECT_LE(n, KMX_HEAD_MAX_DER);
    unsigned char* p = head.data() + 4;
    i2d_MATRIX(m, &p);
    head[0] = static_cast<unsigned char>(n);
    head[1] = static_cast<unsigned char>(n >> 8);
    return head;
}

// A secret matrix (scalars) and its public matrix (points), in memory.
struct TestMatrix {
    std::string matrixId;
    unsigned serial;
    int row, col, L;
    Bytes secret, pub;   // whole files: head then elements
};

inline TestMatrix make_test_matrix(const std::string& matrixId, unsigned serial, int row, int col)
{
    TestMatrix t{matrixId, serial, row, col, ecurve_param_len(serial), {}, {}};
    MATRIX* m = make_matrix_record(matrixId, serial, row, col);
    t.secret = head_of(m);
    t.pub = t.secret;
    MATRIX_free(m);
    // The elements' points come from the curve's published parameters.
    EC_GROUP* g = refcurve::group(serial);
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* s = BN_new();
    BIGNUM *x = BN_new(), *y = BN_new();
    EC_POINT* P = EC_POINT_new(g);
    const int L = t.L;
    std::vector<unsigned char> buf(2 * L);
    for (int k = 0; k < row * col; ++k) {
        testseed::bn_below(s, EC_GROUP_get0_order(g));
        BN_bn2binpad(s, buf.data(), L);
        t.secret.insert(t.secret.end(), buf.begin(), buf.begin() + L);
        EC_POINT_mul(g, P, s, nullptr, nullptr, ctx);
        EC_POINT_get_affine_coordinates(g, P, x, y, ctx);
        BN_bn2binpad(x, buf.data(), L);
        BN_bn2binpad(y, buf.data() + L, L);
        t.pub.insert(t.pub.end(), buf.begin(), buf.end());
    }
    EC_POINT_free(P);
    BN_free(x);
    BN_free(y);
    BN_free(s);
    BN_CTX_free(ctx);
    EC_GROUP_free(g);
    return t;
}

// isk of an identity from a secret matrix file, as a new big number.
inline BIGNUM* isk_of(const std::string& secretPath, const Bytes& id)
{
    BIGNUM* isk = BN_new();
    EXPECT_EQ(Matrix_Cal_isk(secretPath.c_str(), 0, id.data(), static_cast<int>(id.size()), isk,
                             nullptr, nullptr),
              0);
    return isk;
}

// Opens an envelope value (0x04 || X || Y || CRC) with isk in software: the
// key point k*G = isk^-1 * (k*Q), refused (false) when its CRC differs.
inline bool open_envelope(unsigned serial, const unsigned char* env, int envLen, const BIGNUM* isk,
                          Bytes* keyPoint)
{
    EC_GROUP* g = refcurve::group(serial);
    const int L = static_cast<int>(refcurve::field_len(g));
    bool ok = envLen == 2 * L + 3;
    BN_CTX* ctx = BN_CTX_new();
    EC_POINT* P = EC_POINT_new(g);
    BIGNUM* inv = BN_new();
    if (ok)
        ok = EC_POINT_oct2point(g, P, env, 2 * L + 1, ctx) == 1 &&
             BN_mod_inverse(inv, isk, EC_GROUP_get0_order(g), ctx) != nullptr &&
             EC_POINT_mul(g, P, nullptr, P, inv, ctx) == 1;
    Bytes xy(2 * L);
    if (ok)
        ok = KMX_Point_XY(g, P, L, xy.data(), ctx) == 0;
    if (ok) {
        unsigned short crc = crc16_xmodem(xy.data(), static_cast<size_t>(2 * L));
        ok = env[2 * L + 1] == (crc & 0xFF) && env[2 * L + 2] == (crc >> 8);
    }
    if (ok)
        *keyPoint = xy;
    BN_free(inv);
    EC_POINT_free(P);
    BN_CTX_free(ctx);
    EC_GROUP_free(g);
    return ok;
}

// Record samples with every field set (the caller frees them).
inline KeyCard* make_keycard(long notBefore, long notAfter)
{
    KeyCard* k = KeyCard_new();
    ASN1_INTEGER_set(k->version, 1);
    ASN1_OBJECT_free(k->ecOid);
    k->ecOid = OBJ_nid2obj(NID_sm2);
    ASN1_STRING_set(k->matrixId, "matrix-A", -1);
    ASN1_STRING_set(k->keyId, "alice@example", -1);
    ASN1_INTEGER_set_int64(k->notBefore, notBefore);
    ASN1_INTEGER_set_int64(k->notAfter, notAfter);
    unsigned char isk[34];
    for (int i = 0; i < 34; ++i)
        isk[i] = static_cast<unsigned char>(i + 1);
    ASN1_STRING_set(k->isk, isk, sizeof isk);
    return k;
}

inline DataSig* make_datasig(long t)
{
    DataSig* s = DataSig_new();
    ASN1_INTEGER_set(s->version, 1);
    ASN1_STRING_set(s->matrixId, "matrix-A", -1);
    ASN1_STRING_set(s->signerId, "bob", -1);
    ASN1_INTEGER_set_int64(s->signTime, t);
    ASN1_OBJECT_free(s->mdOid);
    s->mdOid = OBJ_nid2obj(NID_sm3);
    unsigned char sig[64] = {0x11, 0x22};
    ASN1_STRING_set(s->signVal, sig, sizeof sig);
    return s;
}

// The identity's r under the matrix whose head starts the file at path, in
// hexadecimal as BN_bn2hex writes it: the public scalar of R = r·G, which
// anyone holding the matrix head computes, so it needs no constant-time mark.
inline std::string public_r_hex(const std::string& path, const Bytes& id)
{
    unsigned char head[KMX_HEAD_SIZE];
    MATRIX* m = nullptr;
    KMX_Matrix_Info info{};
    std::string out;
    unsigned char r[32], R[65];
    int RLen = 0;
    if (KMX_Read_Head(path.c_str(), nullptr, head) == 0 && KMX_Decode_Head(head, &m, &info) == 0 &&
        KMX_Cal_R(m, id.data(), static_cast<int>(id.size()), r, R, &RLen) == 0) {
        BIGNUM* bn = BN_bin2bn(r, info.L, nullptr);
        char* hex = bn ? BN_bn2hex(bn) : nullptr;
        if (hex)
            out = hex;
        OPENSSL_free(hex);
        BN_free(bn);
    }
    EXPECT_FALSE(out.empty()) << "no identity scalar from " << path;
    MATRIX_free(m);
    KMX_Matrix_Info_free(&info);
    return out;
}

} // namespace kmxt
