// Key device session, PINs, card files and digests, and binding the card to
// its image.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>

#include "dev_fixture.h"

using namespace devt;

namespace {

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

class SessionTest : public DevTest {};

}  // namespace

TEST_F(SessionTest, CloseResetsAndUnbinds)
{
    EXPECT_EQ(DevClose(), 2003u) << "nothing open";
    EXPECT_EQ(DevOpen(2, nullptr), 2007u);
    EXPECT_EQ(DevOpen(DEV_TYPE_VCARD, path("missing.vkd").c_str()), 11006u);

    std::string img = new_image("a.vkd");
    ASSERT_EQ(DevClose(), 0u);
    uint32_t tries = 0;
    EXPECT_EQ(DevVerifyPin(PIN_TYPE_USER, KMX_USER_PIN, &tries), 2003u);
    EXPECT_EQ(DevClose(), 2003u);

    // A new session starts locked: the restoration forgot the PINs.
    ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, img.c_str()), 0u);
    EXPECT_EQ(DevCreateFile(0x31), 1012u);
    ASSERT_EQ(DevVerifyPin(1, DEFAULT_PIN_TYPE1, &tries), 0u);
    EXPECT_EQ(DevCreateFile(0x31), 0u);
    EXPECT_EQ(DevReset(), 0u);
    EXPECT_EQ(DevCreateFile(0x32), 1012u);
}

TEST_F(SessionTest, WrongPinCountsDownAndSerialIsHex)
{
    new_image("a.vkd");
    uint32_t tries = 0;
    EXPECT_EQ(DevVerifyPin(PIN_TYPE_USER, "00000000", &tries), 3002u);
    EXPECT_LT(tries, 5u);
    EXPECT_EQ(DevVerifyPin(PIN_TYPE_USER, KMX_USER_PIN, &tries), 0u);
    EXPECT_EQ(tries, 5u);

    char sn[64] = {0};
    uint32_t len = sizeof sn;
    ASSERT_EQ(DevGetSn(sn, &len), 0u);
    ASSERT_GT(len, 0u);
    for (uint32_t i = 0; i < len; ++i) EXPECT_TRUE(isdigit(sn[i]) || (sn[i] >= 'A' && sn[i] <= 'F')) << sn;
}

TEST_F(SessionTest, FilesWriteReadAndReportTheirLength)
{
    new_image("a.vkd");
    EXPECT_EQ(DevFileIsExist(0x31), 0);
    uint32_t flen = 77;
    EXPECT_EQ(DevGetFileLen(0x31, &flen), 4001u);
    EXPECT_EQ(flen, 0u);
    EXPECT_EQ(DevGetFileLen(0x31, nullptr), 11001u);
    const Bytes data = pattern(300, 3);
    EXPECT_EQ(DevWriteFile(0x31, data.data(), 300), 4001u) << "missing file";

    ASSERT_EQ(DevCreateFile(0x31), 0u);
    EXPECT_EQ(DevFileIsExist(0x31), 1);
    Bytes out(400, 0xEE);
    int n = static_cast<int>(out.size());
    ASSERT_EQ(DevReadFile(0x31, out.data(), &n), 0u);
    EXPECT_EQ(n, 0) << "a new file holds nothing";

    ASSERT_EQ(DevWriteFile(0x31, data.data(), 300), 0u);
    ASSERT_EQ(DevGetFileLen(0x31, &flen), 0u);
    EXPECT_EQ(flen, 300u);
    n = 299;
    EXPECT_EQ(DevReadFile(0x31, out.data(), &n), 1018u);
    EXPECT_EQ(n, 300);
    EXPECT_EQ(out[0], 0xEE) << "nothing read on a short buffer";
    n = 300;
    ASSERT_EQ(DevReadFile(0x31, out.data(), &n), 0u);
    EXPECT_EQ(n, 300);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 300), data);
    EXPECT_EQ(out[300], 0xEE);

    // Lengths beyond the largest card file are refused before anything is
    // written, not cut down to 16 bits nor written up to the file's end.
    const Bytes big = pattern(65536 + 10, 9);
    for (int over : {4097, 65535, 65536, 65536 + 10})
        EXPECT_EQ(DevWriteFile(0x31, big.data(), over), 4008u) << over;
    EXPECT_EQ(DevWriteFile(0x39, big.data(), 65536 + 10), 4001u) << "the missing file first";
    for (int bad : {0, -1}) EXPECT_EQ(DevWriteFile(0x31, data.data(), bad), 11001u) << bad;
    EXPECT_EQ(DevWriteFile(0x31, nullptr, 10), 11001u);
    ASSERT_EQ(DevGetFileLen(0x31, &flen), 0u);
    EXPECT_EQ(flen, 300u);
    n = 300;
    ASSERT_EQ(DevReadFile(0x31, out.data(), &n), 0u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 300), data);
    EXPECT_EQ(DevReadFile(0x31, nullptr, &n), 11001u);
    EXPECT_EQ(DevReadFile(0x31, out.data(), nullptr), 11001u);

    // A whole file of 4096 bytes is written; one byte more changes nothing.
    const Bytes whole = pattern(4096, 5);
    ASSERT_EQ(DevWriteFile(0x31, whole.data(), 4096), 0u);
    EXPECT_EQ(DevWriteFile(0x31, big.data(), 4097), 4008u);
    Bytes back(4096);
    n = 4096;
    ASSERT_EQ(DevReadFile(0x31, back.data(), &n), 0u);
    EXPECT_EQ(back, whole);

    EXPECT_EQ(DevDeleteFile(0x31), 0u);
    EXPECT_EQ(DevFileIsExist(0x31), 0);
    ASSERT_EQ(DevClose(), 0u);
    EXPECT_EQ(DevFileIsExist(0x40), 0) << "no device open";
}

