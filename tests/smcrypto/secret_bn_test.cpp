// Secret scalars: the constant-time mark and the constant-time inverse.
#include "smcrypto/secret_bn.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/provider.h>

#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

namespace {

struct BnFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct CtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};

std::string hex_of(const BIGNUM* b)
{
    char* h = BN_bn2hex(b);
    std::string s = h ? h : "?";
    OPENSSL_free(h);
    return s;
}

Bn hex_bn(const char* hex)
{
    BIGNUM* b = nullptr;
    return BN_hex2bn(&b, hex) ? Bn(b) : Bn();
}

// Published group orders (both prime): the SM2 recommended curve and secp112r1.
const char* const kSm2N = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123";
const char* const kSecp112r1N = "DB7C2ABF62E35E7628DFAC6561C5";

TEST(SecretBn, MarksAndReportsTheMark)
{
    Bn a(BN_new());
    ASSERT_TRUE(a);
    EXPECT_FALSE(is_secret_bn(a.get()));
    EXPECT_EQ(secret_bn(a.get()), a.get());
    EXPECT_TRUE(is_secret_bn(a.get()));
    EXPECT_EQ(secret_bn(nullptr), nullptr);
    EXPECT_FALSE(is_secret_bn(nullptr));

    // A copy into a fresh number does not inherit the mark: the reason every
    // target of a secret is marked itself.
    Bn b(BN_new());
    ASSERT_TRUE(b && BN_copy(b.get(), a.get()));
    EXPECT_FALSE(is_secret_bn(b.get()));
    // A marked target keeps its mark across a copy and arithmetic into it.
    secret_bn(b.get());
    Bn c(BN_new());
    ASSERT_TRUE(c && BN_set_word(c.get(), 12345));
    std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
    ASSERT_TRUE(BN_copy(b.get(), c.get()) && BN_add_word(b.get(), 1) &&
                BN_mod_mul(b.get(), b.get(), c.get(), hex_bn(kSm2N).get(), ctx.get()));
    EXPECT_TRUE(is_secret_bn(b.get()));
}

// The inverse against OpenSSL's own inversion and against a·a^-1 = 1, for
// small, large, unreduced and aliased inputs on both orders.
TEST(SecretBn, InverseMatchesOpenSslAndMarksTheResult)
{
    std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
    ASSERT_TRUE(ctx);
    for (const char* nHex : {kSm2N, kSecp112r1N}) {
        Bn n = hex_bn(nHex);
        ASSERT_TRUE(n);
        Bn nm1(BN_dup(n.get())), np3(BN_dup(n.get())), rnd(BN_new());
        ASSERT_TRUE(nm1 && BN_sub_word(nm1.get(), 1) && np3 && BN_add_word(np3.get(), 3));
        ASSERT_TRUE(rnd && BN_rand_range(rnd.get(), n.get()) && BN_add_word(rnd.get(), 1) &&
                    BN_cmp(rnd.get(), n.get()) < 0);
        Bn one(BN_new()), two(BN_new());
        ASSERT_TRUE(one && BN_one(one.get()) && two && BN_set_word(two.get(), 2));
        for (const BIGNUM* a : {one.get(), two.get(), nm1.get(), np3.get(), rnd.get()}) {
            SCOPED_TRACE(std::string(nHex) + " a=" + hex_of(a));
            Bn inv(BN_new()), want(BN_new()), prod(BN_new());
            ASSERT_TRUE(inv && want && prod);
            ASSERT_TRUE(secret_mod_inverse(inv.get(), a, n.get(), ctx.get()));
            EXPECT_TRUE(is_secret_bn(inv.get()));
            ASSERT_TRUE(BN_mod_inverse(want.get(), a, n.get(), ctx.get()));
            EXPECT_EQ(BN_cmp(inv.get(), want.get()), 0);
            ASSERT_TRUE(BN_mod_mul(prod.get(), inv.get(), a, n.get(), ctx.get()));
            EXPECT_TRUE(BN_is_one(prod.get()));

            // out may be the input itself.
            Bn same(BN_dup(a));
            ASSERT_TRUE(same && secret_mod_inverse(same.get(), same.get(), n.get(), ctx.get()));
            EXPECT_EQ(BN_cmp(same.get(), want.get()), 0);
        }
    }
}

TEST(SecretBn, InverseRefusesWhatHasNone)
{
    std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
    Bn n = hex_bn(kSecp112r1N), zero(BN_new()), twoN(BN_new()), out(BN_new()), even(BN_new()),
       three(BN_new());
    ASSERT_TRUE(ctx && n && zero && twoN && out && even && three);
    BN_zero(zero.get());
    ASSERT_TRUE(BN_lshift1(twoN.get(), n.get()) && BN_set_word(even.get(), 16) &&
                BN_set_word(three.get(), 3));
    EXPECT_FALSE(secret_mod_inverse(out.get(), zero.get(), n.get(), ctx.get()));
    EXPECT_FALSE(secret_mod_inverse(out.get(), n.get(), n.get(), ctx.get()));
    EXPECT_FALSE(secret_mod_inverse(out.get(), twoN.get(), n.get(), ctx.get()));
    EXPECT_FALSE(secret_mod_inverse(out.get(), three.get(), even.get(), ctx.get()));
    EXPECT_FALSE(secret_mod_inverse(out.get(), three.get(), BN_value_one(), ctx.get()));
    EXPECT_FALSE(secret_mod_inverse(out.get(), three.get(), n.get(), nullptr));
    EXPECT_FALSE(secret_mod_inverse(nullptr, three.get(), n.get(), ctx.get()));
}

