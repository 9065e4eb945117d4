// Symmetric encryption by name against `openssl enc`, padding checks, the
// digests, and Base64 against `openssl base64 -A`.
#include "kmx_fixture.h"

#include <openssl/evp.h>

#include "smcrypto/sm4.h"

using namespace kmxt;

namespace {

Bytes pattern(size_t n, unsigned seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>((i * 31 + seed * 17 + (i >> 3)) & 0xFF);
    return b;
}

Bytes sha256(const Bytes& in)
{
    unsigned char out[32];
    unsigned n = 0;
    EVP_Digest(in.data(), in.size(), out, &n, EVP_sha256(), nullptr);
    return Bytes(out, out + 32);
}

class SymTest : public TempDir {
protected:
    // openssl enc of data with a raw key (and IV).
    Bytes openssl_enc(const std::string& cipher, const Bytes& data, const Bytes& key,
                      const Bytes& iv, const std::string& extra = "")
    {
        write_file(path("plain"), data);
        std::string cmd = "openssl enc -" + cipher + " " + extra + " -K " + hex(key);
        if (!iv.empty())
            cmd += " -iv " + hex(iv);
        cmd += " -in '" + path("plain") + "' -out '" + path("enc") + "' 2>&1";
        int rc = 0;
        std::string msg = run(cmd, &rc);
        EXPECT_EQ(rc, 0) << cmd << "\n" << msg;
        return read_file(path("enc"));
    }
};

Bytes sym(bool enc, const char* name, const Bytes& in, const Bytes& kd, int* st = nullptr,
          int cap = 4096)
{
    Bytes out(static_cast<size_t>(cap) + 16, 0xEE);
    int n = cap;
    int s = (enc ? Sym_Encrypt : Sym_Decrypt)(name, in.data(), static_cast<int>(in.size()), kd.data(),
                                             static_cast<int>(kd.size()), out.data(), &n);
    if (st)
        *st = s;
    else
        EXPECT_EQ(s, 0) << name;
    out.resize(s == 0 ? n : 0);
    return out;
}

} // namespace

TEST_F(SymTest, MatchesOpensslEncWithTheKeyDataTakenDirectly)
{
    struct Case {
        const char* name;
        const char* enc;
        int keyLen, ivLen;
        const char* extra;
    } cases[] = {
        {"SM4-ECB", "sm4-ecb", 16, 0, ""},
        {"SM4-CBC", "sm4-cbc", 16, 16, ""},
        {"AES-256-CBC", "aes-256-cbc", 32, 16, ""},
        {"AES-128-ECB", "aes-128-ecb", 16, 0, ""},
        {"DES-CBC", "des-cbc", 8, 8, "-provider legacy -provider default"},
    };
    for (const Case& c : cases) {
        // Key data as long as key + IV: the derivation copies it.
        Bytes kd = pattern(c.keyLen + c.ivLen, 3);
        Bytes key(kd.begin(), kd.begin() + c.keyLen), iv(kd.begin() + c.keyLen, kd.end());
        for (size_t len : {1u, 5u, 15u, 16u, 20u, 100u}) {
            SCOPED_TRACE(std::string(c.name) + " " + std::to_string(len));
            Bytes plain = pattern(len, static_cast<unsigned>(len));
            Bytes ours = sym(true, c.name, plain, kd);
            EXPECT_EQ(hex(ours), hex(openssl_enc(c.enc, plain, key, iv, c.extra)));
            EXPECT_EQ(hex(sym(false, c.name, ours, kd)), hex(plain));
        }
    }
}

TEST_F(SymTest, KeyDataOfOtherLengthsIsDerivedWithSha256)
{
    Bytes kd = pattern(20, 9), plain = pattern(77, 1);
    Bytes t1 = sha256(kd), t2 = sha256(t1);
    Bytes key(t1.begin(), t1.end()), iv(t2.begin(), t2.begin() + 16);
    EXPECT_EQ(hex(sym(true, "AES-256-CBC", plain, kd)), hex(openssl_enc("aes-256-cbc", plain, key, iv)));
    Bytes sm4key(t1.begin(), t1.begin() + 16), sm4iv(t1.begin() + 16, t1.end());
    EXPECT_EQ(hex(sym(true, "SM4-CBC", plain, kd)), hex(openssl_enc("sm4-cbc", plain, sm4key, sm4iv)));
}

