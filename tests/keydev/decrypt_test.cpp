// Decryption with a key slot: SM2 blocks, envelopes with content, the
// multi-recipient encrypted file, and session envelopes with the card's SM4.
#include <dirent.h>
#include <sys/stat.h>

#include <functional>

#include "dev_fixture.h"
#include "kmx/kmxsoft.h"

using namespace devt;

namespace {

const std::string kId = "host-0001";
const std::string kMx = "mxA";
constexpr uint8_t kSlot = REAL_NAME;
constexpr uint8_t INS_SM2_DECRYPT = 0x76;
constexpr uint8_t INS_OPEN_DE = 0xC8;

Bytes text(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed ^ (i * 13));
    return b;
}

// A DER envelope re-encoded after a change to its fields.
Bytes remake(const Bytes& der, const std::function<void(DEnvelope*)>& change)
{
    DEnvelope* e = nullptr;
    EXPECT_EQ(string2DEnvelope(der.data(), static_cast<int>(der.size()), &e), 0);
    if (!e) return der;
    change(e);
    Bytes out(1024);
    int n = static_cast<int>(out.size());
    EXPECT_EQ(DEnvelope2string(e, out.data(), &n), 0);
    DEnvelope_free(e);
    out.resize(static_cast<size_t>(n));
    return out;
}

uint8_t& first_byte(ASN1_STRING* s)
{
    return const_cast<uint8_t*>(ASN1_STRING_get0_data(s))[0];
}

void set_text(ASN1_STRING* s, const std::string& v)
{
    ASN1_STRING_set(s, v.data(), static_cast<int>(v.size()));
}

class DecryptTest : public DevTest {
protected:
    void SetUp() override
    {
        DevTest::SetUp();
        if (HasFatalFailure()) return;
        mx_ = add_matrix(kMx);
        img_ = keyed_image("host.vkd", kSlot, kId, kMx);
    }

    // SM2 block of data for id under matrix kMx.
    Bytes block_for(const std::string& id, const Bytes& data)
    {
        Bytes b(250);
        int n = static_cast<int>(b.size());
        EXPECT_EQ(KMX_SM2Encrypt(path(kMx + ".pks").c_str(), reinterpret_cast<const uint8_t*>(id.data()),
                                 static_cast<int>(id.size()), data.data(), static_cast<int>(data.size()),
                                 b.data(), &n),
                  0);
        return b;
    }

    // Envelope with content for id under the matrix file of matrixId.
    Bytes envelope_for(const std::string& id, const Bytes& data, const std::string& matrixId = kMx)
    {
        Bytes out(1024);
        int n = static_cast<int>(out.size());
        EXPECT_EQ(KMX_Encrypt_Data(path(matrixId + ".pks").c_str(), reinterpret_cast<const uint8_t*>(id.data()),
                                   static_cast<int>(id.size()), data.data(), static_cast<int>(data.size()),
                                   out.data(), &n),
                  0);
        out.resize(static_cast<size_t>(n));
        return out;
    }

    uint32_t decrypt(const Bytes& env, Bytes* plain)
    {
        plain->assign(512, 0);
        int n = static_cast<int>(plain->size());
        uint32_t st = DevDecryptData(kSlot, env.data(), static_cast<uint32_t>(env.size()), plain->data(), &n);
        plain->resize(st == 0 ? static_cast<size_t>(n) : 0);
        return st;
    }

    kmxt::TestMatrix mx_;
    std::string img_;
};

}  // namespace

