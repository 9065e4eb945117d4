// Identity mapping and key calculation over matrix files the tests write:
// the public key from the public matrix equals isk*G for the isk from the
// matching secret matrix; the head checks; damaged matrices.
#include "kmx_fixture.h"

using namespace kmxt;

namespace {

// isk*G as 0x04 || X || Y, on the curve built from its published
// parameters by the crypto library, not by the layer's curve code.
Bytes times_g(unsigned serial, const BIGNUM* isk)
{
    EC_GROUP* g = refcurve::group(serial);
    if (g == nullptr) {
        ADD_FAILURE() << "no reference curve " << serial;
        return {};
    }
    BN_CTX* ctx = BN_CTX_new();
    EC_POINT* P = EC_POINT_new(g);
    EC_POINT_mul(g, P, isk, nullptr, nullptr, ctx);
    Bytes out(65);
    size_t n = EC_POINT_point2oct(g, P, POINT_CONVERSION_UNCOMPRESSED, out.data(), out.size(), ctx);
    out.resize(n);
    EC_POINT_free(P);
    BN_CTX_free(ctx);
    EC_GROUP_free(g);
    return out;
}

Bytes bn_bytes(const BIGNUM* bn, int len)
{
    Bytes out(static_cast<size_t>(len));
    EXPECT_EQ(BN_bn2binpad(bn, out.data(), len), len);
    return out;
}

Bytes binary_id()
{
    Bytes id(39);
    for (int i = 0; i < 39; ++i)
        id[i] = static_cast<unsigned char>(i % 5 == 0 ? 0 : 0x30 + i * 3);
    return id;
}

class MatrixTest : public TempDir {
protected:
    // Writes the secret and public files of a new matrix.
    TestMatrix write(const std::string& matrixId, unsigned serial, int row, int col)
    {
        TestMatrix t = make_test_matrix(matrixId, serial, row, col);
        write_file(sec(t), t.secret);
        write_file(pub(t), t.pub);
        return t;
    }
    std::string sec(const TestMatrix& t) const { return path(t.matrixId + ".sec"); }
    std::string pub(const TestMatrix& t) const { return path(t.matrixId + ".pks"); }

    Bytes pubkey(const std::string& file, const Bytes& id, int* st = nullptr, int cap = 65)
    {
        Bytes out(65);
        int n = cap;
        int s = FMatrix_Cal_pubkey(file.c_str(), id.data(), static_cast<int>(id.size()), out.data(), &n);
        if (st)
            *st = s;
        else
            EXPECT_EQ(s, 0);
        out.resize(s == 0 ? n : 0);
        return out;
    }
};

} // namespace

TEST_F(MatrixTest, PublicKeyFromPublicMatrixEqualsIskTimesG)
{
    const std::vector<Bytes> ids = {bytes("alice"), bytes("b"), binary_id(),
                                    bytes("a-much-longer-identity-string-of-the-host@example.org")};
    for (unsigned serial : {0u, 5u, 3u, 1u}) {
        SCOPED_TRACE(serial);
        TestMatrix t = write("mx" + std::to_string(serial), serial, 16, 8);
        for (const Bytes& id : ids) {
            BIGNUM* isk = isk_of(sec(t), id);
            Bytes want = times_g(serial, isk);
            ASSERT_EQ(want.size(), 2u * t.L + 1);
            EXPECT_EQ(hex(pubkey(pub(t), id)), hex(want));
            Bytes mem(65);
            int n = 65;
            ASSERT_EQ(SMatrix_Cal_pubkey(t.pub.data(), static_cast<int>(t.pub.size()), id.data(),
                                         static_cast<int>(id.size()), mem.data(), &n),
                      0);
            mem.resize(n);
            EXPECT_EQ(hex(mem), hex(want));
            n = 65;
            ASSERT_EQ(KMX_CalPubkey(pub(t).c_str(), id.data(), static_cast<int>(id.size()),
                                    mem.data(), &n),
                      0);
            BN_free(isk);
        }
        // Different identities get different keys.
        EXPECT_NE(hex(pubkey(pub(t), ids[0])), hex(pubkey(pub(t), ids[1])));
    }
}

