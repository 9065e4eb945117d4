// Key utilities: random key pairs on every curve of the table, points from
// x and the first byte of y, and the overwrite-and-remove of a file.
#include <dlfcn.h>
#include <openssl/err.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "kmx_fixture.h"

using namespace kmxt;

// The next scalar that the library's random draw below a range gives, when
// set (taken once); every other draw is the library's own. The test program
// defines the draw in front of the crypto library's and forwards to it.
namespace forced_draw {
BIGNUM* next = nullptr;
}

extern "C" int BN_priv_rand_range_ex(BIGNUM* r, const BIGNUM* range, unsigned int strength,
                                     BN_CTX* ctx)
{
    using fn = int (*)(BIGNUM*, const BIGNUM*, unsigned int, BN_CTX*);
    static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "BN_priv_rand_range_ex"));
    if (BIGNUM* k = forced_draw::next) {
        forced_draw::next = nullptr;
        return BN_copy(r, k) != nullptr && BN_cmp(k, range) < 0 ? 1 : 0;
    }
    return real ? real(r, range, strength, ctx) : 0;
}

namespace {

// The table's curves under the names a caller may use.
const char* const kCurveNames[6] = {"prime192v1", "secp64r1", "secp112r1",
                                    "secp160r1",  "prime256v1", "sm2p256v1"};

// P = d*G on the curve of serial, P given as X || Y.
bool is_key_pair(unsigned serial, const Bytes& xy, const Bytes& d)
{
    EC_GROUP* g = ecurve_new_group(serial);
    const int L = ecurve_param_len(serial);
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* k = BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr);
    BIGNUM* x = BN_bin2bn(xy.data(), L, nullptr);
    BIGNUM* y = BN_bin2bn(xy.data() + L, L, nullptr);
    EC_POINT* P = EC_POINT_new(g);
    EC_POINT* Q = EC_POINT_new(g);
    bool ok = EC_POINT_set_affine_coordinates(g, P, x, y, ctx) == 1 &&
              EC_POINT_is_on_curve(g, P, ctx) == 1 &&
              EC_POINT_mul(g, Q, k, nullptr, nullptr, ctx) == 1 &&
              EC_POINT_cmp(g, P, Q, ctx) == 0 && !BN_is_zero(k) &&
              BN_cmp(k, EC_GROUP_get0_order(g)) < 0;
    EC_POINT_free(Q);
    EC_POINT_free(P);
    BN_free(y);
    BN_free(x);
    BN_free(k);
    BN_CTX_free(ctx);
    EC_GROUP_free(g);
    return ok;
}

TEST(GenSymKey, KeyPairsLieOnTheirCurveForEverySerial)
{
    for (unsigned serial = 0; serial < 6; ++serial) {
        const int L = ecurve_param_len(serial);
        for (int round = 0; round < 4; ++round) {
            Bytes pub(64), priv(32);
            int pubLen = 2 * L, privLen = L;
            ASSERT_EQ(KMX_GenSymKey(kCurveNames[serial], pub.data(), &pubLen, priv.data(), &privLen),
                      0)
                << kCurveNames[serial];
            EXPECT_EQ(pubLen, 2 * L);
            EXPECT_LE(privLen, L);
            pub.resize(pubLen);
            priv.resize(privLen);
            EXPECT_TRUE(is_key_pair(serial, pub, priv)) << kCurveNames[serial];
        }
    }
    // The curve may also be given by object identifier or long name.
    const ecurve_info* c = ecurve_by_serial(5);
    Bytes pub(64), priv(32);
    int pubLen = 64, privLen = 32;
    EXPECT_EQ(KMX_GenSymKey(c->oid, pub.data(), &pubLen, priv.data(), &privLen), 0);
    EXPECT_TRUE(is_key_pair(5, pub, Bytes(priv.begin(), priv.begin() + privLen)));
}

