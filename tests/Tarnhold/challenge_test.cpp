// The road of one SM2 challenge inside the process: a block encrypted to the
// host's identity, handled by the receive loop's handler with the key device
// facade on a real key device image.

#include "Tarnhold/fake_effects.h"
#include "Tarnhold/handler.h"
#include "common/test_util.h"
#include "keydev/kmxdev.h"
#include "kmx/kmxsoft.h"
#include "tools/imgbuild/imgbuild.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// The fake's effects, but decryption through the facade on an image.
class ImageEffects : public FakeEffects {
public:
    explicit ImageEffects(std::string image) : image_(std::move(image)) {}
    int decrypt(unsigned char* block, unsigned char* out, size_t& len) override
    {
        decryptedBlocks.emplace_back(block, block + 250);
        std::vector<char> keyFile(image_.begin(), image_.end());
        keyFile.push_back('\0');
        return kmx_decryption(block, out, len, keyFile.data());
    }
    bool key_file_exists() override { return file_exists(image_); }

private:
    std::string image_;
};

class Challenge : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TmpDir;
        std::string err;
        ASSERT_EQ(imgbuild::make_soft_matrix(5, "TARNHOLD", imgbuild::DEFAULT_ROW, imgbuild::DEFAULT_COL,
                                             dir_->path(), &pub_, &secret_, &err),
                  0)
            << err;
        cid_.assign(39, 0);
        cid_[0] = 1;
        const unsigned char mac[6] = {0x02, 0, 0, 0, 0, 0x01};
        std::memcpy(&cid_[3], mac, 6);
        for (int i = 9; i < 39; ++i)
            cid_[i] = static_cast<unsigned char>("0123456789ABCDEF"[i % 16]);
        imgbuild::HostSpec host;
        host.identity = cid_;
        host.route = imgbuild::Route::Soft;
        host.secretMatrix = secret_;
        ASSERT_EQ(imgbuild::make_host(host, dir_->file("private.vkd"), &err), 0) << err;
        host.identity = Bytes{'s', 'o', 'm', 'e', 'o', 'n', 'e'};
        ASSERT_EQ(imgbuild::make_host(host, dir_->file("other.vkd"), &err), 0) << err;
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }

    // The request frame carrying plaintext encrypted to the host's identity.
    static Bytes challenge(const Bytes& plain)
    {
        Bytes f(276, 0);
        const unsigned char dst[6] = {0x02, 0, 0, 0, 0, 0x01};
        const unsigned char src[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
        std::memcpy(f.data(), dst, 6);
        std::memcpy(f.data() + 6, src, 6);
        f[12] = 0x87;
        f[13] = 0x6D;
        f[14] = 0x01;
        f[15] = 0x14;
        std::memcpy(f.data() + 16, "akqwakqw", 8);
        f[24] = 1;
        f[25] = 250;
        int outLen = 250;
        EXPECT_EQ(KMX_SM2Encrypt(pub_.c_str(), cid_.data(), static_cast<int>(cid_.size()), plain.data(),
                                 static_cast<int>(plain.size()), f.data() + 26, &outLen),
                  0);
        return f;
    }

    Bytes run(const std::string& image, const Bytes& plain, std::vector<int>* results)
    {
        ImageEffects fx(image);
        DaemonState st;
        st.devices = {{"eth0", "02-00-00-00-00-01"}};
        st.des = "user";
        fx.indexes = {{"eth0", 2}};
        Bytes f = challenge(plain);
        HandleFrame(f.data(), static_cast<long>(f.size()), 2, st, fx);
        *results = fx.results;
        EXPECT_EQ(fx.sent.size(), 1u);
        return fx.sent.empty() ? Bytes() : fx.sent[0].bytes;
    }

    static TmpDir* dir_;
    static std::string pub_, secret_;
    static Bytes cid_;
};

TmpDir* Challenge::dir_ = nullptr;
std::string Challenge::pub_;
std::string Challenge::secret_;
Bytes Challenge::cid_;

Bytes pattern(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(0x80 + i);
    return b;
}

TEST_F(Challenge, PlaintextUpTo128Recovered)
{
    for (size_t n : {1u, 16u, 128u}) {
        std::vector<int> results;
        Bytes r = run(dir_->file("private.vkd"), pattern(n), &results);
        ASSERT_EQ(r.size(), 223u);
        Bytes field(128, 0);
        std::memcpy(field.data(), pattern(n).data(), n);
        EXPECT_EQ(Bytes(r.begin() + 26, r.begin() + 154), field) << n;
        EXPECT_EQ(r[154], 6) << n;
        EXPECT_EQ(results, std::vector<int>{1}) << n;
    }
}

// A block may carry up to 152 bytes; more than the reply's field holds is a
// failed decryption and must not run into the host-name record.
TEST_F(Challenge, PlaintextOver128Refused)
{
    for (size_t n : {129u, 140u, 152u}) {
        std::vector<int> results;
        Bytes r = run(dir_->file("private.vkd"), pattern(n), &results);
        ASSERT_EQ(r.size(), 223u);
        EXPECT_EQ(Bytes(r.begin() + 26, r.begin() + 154), Bytes(128, 0xFF)) << n;
        EXPECT_EQ(r[154], 6) << n;
        EXPECT_EQ(r[155], 60) << n;
        EXPECT_EQ(results, std::vector<int>{0}) << n;
    }
}

TEST_F(Challenge, WrongKeyOrNoImageFails)
{
    for (const std::string& image : {dir_->file("other.vkd"), dir_->file("missing.vkd")}) {
        std::vector<int> results;
        Bytes r = run(image, pattern(32), &results);
        ASSERT_EQ(r.size(), 223u);
        EXPECT_EQ(Bytes(r.begin() + 26, r.begin() + 154), Bytes(128, 0xFF)) << image;
        EXPECT_EQ(results, std::vector<int>{0}) << image;
    }
    EXPECT_FALSE(file_exists(dir_->file("missing.vkd")));
}

} // namespace
