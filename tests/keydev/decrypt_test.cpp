// Decryption with a key slot: SM2 blocks, envelopes with content, the
// multi-recipient encrypted file, and session envelopes with the card's SM4.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <functional>

#include "dev_fixture.h"
#include "kmx/entry_snapshot.h"
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
    ASSERT_EQ(chmod(out.c_str(), 0600), 0);   // a file plaintext may go over
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
// existing private one keeps its mode, a link at the name is replaced by a
// private file (the file it named keeps its bytes), and a file of ours that
// others may read is refused as it is.
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
    ASSERT_EQ(DevDecryptFile(kSlot, enc_.c_str(), path("mine.bin").c_str()), 0u);
    EXPECT_EQ(read_file(path("mine.bin")), plain_);
    ASSERT_EQ(stat(path("mine.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    write_file(path("mine.bin"), kmxt::bytes("earlier"));
    ASSERT_EQ(symlink("mine.bin", path("link.bin").c_str()), 0);
    ASSERT_EQ(DevDecryptFile(kSlot, enc_.c_str(), path("link.bin").c_str()), 0u);
    ASSERT_EQ(lstat(path("link.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(read_file(path("link.bin")), plain_);
    EXPECT_EQ(read_file(path("mine.bin")), kmxt::bytes("earlier"));

    // A file of ours that others may read never gets the plaintext.
    ASSERT_EQ(chmod(path("mine.bin").c_str(), 0644), 0);
    EXPECT_EQ(DevDecryptFile(kSlot, enc_.c_str(), path("mine.bin").c_str()), 11006u);
    ASSERT_EQ(stat(path("mine.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(read_file(path("mine.bin")), kmxt::bytes("earlier"));
    EXPECT_TRUE(leftovers("mine.bin").empty());
    EXPECT_TRUE(leftovers("link.bin").empty());
    EXPECT_TRUE(leftovers("new.bin").empty());
}

// Both writers of an encrypted file's content, run as root, into a folder
// that stands in for /tmp (mode 1777): whatever another user (uid 65534) has
// put at the output's name, the call answers 11006, the entry and every file
// it may lead to stay exactly as they were (bytes, mode, owner), and no file
// of that user holds the plaintext. A new output and a private file of
// root's own are written.
TEST_F(FileTest, OutputsInAStickyFolderTakeNoEntryOfAnotherUser)
{
    if (geteuid() != 0) GTEST_SKIP() << "only root may make files of another user";
    constexpr uid_t kOther = 65534;
    enum Entry { LinkToRootFile, LinkToTheirFile, HardLinkToTheirFile, TheirFile, LinkToSetUidRootFile,
                 Nothing, OurPrivateFile };
    const struct {
        const char* name;
        Entry entry;
        bool taken;
    } rows[] = {
        {"a link to a root file", LinkToRootFile, false},
        {"a link to that user's file", LinkToTheirFile, false},
        {"a hard link to that user's file", HardLinkToTheirFile, false},
        {"that user's pre-made file", TheirFile, false},
        {"a link to a set-uid root file", LinkToSetUidRootFile, false},
        {"a new output", Nothing, true},
        {"an existing 0600 output of root's own", OurPrivateFile, true},
    };
    AddresseeEntry to{};
    snprintf(to.id, sizeof to.id, "%s", kId.c_str());
    snprintf(to.matrixName, sizeof to.matrixName, "%s", kMx.c_str());
    const std::function<uint32_t(const std::string&)> writers[] = {
        [&](const std::string& out) { return DevDecryptFile(kSlot, enc_.c_str(), out.c_str()); },
        [&](const std::string& out) {
            return KMX_Encrypt_File(matrix_dir().c_str(), &to, 1, path("plain.bin").c_str(), out.c_str(),
                                    nullptr, nullptr);
        },
    };
    const mode_t mask = umask(022);
    int n = 0;
    for (int w = 0; w < 2; ++w) {
        const bool decrypts = w == 0;
        for (const auto& r : rows) {
            SCOPED_TRACE(std::string(decrypts ? "DevDecryptFile: " : "KMX_Encrypt_File: ") + r.name);
            const std::string base = path("case" + std::to_string(n++)), tmp = base + "/tmp",
                              out = tmp + "/out";
            const std::string rootFile = base + "/root-file", theirFile = base + "/their-file",
                              setUid = base + "/set-uid";
            ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
            ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
            ASSERT_EQ(chmod(tmp.c_str(), 01777), 0);
            write_file(rootFile, kmxt::bytes("root's file"));
            ASSERT_EQ(chmod(rootFile.c_str(), 0644), 0);
            write_file(theirFile, kmxt::bytes("their file"));
            ASSERT_EQ(chown(theirFile.c_str(), kOther, kOther), 0);
            ASSERT_EQ(chmod(theirFile.c_str(), 0644), 0);
            write_file(setUid, kmxt::bytes("#!/bin/sh\nexit 0\n"));
            ASSERT_EQ(chmod(setUid.c_str(), 04755), 0);
            const auto their_link = [&](const std::string& to) {
                ASSERT_EQ(symlink(to.c_str(), out.c_str()), 0);
                ASSERT_EQ(fchownat(AT_FDCWD, out.c_str(), kOther, kOther, AT_SYMLINK_NOFOLLOW), 0);
            };
            switch (r.entry) {
            case LinkToRootFile: their_link(rootFile); break;
            case LinkToTheirFile: their_link(theirFile); break;
            case LinkToSetUidRootFile: their_link(setUid); break;
            case HardLinkToTheirFile: ASSERT_EQ(link(theirFile.c_str(), out.c_str()), 0); break;
            case TheirFile:
                write_file(out, kmxt::bytes("their output"));
                ASSERT_EQ(chown(out.c_str(), kOther, kOther), 0);
                ASSERT_EQ(chmod(out.c_str(), 0666), 0);
                break;
            case OurPrivateFile:
                write_file(out, kmxt::bytes("earlier"));
                ASSERT_EQ(chmod(out.c_str(), 0600), 0);
                break;
            case Nothing: break;
            }
            const EntrySnapshot entry = snapshot(out), root = snapshot(rootFile), theirs = snapshot(theirFile),
                                setuid = snapshot(setUid);

            const uint32_t st = writers[w](out);

            if (r.taken) {
                ASSERT_EQ(st, 0u);
                struct stat o;
                ASSERT_EQ(lstat(out.c_str(), &o), 0);
                EXPECT_TRUE(S_ISREG(o.st_mode));
                EXPECT_EQ(o.st_uid, 0u);
                EXPECT_EQ(o.st_mode & 07777, decrypts || r.entry == OurPrivateFile ? 0600u : 0644u);
                if (decrypts) {
                    EXPECT_EQ(read_file(out), plain_);
                } else {
                    ASSERT_EQ(DevDecryptFile(kSlot, out.c_str(), (base + "/check").c_str()), 0u);
                    EXPECT_EQ(read_file(base + "/check"), plain_);
                }
            } else {
                EXPECT_EQ(st, 11006u);
                EXPECT_EQ(snapshot(out), entry);
            }
            EXPECT_EQ(snapshot(rootFile), root);
            EXPECT_EQ(snapshot(theirFile), theirs);
            EXPECT_EQ(snapshot(setUid), setuid);
            DIR* d = opendir(tmp.c_str());
            ASSERT_NE(d, nullptr);
            std::vector<std::string> names;
            while (dirent* e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
            closedir(d);
            EXPECT_EQ(names, std::vector<std::string>{"out"}) << "nothing left beside the output";
            std::error_code ec;
            for (const auto& f : std::filesystem::recursive_directory_iterator(base, ec)) {
                struct stat fs;
                if (lstat(f.path().c_str(), &fs) == 0 && S_ISREG(fs.st_mode) && fs.st_uid == kOther) {
                    EXPECT_NE(read_file(f.path().string()), plain_) << f.path();
                }
            }
            EXPECT_FALSE(ec);
        }
    }
    umask(mask);
}

// The input may be the output: the staged output never touches the file
// being read. Plaintext goes over it only when the file is private (the
// encrypted file is made 0644 under the usual umask).
TEST_F(FileTest, InputMayBeTheOutput)
{
    const Bytes good = read_file(enc_);
    EXPECT_EQ(DevDecryptFile(kSlot, enc_.c_str(), enc_.c_str()), 11006u) << "readable by others";
    EXPECT_EQ(read_file(enc_), good);
    ASSERT_EQ(chmod(enc_.c_str(), 0600), 0);
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