TEST_F(DecryptTest, Sm2BlockGivesItsPlaintext)
{
    session(img_);
    for (size_t len : {size_t(1), size_t(128), size_t(152)}) {
        SCOPED_TRACE(len);
        const Bytes msg = text(len, 0x5A);
        Bytes block = block_for(kId, msg);
        ASSERT_EQ(block[0], 97 + len);
        Bytes out(200, 0);
        int n = static_cast<int>(len) - 1;
        EXPECT_EQ(DevSM2Decrypt(kSlot, block.data(), 250, out.data(), &n), 1018u);
        EXPECT_EQ(n, static_cast<int>(len));
        n = static_cast<int>(out.size());
        ASSERT_EQ(DevSM2Decrypt(kSlot, block.data(), 250, out.data(), &n), 0u);
        ASSERT_EQ(n, static_cast<int>(len));
        EXPECT_EQ(Bytes(out.begin(), out.begin() + n), msg);
    }
    // A block for another identity fails its check value on the card.
    Bytes other = block_for("someone-else", text(128, 1));
    Bytes out(200);
    int n = static_cast<int>(out.size());
    EXPECT_NE(DevSM2Decrypt(kSlot, other.data(), 250, out.data(), &n), 0u);
    // Without the user PIN the card refuses the key.
    ASSERT_EQ(DevClose(), 0u);
    ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, img_.c_str()), 0u);
    Bytes block = block_for(kId, text(128, 2));
    n = static_cast<int>(out.size());
    EXPECT_NE(DevSM2Decrypt(kSlot, block.data(), 250, out.data(), &n), 0u);
}

TEST_F(DecryptTest, Sm2BlockLengthsAndCiphertextLengthAreChecked)
{
    session(img_);
    Bytes block = block_for(kId, text(128, 3));
    block.resize(300, 0);
    Bytes out(200);
    struct {
        uint32_t blockLen;
        uint32_t st;
    } lengths[] = {{0, 11001}, {97, 11001}, {98, 1016}, {249, 1016}, {251, 1016}, {255, 1016},
                   {256, 14012}, {0x80000000u, 11001}};
    for (const auto& c : lengths) {
        int n = static_cast<int>(out.size());
        EXPECT_EQ(DevSM2Decrypt(kSlot, block.data(), c.blockLen, out.data(), &n), c.st) << c.blockLen;
    }
    // n comes off the wire: outside 98..249 nothing reaches the card.
    clear_sent();
    for (uint8_t n0 : {0, 1, 97, 250, 255}) {
        Bytes b = block;
        b[0] = n0;
        int n = static_cast<int>(out.size());
        EXPECT_EQ(DevSM2Decrypt(kSlot, b.data(), 250, out.data(), &n), 11001u) << int(n0);
    }
    EXPECT_EQ(sent(INS_SM2_DECRYPT), 0);
    int n = static_cast<int>(out.size());
    EXPECT_EQ(DevSM2Decrypt(16, block.data(), 250, out.data(), &n), 11001u);
    EXPECT_EQ(DevSM2Decrypt(kSlot, nullptr, 250, out.data(), &n), 11001u);
    EXPECT_EQ(DevSM2Decrypt(kSlot, block.data(), 250, nullptr, &n), 11001u);
    EXPECT_EQ(DevSM2Decrypt(kSlot, block.data(), 250, out.data(), nullptr), 11001u);
}

TEST_F(DecryptTest, EnvelopeDecryptsForItsAddressee)
{
    session(img_);
    const Bytes msg = text(300, 7);
    const Bytes env = envelope_for(kId, msg);
    Bytes plain;
    ASSERT_EQ(decrypt(env, &plain), 0u);
    EXPECT_EQ(plain, msg);

    Bytes out(512);
    int n = 100;
    EXPECT_EQ(DevOpenEnvelope(kSlot, env.data(), static_cast<uint32_t>(env.size()), out.data(), &n), 1018u);
    EXPECT_GE(n, 300);
    n = static_cast<int>(out.size());
    ASSERT_EQ(DevOpenEnvelope(kSlot, env.data(), static_cast<uint32_t>(env.size()), out.data(), &n), 0u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), msg);

    n = static_cast<int>(out.size());
    EXPECT_EQ(DevDecryptData(16, env.data(), static_cast<uint32_t>(env.size()), out.data(), &n), 5003u);
    EXPECT_EQ(DevOpenEnvelope(16, env.data(), static_cast<uint32_t>(env.size()), out.data(), &n), 5003u);
    EXPECT_EQ(DevDecryptData(kSlot, env.data(), 47, out.data(), &n), 11001u);
    EXPECT_EQ(DevDecryptData(kSlot, nullptr, 100, out.data(), &n), 11001u);
    EXPECT_EQ(DevDecryptData(kSlot, env.data(), static_cast<uint32_t>(env.size()), nullptr, &n), 11001u);
    EXPECT_EQ(DevOpenEnvelope(kSlot, env.data(), static_cast<uint32_t>(env.size()), out.data(), nullptr), 11001u);
}