TEST(Sym, WrongKeysAndBadPaddingAreFailures)
{
    const Bytes kd = pattern(32, 1), other = pattern(32, 2), plain = pattern(40, 5);
    for (const char* name : {"SM4-ECB", "SM4-CBC", "AES-256-CBC"}) {
        Bytes c = sym(true, name, plain, kd);
        int st = 0;
        Bytes out = sym(false, name, c, other, &st);
        EXPECT_EQ(st, ST_DECRYPT_FAILED) << name;
    }
    // Padding made by hand: only p bytes all equal to p (1..16) are sound.
    const Bytes key(16, 0x42);   // key data of 16 bytes is the SM4-ECB key
    struct Case {
        Bytes tail;
        int status;
    } cases[] = {
        {{0x03, 0x03, 0x03}, 0},
        {{0x02, 0x03, 0x03}, ST_DECRYPT_FAILED},   // one wrong padding byte
        {{0x01, 0x03}, ST_DECRYPT_FAILED},
        {{0x00}, ST_DECRYPT_FAILED},
        {{0x11}, ST_DECRYPT_FAILED},
        {Bytes(16, 0x10), 0},
    };
    for (const Case& c : cases) {
        Bytes block(32, 0x61);
        std::copy(c.tail.begin(), c.tail.end(), block.end() - c.tail.size());
        Bytes enc(32);
        SM4_Encrypt(key.data(), nullptr, block.data(), 32, enc.data());
        int st = -1;
        Bytes out = sym(false, "SM4-ECB", enc, key, &st);
        EXPECT_EQ(st, c.status) << hex(c.tail);
        if (c.status == 0) {
            EXPECT_EQ(out.size(), 32u - block.back());
        }
    }
}

// Wrong key data for "SM4-CBC" (32 bytes: key and IV taken directly): a
// result comes exactly when the library's own SM4-CBC unpadding accepts the
// last block, and it is the library's plaintext.
TEST(Sym, WrongKeysAgreeWithLibraryUnpadding)
{
    const unsigned seed = 1616;
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Bytes kd = pattern(32, 1), plain = pattern(21, 5);
    const Bytes c = sym(true, "SM4-CBC", plain, kd);
    ASSERT_EQ(c.size(), 32u);
    int accepted = 0;
    for (unsigned k = 0; k < 2000; ++k) {
        Bytes wrong = pattern(32, seed + k);
        wrong[0] = static_cast<unsigned char>(k);
        wrong[1] = static_cast<unsigned char>(k >> 8);
        wrong[17] = static_cast<unsigned char>(k * 7);
        EVP_CIPHER_CTX* x = EVP_CIPHER_CTX_new();
        Bytes lib(48);
        int n1 = 0, n2 = 0;
        bool lib_ok = x && EVP_DecryptInit_ex(x, EVP_sm4_cbc(), nullptr, wrong.data(), wrong.data() + 16) == 1 &&
                      EVP_DecryptUpdate(x, lib.data(), &n1, c.data(), 32) == 1 &&
                      EVP_DecryptFinal_ex(x, lib.data() + n1, &n2) == 1;
        EVP_CIPHER_CTX_free(x);
        int st = -1;
        Bytes ours = sym(false, "SM4-CBC", c, wrong, &st);
        if (!lib_ok) {
            EXPECT_EQ(st, ST_DECRYPT_FAILED) << "key " << k;
            continue;
        }
        ++accepted;
        lib.resize(static_cast<size_t>(n1 + n2));
        EXPECT_EQ(st, 0) << "key " << k;
        EXPECT_EQ(hex(ours), hex(lib)) << "key " << k;
    }
    RecordProperty("accepted", accepted);
}