TEST_F(MatrixTest, IdentityPointAtInfinityWhenHExceedsTheOrder)
{
    // On secp112r1 about one identity in seven has H > n, so r = n and R is
    // the point at infinity; the keys still match. r is checked against
    // n mod H from the curve's published order, n itself when H > n.
    // secp112r1's published order.
    const std::string kOrder112 = "db7c2abf62e35e7628dfac6561c5";
    BIGNUM* n112 = nullptr;
    ASSERT_GT(BN_hex2bn(&n112, kOrder112.c_str()), 0);
    TestMatrix t = write("mx112", 2, 8, 4);
    MATRIX* m = nullptr;
    Bytes head(t.pub.begin(), t.pub.begin() + KMX_HEAD_SIZE);
    ASSERT_EQ(KMX_Decode_Head(head.data(), &m), 0);
    int found = 0, finite = 0;
    for (int i = 0; i < 200 && (found < 2 || finite < 2); ++i) {
        Bytes id = bytes("host-" + std::to_string(i));
        unsigned char r[14], R[29];
        int RLen = 0;
        ASSERT_EQ(KMX_Cal_R(m, id.data(), static_cast<int>(id.size()), r, R, &RLen), 0);
        unsigned char h[32];
        int hLen = 32;
        ASSERT_EQ(KMX_HMAC("SM3", reinterpret_cast<const unsigned char*>(t.matrixId.data()),
                           static_cast<int>(t.matrixId.size()), id.data(),
                           static_cast<int>(id.size()), h, &hLen),
                  0);
        BIGNUM* H = BN_bin2bn(h, 14, nullptr);
        BIGNUM* want = BN_new();
        BN_CTX* bctx = BN_CTX_new();
        ASSERT_TRUE(H && want && bctx && !BN_is_zero(H));
        bool above = BN_cmp(H, n112) > 0;
        ASSERT_EQ(BN_mod(want, n112, H, bctx), 1);
        EXPECT_EQ(hex(r, 14), hex(bn_bytes(want, 14))) << "identity " << i;
        EXPECT_EQ(above, RLen == 1) << "identity " << i;
        BN_CTX_free(bctx);
        BN_free(want);
        BN_free(H);
        BIGNUM* isk = isk_of(sec(t), id);
        Bytes pk = pubkey(pub(t), id);
        EXPECT_EQ(pk.size(), 29u);
        EXPECT_EQ(hex(pk), hex(times_g(2, isk)));
        if (RLen == 1) {
            ++found;
            EXPECT_EQ(R[0], 0);
            EXPECT_EQ(hex(r, 14), kOrder112);   // r = n, not n reduced to 0
        } else {
            ++finite;
            EXPECT_EQ(RLen, 29);
        }
        BN_free(isk);
    }
    EXPECT_GE(found, 2);
    EXPECT_GE(finite, 2);
    BN_free(n112);
    MATRIX_free(m);
}

TEST_F(MatrixTest, IdentityScalarFitsTheFieldOnSecp160r1)
{
    // secp160r1's order has 21 bytes; r is written as L = 20 bytes.
    TestMatrix t = write("mx160", 3, 4, 4);
    MATRIX* m = nullptr;
    ASSERT_EQ(KMX_Decode_Head(t.pub.data(), &m), 0);
    for (int i = 0; i < 20; ++i) {
        Bytes id = bytes("id" + std::to_string(i));
        unsigned char r[20], R[41];
        int RLen = 0;
        ASSERT_EQ(KMX_Cal_R(m, id.data(), static_cast<int>(id.size()), r, R, &RLen), 0);
        BIGNUM* bn = BN_bin2bn(r, 20, nullptr);
        EXPECT_EQ(hex(times_g(3, bn)), hex(R, RLen));
        BN_free(bn);
    }
    MATRIX_free(m);
}

