// A key slot's private scalar never goes back to the allocator: every block
// that the crypto library frees while a key operation runs (issuing,
// installing, decrypting, signing with the slot) is searched for any run of
// 16 bytes of the scalar.
//
// The crypto library's allocator is replaced for this test program before
// its first allocation; the replacement keeps each block's size in front of
// it, so a freed block is searched over exactly the bytes it was given.
#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "keydev_fixture.h"

using namespace kdt;

namespace freed_scan {

// While armed, every freed block is searched for a 16-byte run of the secret.
bool armed = false;
unsigned char secret[32];
size_t secretLen = 0;
int blocks = 0;   // blocks searched
int found = 0;    // blocks holding a run

constexpr size_t kHead = 16;   // keeps the blocks' alignment

bool holds_run(const unsigned char* p, size_t n)
{
    constexpr size_t run = 16;
    if (secretLen < run)
        return false;
    for (size_t s = 0; s + run <= secretLen; ++s)
        for (size_t i = 0; i + run <= n; ++i)
            if (std::memcmp(p + i, secret + s, run) == 0)
                return true;
    return false;
}

void* alloc(size_t n, const char*, int)
{
    unsigned char* b = static_cast<unsigned char*>(std::malloc(n + kHead));
    if (!b)
        return nullptr;
    std::memcpy(b, &n, sizeof n);
    return b + kHead;
}

void release(void* p, const char*, int)
{
    if (!p)
        return;
    unsigned char* b = static_cast<unsigned char*>(p) - kHead;
    size_t n;
    std::memcpy(&n, b, sizeof n);
    if (armed) {
        ++blocks;
        if (holds_run(static_cast<unsigned char*>(p), n))
            ++found;
    }
    std::free(b);
}

// A moved block is a freed one too.
void* resize(void* p, size_t n, const char* file, int line)
{
    if (!p)
        return alloc(n, file, line);
    if (n == 0) {
        release(p, file, line);
        return nullptr;
    }
    void* q = alloc(n, file, line);
    if (!q)
        return nullptr;
    size_t old;
    std::memcpy(&old, static_cast<unsigned char*>(p) - kHead, sizeof old);
    std::memcpy(q, p, old < n ? old : n);
    release(p, file, line);
    return q;
}

int installed = -1;

__attribute__((constructor(101))) void install()
{
    installed = CRYPTO_set_mem_functions(alloc, resize, release);
}

// Counts from zero while it lives.
struct Window {
    explicit Window(const Bytes& scalar)
    {
        secretLen = scalar.size() < sizeof secret ? scalar.size() : sizeof secret;
        std::memcpy(secret, scalar.data(), secretLen);
        blocks = found = 0;
        armed = true;
    }
    ~Window()
    {
        armed = false;
        OPENSSL_cleanse(secret, sizeof secret);
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
};

}  // namespace freed_scan

namespace {

class FreedSecret : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(freed_scan::installed, 1) << "the allocator was not replaced before first use";
        SharedIssuer& s = SharedIssuer::get();
        ASSERT_EQ(0, s.status) << s.err;
        issuer = s.info;
    }
    void TearDown() override { DevClose(); }

    // Runs one operation in a scan window over scalar: it succeeds, frees
    // blocks, and none of them holds a run of the scalar.
    void expect_clean(const char* what, const Bytes& scalar, const std::function<uint32_t()>& run)
    {
        SCOPED_TRACE(what);
        uint32_t st;
        int blocks, found;
        {
            freed_scan::Window w(scalar);
            st = run();
            blocks = freed_scan::blocks;
            found = freed_scan::found;
        }
        ASSERT_EQ(0u, st);
        EXPECT_GT(blocks, 0) << "no block freed: the scan saw nothing";
        EXPECT_EQ(0, found) << "freed blocks holding the scalar";
    }

    imgbuild::IssuerInfo issuer;
    TempFolder dir;
};

TEST_F(FreedSecret, KeyOperationsFreeNoBlockHoldingTheSlotsScalar)
{
    const Bytes id = machine_id(51);
    Bytes der;
    ASSERT_EQ(0u, open_verified(issuer.image));
    ASSERT_EQ(0u, gen_key_card(id, &der));
    const Bytes scalar = issued_scalar(der, 32);
    ASSERT_FALSE(scalar.empty());

    expect_clean("issuing", scalar, [&] {
        Bytes again;
        return gen_key_card(id, &again);
    });
    ASSERT_EQ(0u, DevClose());

    const std::string host = dir.file("host.vkd");
    ASSERT_EQ(0, imgbuild::make_blank(host));
    ASSERT_EQ(0u, open_verified(host));
    expect_clean("installing", scalar, [&] {
        return DevWriteKeyCard(1, 1, der.data(), static_cast<uint32_t>(der.size()));
    });
    ASSERT_EQ(0u, DevClose());

    const Bytes plain(128, 0x5C);
    Bytes block = challenge(issuer.pksPath, id, plain);
    Bytes out(SM2_BLOCK_LEN);
    size_t len = SM2_BLOCK_LEN;
    expect_clean("decrypting", scalar, [&] {
        return static_cast<uint32_t>(
            kmx_decryption(block.data(), out.data(), len, const_cast<char*>(host.c_str())));
    });
    EXPECT_EQ(plain, Bytes(out.begin(), out.begin() + static_cast<long>(len)));

    ASSERT_EQ(0u, open_verified(host));
    expect_clean("signing", scalar, [&] {
        const Bytes data = text("signed by the slot's key");
        Bytes sig(512);
        int n = static_cast<int>(sig.size());
        return DevSignData(1, data.data(), static_cast<uint32_t>(data.size()), sig.data(), &n);
    });
    ASSERT_EQ(0u, DevClose());

    // The transport route: issued masked, installed masked.
    imgbuild::HostSpec spec;
    spec.identity = id;
    spec.route = imgbuild::Route::Transport;
    spec.issuerImage = issuer.image;
    spec.pksDir = SharedIssuer::get().dir.path();
    expect_clean("issuing and installing through a transport key", scalar, [&] {
        std::string err;
        int st = imgbuild::make_host(spec, dir.file("transport.vkd"), &err);
        return static_cast<uint32_t>(st);
    });
}

}  // namespace