// Draws stay in [1, n), come out marked, and cover every value of a tiny
// range (a draw that skipped the top or never left 1 would show there).
TEST(SecretBn, RandomScalarStaysInOneToNMinusOne)
{
    std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
    ASSERT_TRUE(ctx);
    struct Case {
        const char* nHex;
        int draws;
        bool everyValue;   // n small enough that each of 1..n-1 must appear
    };
    const Case cases[] = {
        {"2", 50, true}, {"3", 200, true}, {"5", 400, true},
        {kSecp112r1N, 200, false}, {kSm2N, 200, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nHex);
        Bn n = hex_bn(c.nHex), k(BN_new());
        ASSERT_TRUE(n && k);
        std::map<std::string, int> seen;
        for (int i = 0; i < c.draws; ++i) {
            ASSERT_TRUE(random_scalar(k.get(), n.get(), ctx.get()));
            ASSERT_FALSE(BN_is_zero(k.get()));
            ASSERT_FALSE(BN_is_negative(k.get()));
            ASSERT_LT(BN_cmp(k.get(), n.get()), 0);
            ASSERT_TRUE(is_secret_bn(k.get()));
            ++seen[hex_of(k.get())];
        }
        if (c.everyValue)
            EXPECT_EQ(seen.size(), BN_get_word(n.get()) - 1);
        else
            EXPECT_EQ(seen.size(), static_cast<size_t>(c.draws));   // no repeats at this size
    }
    // A null context draws from the default library context.
    Bn n = hex_bn(kSm2N), k(BN_new());
    ASSERT_TRUE(n && k && random_scalar(k.get(), n.get(), nullptr));
    EXPECT_LT(BN_cmp(k.get(), n.get()), 0);
}

TEST(SecretBn, RandomScalarRefusesEmptyRangesAndAFailingGenerator)
{
    Bn k(BN_new()), zero(BN_new()), neg(BN_new());
    ASSERT_TRUE(k && zero && neg && BN_set_word(neg.get(), 7));
    BN_zero(zero.get());
    BN_set_negative(neg.get(), 1);
    // [1, n) is empty for n of 1 or below: refused at once, no endless redraw.
    EXPECT_FALSE(random_scalar(k.get(), BN_value_one(), nullptr));
    EXPECT_FALSE(random_scalar(k.get(), zero.get(), nullptr));
    EXPECT_FALSE(random_scalar(k.get(), neg.get(), nullptr));
    EXPECT_FALSE(random_scalar(nullptr, BN_value_one(), nullptr));

    // A library context whose only provider has no generator: the draw fails
    // and says so.
    OSSL_LIB_CTX* lib = OSSL_LIB_CTX_new();
    ASSERT_NE(lib, nullptr);
    OSSL_PROVIDER* none = OSSL_PROVIDER_load(lib, "null");
    ASSERT_NE(none, nullptr);
    std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new_ex(lib));
    Bn n = hex_bn(kSm2N);
    ASSERT_TRUE(ctx && n);
    EXPECT_FALSE(random_scalar(k.get(), n.get(), ctx.get()));
    ctx.reset();
    OSSL_PROVIDER_unload(none);
    OSSL_LIB_CTX_free(lib);
}

std::string read_source(const std::string& rel)
{
    std::ifstream in(std::string(TARN_SOURCE_DIR) + "/" + rel);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t count(const std::string& text, const std::regex& re)
{
    return static_cast<size_t>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

// Review by the sources: OpenSSL's variable-time inversion is left only where
// everything inverted is public (signature verification), and nothing marks
// a number by hand past secret_bn.
TEST(SecretBn, SourcesInvertOnlyPublicNumbersTheVariableTimeWay)
{
    const std::map<std::string, size_t> publicInversions = {
        {"smcrypto/sm2.cpp", 0},           {"vcard/cosecc.cpp", 1},  // ECDSA verify: s
        {"kmx/kmxverify.cpp", 1},                                    // ECDSA verify: s
        {"keydev/kmxdev_recover.cpp", 0},  {"kmx/kmxenv.cpp", 0},
        {"kmx/kmxmatrix.cpp", 0},          {"kmx/kmxkeyutil.cpp", 0},
        {"keydev/kmxdev_keys.cpp", 0},
    };
    const std::regex inverse(R"(\bBN_mod_inverse\s*\()");
    const std::regex handMark(R"(BN_set_flags\s*\([^;]*BN_FLG_CONSTTIME)");
    for (const auto& [file, allowed] : publicInversions) {
        const std::string src = read_source(file);
        ASSERT_FALSE(src.empty()) << file;
        EXPECT_EQ(count(src, inverse), allowed) << file;
        EXPECT_EQ(count(src, handMark), 0u) << file;
    }
    // The places that invert a secret do it with the constant-time helper.
    for (const char* file : {"smcrypto/sm2.cpp", "vcard/cosecc.cpp", "keydev/kmxdev_recover.cpp"})
        EXPECT_GT(count(read_source(file), std::regex(R"(\bsecret_mod_inverse\s*\()")), 0u) << file;
}

}  // namespace
