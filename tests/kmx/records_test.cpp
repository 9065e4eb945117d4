// The DER records: round trips checked by `openssl asn1parse`, trailing
// bytes, truncated input, validity checks and the field accessors.
#include "kmx_fixture.h"

#include <ctime>
#include <functional>

using namespace kmxt;

namespace {


DEnvelope* make_envelope()
{
    DEnvelope* e = DEnvelope_new();
    ASN1_INTEGER_set(e->version, 1);
    ASN1_STRING_set(e->matrixId, "matrix-B", -1);
    ASN1_STRING_set(e->addresseeId, "carol", -1);
    ASN1_OBJECT_free(e->encOid);
    e->encOid = OBJ_nid2obj(NID_aes_256_cbc);
    unsigned char env[67] = {0x04};
    ASN1_STRING_set(e->env, env, sizeof env);
    ASN1_STRING_set(e->cdata, "ciphertext", -1);
    return e;
}

// Encodes twice, as the writers do: measure, then write.
template <typename T>
Bytes der_of(int (*enc)(const T*, unsigned char*, int*), const T* rec)
{
    int n = 0;
    EXPECT_EQ(enc(rec, nullptr, &n), ST_BUFFER_TOO_SMALL);
    Bytes b(n);
    EXPECT_EQ(enc(rec, b.data(), &n), 0);
    EXPECT_EQ(n, static_cast<int>(b.size()));
    return b;
}

Bytes matrix_der()
{
    MATRIX* m = make_matrix_record("matrix-A", 5, 16, 8);
    Bytes b = der_of(Matrix2string, m);
    MATRIX_free(m);
    return b;
}
Bytes keycard_der()
{
    long now = static_cast<long>(time(nullptr));
    KeyCard* k = make_keycard(now - 10, now + 1000);
    Bytes b = der_of(KeyCard2string, k);
    KeyCard_free(k);
    return b;
}
Bytes datasig_der()
{
    DataSig* s = make_datasig(1700000000);
    Bytes b = der_of(DataSig2string, s);
    DataSig_free(s);
    return b;
}
Bytes envelope_der()
{
    DEnvelope* e = make_envelope();
    Bytes b = der_of(DEnvelope2string, e);
    DEnvelope_free(e);
    return b;
}

// Decodes with a record's status decoder and frees the record.
struct Decoder {
    const char* name;
    std::function<Bytes()> der;
    std::function<int(const unsigned char*, int)> decode;
    std::vector<std::string> asn1;   // lines `openssl asn1parse` must show
};

template <typename T>
std::function<int(const unsigned char*, int)> decoder(int (*f)(const unsigned char*, int, T**),
                                                      void (*fr)(T*))
{
    return [f, fr](const unsigned char* p, int n) {
        T* r = nullptr;
        int st = f(p, n, &r);
        if (st == 0 || st == ST_KEYCARD_EXPIRED) {
            EXPECT_NE(r, nullptr);
            fr(r);
        } else {
            EXPECT_EQ(r, nullptr);
        }
        return st;
    };
}

std::vector<Decoder> decoders()
{
    return {
        {"MATRIX", matrix_der, decoder(string2Matrix, MATRIX_free),
         {"UTF8STRING        :matrix-A", "UTF8STRING        :test matrix", "INTEGER           :10",
          "INTEGER           :08", "OBJECT            :sm2", "UTCTIME"}},
        {"KeyCard", keycard_der, decoder(string2KeyCard, KeyCard_free),
         {"OBJECT            :sm2", "UTF8STRING        :alice@example",
          "[HEX DUMP]:0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F202122",
          "OCTET STRING      \n"}},
        {"DataSig", datasig_der, decoder(string2DataSig, DataSig_free),
         {"UTF8STRING        :bob", "INTEGER           :6553F100", "OBJECT            :sm3"}},
        {"DEnvelope", envelope_der, decoder(string2DEnvelope, DEnvelope_free),
         {"UTF8STRING        :carol", "OBJECT            :aes-256-cbc", "OCTET STRING      :ciphertext"}},
    };
}

} // namespace