TEST(GenSymKey, ShortRoomAndUnknownCurves)
{
    Bytes pub(64), priv(32);
    int pubLen = 63, privLen = 32;
    EXPECT_EQ(KMX_GenSymKey("prime256v1", pub.data(), &pubLen, priv.data(), &privLen),
              ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(pubLen, 64);
    EXPECT_EQ(privLen, 32);
    pubLen = 64;
    privLen = 31;
    EXPECT_EQ(KMX_GenSymKey("prime256v1", pub.data(), &pubLen, priv.data(), &privLen),
              ST_BUFFER_TOO_SMALL);
    for (const char* name : {"secp384r1", "no such curve", "sha256", ""}) {
        pubLen = 64;
        privLen = 32;
        EXPECT_EQ(KMX_GenSymKey(name, pub.data(), &pubLen, priv.data(), &privLen), ST_UNKNOWN_CURVE)
            << name;
    }
    EXPECT_EQ(KMX_GenSymKey("prime256v1", pub.data(), nullptr, priv.data(), &privLen),
              ST_BAD_ARGUMENT);
}

// On secp160r1 the order is longer than the field: a scalar of L + 1 bytes
// needs a room of L + 1 and gets 1018 with that length from a room of L,
// with nothing written.
TEST(GenSymKey, ScalarLongerThanTheFieldNeedsItsOwnRoom)
{
    const unsigned serial = 3;
    const int L = ecurve_param_len(serial);
    EC_GROUP* g = ecurve_new_group(serial);
    ASSERT_NE(g, nullptr);
    BIGNUM* top = BN_dup(EC_GROUP_get0_order(g));
    ASSERT_TRUE(top && BN_sub_word(top, 1));   // n - 1
    ASSERT_EQ(BN_num_bytes(top), L + 1);

    Bytes pub(2 * L + 16, 0xA5), priv(L + 1 + 16, 0xA5);
    int pubLen = 2 * L, privLen = L;
    forced_draw::next = top;
    EXPECT_EQ(KMX_GenSymKey(kCurveNames[serial], pub.data(), &pubLen, priv.data(), &privLen),
              ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(pubLen, 2 * L);
    EXPECT_EQ(privLen, L + 1);
    EXPECT_EQ(pub, Bytes(pub.size(), 0xA5));
    EXPECT_EQ(priv, Bytes(priv.size(), 0xA5)) << "nothing written, nothing past the room";

    forced_draw::next = top;
    ASSERT_EQ(KMX_GenSymKey(kCurveNames[serial], pub.data(), &pubLen, priv.data(), &privLen), 0);
    EXPECT_EQ(privLen, L + 1);
    EXPECT_TRUE(std::all_of(priv.begin() + L + 1, priv.end(), [](uint8_t b) { return b == 0xA5; }));
    priv.resize(static_cast<size_t>(privLen));
    pub.resize(static_cast<size_t>(pubLen));
    EXPECT_TRUE(is_key_pair(serial, pub, priv));
    EXPECT_EQ(forced_draw::next, nullptr);
    BN_free(top);
    EC_GROUP_free(g);
}

// Both roots of points on every curve come back from x and y's first byte.
TEST(EcpX2xy, RecoversBothParitiesAndRefusesOtherFirstBytes)
{
    for (unsigned serial = 0; serial < 6; ++serial) {
        const int L = ecurve_param_len(serial);
        bool even = false, odd = false;
        for (int round = 0; round < 40 && !(even && odd); ++round) {
            Bytes pub(64), priv(32);
            int pubLen = 64, privLen = 32;
            ASSERT_EQ(KMX_GenSymKey(kCurveNames[serial], pub.data(), &pubLen, priv.data(), &privLen),
                      0);
            pub.resize(2 * L);
            const bool isOdd = pub.back() & 1;
            // -P has the other root; its first byte differs unless y is close
            // to p / 2, which the test skips.
            EC_GROUP* g = ecurve_new_group(serial);
            BIGNUM* p = BN_new();
            BIGNUM* y = BN_bin2bn(pub.data() + L, L, nullptr);
            EC_GROUP_get_curve(g, p, nullptr, nullptr, nullptr);
            BN_sub(y, p, y);
            Bytes other(L);
            BN_bn2binpad(y, other.data(), L);
            BN_free(y);
            BN_free(p);
            EC_GROUP_free(g);
            if (other[0] == pub[L])
                continue;
            Bytes out(2 * L, 0xAA);
            ASSERT_EQ(KMX_ECP_x2xy(kCurveNames[serial], pub.data(), pub[L], out.data()), 0);
            EXPECT_EQ(out, pub) << kCurveNames[serial];
            (isOdd ? odd : even) = true;
            // A first byte that neither root has.
            unsigned char none = static_cast<unsigned char>(pub[L] + 1);
            while (none == other[0] || none == pub[L])
                ++none;
            out.assign(2 * L, 0xAA);
            EXPECT_EQ(KMX_ECP_x2xy(kCurveNames[serial], pub.data(), none, out.data()),
                      ST_NO_POINT_FOR_X)
                << kCurveNames[serial];
        }
        EXPECT_TRUE(even && odd) << kCurveNames[serial];
    }
}

TEST(EcpX2xy, RefusesAnXOffTheCurve)
{
    // On prime256v1 about half of all x have no point: find one by the
    // library's own decoding, then ask for it.
    EC_GROUP* g = ecurve_new_group(4);
    EC_POINT* P = EC_POINT_new(g);
    Bytes enc(33, 0);
    enc[0] = 0x02;
    int found = 0;
    for (int v = 1; v < 200 && found < 3; ++v) {
        enc[32] = static_cast<unsigned char>(v);
        enc[31] = 0x5A;
        if (EC_POINT_oct2point(g, P, enc.data(), enc.size(), nullptr) == 1)
            continue;
        ERR_clear_error();
        ++found;
        Bytes out(64, 0xAA);
        EXPECT_EQ(KMX_ECP_x2xy("prime256v1", enc.data() + 1, 0x00, out.data()), ST_NO_POINT_FOR_X)
            << v;
    }
    EXPECT_EQ(found, 3);
    EC_POINT_free(P);
    EC_GROUP_free(g);
    // An x of all 0xFF is not even a field element.
    Bytes x(32, 0xFF), out(64);
    EXPECT_EQ(KMX_ECP_x2xy("prime256v1", x.data(), 0, out.data()), ST_NO_POINT_FOR_X);
    EXPECT_EQ(KMX_ECP_x2xy("secp384r1", x.data(), 0, out.data()), ST_UNKNOWN_CURVE);
    EXPECT_EQ(KMX_ECP_x2xy("prime256v1", nullptr, 0, out.data()), ST_BAD_ARGUMENT);
}

// ------------------------------------------------------------ deletion

class DeleteFile : public TempDir {};

bool contains(const Bytes& hay, const Bytes& needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST_F(DeleteFile, OverwritesThroughTheInodeAndRemovesTheName)
{
    // A second hard link sees what the passes left in the file's blocks.
    Bytes secret(100);
    for (size_t i = 0; i < secret.size(); ++i)
        secret[i] = static_cast<unsigned char>(0x80 + i);
    struct Case {
        unsigned char passes;
        size_t size;   // what the other link sees afterwards
    } cases[] = {{3, 128}, {1, 128}, {15, 128}, {0, 0}};
    for (const Case& c : cases) {
        const std::string f = path("victim"), link = path("other");
        write_file(f, secret);
        ASSERT_EQ(::link(f.c_str(), link.c_str()), 0);
        EXPECT_EQ(KMX_DeleteFile(f.c_str(), c.passes), 0) << int(c.passes);
        EXPECT_FALSE(exists(f)) << int(c.passes);
        const Bytes left = read_file(link);
        EXPECT_EQ(left.size(), c.size) << int(c.passes);
        for (size_t at = 0; at + 8 <= secret.size(); at += 8)
            EXPECT_FALSE(contains(left, Bytes(secret.begin() + at, secret.begin() + at + 8)))
                << int(c.passes) << " keeps old bytes at " << at;
        ::unlink(link.c_str());
    }
    // 16 is 0 passes: removed, not overwritten.
    const std::string f = path("victim"), link = path("other");
    write_file(f, secret);
    ASSERT_EQ(::link(f.c_str(), link.c_str()), 0);
    EXPECT_EQ(KMX_DeleteFile(f.c_str(), 16), 0);
    EXPECT_FALSE(exists(f));
    EXPECT_EQ(read_file(link), secret);
}

TEST_F(DeleteFile, RefusesLinksFoldersAndMissingFiles)
{
    const Bytes kept = bytes("the target must survive");
    const std::string target = path("target"), sym = path("sym");
    write_file(target, kept);
    ASSERT_EQ(::symlink(target.c_str(), sym.c_str()), 0);
    for (unsigned char passes : {3, 0}) {
        EXPECT_EQ(KMX_DeleteFile(sym.c_str(), passes), ST_FILE_OPEN) << int(passes);
        EXPECT_EQ(read_file(target), kept) << int(passes);
        struct stat sb;
        EXPECT_EQ(::lstat(sym.c_str(), &sb), 0) << "the link itself stays";
    }
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(KMX_DeleteFile(fifo.c_str(), 1), ST_FILE_OPEN);
    EXPECT_EQ(KMX_DeleteFile(dir_.c_str(), 1), ST_FILE_OPEN);
    EXPECT_EQ(KMX_DeleteFile(path("missing").c_str(), 1), ST_FILE_OPEN);
    EXPECT_EQ(KMX_DeleteFile(nullptr, 1), ST_BAD_ARGUMENT);
}

// A failed overwrite is reported and the file is not removed, so that
// nobody takes it for wiped. The passes grow a 100-byte file to 128 bytes;
// a file size limit of 100 bytes makes the write past it fail (EFBIG). The
// limit is set in a child process only.
TEST_F(DeleteFile, FailedOverwriteIsReportedAndTheFileStays)
{
    const std::string f = path("victim");
    write_file(f, Bytes(100, 0x42));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {100, 100};
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
            _exit(2);
        _exit(KMX_DeleteFile(f.c_str(), 1) == ST_FILE_WRITE ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a failed write must answer 11010";
    EXPECT_TRUE(exists(f));
    EXPECT_EQ(read_file(f).size(), 100u);
}

} // namespace
