// Software envelopes and the multi-recipient encrypted file: made here,
// opened in software with each recipient's isk, refused for a wrong one.
#include "kmx_fixture.h"

#include <dirent.h>
#include <sys/stat.h>
#include <openssl/evp.h>

using namespace kmxt;

namespace {

Bytes sha256(const Bytes& in)
{
    unsigned char out[32];
    unsigned n = 0;
    EVP_Digest(in.data(), in.size(), out, &n, EVP_sha256(), nullptr);
    return Bytes(out, out + 32);
}

// The envelope key of "AES-256-CBC" computed independently of the KDF code:
// X || Y itself when it has 48 bytes, else SHA256 and SHA256 of SHA256.
Bytes aes_key_iv(const Bytes& xy)
{
    if (xy.size() == 48)
        return xy;
    Bytes t1 = sha256(xy), t2 = sha256(t1);
    t1.insert(t1.end(), t2.begin(), t2.begin() + 16);
    return t1;
}

Bytes aes_decrypt(const Bytes& keyIv, const unsigned char* c, size_t n, bool* ok)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(n + 16);
    int a = 0, b = 0;
    *ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, keyIv.data(), keyIv.data() + 32) == 1 &&
          EVP_DecryptUpdate(ctx, out.data(), &a, c, static_cast<int>(n)) == 1 &&
          EVP_DecryptFinal_ex(ctx, out.data() + a, &b) == 1;
    EVP_CIPHER_CTX_free(ctx);
    out.resize(*ok ? a + b : 0);
    return out;
}

std::string text(const ASN1_STRING* s)
{
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), ASN1_STRING_length(s));
}

class EnvelopeTest : public TempDir {
protected:
    TestMatrix add(const std::string& name, unsigned serial, int row = 16, int col = 8)
    {
        TestMatrix t = make_test_matrix(name, serial, row, col);
        write_file(path(name + ".pks"), t.pub);
        write_file(path(name + ".sec"), t.secret);
        return t;
    }
    BIGNUM* isk(const std::string& matrix, const std::string& id)
    {
        return isk_of(path(matrix + ".sec"), bytes(id));
    }
    // Opens a DEnvelope with content in software: the content, or empty with
    // *opened false when the isk does not open the envelope value.
    Bytes open_der(unsigned serial, const Bytes& der, const BIGNUM* key, bool* opened)
    {
        DEnvelope* e = nullptr;
        EXPECT_EQ(string2DEnvelope(der.data(), static_cast<int>(der.size()), &e), 0);
        Bytes xy, out;
        *opened = open_envelope(serial, ASN1_STRING_get0_data(e->env), ASN1_STRING_length(e->env),
                                key, &xy);
        if (*opened) {
            bool ok = false;
            out = aes_decrypt(aes_key_iv(xy), ASN1_STRING_get0_data(e->cdata),
                              ASN1_STRING_length(e->cdata), &ok);
            EXPECT_TRUE(ok);
        }
        DEnvelope_free(e);
        return out;
    }
    Bytes encrypt_data(const std::string& matrix, const std::string& id, const Bytes& data)
    {
        Bytes out(2048);
        int n = static_cast<int>(out.size());
        EXPECT_EQ(KMX_Encrypt_Data(path(matrix + ".pks").c_str(),
                                   reinterpret_cast<const unsigned char*>(id.data()),
                                   static_cast<int>(id.size()), data.data(),
                                   static_cast<int>(data.size()), out.data(), &n),
                  0);
        out.resize(n);
        return out;
    }
};

} // namespace