TEST_F(DecryptTest, EnvelopeFieldsDecideBeforeTheCardIsUsed)
{
    session(img_);
    const Bytes env = envelope_for(kId, text(40, 9));
    const std::string zeros(70, '\0');
    struct Case {
        const char* what;
        std::function<void(DEnvelope*)> change;
        uint32_t st;
    } cases[] = {
        {"another identity", [](DEnvelope* e) { set_text(e->addresseeId, "host-0002"); }, 14008},
        {"identity with 70 zero bytes after it",
         [&](DEnvelope* e) { set_text(e->addresseeId, kId + zeros); }, 14008},
        {"identity of 200 bytes", [](DEnvelope* e) { set_text(e->addresseeId, std::string(200, 'h')); },
         14008},
        {"another matrix", [](DEnvelope* e) { set_text(e->matrixId, "mxB"); }, 14009},
        {"matrix id with 40 zero bytes after it",
         [&](DEnvelope* e) { set_text(e->matrixId, kMx + zeros.substr(0, 40)); }, 14009},
        {"another identity and a bad envelope value",
         [](DEnvelope* e) {
             set_text(e->addresseeId, "host-0002");
             ASN1_STRING_set(e->env, "\x05", 1);
         },
         14008},
        {"envelope value without 0x04",
         [](DEnvelope* e) { first_byte(e->env) = 0x05; }, 11005},
        {"envelope value one byte short",
         [](DEnvelope* e) { ASN1_STRING_set(e->env, ASN1_STRING_get0_data(e->env), 66); }, 11005},
        {"envelope value of 200 bytes",
         [](DEnvelope* e) {
             Bytes v(200, 0x04);
             ASN1_STRING_set(e->env, v.data(), 200);
         },
         11005},
        {"no content", [](DEnvelope* e) { ASN1_STRING_set(e->cdata, "", 0); }, 11011},
    };
    for (const Case& c : cases) {
        clear_sent();
        Bytes plain;
        EXPECT_EQ(decrypt(remake(env, c.change), &plain), c.st) << c.what;
        EXPECT_EQ(sent(INS_OPEN_DE), 0) << c.what;
    }
}

TEST_F(DecryptTest, MatrixIdsAreComparedOverTheirFirst31Bytes)
{
    const std::string m32(32, 'M');
    std::string slotM32 = m32;
    slotM32[31] = 'N';
    add_matrix(m32);
    std::string img = new_image("m32.vkd");
    install(2, kId, m32, slotM32);
    ASSERT_EQ(DevClose(), 0u);
    session(img);

    const Bytes msg = text(64, 11);
    Bytes env = envelope_for(kId, msg, m32);
    Bytes out(512);
    int n = static_cast<int>(out.size());
    ASSERT_EQ(DevDecryptData(2, env.data(), static_cast<uint32_t>(env.size()), out.data(), &n), 0u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), msg);

    std::string early = m32;
    early[30] = 'N';
    Bytes env2 = remake(env, [&](DEnvelope* e) { set_text(e->matrixId, early); });
    n = static_cast<int>(out.size());
    EXPECT_EQ(DevDecryptData(2, env2.data(), static_cast<uint32_t>(env2.size()), out.data(), &n), 14009u);
}