// A key slot's public record (128 bytes) and key id record (64 bytes) refuse
// a length they cannot take with 4008 before anything is written, however
// little the record held; a length they can take is written whole.
TEST_F(SessionTest, RecordsRefuseALengthTheyCannotTake)
{
    new_image("a.vkd");
    const struct {
        const char* name;
        int file;
        int size;
        std::function<uint32_t(const uint8_t*, int)> install;
    } records[] = {
        {"public record", 0x31, 128,
         [](const uint8_t* b, int n) { return COS_WritePubKey(1, b, static_cast<uint16_t>(n)); }},
        {"key id record", 0x51, 64,
         [](const uint8_t* b, int n) { return COS_WriteKeyId(1, b, static_cast<uint8_t>(n)); }},
    };
    const Bytes data = pattern(300, 4);
    for (const auto& r : records) {
        SCOPED_TRACE(r.name);
        for (int held : {0, 1, r.size / 2, r.size}) {
            SCOPED_TRACE(held);
            const Bytes all = pattern(static_cast<size_t>(r.size), 6);
            const Bytes old(all.begin(), all.begin() + held);
            ASSERT_EQ(r.install(all.data(), held), 0u);
            for (int n : {r.size + 1, r.size + 2, 300})
                EXPECT_EQ(DevWriteFile(r.file, data.data(), n), 4008u) << n;
            uint32_t flen = 99;
            ASSERT_EQ(DevGetFileLen(r.file, &flen), 0u);
            EXPECT_EQ(flen, static_cast<uint32_t>(held));
            Bytes back(300, 0xEE);
            int n = static_cast<int>(back.size());
            ASSERT_EQ(DevReadFile(r.file, back.data(), &n), 0u);
            EXPECT_EQ(Bytes(back.begin(), back.begin() + n), old);
        }
        // The whole size goes in.
        ASSERT_EQ(DevWriteFile(r.file, data.data(), r.size), 0u);
        Bytes back(r.size);
        int n = r.size;
        ASSERT_EQ(DevReadFile(r.file, back.data(), &n), 0u);
        EXPECT_EQ(back, Bytes(data.begin(), data.begin() + r.size));
    }
    ASSERT_EQ(DevClose(), 0u);
}