TEST(Sym, RoomArgumentsAndNames)
{
    const Bytes kd = pattern(16, 4);
    struct Len {
        size_t in;
        int out;
    } lens[] = {{5, 16}, {16, 32}, {20, 32}};
    for (const Len& l : lens)
        EXPECT_EQ(sym(true, "SM4-ECB", pattern(l.in, 0), kd).size(), static_cast<size_t>(l.out));
    int st = 0;
    Bytes in20 = pattern(20, 0);
    Bytes out(64, 0xEE);
    int n = 31;
    EXPECT_EQ(Sym_Encrypt("SM4-ECB", in20.data(), 20, kd.data(), 16, out.data(), &n), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 32);
    // Decryption room: the exact plaintext length, nothing written when short.
    Bytes c = sym(true, "SM4-ECB", in20, kd);
    n = 19;
    EXPECT_EQ(Sym_Decrypt("SM4-ECB", c.data(), 32, kd.data(), 16, out.data(), &n), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 20);
    EXPECT_EQ(out[0], 0xEE);
    n = 20;
    EXPECT_EQ(Sym_Decrypt("SM4-ECB", c.data(), 32, kd.data(), 16, out.data(), &n), 0);
    EXPECT_EQ(hex(out.data(), 20), hex(in20));

    sym(true, "SM4-ECB", in20, pattern(7, 0), &st);
    EXPECT_EQ(st, ST_BAD_ARGUMENT);
    sym(true, "SM4-ECB", in20, pattern(65, 0), &st);
    EXPECT_EQ(st, ST_BAD_ARGUMENT);
    sym(true, "NO-SUCH-CIPHER", in20, kd, &st);
    EXPECT_EQ(st, ST_UNKNOWN_CIPHER);
    sym(true, "SHA256", in20, kd, &st);
    EXPECT_EQ(st, ST_UNKNOWN_CIPHER);
    sym(false, "SM4-CBC", in20, pattern(32, 0), &st);
    EXPECT_EQ(st, ST_BAD_ARGUMENT);
    sym(true, "SM4-ECB", {}, kd, &st);
    EXPECT_EQ(st, ST_BAD_ARGUMENT);
    // Key + IV of AES-256-XTS (64 + 16) exceed the derivation's range.
    sym(true, "AES-256-XTS", pattern(32, 0), kd, &st);
    EXPECT_EQ(st, ST_BAD_ARGUMENT);
}