namespace {

// Multi-recipient encrypted files made by the identity-key layer.
class FileTest : public DecryptTest {
protected:
    void SetUp() override
    {
        DecryptTest::SetUp();
        if (HasFatalFailure()) return;
        plain_ = text(10000, 21);
        write_file(path("plain.bin"), plain_);
        enc_ = path("plain.enc");
        make({"someone-else", kId, kId});
        session(img_);
    }

    void make(const std::vector<std::string>& ids)
    {
        std::vector<AddresseeEntry> r(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            r[i] = AddresseeEntry{};
            snprintf(r[i].id, sizeof r[i].id, "%s", ids[i].c_str());
            snprintf(r[i].matrixName, sizeof r[i].matrixName, "%s", kMx.c_str());
        }
        ASSERT_EQ(KMX_Encrypt_File(matrix_dir().c_str(), r.data(), static_cast<int>(r.size()),
                                   path("plain.bin").c_str(), enc_.c_str(), nullptr, nullptr),
                  0);
    }

    // Re-encodes record i of the encrypted file after a change.
    void change_record(int i, const std::function<void(DEnvelope*)>& change)
    {
        Bytes f = read_file(enc_);
        const size_t at = 520 + 256 * static_cast<size_t>(i);
        const uint32_t m = f[at] | f[at + 1] << 8 | f[at + 2] << 16 | static_cast<uint32_t>(f[at + 3]) << 24;
        Bytes der = remake(Bytes(f.begin() + at + 4, f.begin() + at + 4 + m), change);
        ASSERT_LE(der.size(), 252u);
        std::fill(f.begin() + at, f.begin() + at + 256, 0);
        for (int b = 0; b < 4; ++b) f[at + b] = static_cast<uint8_t>(der.size() >> (8 * b));
        std::copy(der.begin(), der.end(), f.begin() + at + 4);
        write_file(enc_, f);
    }

    void set_count(uint32_t n)
    {
        Bytes f = read_file(enc_);
        for (int b = 0; b < 4; ++b) f[516 + b] = static_cast<uint8_t>(n >> (8 * b));
        write_file(enc_, f);
    }

    // Names in the folder other than the ones a test made itself: the
    // staged output of prefix (hidden or not) and its kin.
    std::vector<std::string> leftovers(const std::string& prefix)
    {
        std::vector<std::string> v;
        DIR* d = opendir(dir_.c_str());
        while (dirent* e = d ? readdir(d) : nullptr) {
            std::string n = e->d_name;
            if (n.rfind(prefix + ".", 0) == 0 || n.rfind("." + prefix + ".", 0) == 0) v.push_back(n);
        }
        if (d) closedir(d);
        return v;
    }

    Bytes plain_;
    std::string enc_;
};

}  // namespace

TEST_F(FileTest, DecryptsWithTheFirstMatchingRecord)
{
    ASSERT_EQ(DevDecryptFile(kSlot, enc_.c_str(), path("out.bin").c_str()), 0u);
    EXPECT_EQ(read_file(path("out.bin")), plain_);

    // A spoilt second record of ours changes nothing: the first is taken.
    change_record(2, [](DEnvelope* e) { first_byte(e->env) = 0x05; });
    ASSERT_EQ(DevDecryptFile(kSlot, enc_.c_str(), path("out2.bin").c_str()), 0u);
    EXPECT_EQ(read_file(path("out2.bin")), plain_);
    // A spoilt first one is what the card would get.
    change_record(1, [](DEnvelope* e) { first_byte(e->env) = 0x05; });
    EXPECT_EQ(DevDecryptFile(kSlot, enc_.c_str(), path("out3.bin").c_str()), 11005u);
    EXPECT_FALSE(kmxt::exists(path("out3.bin")));
}