class RecordsTest : public TempDir {};

TEST_F(RecordsTest, EncodedRecordsParseAsTheirDerSequences)
{
    for (const Decoder& d : decoders()) {
        SCOPED_TRACE(d.name);
        Bytes der = d.der();
        std::string f = path(std::string(d.name) + ".der");
        write_file(f, der);
        int rc = 0;
        std::string out = run("openssl asn1parse -inform DER -i -in '" + f + "' 2>&1", &rc);
        EXPECT_EQ(rc, 0) << out;
        EXPECT_NE(out.find("0:d=0"), std::string::npos) << out;
        EXPECT_NE(out.find("SEQUENCE"), std::string::npos);
        for (const std::string& line : d.asn1)
            EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
        // One outer sequence covering all bytes.
        int hl = 0, l = 0;
        ASSERT_EQ(std::sscanf(out.c_str(), " 0:d=0 hl=%d l=%d", &hl, &l), 2) << out;
        EXPECT_EQ(static_cast<size_t>(hl + l), der.size());
        EXPECT_EQ(d.decode(der.data(), static_cast<int>(der.size())), 0);
    }
}

TEST_F(RecordsTest, DecodersReadOneRecordFromTheFrontAndRefuseEveryTruncation)
{
    for (const Decoder& d : decoders()) {
        SCOPED_TRACE(d.name);
        Bytes der = d.der();
        Bytes trailing = der;
        trailing.insert(trailing.end(), {0x00, 0xFF, 0x30, 0x01});
        EXPECT_EQ(d.decode(trailing.data(), static_cast<int>(trailing.size())), 0);
        for (size_t n = 0; n < der.size(); ++n)
            EXPECT_EQ(d.decode(der.data(), static_cast<int>(n)), ST_BAD_DER) << "length " << n;
        Bytes wrongTag = der;
        wrongTag[0] = 0x31;
        EXPECT_EQ(d.decode(wrongTag.data(), static_cast<int>(wrongTag.size())), ST_BAD_DER);
    }
}

TEST(Records, FieldsSurviveARoundTrip)
{
    Bytes der = matrix_der();
    MATRIX* m = nullptr;
    ASSERT_EQ(string2Matrix(der.data(), static_cast<int>(der.size()), &m), 0);
    EXPECT_EQ(ASN1_INTEGER_get(m->row), 16);
    EXPECT_EQ(ASN1_INTEGER_get(m->col), 8);
    EXPECT_EQ(OBJ_obj2nid(m->ecOid), NID_sm2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(m->matrixId)),
                          ASN1_STRING_length(m->matrixId)),
              "matrix-A");
    EXPECT_EQ(Matrix_is_valid(m), 0);
    MATRIX_free(m);
}

TEST(Records, AnUnsetObjectIdentifierIsAnEncodingError)
{
    MATRIX* m = make_matrix_record("m", 5, 4, 4);
    ASN1_OBJECT_free(m->ecOid);
    m->ecOid = OBJ_nid2obj(NID_undef);
    int n = 1000;
    unsigned char buf[1000];
    EXPECT_EQ(Matrix2string(m, buf, &n), ST_BAD_DER);
    EXPECT_EQ(n, 1000);
    MATRIX_free(m);
    DEnvelope* e = DEnvelope_new();   // every field empty, encOid unset
    n = 1000;
    EXPECT_EQ(DEnvelope2string(e, buf, &n), ST_BAD_DER);
    DEnvelope_free(e);
}