TEST_F(EnvelopeTest, DataEnvelopesOpenForTheirRecipientOnly)
{
    for (unsigned serial : {5u, 0u, 1u}) {
        SCOPED_TRACE(serial);
        const std::string mx = "env" + std::to_string(serial);
        TestMatrix t = add(mx, serial);
        const Bytes data = bytes("the content of the envelope, 45 bytes long..");
        Bytes forAlice = encrypt_data(mx, "alice", data), forBob = encrypt_data(mx, "bob", data);
        DEnvelope* e = nullptr;
        ASSERT_EQ(string2DEnvelope(forAlice.data(), static_cast<int>(forAlice.size()), &e), 0);
        EXPECT_EQ(ASN1_INTEGER_get(e->version), 1);
        EXPECT_EQ(text(e->matrixId), mx);
        EXPECT_EQ(text(e->addresseeId), "alice");
        EXPECT_EQ(OBJ_obj2nid(e->encOid), NID_aes_256_cbc);
        EXPECT_EQ(ASN1_STRING_length(e->env), 2 * t.L + 3);
        EXPECT_EQ(ASN1_STRING_get0_data(e->env)[0], 0x04);
        EXPECT_EQ(ASN1_STRING_length(e->cdata), 48);
        EXPECT_EQ(DEnvelope_is_valid(e, nullptr), 1);
        DEnvelope_free(e);

        BIGNUM *a = isk(mx, "alice"), *b = isk(mx, "bob");
        bool opened = false;
        EXPECT_EQ(hex(open_der(serial, forAlice, a, &opened)), hex(data));
        EXPECT_TRUE(opened);
        EXPECT_EQ(hex(open_der(serial, forBob, b, &opened)), hex(data));
        open_der(serial, forAlice, b, &opened);
        EXPECT_FALSE(opened);   // the CRC of the wrong key point does not match
        open_der(serial, forBob, a, &opened);
        EXPECT_FALSE(opened);
        BN_free(a);
        BN_free(b);
        // Fresh k: the same content twice gives different envelopes.
        EXPECT_NE(hex(encrypt_data(mx, "alice", data)), hex(forAlice));
    }
}

TEST_F(EnvelopeTest, RoomKeyLengthsAndMatrixArguments)
{
    TestMatrix t = add("room", 5);
    const Bytes id = bytes("alice"), key(32, 0x11);
    const std::string pks = path("room.pks");
    int n = 10;
    unsigned char small[10];
    ASSERT_EQ(KMX_Encrypt_Data(pks.c_str(), id.data(), 5, key.data(), 32, small, &n), ST_BUFFER_TOO_SMALL);
    Bytes out(n);
    int need = n;
    ASSERT_EQ(KMX_Encrypt_Data(pks.c_str(), id.data(), 5, key.data(), 32, out.data(), &n), 0);
    EXPECT_EQ(n, need);
    for (int kl : {7, 65}) {
        Bytes k(kl, 1);
        n = 1024;
        Bytes buf(1024);
        EXPECT_EQ(KMX_Make_Envelope(pks.c_str(), id.data(), 5, k.data(), kl, buf.data(), &n),
                  ST_BAD_ARGUMENT);
    }
    n = 1024;
    Bytes buf(1024);
    ASSERT_EQ(KMX_Make_Envelope(pks.c_str(), id.data(), 5, key.data(), 32, buf.data(), &n), 0);
    buf.resize(n);
    BIGNUM* a = isk("room", "alice");
    bool opened = false;
    EXPECT_EQ(hex(open_der(5, buf, a, &opened)), hex(key));
    BN_free(a);
    EXPECT_EQ(KMX_Encrypt_Data(path("none.pks").c_str(), id.data(), 5, key.data(), 32, buf.data(), &n),
              ST_MATRIX_FILE_OPEN);

    // The whole matrix in memory instead of a path; both or neither refused.
    DEnvelope* e = DEnvelope_new();
    const EVP_CIPHER* c = KMX_Get_cipher(nullptr);
    EXPECT_EQ(KMX_Encrypt_data(nullptr, t.pub.data(), long(t.pub.size()), id.data(), 5, c, key.data(), 32, e), 0);
    EXPECT_EQ(ASN1_STRING_length(e->env), 67);
    EXPECT_EQ(KMX_Encrypt_data(pks.c_str(), t.pub.data(), long(t.pub.size()), id.data(), 5, c, key.data(), 32, e),
              ST_BAD_ARGUMENT);
    EXPECT_EQ(KMX_Encrypt_data(nullptr, nullptr, 0, id.data(), 5, c, key.data(), 32, e), ST_BAD_ARGUMENT);
    // A memory matrix shorter than its head and elements is never read past.
    for (long len : {0L, 255L, 256L, long(t.pub.size()) - 1})
        EXPECT_EQ(KMX_Encrypt_data(nullptr, t.pub.data(), len, id.data(), 5, c, key.data(), 32, e),
                  ST_BAD_ARGUMENT) << len;
    DEnvelope_free(e);
}