TEST_F(FileTest, RecordsWithOverLongFieldsAreNotOurs)
{
    const std::string longId = kId + std::string(100, '\0');
    change_record(1, [&](DEnvelope* e) { set_text(e->addresseeId, longId); });
    change_record(2, [&](DEnvelope* e) { set_text(e->matrixId, kMx + std::string(40, '\0')); });
    EXPECT_EQ(DevDecryptFile(kSlot, enc_.c_str(), path("out.bin").c_str()), 14008u);
}

TEST_F(FileTest, BadCountsAndRecordsAreRefused)
{
    const std::string out = path("out.bin");
    write_file(out, kmxt::bytes("earlier content"));
    const Bytes good = read_file(enc_);
    struct {
        const char* what;
        std::function<void()> spoil;
        uint32_t st;
    } cases[] = {
        {"count 0", [&] { set_count(0); }, 12005},
        {"count 1025", [&] { set_count(1025); }, 12005},
        {"count 2^32 - 1", [&] { set_count(0xFFFFFFFFu); }, 12005},
        {"count past the records", [&] { set_count(50); }, 12005},
        // Three records: a count one higher still lies within the file (the
        // ciphertext follows), one lower ends on a record; neither finds the
        // marker behind its last record.
        {"count one too high", [&] { set_count(4); }, 12005},
        {"count one too low", [&] { set_count(2); }, 12005},
        {"data marker spoilt",
         [&] {
             Bytes f = good;
             f[520 + 3 * 256] ^= 0x20;
             write_file(enc_, f);
         },
         12005},
        {"cut inside the records",
         [&] { write_file(enc_, Bytes(good.begin(), good.begin() + 700)); }, 12005},
        {"cut before the count", [&] { write_file(enc_, Bytes(good.begin(), good.begin() + 518)); }, 12005},
        {"record length 253",
         [&] {
             Bytes f = good;
             f[520] = 253;
             f[521] = f[522] = f[523] = 0;
             write_file(enc_, f);
         },
         12005},
        {"record that does not decode",
         [&] {
             Bytes f = good;
             f[524] ^= 0xFF;
             write_file(enc_, f);
         },
         12005},
        {"ciphertext cut by one byte", [&] { write_file(enc_, Bytes(good.begin(), good.end() - 1)); }, 14003},
        {"no recipient for us", [&] { make({"someone-else", "another"}); }, 14008},
    };
    for (const auto& c : cases) {
        write_file(enc_, good);
        c.spoil();
        EXPECT_EQ(DevDecryptFile(kSlot, enc_.c_str(), out.c_str()), c.st) << c.what;
        EXPECT_EQ(read_file(out), kmxt::bytes("earlier content")) << c.what;
        EXPECT_TRUE(leftovers("out.bin").empty()) << c.what;
    }
    EXPECT_EQ(DevDecryptFile(kSlot, path("missing").c_str(), out.c_str()), 11006u);
    EXPECT_EQ(DevDecryptFile(kSlot, dir_.c_str(), out.c_str()), 11006u) << "a folder";
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(DevDecryptFile(kSlot, path("fifo").c_str(), out.c_str()), 11006u) << "a FIFO, at once";
    EXPECT_EQ(DevDecryptFile(kSlot, enc_.c_str(), path("fifo").c_str()), 11006u)
        << "a FIFO as output, never opened for writing";
    EXPECT_EQ(DevDecryptFile(kSlot, nullptr, out.c_str()), 11001u);
    EXPECT_EQ(DevDecryptFile(kSlot, enc_.c_str(), nullptr), 11001u);
    EXPECT_EQ(DevDecryptFile(kSlot, enc_.c_str(), path("no/such/folder").c_str()), 11006u);
    EXPECT_EQ(read_file(out), kmxt::bytes("earlier content"));
}