TEST(Records, KeyCardValidityWindow)
{
    const long now = static_cast<long>(time(nullptr));
    struct Case {
        long nb, na;
        int valid;
    } cases[] = {
        {now + 300, now + 1000, 1},   // up to 300 s early is accepted
        {now + 310, now + 1000, 0},   // not yet valid
        {now - 100, now + 5, 1},
        {now - 100, now - 1, 0},      // expired
        {now - 100, now - 100, 0},
    };
    for (const Case& c : cases) {
        KeyCard* k = make_keycard(c.nb, c.na);
        EXPECT_EQ(KeyCard_is_valid(k), c.valid) << c.nb - now << " " << c.na - now;
        int n = 0;
        ASSERT_EQ(KeyCard2string(k, nullptr, &n), ST_BUFFER_TOO_SMALL);
        Bytes der(n);
        ASSERT_EQ(KeyCard2string(k, der.data(), &n), 0);
        KeyCard* out = nullptr;
        int st = string2KeyCard(der.data(), n, &out);
        EXPECT_EQ(st, c.valid ? 0 : ST_KEYCARD_EXPIRED);
        ASSERT_NE(out, nullptr);   // handed out in both cases
        KeyCard_free(out);
        KeyCard_free(k);
    }
}

TEST(Records, KeyCardIskDropsItsCrcOnlyWhenLongEnough)
{
    KeyCard* k = make_keycard(0, 0);
    BIGNUM* bn = BN_new();
    const unsigned char two[] = {0x12, 0x34}, three[] = {0x56, 0x78, 0x9A};
    ASN1_STRING_set(k->isk, two, 2);
    ASSERT_EQ(KeyCard_Get_isk(k, bn), 0);
    EXPECT_EQ(BN_get_word(bn), 0x1234u);
    ASN1_STRING_set(k->isk, three, 3);
    ASSERT_EQ(KeyCard_Get_isk(k, bn), 0);
    EXPECT_EQ(BN_get_word(bn), 0x56u);
    BN_free(bn);
    KeyCard_free(k);
}

TEST(Records, TextAccessorsFollowTheCopyRule)
{
    Bytes sig = datasig_der(), env = envelope_der();
    using Fn = int (*)(const unsigned char*, int, char*, int*);
    struct Acc {
        Fn f;
        const Bytes* der;
        std::string text;
    } accs[] = {
        {KMX_GetSignerId, &sig, "bob"},
        {KMX_GetSignMatrixId, &sig, "matrix-A"},
        {KMX_GetEncMatrixId, &env, "matrix-B"},
        {KMX_GetAddresseeId, &env, "carol"},
    };
    for (const Acc& a : accs) {
        SCOPED_TRACE(a.text);
        const int n = static_cast<int>(a.text.size());
        for (int cap : {n - 1, n, n + 1}) {
            char buf[64];
            std::memset(buf, '#', sizeof buf);
            int len = cap;
            int st = a.f(a.der->data(), static_cast<int>(a.der->size()), buf, &len);
            EXPECT_EQ(len, n);
            if (cap < n) {
                EXPECT_EQ(st, ST_BUFFER_TOO_SMALL);
                EXPECT_EQ(buf[0], '#');
                continue;
            }
            EXPECT_EQ(st, 0);
            EXPECT_EQ(std::string(buf, n), a.text);
            EXPECT_EQ(buf[n], cap > n ? '\0' : '#');
        }
        int len = 10;
        char buf[10];
        EXPECT_EQ(a.f(nullptr, 10, buf, &len), ST_BAD_ARGUMENT);
        EXPECT_EQ(a.f(a.der->data(), 5, buf, &len), ST_BAD_DER);
    }
    // A signature is not an envelope.
    int len = 64;
    char buf[64];
    EXPECT_EQ(KMX_GetAddresseeId(sig.data(), static_cast<int>(sig.size()), buf, &len), ST_BAD_DER);
}