TEST_F(SessionTest, RandomBytesWithinFourToThirtyTwo)
{
    new_image("a.vkd");
    struct {
        int n;
        uint32_t st;
    } cases[] = {{3, 11001}, {4, 0}, {32, 0}, {33, 11001}, {0, 11001}, {-4, 11001}};
    for (const auto& c : cases) {
        Bytes a(40, 0), b(40, 0);
        EXPECT_EQ(DevGetRandom(a.data(), c.n), c.st) << c.n;
        if (c.st == 0) {
            ASSERT_EQ(DevGetRandom(b.data(), c.n), 0u);
            EXPECT_NE(a, b) << c.n;
            EXPECT_TRUE(std::all_of(a.begin() + c.n, a.end(), [](uint8_t v) { return v == 0; }))
                << "nothing past n bytes";
        }
    }
    EXPECT_EQ(DevGetRandom(nullptr, 8), 11001u);
}

TEST_F(SessionTest, CardDigestsMatchTheLibrary)
{
    new_image("a.vkd");
    for (size_t len : {size_t(1), size_t(128), size_t(129), size_t(1000), size_t(65535)}) {
        SCOPED_TRACE(len);
        const Bytes d = pattern(len, static_cast<uint8_t>(len));
        uint8_t out[40];
        uint32_t ol = 19;
        EXPECT_EQ(DevSHA1(d.data(), static_cast<int>(len), out, &ol), 1018u);
        EXPECT_EQ(ol, 20u);
        ol = 20;
        ASSERT_EQ(DevSHA1(d.data(), static_cast<int>(len), out, &ol), 0u);
        EXPECT_EQ(ol, 20u);
        EXPECT_EQ(Bytes(out, out + 20), sha1_oracle(d));

        int sl = 31;
        EXPECT_EQ(DevSM3(d.data(), static_cast<int>(len), out, &sl), 1018u);
        EXPECT_EQ(sl, 32);
        sl = 40;
        ASSERT_EQ(DevSM3(d.data(), static_cast<int>(len), out, &sl), 0u);
        EXPECT_EQ(sl, 32);
        EXPECT_EQ(Bytes(out, out + 32), sm3_oracle(d));
    }
    // Zero, negative and over-long lengths, missing pointers.
    const Bytes d = pattern(65536 + 1, 1);
    uint8_t out[32];
    for (int len : {0, -1, 65536, 65537}) {
        uint32_t ol = 20;
        int sl = 32;
        EXPECT_EQ(DevSHA1(d.data(), len, out, &ol), 11001u) << len;
        EXPECT_EQ(DevSM3(d.data(), len, out, &sl), 11001u) << len;
    }
    uint32_t ol = 20;
    int sl = 32;
    EXPECT_EQ(DevSHA1(nullptr, 4, out, &ol), 11001u);
    EXPECT_EQ(DevSHA1(d.data(), 4, nullptr, &ol), 11001u);
    EXPECT_EQ(DevSHA1(d.data(), 4, out, nullptr), 11001u);
    EXPECT_EQ(DevSM3(nullptr, 4, out, &sl), 11001u);
    EXPECT_EQ(DevSM3(d.data(), 4, out, nullptr), 11001u);
}

TEST_F(SessionTest, ChangedPinHoldsInTheNextSession)
{
    std::string img = new_image("a.vkd");
    EXPECT_EQ(DevModifyPin(PIN_TYPE_USER, KMX_USER_PIN, "11112222"), 0u);
    ASSERT_EQ(DevClose(), 0u);
    ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, img.c_str()), 0u);
    uint32_t tries = 0;
    EXPECT_NE(DevVerifyPin(PIN_TYPE_USER, KMX_USER_PIN, &tries), 0u);
    EXPECT_EQ(DevVerifyPin(PIN_TYPE_USER, "11112222", &tries), 0u);
}