TEST(Digest, NamesRoomAndVectors)
{
    Bytes abc = bytes("abc"), out(64);
    int n = 64;
    ASSERT_EQ(Hash("SM3", abc.data(), 3, out.data(), &n), 0);
    EXPECT_EQ(hex(out.data(), n), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
    n = 64;
    ASSERT_EQ(Hash("unknown-digest", abc.data(), 3, out.data(), &n), 0);
    EXPECT_EQ(hex(out.data(), n), "a9993e364706816aba3e25717850c26c9cd0d89d");
    n = 19;
    EXPECT_EQ(Hash("SHA256", abc.data(), 3, out.data(), &n), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 32);
    n = 31;
    EXPECT_EQ(Hash("SM3", abc.data(), 3, out.data(), &n), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 32);
    n = 64;
    EXPECT_EQ(Hash("AES-256-CBC", abc.data(), 3, out.data(), &n), ST_NO_DIGEST);
    EXPECT_EQ(Hash("SM3", abc.data(), 0, out.data(), &n), ST_BAD_ARGUMENT);
    n = 64;
    ASSERT_EQ(Openssl_Hash(EVP_sha256(), abc.data(), 3, out.data(), &n), 0);
    EXPECT_EQ(hex(out.data(), n), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// ------------------------------------------------------------------ Base64

namespace {

std::string b64(const Bytes& in, int lineLen, int* st = nullptr)
{
    int need = 0;
    char probe[1];
    int s = Base64Encode(in.data(), static_cast<int>(in.size()), probe, &need, lineLen);
    if (s != ST_BUFFER_TOO_SMALL) {
        if (st)
            *st = s;
        return {};
    }
    std::string out(static_cast<size_t>(need) + 8, '#');
    int n = need;
    s = Base64Encode(in.data(), static_cast<int>(in.size()), &out[0], &n, lineLen);
    if (st)
        *st = s;
    EXPECT_EQ(s, 0);
    EXPECT_LE(n + 1, need);
    EXPECT_EQ(out[n], '\0');
    EXPECT_EQ(out[need], '#');   // nothing beyond the room asked
    out.resize(n);
    return out;
}

std::string strip_breaks(std::string s)
{
    std::string r;
    for (char c : s)
        if (c != '\r' && c != '\n')
            r += c;
    return r;
}

int unb64(const std::string& text, Bytes* out, int cap = 4096)
{
    out->assign(static_cast<size_t>(cap) + 1, 0xEE);
    int n = cap;
    int st = Base64Decode(text.data(), static_cast<int>(text.size()), out->data(), &n);
    if (st == 0) {
        EXPECT_EQ((*out)[n], 0);
        out->resize(n);
    }
    return st;
}

} // namespace

TEST_F(SymTest, Base64MatchesOpensslForEveryLengthAndLineLength)
{
    for (size_t len = 1; len <= 70; ++len) {
        Bytes data = pattern(len, static_cast<unsigned>(len) * 5);
        write_file(path("b64in"), data);
        std::string want = run("openssl base64 -A -in '" + path("b64in") + "'");
        ASSERT_EQ(b64(data, 0), want) << len;
        for (int lineLen : {3, 4, 5, 6, 7, 8, 11, 15, 19, 64, 75, 76}) {
            SCOPED_TRACE("len " + std::to_string(len) + " line " + std::to_string(lineLen));
            std::string text = b64(data, lineLen);
            EXPECT_EQ(strip_breaks(text), want);
            // Every line but the last holds 4 * max(1, lineLen / 4) characters.
            const size_t per = 4 * std::max(1, lineLen / 4);
            size_t start = 0;
            for (size_t p; (p = text.find("\r\n", start)) != std::string::npos; start = p + 2)
                EXPECT_EQ(p - start, per);
            EXPECT_LE(text.size() - start, per);
            Bytes back;
            ASSERT_EQ(unb64(text, &back), 0);
            EXPECT_EQ(hex(back), hex(data));
        }
    }
}

TEST(Base64, ListedExamples)
{
    Bytes man = {0x4D, 0x61, 0x6E};
    int need = 0;
    char buf[16];
    EXPECT_EQ(Base64Encode(man.data(), 3, buf, &need, 0), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(need, 9);
    EXPECT_EQ(b64(man, 0), "TWFu");
    EXPECT_EQ(b64({0x4D}, 0), "TQ==");
    std::string t57 = b64(pattern(57, 1), 76);
    EXPECT_EQ(t57.size(), 78u);
    EXPECT_EQ(t57.substr(76), "\r\n");
    int st = 0;
    b64(man, 2, &st);
    EXPECT_EQ(st, ST_BAD_ARGUMENT);
    b64(man, -1, &st);
    EXPECT_EQ(st, ST_BAD_ARGUMENT);

    Bytes out;
    int n = 3;
    unsigned char small[8];
    EXPECT_EQ(Base64Decode("TWFu", 4, small, &n), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 4);
    ASSERT_EQ(unb64("TWFu", &out), 0);
    EXPECT_EQ(hex(out), "4d616e");
    ASSERT_EQ(unb64("TWFu\r\nTQ==", &out), 0);
    EXPECT_EQ(hex(out), "4d616e4d");
    ASSERT_EQ(unb64("TWE=", &out), 0);
    EXPECT_EQ(hex(out), "4d61");
    const char* bad[] = {
        "TWF",            // length
        "TW*u",           // character
        "TW\r\nFu",       // a group split by a line break
        "TWFu\r\nTQ=",    // last group cut short
        "TQ==TWFu",       // padding before the end
        "T===",           // padding in the second place
        "TW=u",           // data after padding
    };
    for (const char* b : bad)
        EXPECT_EQ(unb64(b, &out), ST_BAD_ARGUMENT) << b;
    // Line breaks only: no group, no bytes, a zero byte in a room of 1.
    unsigned char one[2] = {0xEE, 0xEE};
    n = 0;
    EXPECT_EQ(Base64Decode("\r\n\r\n", 4, one, &n), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(Base64Decode("\r\n\r\n", 4, one, &n), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(one[0], 0);
    EXPECT_EQ(one[1], 0xEE);
}

// Empty content reaches the cipher, which decides: a padded block cipher has
// no final block (14003), a stream cipher gives no bytes. A negative length is
// refused.
TEST(Sym, OpensslDecryptOfEmptyContent)
{
    const Bytes key(32, 0x11), iv(16, 0x22);
    const unsigned char none[1] = {0};
    struct Case {
        const char* cipher;
        int len;
        int status;
    } cases[] = {
        {"AES-256-CBC", 0, ST_DECRYPT_FAILED},
        {"AES-256-CTR", 0, 0},
        {"AES-256-CBC", -1, ST_BAD_ARGUMENT},
    };
    for (const Case& c : cases) {
        const EVP_CIPHER* ci = EVP_get_cipherbyname(c.cipher);
        ASSERT_NE(ci, nullptr) << c.cipher;
        unsigned char out[32];
        int n = sizeof out;
        EXPECT_EQ(Openssl_Decrypt(ci, none, c.len, key.data(), iv.data(), out, &n), c.status)
            << c.cipher << " " << c.len;
        if (c.status == 0) {
            EXPECT_EQ(n, 0) << c.cipher;
        }
    }
}