TEST_F(EnvelopeTest, MinimalEnvelopeAndKeyPoint)
{
    TestMatrix t = add("min", 0);   // prime192v1, L = 24
    unsigned char kp[48], env[50];
    int kpLen = 48, envLen = 49;
    EXPECT_EQ(KMX_GenDE(path("min.pks").c_str(), "alice", 5, kp, &kpLen, env, &envLen), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(envLen, 50);
    kpLen = 47;
    EXPECT_EQ(KMX_GenDE(path("min.pks").c_str(), "alice", 5, kp, &kpLen, env, &envLen), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(kpLen, 48);
    EXPECT_EQ(KMX_GenMinDE(path("min.pks").c_str(), t.pub.data(), long(t.pub.size()), "alice", 5, kp, &kpLen, env, &envLen),
              ST_BAD_ARGUMENT);
    EXPECT_EQ(KMX_GenMinDE(nullptr, nullptr, 0, "alice", 5, kp, &kpLen, env, &envLen), ST_BAD_ARGUMENT);
    for (long len : {0L, 255L, 256L, long(t.pub.size()) - 1})
        EXPECT_EQ(KMX_GenMinDE(nullptr, t.pub.data(), len, "alice", 5, kp, &kpLen, env, &envLen),
                  ST_BAD_ARGUMENT) << len;
    ASSERT_EQ(KMX_GenMinDE(nullptr, t.pub.data(), long(t.pub.size()), "alice", 5, kp, &kpLen, env, &envLen), 0);
    EXPECT_EQ(kpLen, 48);
    EXPECT_EQ(envLen, 50);
    // 0x04 || minimal envelope is an envelope value that alice's isk opens to
    // the key point.
    Bytes value = {0x04};
    value.insert(value.end(), env, env + 50);
    BIGNUM* a = isk("min", "alice");
    Bytes xy;
    ASSERT_TRUE(open_envelope(0, value.data(), 51, a, &xy));
    EXPECT_EQ(hex(xy), hex(kp, 48));
    BN_free(a);
}

TEST_F(EnvelopeTest, SessionKeyForSeveralSlotsSharesOneK)
{
    add("sk", 5);
    EC_GROUP* g = ecurve_new_group(5);
    EnvelopeSlot slots[2] = {};
    std::vector<std::string> ids = {"alice", "bob"};
    MATRIX* m = nullptr;
    MATRIX_free(nullptr);
    unsigned char head[KMX_HEAD_SIZE];
    ASSERT_EQ(KMX_Read_Head(path("sk.pks").c_str(), nullptr, head), 0);
    ASSERT_EQ(KMX_Decode_Head(head, &m), 0);
    for (int i = 0; i < 2; ++i) {
        slots[i].Q = EC_POINT_new(g);
        ASSERT_EQ(KMX_Identity_Point(path("sk.pks").c_str(), nullptr, -1, m,
                                     reinterpret_cast<const unsigned char*>(ids[i].data()),
                                     static_cast<int>(ids[i].size()), slots[i].Q),
                  0);
    }
    unsigned char key[48], k[32];
    int kLen = 31;
    EXPECT_EQ(KMX_Cal_SKey(g, slots, 2, key, 48, k, &kLen), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(kLen, 31);   // left as it was
    kLen = 32;
    ASSERT_EQ(KMX_Cal_SKey(g, slots, 2, key, 48, k, &kLen), 0);
    EXPECT_LE(kLen, 32);
    // k*G from the returned k gives the key; each slot opens to that point.
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* kb = BN_bin2bn(k, kLen, nullptr);
    EC_POINT* kG = EC_POINT_new(g);
    EC_POINT_mul(g, kG, kb, nullptr, nullptr, ctx);
    Bytes xy(64);
    ASSERT_EQ(KMX_Point_XY(g, kG, 32, xy.data(), ctx), 0);
    EXPECT_EQ(hex(key, 48), hex(aes_key_iv(xy)));
    for (int i = 0; i < 2; ++i) {
        BIGNUM* s = isk("sk", ids[i]);
        Bytes got;
        EXPECT_EQ(slots[i].envLen, 67);
        ASSERT_TRUE(open_envelope(5, slots[i].env, slots[i].envLen, s, &got));
        EXPECT_EQ(hex(got), hex(xy));
        BN_free(s);
    }
    EXPECT_EQ(KMX_Cal_SKey(g, slots, 0, key, 48, nullptr, nullptr), ST_BAD_ARGUMENT);
    EXPECT_EQ(KMX_Cal_SKey(g, slots, 2, key, 65, nullptr, nullptr), ST_BAD_ARGUMENT);
    EC_POINT_free(kG);
    BN_free(kb);
    BN_CTX_free(ctx);
    for (auto& s : slots)
        EC_POINT_free(s.Q);
    MATRIX_free(m);
    EC_GROUP_free(g);
}

// ------------------------------------------------------ multi-recipient file

namespace {

AddresseeEntry entry(const std::string& id, const std::string& matrix)
{
    AddresseeEntry e{};
    std::snprintf(e.id, sizeof e.id, "%s", id.c_str());
    std::snprintf(e.matrixName, sizeof e.matrixName, "%s", matrix.c_str());
    return e;
}

uint32_t u32(const Bytes& b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// Every name in the folder, hidden ones (a staged output's) included.
size_t entries_in(const std::string& dir)
{
    size_t n = 0;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = readdir(d))
        n += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
    closedir(d);
    return n;
}

} // namespace

class EncryptFileTest : public EnvelopeTest {
protected:
    int encrypt(const std::vector<AddresseeEntry>& r, const std::string& in, const std::string& out,
                unsigned char* k = nullptr, int* kLen = nullptr)
    {
        return KMX_Encrypt_File((dir_ + "/").c_str(), r.data(), static_cast<int>(r.size()),
                                in.c_str(), out.c_str(), k, kLen);
    }
    // Opens record i of an encrypted file with isk: the plaintext, or empty
    // with *opened false.
    Bytes open_file(const Bytes& f, int i, unsigned serial, const BIGNUM* key, bool* opened,
                    std::string* addressee = nullptr)
    {
        const uint32_t n = u32(f, 516);
        const size_t at = 520 + 256 * static_cast<size_t>(i);
        const uint32_t m = u32(f, at);
        EXPECT_LE(m + 4, 256u);
        for (size_t j = at + 4 + m; j < at + 256; ++j)
            EXPECT_EQ(f[j], 0) << "record " << i << " byte " << j - at;
        DEnvelope* e = nullptr;
        EXPECT_EQ(string2DEnvelope(f.data() + at + 4, static_cast<int>(m), &e), 0);
        if (addressee)
            *addressee = text(e->addresseeId) + "@" + text(e->matrixId);
        EXPECT_EQ(ASN1_STRING_length(e->cdata), 0);
        Bytes xy, out;
        *opened = open_envelope(serial, ASN1_STRING_get0_data(e->env), ASN1_STRING_length(e->env),
                                key, &xy);
        DEnvelope_free(e);
        if (*opened) {
            const size_t data = 524 + 256 * static_cast<size_t>(n);
            bool ok = false;
            out = aes_decrypt(aes_key_iv(xy), f.data() + data, f.size() - data, &ok);
            EXPECT_TRUE(ok);
        }
        return out;
    }
};

TEST_F(EncryptFileTest, TwoRecipientsOfTwoMatricesEachOpenTheFile)
{
    add("MA", 5);
    add("MB", 5);
    const Bytes content = [] {
        Bytes b(10000);
        for (size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<unsigned char>(i * 7);
        return b;
    }();
    write_file(path("in.bin"), content);
    std::vector<AddresseeEntry> r = {entry("alice", "MA"), entry("bob", "MB")};
    unsigned char k[32];
    int kLen = 32;
    ASSERT_EQ(encrypt(r, path("in.bin"), path("out.enc"), k, &kLen), 0);
    const Bytes f = read_file(path("out.enc"));
    ASSERT_EQ(f.size(), 524u + 2 * 256 + 10000 + 16 - 10000 % 16);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 512), Bytes(512, 0));
    EXPECT_EQ(std::string(f.begin() + 512, f.begin() + 516), "KEYS");
    EXPECT_EQ(u32(f, 516), 2u);
    EXPECT_EQ(std::string(f.begin() + 1032, f.begin() + 1036), "DATA");

    BIGNUM *a = isk("MA", "alice"), *b = isk("MB", "bob");
    bool opened = false;
    std::string who;
    EXPECT_EQ(hex(open_file(f, 0, 5, a, &opened, &who)), hex(content));
    EXPECT_TRUE(opened);
    EXPECT_EQ(who, "alice@MA");
    EXPECT_EQ(hex(open_file(f, 1, 5, b, &opened, &who)), hex(content));
    EXPECT_TRUE(opened);
    EXPECT_EQ(who, "bob@MB");
    open_file(f, 0, 5, b, &opened);
    EXPECT_FALSE(opened);   // bob's key does not open alice's record
    BIGNUM* eve = isk("MA", "eve");
    open_file(f, 0, 5, eve, &opened);
    EXPECT_FALSE(opened);
    BN_free(eve);
    BN_free(a);
    BN_free(b);
    EXPECT_LE(kLen, 32);

    // Again: fresh k, different records and ciphertext; the old file replaced.
    ASSERT_EQ(encrypt(r, path("in.bin"), path("out.enc")), 0);
    const Bytes f2 = read_file(path("out.enc"));
    EXPECT_EQ(f2.size(), f.size());
    EXPECT_NE(hex(Bytes(f2.begin() + 520, f2.begin() + 1032)), hex(Bytes(f.begin() + 520, f.begin() + 1032)));
    EXPECT_NE(hex(Bytes(f2.end() - 32, f2.end())), hex(Bytes(f.end() - 32, f.end())));
    EXPECT_EQ(entries_in(dir_), 6u);   // 4 matrix files, in.bin, out.enc: no leftovers
}

TEST_F(EncryptFileTest, EmptyInputAndTheLargestRecipientCount)
{
    add("S64", 1, 4, 4);
    write_file(path("empty"), {});
    std::vector<AddresseeEntry> one = {entry("alice", "S64")};
    ASSERT_EQ(encrypt(one, path("empty"), path("e.enc")), 0);
    Bytes f = read_file(path("e.enc"));
    ASSERT_EQ(f.size(), 780u + 16);
    EXPECT_EQ(std::string(f.begin() + 776, f.begin() + 780), "DATA");
    BIGNUM* a = isk("S64", "alice");
    bool opened = false;
    EXPECT_TRUE(open_file(f, 0, 1, a, &opened).empty());
    EXPECT_TRUE(opened);
    BN_free(a);

    std::vector<AddresseeEntry> many;
    for (int i = 0; i < 1025; ++i)
        many.push_back(entry("host-" + std::to_string(i), "S64"));
    write_file(path("in"), bytes("x"));
    EXPECT_EQ(encrypt(many, path("in"), path("m.enc")), ST_BAD_ARGUMENT);
    many.pop_back();
    ASSERT_EQ(encrypt(many, path("in"), path("m.enc")), 0);
    f = read_file(path("m.enc"));
    EXPECT_EQ(f.size(), 524u + 256 * 1024 + 16);
    EXPECT_EQ(u32(f, 516), 1024u);
    BIGNUM* last = isk("S64", "host-1023");
    EXPECT_EQ(hex(open_file(f, 1023, 1, last, &opened)), hex(bytes("x")));
    BN_free(last);
    EXPECT_EQ(encrypt({}, path("in"), path("z.enc")), ST_BAD_ARGUMENT);
}

TEST_F(EncryptFileTest, RefusalsLeaveNoOutput)
{
    add("A", 5, 4, 4);
    add("B", 0, 4, 4);
    add("C", 5, 4, 4);
    write_file(path("in"), bytes("some content"));
    write_file(path("keep.enc"), bytes("previous file"));
    // FIFOs named as input or matrix file are refused at once, never
    // waited on.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(path("F.pks").c_str(), 0600), 0);
    AddresseeEntry longId = entry("x", "A");
    std::memset(longId.id, 'i', sizeof longId.id);   // no terminating zero
    AddresseeEntry longName = entry("x", "A");
    std::memset(longName.matrixName, 'A', sizeof longName.matrixName);
    struct Case {
        const char* what;
        std::vector<AddresseeEntry> r;
        std::string in, out;
        int status;
    } cases[] = {
        {"matrices on two curves", {entry("a", "A"), entry("b", "A"), entry("c", "B")}, path("in"),
         path("o1"), ST_MIXED_CURVES},
        {"missing matrix", {entry("a", "A"), entry("b", "Z")}, path("in"), path("o2"), ST_MATRIX_FILE_OPEN},
        {"unterminated id", {longId}, path("in"), path("o3"), ST_BAD_ARGUMENT},
        {"unterminated matrix name", {longName}, path("in"), path("o4"), ST_BAD_ARGUMENT},
        {"empty id", {entry("", "A")}, path("in"), path("o5"), ST_BAD_ARGUMENT},
        {"missing input", {entry("a", "A")}, path("nothing"), path("o6"), ST_FILE_OPEN},
        {"input is the output", {entry("a", "A")}, path("in"), path("in"), ST_FILE_OPEN},
        {"input is the output by another name", {entry("a", "A")}, path("in"), dir_ + "/./in",
         ST_FILE_OPEN},
        {"input is a folder", {entry("a", "A")}, dir_, path("o7"), ST_FILE_OPEN},
        {"input is a FIFO", {entry("a", "A")}, path("fifo"), path("o9"), ST_FILE_OPEN},
        {"matrix file is a FIFO", {entry("a", "A"), entry("f", "F")}, path("in"), path("o10"),
         ST_MATRIX_FILE_OPEN},
        {"failure keeps an existing output", {entry("a", "A")}, dir_, path("keep.enc"), ST_FILE_OPEN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encrypt(c.r, c.in, c.out), c.status) << c.what;
    }
    for (const char* o : {"o1", "o2", "o3", "o4", "o5", "o6", "o7", "o9", "o10"})
        EXPECT_FALSE(exists(path(o))) << o;
    EXPECT_EQ(read_file(path("in")), bytes("some content"));
    EXPECT_EQ(read_file(path("keep.enc")), bytes("previous file"));
    EXPECT_EQ(entries_in(dir_), 10u);   // six matrix files, in, keep.enc, two FIFOs

    // Two matrices on one curve are fine; a name run A, A, C reads A once.
    ASSERT_EQ(encrypt({entry("a", "A"), entry("b", "A"), entry("c", "C")}, path("in"), path("ok")), 0);
    Bytes f = read_file(path("ok"));
    BIGNUM* c = isk("C", "c");
    bool opened = false;
    EXPECT_EQ(hex(open_file(f, 2, 5, c, &opened)), hex(bytes("some content")));
    BN_free(c);
    std::string longDir(5000, 'd');
    std::vector<AddresseeEntry> one = {entry("a", "A")};
    EXPECT_EQ(KMX_Encrypt_File(longDir.c_str(), one.data(), 1, path("in").c_str(), path("o8").c_str(),
                               nullptr, nullptr),
              ST_BAD_ARGUMENT);
}

// The output is staged and takes the name as one step, keeping what the
// operator gave an existing file: a 0600 file stays 0600; a link at the name
// is replaced by the new file and the file it named is left alone; a new
// output gets the ordinary mode less the umask.
TEST_F(EncryptFileTest, OutputKeepsItsModeAndLinksAreReplaced)
{
    add("A", 5, 4, 4);
    write_file(path("in"), bytes("some content"));
    const std::vector<AddresseeEntry> one = {entry("a", "A")};
    write_file(path("mine.enc"), bytes("previous"));
    ASSERT_EQ(chmod(path("mine.enc").c_str(), 0600), 0);
    ASSERT_EQ(symlink("mine.enc", path("link.enc").c_str()), 0);
    struct stat st;
    ASSERT_EQ(encrypt(one, path("in"), path("mine.enc")), 0);
    ASSERT_EQ(stat(path("mine.enc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(read_file(path("mine.enc")).size(), 780u + 16);

    write_file(path("mine.enc"), bytes("previous"));
    const mode_t was = umask(022);
    ASSERT_EQ(encrypt(one, path("in"), path("link.enc")), 0);
    umask(was);
    ASSERT_EQ(lstat(path("link.enc").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(read_file(path("link.enc")).size(), 780u + 16);
    EXPECT_EQ(read_file(path("mine.enc")), bytes("previous"));
    ASSERT_EQ(stat(path("mine.enc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const mode_t old = umask(027);
    ASSERT_EQ(encrypt(one, path("in"), path("new.enc")), 0);
    EXPECT_EQ(umask(old), 027u);
    ASSERT_EQ(stat(path("new.enc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(entries_in(dir_), 6u);   // two matrix files, in, three outputs: no leftovers
}