TEST(Records, SignTimeAccessors)
{
    Bytes sig = datasig_der();
    int t = 0;
    ASSERT_EQ(KMX_GetSignTimestamp(sig.data(), static_cast<int>(sig.size()), &t), 0);
    EXPECT_EQ(t, 1700000000);
    char want[32];
    int wn = FormatTime(1700000000, want);
    char buf[32];
    int len = sizeof buf;
    ASSERT_EQ(KMX_GetSignTime(sig.data(), static_cast<int>(sig.size()), buf, &len), 0);
    EXPECT_EQ(len, wn);
    EXPECT_EQ(len, 19);
    EXPECT_STREQ(buf, want);
    struct tm tmv;
    time_t tt = 1700000000;
    localtime_r(&tt, &tmv);
    char exp[80];
    std::snprintf(exp, sizeof exp, "%d-%02d-%02d %02d:%02d:%02d", tmv.tm_year + 1900,
                  tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    EXPECT_STREQ(buf, exp);
}

TEST(Records, EnvelopeStructuralValidity)
{
    struct Case {
        const char* what;
        std::function<void(DEnvelope*)> change;
        int valid;
    } cases[] = {
        {"as made", [](DEnvelope*) {}, 1},
        {"version 2", [](DEnvelope* e) { ASN1_INTEGER_set(e->version, 2); }, 0},
        {"empty matrixId", [](DEnvelope* e) { ASN1_STRING_set(e->matrixId, "", 0); }, 0},
        {"empty addresseeId", [](DEnvelope* e) { ASN1_STRING_set(e->addresseeId, "", 0); }, 0},
        {"digest as cipher",
         [](DEnvelope* e) {
             ASN1_OBJECT_free(e->encOid);
             e->encOid = OBJ_nid2obj(NID_sha256);
         },
         0},
        {"RC4 via the legacy provider",
         [](DEnvelope* e) {
             ASN1_OBJECT_free(e->encOid);
             e->encOid = OBJ_nid2obj(NID_rc4);
         },
         1},
    };
    for (const Case& c : cases) {
        DEnvelope* e = make_envelope();
        c.change(e);
        EXPECT_EQ(DEnvelope_is_valid(e, nullptr), c.valid) << c.what;
        DEnvelope_free(e);
    }
    EXPECT_EQ(DEnvelope_is_valid(nullptr, nullptr), 0);
}

TEST(Records, EnvelopeKeyPointWithAndWithoutItsCrc)
{
    EC_GROUP* g = ecurve_new_group(5);
    BN_CTX* ctx = BN_CTX_new();
    EC_POINT* P = EC_POINT_new(g);
    EC_POINT* got = EC_POINT_new(g);
    BIGNUM* k = BN_new();
    BN_set_word(k, 12345);
    EC_POINT_mul(g, P, k, nullptr, nullptr, ctx);
    unsigned char enc[67];
    ASSERT_EQ(EC_POINT_point2oct(g, P, POINT_CONVERSION_UNCOMPRESSED, enc, 65, ctx), 65u);
    enc[65] = 0xAB;
    enc[66] = 0xCD;
    DEnvelope* e = make_envelope();
    for (int len : {65, 67}) {
        ASN1_STRING_set(e->env, enc, len);
        EXPECT_EQ(DEnvelope_Get_dhkey(e, g, got), 0) << len;
        EXPECT_EQ(EC_POINT_cmp(g, P, got, ctx), 0);
        EXPECT_EQ(DEnvelope_is_valid(e, g), 1);
    }
    enc[10] ^= 1;   // off the curve
    ASN1_STRING_set(e->env, enc, 67);
    EXPECT_EQ(DEnvelope_Get_dhkey(e, g, got), ST_BAD_ENV_POINT);
    EXPECT_EQ(DEnvelope_is_valid(e, g), 0);
    EXPECT_EQ(DEnvelope_Get_dhkey(e, nullptr, got), ST_BAD_ARGUMENT);
    DEnvelope_free(e);
    BN_free(k);
    EC_POINT_free(got);
    EC_POINT_free(P);
    BN_CTX_free(ctx);
    EC_GROUP_free(g);
}
