// A card driven through DAZI_IO on an image made by CreateVEFlashFile in a
// private temporary folder, with helpers that build commands and compute
// the host's side of MACs and authentication with OpenSSL.
#pragma once

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/vcard/card_fixture.h"
#include "vcard/access_codes.h"
#include "vcard/acos.h"
#include "vcard/cosstate.h"
#include "vcard/dazi.h"
#include "vcard/default_pins.h"

using Bytes = std::vector<uint8_t>;

struct Reply {
    uint16_t sw = 0;
    Bytes data;
};

// "00 84 00 00 08" -> bytes; blanks are ignored.
inline Bytes Hex(const std::string& text)
{
    Bytes out;
    int hi = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(uint8_t(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

inline Bytes Cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// Command APDU: header, then Lc and data when data is given, then Le when le >= 0.
inline Bytes Apdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data = {},
                  int le = -1)
{
    Bytes a = {cla, ins, p1, p2};
    if (!data.empty()) {
        a.push_back(uint8_t(data.size()));
        a.insert(a.end(), data.begin(), data.end());
    }
    if (le >= 0)
        a.push_back(uint8_t(le));
    return a;
}

// Reply area sentinel: the card must write nothing beyond its reply area.
constexpr uint8_t REPLY_SENTINEL = 0xA5;

inline Reply Send(const Bytes& apdu)
{
    uint8_t reply[DAZI_REPLY_MAX + 16];
    std::memset(reply, REPLY_SENTINEL, sizeof reply);
    uint32_t n = 0xDEAD;
    int32_t r = DAZI_IO(apdu.data(), uint32_t(apdu.size()), reply, &n);
    Reply out;
    EXPECT_EQ(r, 0);
    if (r != 0 || n < 2 || n > DAZI_REPLY_MAX) {
        ADD_FAILURE() << "bad reply length " << n;
        return out;
    }
    for (size_t i = DAZI_REPLY_MAX; i < sizeof reply; ++i)
        if (reply[i] != REPLY_SENTINEL) {
            ADD_FAILURE() << "card wrote byte " << i << " beyond the reply area";
            break;
        }
    out.sw = uint16_t(reply[n - 2] << 8 | reply[n - 1]);
    out.data.assign(reply, reply + n - 2);
    return out;
}

inline uint16_t SW(const Bytes& apdu) { return Send(apdu).sw; }

// SM4-ECB of whole blocks with OpenSSL.
inline Bytes Sm4Ecb(const Bytes& key, const Bytes& in, bool enc)
{
    Bytes out(in.size() + 16);
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    int n1 = 0, n2 = 0;
    EVP_CipherInit_ex(c, EVP_sm4_ecb(), nullptr, key.data(), nullptr, enc ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(c, 0);
    EVP_CipherUpdate(c, out.data(), &n1, in.data(), int(in.size()));
    EVP_CipherFinal_ex(c, out.data() + n1, &n2);
    EVP_CIPHER_CTX_free(c);
    out.resize(size_t(n1 + n2));
    return out;
}

// The card's command MAC computed independently: 0x80 and zero padding to
// the next multiple of 16, SM4-CBC from the challenge, first 4 bytes of the
// last block.
inline Bytes HostMac(const Bytes& key, const Bytes& challenge, const Bytes& input)
{
    Bytes padded = input;
    padded.push_back(0x80);
    while (padded.size() % 16)
        padded.push_back(0);
    Bytes iv(16, 0);
    std::copy(challenge.begin(), challenge.begin() + std::min<size_t>(16, challenge.size()),
              iv.begin());
    Bytes out(padded.size());
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    int n = 0;
    EVP_EncryptInit_ex(c, EVP_sm4_cbc(), nullptr, key.data(), iv.data());
    EVP_CIPHER_CTX_set_padding(c, 0);
    EVP_EncryptUpdate(c, out.data(), &n, padded.data(), int(padded.size()));
    EVP_CIPHER_CTX_free(c);
    return Bytes(out.end() - 16, out.end() - 12);
}

inline Bytes ResetCode()
{
    Bytes c(ACCESS_CODE_LEN);
    BuildResetCode(c.data());
    return c;
}

inline Bytes DebugCode()
{
    Bytes c(ACCESS_CODE_LEN);
    BuildDebugCode(c.data());
    return c;
}

// 24 bytes of a 0x0E installation: record bytes 0..7, then the key value.
inline Bytes KeyRecord(uint8_t no, uint8_t type, uint8_t secBit, uint8_t tries, const Bytes& key)
{
    Bytes r = {no, 0, type, 0, secBit, no, tries, tries};
    return Cat(r, key);
}

// X, Y (24 bytes each) of a random point on curve 0, the recovery point of
// an identity record.
inline Bytes RandomCurve0Point()
{
    EVP_PKEY* k = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "prime192v1");
    unsigned char buf[49] = {0};
    size_t n = 0;
    if (k != nullptr)
        EVP_PKEY_get_octet_string_param(k, OSSL_PKEY_PARAM_PUB_KEY, buf, sizeof buf, &n);
    EVP_PKEY_free(k);
    EXPECT_EQ(n, 49u);
    return Bytes(buf + 1, buf + 49);
}

// Fresh card image for each test.
class FrontCard : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CreateVEFlashFile(image.path().c_str()), 0);
    }

    // PIN of type t (record t + 3), optionally followed by a date.
    uint16_t VerifyPin(uint8_t type, const Bytes& pin, int32_t date = -1)
    {
        Bytes data = pin;
        uint8_t p1 = 0;
        if (date >= 0) {
            uint32_t d = uint32_t(date);
            data.insert(data.end(), {uint8_t(d), uint8_t(d >> 8), uint8_t(d >> 16), uint8_t(d >> 24)});
            p1 = 4;
        }
        return SW(Apdu(0x00, 0x20, p1, uint8_t(type + 1), data));
    }
    uint16_t VerifyDefault(uint8_t type)
    {
        Bytes pin(DEFAULT_PIN_LEN);
        BuildDefaultPin(type, pin.data());
        return VerifyPin(type, pin);
    }
    uint16_t AutoVerify(uint32_t date)
    {
        return SW(Apdu(0x00, 0x21, 0, 0, {uint8_t(date), uint8_t(date >> 8), uint8_t(date >> 16), uint8_t(date >> 24)}));
    }
    // Installs a system key record (needs PIN type 0, which this verifies).
    void Install(uint8_t no, uint8_t type, uint8_t secBit, const Bytes& key, uint8_t tries = 5)
    {
        ASSERT_EQ(VerifyDefault(0), 0x9000);
        ASSERT_EQ(SW(Apdu(0x00, 0x0E, no, type, KeyRecord(no, type, secBit, tries, key))), 0x9000);
    }
    Bytes Challenge(uint8_t n)
    {
        Reply r = Send(Apdu(0x00, 0x84, 0, 0, {}, n));
        EXPECT_EQ(r.sw, 0x9000);
        return r.data;
    }
    // Proves knowledge of external key record P2 + 6 against a fresh challenge.
    uint16_t ExternalAuth(uint8_t p2, const Bytes& key)
    {
        Bytes ch = Challenge(16);
        return SW(Apdu(0x00, 0x82, 0, p2, Sm4Ecb(key, ch, true)));
    }
    // Class-0x84 command with its MAC under key: header with the final Lc,
    // then the (already enciphered) data, then the MAC.
    Bytes MacApdu(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data, const Bytes& key,
                  const Bytes& challenge)
    {
        Bytes head = {0x84, ins, p1, p2, uint8_t(data.size() + 4)};
        Bytes body = Cat(head, data);
        return Cat(body, HostMac(key, challenge, body));
    }
    // Writes an identity record (file 0x40) of used length len with a valid
    // recovery point, so that the inner secret can be created.
    void WriteIdentity(size_t len = 60)
    {
        ASSERT_EQ(VerifyDefault(0), 0x9000);
        ASSERT_EQ(SW(Apdu(0x80, 0xE0, 0x40, 0, Hex("40 00 00 00 00 00 00 01"))), 0x9000);
        Bytes rec = RandomCurve0Point();
        rec.push_back(0);
        while (rec.size() < len)
            rec.push_back(uint8_t('a' + rec.size() % 26));
        ASSERT_EQ(SW(Apdu(0x00, 0xD6, 0, 0, rec)), 0x9000);
    }
    _dev_info_ DevInfoOnImage()
    {
        _dev_info_ d;
        std::memset(&d, 0xEE, sizeof d);
        EXPECT_EQ(RWDeviceStatus(0, &d), 0);
        return d;
    }
    _key_info_ KeyOnImage(uint32_t n)
    {
        _key_info_ k;
        std::memset(&k, 0, sizeof k);
        EXPECT_EQ(RWSystemKey(0, n, &k), 0x9000);
        return k;
    }

    Bytes UserPin() const { return Text(DEFAULT_USER_PIN); }

    TempImage image{-1};
};