// Decrypted plaintext goes only where the operator allowed it: a new output
// is its owner's alone whatever the umask (the daemon runs with none), an
// existing one keeps its mode and a link to it stays a link.
TEST_F(FileTest, OutputKeepsItsModeAndANewOneIsPrivate)
{
    struct stat st;
    const mode_t old = umask(0);
    const uint32_t st0 = DevDecryptFile(kSlot, enc_.c_str(), path("new.bin").c_str());
    umask(old);
    ASSERT_EQ(st0, 0u);
    ASSERT_EQ(stat(path("new.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "not readable by others";
    EXPECT_EQ(read_file(path("new.bin")), plain_);

    write_file(path("mine.bin"), kmxt::bytes("earlier"));
    ASSERT_EQ(chmod(path("mine.bin").c_str(), 0600), 0);
    ASSERT_EQ(symlink("mine.bin", path("link.bin").c_str()), 0);
    for (const char* out : {"mine.bin", "link.bin"}) {
        SCOPED_TRACE(out);
        write_file(path("mine.bin"), kmxt::bytes("earlier"));
        ASSERT_EQ(DevDecryptFile(kSlot, enc_.c_str(), path(out).c_str()), 0u);
        EXPECT_EQ(read_file(path("mine.bin")), plain_);
        ASSERT_EQ(stat(path("mine.bin").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        ASSERT_EQ(lstat(path("link.bin").c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
    }
    // A shared file keeps its mode as well.
    ASSERT_EQ(chmod(path("mine.bin").c_str(), 0644), 0);
    ASSERT_EQ(DevDecryptFile(kSlot, enc_.c_str(), path("mine.bin").c_str()), 0u);
    ASSERT_EQ(stat(path("mine.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_TRUE(leftovers("mine.bin").empty());
    EXPECT_TRUE(leftovers("new.bin").empty());
}

TEST_F(FileTest, InputMayBeTheOutput)
{
    const Bytes good = read_file(enc_);
    set_count(0);
    const Bytes spoilt = read_file(enc_);
    EXPECT_EQ(DevDecryptFile(kSlot, enc_.c_str(), enc_.c_str()), 12005u);
    EXPECT_EQ(read_file(enc_), spoilt) << "a failure leaves the input as it was";

    write_file(enc_, good);
    ASSERT_EQ(DevDecryptFile(kSlot, enc_.c_str(), enc_.c_str()), 0u);
    EXPECT_EQ(read_file(enc_), plain_);
    EXPECT_TRUE(leftovers("plain.enc").empty());
}

TEST_F(DecryptTest, SessionKeyTravelsInAnEnvelopeBetweenTwoCards)
{
    std::string sender = new_image("sender.vkd");
    ASSERT_EQ(DevClose(), 0u);

    // The sender's card makes the envelope and keeps the session key.
    session(sender);
    Bytes env(512);
    int envLen = 10;
    ASSERT_EQ(DevGenEnv(path(kMx + ".pks").c_str(), kId.c_str(), env.data(), &envLen), 1018u);
    envLen = static_cast<int>(env.size());
    ASSERT_EQ(DevGenEnv(path(kMx + ".pks").c_str(), kId.c_str(), env.data(), &envLen), 0u);
    env.resize(static_cast<size_t>(envLen));
    const Bytes msg = text(100, 31);
    uint8_t cipher[256];
    uint32_t clen = sizeof cipher;
    ASSERT_EQ(DevSM4Encrypt(1, msg.data(), static_cast<uint8_t>(msg.size()), cipher, &clen), 0u);
    ASSERT_EQ(clen % 16, 0u);
    Bytes envS(512);
    int envSLen = static_cast<int>(envS.size());
    EXPECT_EQ(DevGenEnvS(mx_.pub.data(), static_cast<long>(mx_.pub.size()), kId.c_str(), envS.data(), &envSLen),
              0u);
    EXPECT_EQ(DevGenEnvS(mx_.pub.data(), 255, kId.c_str(), envS.data(), &envSLen), 11001u);

    // The recipient's card opens it and decrypts with the same key.
    session(img_);
    uint8_t plain[256];
    int plen = sizeof plain;
    EXPECT_NE(DevSM4Decrypt(1, cipher, static_cast<uint8_t>(clen), plain, &plen), 0u) << "no session key yet";
    ASSERT_EQ(DevOpenEnv(0, kSlot, env.data(), static_cast<uint32_t>(env.size()), nullptr, nullptr), 0u);
    plen = sizeof plain;
    ASSERT_EQ(DevSM4Decrypt(1, cipher, static_cast<uint8_t>(clen), plain, &plen), 0u);
    EXPECT_EQ(Bytes(plain, plain + plen), msg);
}

TEST_F(DecryptTest, OpenEnvGivesTheSharedPoint)
{
    std::string sender = new_image("sender.vkd");
    Bytes env(512);
    int envLen = static_cast<int>(env.size());
    ASSERT_EQ(DevGenEnv(path(kMx + ".pks").c_str(), kId.c_str(), env.data(), &envLen), 0u);
    env.resize(static_cast<size_t>(envLen));

    // Oracle: the envelope opened in software with the addressee's key.
    DEnvelope* e = nullptr;
    ASSERT_EQ(string2DEnvelope(env.data(), envLen, &e), 0);
    const Bytes value(ASN1_STRING_get0_data(e->env), ASN1_STRING_get0_data(e->env) + ASN1_STRING_length(e->env));
    DEnvelope_free(e);
    ASSERT_EQ(value.size(), 67u);
    BIGNUM* isk = kmxt::isk_of(path(kMx + ".sec"), kmxt::bytes(kId));
    Bytes kG;
    ASSERT_TRUE(kmxt::open_envelope(SM2_SERIAL, value.data(), 67, isk, &kG));
    BN_free(isk);

    session(img_);
    Bytes out(64, 0xEE);
    uint32_t len = 63;
    EXPECT_EQ(DevOpenEnv(1, kSlot, env.data(), static_cast<uint32_t>(env.size()), out.data(), &len), 1018u);
    EXPECT_EQ(len, 63u) << "the length is left as it was";
    len = 64;
    ASSERT_EQ(DevOpenEnv(1, kSlot, env.data(), static_cast<uint32_t>(env.size()), out.data(), &len), 0u);
    EXPECT_EQ(len, 64u);
    EXPECT_EQ(out, kG);

    Bytes point(64);
    ASSERT_EQ(DevOpenDE(kSlot, value.data() + 1, point.data()), 0u);
    EXPECT_EQ(point, kG);

    uint32_t zero = 99;
    ASSERT_EQ(DevOpenEnv(0, kSlot, env.data(), static_cast<uint32_t>(env.size()), nullptr, &zero), 0u);
    EXPECT_EQ(zero, 0u);

    const Bytes withContent = envelope_for(kId, text(20, 1));
    len = 64;
    EXPECT_EQ(DevOpenEnv(1, kSlot, withContent.data(), static_cast<uint32_t>(withContent.size()), out.data(), &len),
              11011u);
    const Bytes other = remake(env, [](DEnvelope* x) { set_text(x->addresseeId, "host-0002"); });
    clear_sent();
    EXPECT_EQ(DevOpenEnv(1, kSlot, other.data(), static_cast<uint32_t>(other.size()), out.data(), &len), 14008u);
    EXPECT_EQ(sent(INS_OPEN_DE), 0);
    EXPECT_EQ(DevOpenEnv(1, kSlot, nullptr, 100, out.data(), &len), 11001u);
    EXPECT_EQ(DevOpenEnv(1, kSlot, env.data(), static_cast<uint32_t>(env.size()), nullptr, &len), 11001u);
    EXPECT_EQ(DevOpenEnv(1, kSlot, env.data(), static_cast<uint32_t>(env.size()), out.data(), nullptr), 11001u);
}
