// Envelopes whose envelope value the key device makes: the DER record, and
// the card's k*Q opened in software with the addressee's isk.
#include "kmx_fixture.h"

#include "cardapi/cosapi.h"
#include "kmx/kmxapp.h"
#include "vcard/dazi.h"
#include "vcard/default_pins.h"

using namespace kmxt;

namespace {

class CardEnvelopeTest : public TempDir {
protected:
    void SetUp() override
    {
        TempDir::SetUp();
        image_ = path("card.vkd");
        ASSERT_EQ(CreateVEFlashFile(image_.c_str()), 0);
        ASSERT_EQ(DEV_Open(DEV_TYPE_VIRTUAL, image_.c_str()), 0u);
        static const char* const pins[3] = {DEFAULT_PIN_TYPE0, DEFAULT_PIN_TYPE1, DEFAULT_PIN_TYPE2};
        for (uint8_t t = 0; t < 3; ++t) {
            uint32_t tries = 0;
            ASSERT_EQ(COS_VerifyPin(t, pins[t], &tries), 0u);
        }
    }
    void TearDown() override
    {
        DEV_Close();
        TempDir::TearDown();
    }
    TestMatrix add(const std::string& name, unsigned serial)
    {
        TestMatrix t = make_test_matrix(name, serial, 16, 8);
        write_file(path(name + ".pks"), t.pub);
        write_file(path(name + ".sec"), t.secret);
        return t;
    }
    std::string image_;
};

} // namespace

TEST_F(CardEnvelopeTest, CardMadeEnvelopesOpenForTheAddressee)
{
    struct Case {
        int keyApply;
        unsigned serial;
    } cases[] = {{0, 5}, {0, 0}, {0, 1}, {1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.keyApply) + "/" + std::to_string(c.serial));
        const std::string mx = "card" + std::to_string(c.serial);
        TestMatrix t = add(mx, c.serial);
        Bytes out(512);
        int n = 10;
        ASSERT_EQ(Dev_GenEnv(c.keyApply, path(mx + ".pks").c_str(), nullptr, 0, "alice", out.data(), &n),
                  ST_BUFFER_TOO_SMALL);
        const int need = n;
        n = static_cast<int>(out.size());
        ASSERT_EQ(Dev_GenEnv(c.keyApply, nullptr, t.pub.data(), long(t.pub.size()), "alice", out.data(), &n), 0);
        EXPECT_EQ(n, need);
        DEnvelope* e = nullptr;
        ASSERT_EQ(string2DEnvelope(out.data(), n, &e), 0);
        EXPECT_EQ(DEnvelope_is_valid(e, nullptr), 1);
        EXPECT_EQ(OBJ_obj2nid(e->encOid), NID_aes_256_cbc);
        EXPECT_EQ(ASN1_STRING_length(e->cdata), 0);
        ASSERT_EQ(ASN1_STRING_length(e->env), 2 * t.L + 3);
        BIGNUM* a = isk_of(path(mx + ".sec"), bytes("alice"));
        BIGNUM* b = isk_of(path(mx + ".sec"), bytes("bob"));
        Bytes kG;
        EXPECT_TRUE(open_envelope(c.serial, ASN1_STRING_get0_data(e->env), 2 * t.L + 3, a, &kG));
        EXPECT_FALSE(open_envelope(c.serial, ASN1_STRING_get0_data(e->env), 2 * t.L + 3, b, &kG));
        BN_free(a);
        BN_free(b);
        DEnvelope_free(e);
    }
}

TEST_F(CardEnvelopeTest, ArgumentsAndRefusals)
{
    TestMatrix t = add("args", 5);
    Bytes out(512);
    int n = 512;
    const std::string pks = path("args.pks");
    EXPECT_EQ(Dev_GenEnv(0, pks.c_str(), t.pub.data(), long(t.pub.size()), "alice", out.data(), &n), ST_BAD_ARGUMENT);
    EXPECT_EQ(Dev_GenEnv(0, nullptr, nullptr, 0, "alice", out.data(), &n), ST_BAD_ARGUMENT);
    for (long len : {0L, 255L, long(t.pub.size()) - 1})
        EXPECT_EQ(Dev_GenEnv(0, nullptr, t.pub.data(), len, "alice", out.data(), &n), ST_BAD_ARGUMENT)
            << len;
    std::string longId(65, 'x');
    EXPECT_EQ(Dev_GenEnv(0, pks.c_str(), nullptr, 0, longId.c_str(), out.data(), &n), ST_BAD_ARGUMENT);
    EXPECT_EQ(Dev_GenEnv(0, path("none.pks").c_str(), nullptr, 0, "alice", out.data(), &n),
              ST_MATRIX_FILE_OPEN);
    // The card takes key applications for curve 0 only: its refusal passes up.
    EXPECT_NE(Dev_GenEnv(1, pks.c_str(), nullptr, 0, "alice", out.data(), &n), 0);
}