TEST(StrToIndex, EachColumnSelectsARowOfItsOwnColumn)
{
    Bytes key = bytes("some key"), id = bytes("alice");
    unsigned short idx[32];
    ASSERT_EQ(str2index(16, 4, key.data(), static_cast<int>(key.size()), id.data(),
                        static_cast<int>(id.size()), idx),
              0);
    unsigned char h[32];
    int n = 32;
    ASSERT_EQ(KMX_HMAC("SM3", key.data(), static_cast<int>(key.size()), id.data(),
                       static_cast<int>(id.size()), h, &n),
              0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(idx[i], (h[i] % 16) * 4 + i);
        EXPECT_LT(idx[i], 64);
    }
    // 256 x 32 and the largest 2048 x 32 keep the numbers below row * col.
    ASSERT_EQ(str2index(2048, 32, key.data(), 8, id.data(), 5, idx), 0);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(idx[i] % 32, i);
    EXPECT_EQ(str2index(0, 4, key.data(), 8, id.data(), 5, idx), ST_BAD_ARGUMENT);
    EXPECT_EQ(str2index(4, 33, key.data(), 8, id.data(), 5, idx), ST_BAD_ARGUMENT);
}

TEST_F(MatrixTest, EveryHeadIsCheckedWhereverItIsRead)
{
    TestMatrix good = make_test_matrix("good", 5, 4, 4);
    struct Case {
        const char* what;
        std::string matrixId;
        unsigned serial;
        long row, col;
        int lenField;   // 0: the real length
        int nid;        // 0: the table curve
        int status;
    } cases[] = {
        {"row 0", "m", 5, 0, 4, 0, 0, ST_BAD_DER},
        {"negative row", "m", 5, -3, 4, 0, 0, ST_BAD_DER},
        {"col 0", "m", 5, 4, 0, 0, 0, ST_BAD_DER},
        {"col 33", "m", 5, 4, 33, 0, 0, ST_BAD_DER},
        {"row x col above 65536", "m", 5, 2049, 32, 0, 0, ST_BAD_DER},
        {"matrixId of 33 bytes", std::string(33, 'x'), 5, 4, 4, 0, 0, ST_BAD_DER},
        {"length field 253", "m", 5, 4, 4, 253, 0, ST_BAD_DER},
        {"length field 0", "m", 5, 4, 4, -1, 0, ST_BAD_DER},
        {"curve outside the table", "m", 5, 4, 4, 0, NID_secp384r1, ST_UNKNOWN_CURVE},
        {"not a curve", "m", 5, 4, 4, 0, NID_sha256, ST_UNKNOWN_CURVE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MATRIX* m = make_matrix_record(c.matrixId, c.serial, c.row, c.col);
        if (c.nid) {
            ASN1_OBJECT_free(m->ecOid);
            m->ecOid = OBJ_nid2obj(c.nid);
        }
        EXPECT_EQ(Matrix_is_valid(m), c.lenField ? 0 : c.status);   // the record itself is sound
        Bytes file = head_of(m);
        if (c.lenField)
            file[0] = static_cast<unsigned char>(c.lenField < 0 ? 0 : c.lenField);
        file.insert(file.end(), good.pub.begin() + KMX_HEAD_SIZE, good.pub.end());
        file.resize(KMX_HEAD_SIZE + 2 * 32 * 4096, 0);   // room for any element
        write_file(path("bad.pks"), file);
        Bytes id = bytes("alice");
        int st = -1;
        pubkey(path("bad.pks"), id, &st);
        EXPECT_EQ(st, c.status);
        BIGNUM* isk = BN_new();
        EXPECT_EQ(Matrix_Cal_isk(path("bad.pks").c_str(), 0, id.data(), 5, isk, nullptr, nullptr),
                  c.status);
        BN_free(isk);
        unsigned char out[65];
        int n = 65;
        EXPECT_EQ(SMatrix_Cal_pubkey(file.data(), static_cast<int>(file.size()), id.data(), 5, out, &n),
                  c.status);
        unsigned char R[65];
        int RLen = 0;
        if (c.lenField == 0) {
            EXPECT_EQ(KMX_Cal_R(m, id.data(), 5, nullptr, R, &RLen), c.status);
        }
        MATRIX_free(m);
    }
    EXPECT_EQ(Matrix_is_valid(nullptr), ST_BAD_ARGUMENT);
}

TEST_F(MatrixTest, DamagedMatricesAreReportedNotTurnedIntoWrongKeys)
{
    TestMatrix t = write("dmg", 5, 16, 8);
    Bytes id = bytes("alice");
    // Truncated files: the elements the identity selects are missing.
    for (size_t keep : {t.pub.size() - 1, static_cast<size_t>(KMX_HEAD_SIZE), static_cast<size_t>(100)}) {
        write_file(path("short.pks"), Bytes(t.pub.begin(), t.pub.begin() + keep));
        int st = -1;
        pubkey(path("short.pks"), id, &st);
        if (keep == t.pub.size() - 1 && st == 0)
            continue;   // this identity does not select the last element
        EXPECT_EQ(st, ST_BAD_DER) << keep;
    }
    write_file(path("short.sec"), Bytes(t.secret.begin(), t.secret.begin() + KMX_HEAD_SIZE + 10));
    BIGNUM* isk = BN_new();
    EXPECT_EQ(Matrix_Cal_isk(path("short.sec").c_str(), 0, id.data(), 5, isk, nullptr, nullptr),
              ST_BAD_DER);
    BN_free(isk);
    // Elements off the curve.
    Bytes bad = t.pub;
    for (size_t off = KMX_HEAD_SIZE + 5; off < bad.size(); off += 64)
        bad[off] ^= 0x40;
    write_file(path("offcurve.pks"), bad);
    int st = -1;
    pubkey(path("offcurve.pks"), id, &st);
    EXPECT_EQ(st, ST_BAD_ID_POINT);
    unsigned char out[65];
    int n = 65;
    EXPECT_EQ(SMatrix_Cal_pubkey(bad.data(), static_cast<int>(bad.size()), id.data(), 5, out, &n),
              ST_BAD_ID_POINT);
}

TEST_F(MatrixTest, ArgumentsRoomAndInMemoryLength)
{
    TestMatrix t = write("args", 5, 16, 8);
    Bytes id = bytes("alice");
    int st = -1;
    Bytes out(65);
    int n = 64;   // 2L
    EXPECT_EQ(FMatrix_Cal_pubkey(pub(t).c_str(), id.data(), 5, out.data(), &n), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 65);
    pubkey(path("missing.pks"), id, &st);
    EXPECT_EQ(st, ST_MATRIX_FILE_OPEN);
    n = 65;
    EXPECT_EQ(FMatrix_Cal_pubkey(pub(t).c_str(), id.data(), 0, out.data(), &n), ST_BAD_ARGUMENT);
    EXPECT_EQ(FMatrix_Cal_pubkey(nullptr, id.data(), 5, out.data(), &n), ST_BAD_ARGUMENT);
    // The in-memory matrix must hold 256 + 2L * row * col bytes.
    const int whole = static_cast<int>(t.pub.size());
    ASSERT_EQ(whole, 256 + 64 * 16 * 8);
    EXPECT_EQ(SMatrix_Cal_pubkey(t.pub.data(), whole - 1, id.data(), 5, out.data(), &n), ST_BAD_ARGUMENT);
    EXPECT_EQ(SMatrix_Cal_pubkey(t.pub.data(), 256, id.data(), 5, out.data(), &n), ST_BAD_ARGUMENT);
    EXPECT_EQ(SMatrix_Cal_pubkey(t.pub.data(), whole, id.data(), 5, out.data(), &n), 0);
    // Matrix_Cal_KMX: exactly one of path and memory.
    EC_GROUP* g = ecurve_new_group(5);
    EC_POINT* PK = EC_POINT_new(g);
    unsigned char R[1] = {0};
    EXPECT_EQ(Matrix_Cal_KMX(pub(t).c_str(), t.pub.data(), id.data(), 5, R, 1, PK), ST_BAD_ARGUMENT);
    EXPECT_EQ(Matrix_Cal_KMX(nullptr, nullptr, id.data(), 5, R, 1, PK), ST_BAD_ARGUMENT);
    unsigned char notPoint[3] = {0x04, 1, 2};
    EXPECT_EQ(Matrix_Cal_KMX(pub(t).c_str(), nullptr, id.data(), 5, notPoint, 3, PK), ST_BAD_ID_POINT);
    EC_POINT_free(PK);
    EC_GROUP_free(g);
}