// Opens the image in a child with an alarm: a hang kills the child, which
// the parent sees as a signal instead of an exit status.
static int open_in_child(const std::string& img)
{
    pid_t pid = fork();
    if (pid == 0) {
        alarm(60); // a hang, never a slow machine
        uint32_t st = DevOpen(DEV_TYPE_VCARD, img.c_str());
        _exit(st == 11006 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return WEXITSTATUS(status);
}

TEST_F(SessionTest, FifoNamedAsTheImageIsRefusedAtOnce)
{
    std::string fifo = path("pipe.vkd");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(open_in_child(fifo), 0) << "the open blocked or did not answer 11006";
    EXPECT_EQ(DevOpen(DEV_TYPE_VCARD, dir_.c_str()), 11006u) << "a folder";
}

// Within a session the image's name is not trusted either: a link to
// another image, or a FIFO, put in its place after the open makes each
// command fail as on an image that cannot be read, at once; the file the
// link names is never written (a wrong PIN would count a try in it).
TEST_F(SessionTest, ImageSwappedWithinASessionIsNeverWritten)
{
    const std::string victim = path("victim.vkd");
    ASSERT_EQ(CreateVEFlashFile(victim.c_str()), 0);
    const std::string img = new_image("a.vkd");
    ASSERT_EQ(DevClose(), 0u);
    const Bytes before = read_file(victim);
    for (const char* what : {"link", "FIFO"}) {
        SCOPED_TRACE(what);
        ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, img.c_str()), 0u);
        ASSERT_EQ(rename(img.c_str(), path("aside").c_str()), 0);
        if (std::string(what) == "link") {
            ASSERT_EQ(symlink(victim.c_str(), img.c_str()), 0);
        } else {
            ASSERT_EQ(mkfifo(img.c_str(), 0600), 0);
        }
        uint32_t tries = 0;
        EXPECT_NE(DevVerifyPin(PIN_TYPE_USER, "00000000", &tries), 0u);
        EXPECT_NE(DevVerifyPin(PIN_TYPE_USER, KMX_USER_PIN, &tries), 0u);
        EXPECT_NE(DevCreateFile(0x33), 0u);
        DevClose();
        EXPECT_EQ(read_file(victim), before);
        ASSERT_EQ(unlink(img.c_str()), 0);
        ASSERT_EQ(rename(path("aside").c_str(), img.c_str()), 0);
    }
    // The image back: the same card, whose PIN counted no try.
    ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, img.c_str()), 0u);
    uint32_t tries = 0;
    EXPECT_EQ(DevVerifyPin(PIN_TYPE_USER, KMX_USER_PIN, &tries), 0u);
    EXPECT_EQ(tries, 5u);
}

TEST_F(SessionTest, ImageRenamedOverTheBoundPathIsSeenAfresh)
{
    // The replacement is made first: making an image binds the card to it.
    std::string other = path("b.vkd.new");
    ASSERT_EQ(CreateVEFlashFile(other.c_str()), 0);
    std::string img = new_image("a.vkd");
    uint32_t tries = 0;
    // Binding the same file again keeps the verified PINs.
    ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, img.c_str()), 0u);
    EXPECT_EQ(DevCreateFile(0x31), 0u);

    // Another image put in place under the same path is a new card: the
    // PIN verified on the old one does not carry over.
    ASSERT_EQ(rename(other.c_str(), img.c_str()), 0);
    ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, img.c_str()), 0u);
    EXPECT_EQ(DevCreateFile(0x32), 1012u);
    EXPECT_EQ(DevFileIsExist(0x31), 0) << "the file of the old image is gone";
    ASSERT_EQ(DevVerifyPin(1, DEFAULT_PIN_TYPE1, &tries), 0u);
    EXPECT_EQ(DevCreateFile(0x32), 0u);
}

TEST_F(SessionTest, PinCacheServesLaterSessionsOfItsImageOnly)
{
    std::string fresh = path("fresh.vkd");
    ASSERT_EQ(CreateVEFlashFile(fresh.c_str()), 0);
    std::string img = new_image("a.vkd");
    ASSERT_EQ(DevSetCachePin(1, 30), 0u);
    ASSERT_EQ(DevClose(), 0u);
    ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, img.c_str()), 0u);
    ASSERT_EQ(DevAutoVerify(), 0u) << "the cached user PIN verifies";
    ASSERT_EQ(DevClose(), 0u);

    ASSERT_EQ(rename(fresh.c_str(), img.c_str()), 0);
    ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, img.c_str()), 0u);
    EXPECT_NE(DevAutoVerify(), 0u) << "the new image caches no PIN";
    EXPECT_EQ(DevCreateFile(0x50), 1012u);
}
