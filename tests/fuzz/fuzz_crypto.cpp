// Base64 decoding, symmetric decryption under every cipher name the layer
// accepts, and SM2 decryption with a fixed key. Output buffers are sized
// from the input, so a write past the stated capacity is caught.
//
// Input: [selector u8] then per selector (modulo 3):
//   0 Base64: [capacity u16][text];
//   1 symmetric: [name u8][capacity u16][key length u8][key][ciphertext]
//     (name modulo the table; the last entry takes a name from the input:
//     [length u8][name]);
//   2 SM2 with the fixed key: [mode u8]; mode bit 0: the rest is a message,
//     encrypted to the key and decrypted again; otherwise a ciphertext.
// A round trip (encrypt, then decrypt) of the same bytes must give them back.

#include "fuzz_util.h"
#include "kmx/kmxsoft.h"
#include "sm2_key.h"
#include "smcrypto/sm2.h"

#include <memory>

namespace {

const char* const kCiphers[] = {"SM4-ECB",     "SM4-CBC",      "AES-128-CBC", "AES-192-CBC", "AES-256-CBC",
                                "AES-128-ECB", "AES-256-ECB",  "AES-128-CFB", "AES-128-OFB", "AES-256-CTR",
                                "DES-CBC",     "DES-EDE3-CBC", "RC4",         "BF-CBC",      "CAST5-CBC",
                                "SM4-CTR",     "ChaCha20",     "AES-128-GCM", nullptr};
constexpr unsigned kCipherCount = sizeof kCiphers / sizeof kCiphers[0];

unsigned char g_pub[64];

std::unique_ptr<unsigned char[]> buffer(size_t n) { return std::unique_ptr<unsigned char[]>(new unsigned char[n ? n : 1]); }

void base64(fuzz::Reader& in)
{
    const int cap = in.u16() % 4096;
    const fuzz::Bytes t = in.rest();
    auto bytes = fuzz::exact_copy(t);
    const char* text = reinterpret_cast<const char*>(bytes.get());
    auto out = buffer(cap);
    int outLen = cap;
    if (Base64Decode(text, static_cast<int>(t.size()), out.get(), &outLen) == 0) {
        if (outLen < 0 || outLen > cap)
            fuzz::fail("decoded length beyond the capacity");
        // Encode again and decode: the same bytes.
        std::vector<char> enc(4 * outLen / 3 + 8);
        int encLen = static_cast<int>(enc.size());
        if (outLen > 0 && Base64Encode(out.get(), outLen, enc.data(), &encLen, 0) == 0) {
            // The decoder's capacity rule: 3 bytes per group and a terminator.
            std::vector<unsigned char> back(3 * (encLen / 4) + 1);
            int backLen = static_cast<int>(back.size());
            if (Base64Decode(enc.data(), encLen, back.data(), &backLen) != 0 || backLen != outLen ||
                std::memcmp(back.data(), out.get(), outLen) != 0)
                fuzz::fail("Base64 round trip");
        }
    }
}

void symmetric(fuzz::Reader& in)
{
    const unsigned pick = in.u8() % kCipherCount;
    std::string name;
    if (kCiphers[pick] != nullptr) {
        name = kCiphers[pick];
    } else {
        fuzz::Bytes n = in.take(in.u8());
        name.assign(n.begin(), n.end());
    }
    const int cap = in.u16() % 2048;
    const fuzz::Bytes key = in.take(in.u8() % 80);
    const fuzz::Bytes c = in.rest();
    auto kb = fuzz::exact_copy(key), cb = fuzz::exact_copy(c), out = buffer(cap);
    int outLen = cap;
    if (Sym_Decrypt(name.c_str(), cb.get(), static_cast<int>(c.size()), kb.get(), static_cast<int>(key.size()),
                    out.get(), &outLen) == 0 &&
        (outLen < 0 || outLen > cap))
        fuzz::fail("plaintext length beyond the capacity");
    // Round trip of the input bytes under the same name and key.
    if (c.empty())
        return;
    std::vector<unsigned char> enc(c.size() + 64);
    int encLen = static_cast<int>(enc.size());
    if (Sym_Encrypt(name.c_str(), cb.get(), static_cast<int>(c.size()), kb.get(), static_cast<int>(key.size()),
                    enc.data(), &encLen) != 0)
        return;
    std::vector<unsigned char> back(encLen + 32);
    int backLen = static_cast<int>(back.size());
    if (Sym_Decrypt(name.c_str(), enc.data(), encLen, kb.get(), static_cast<int>(key.size()), back.data(),
                    &backLen) != 0 ||
        backLen != static_cast<int>(c.size()) || std::memcmp(back.data(), c.data(), c.size()) != 0)
        fuzz::fail("symmetric round trip");
}

void sm2(fuzz::Reader& in)
{
    const uint8_t mode = in.u8();
    fuzz::Bytes c = in.rest();
    if (mode & 1) {
        const fuzz::Bytes m = c;
        c.assign(m.size() + 97, 0);
        int cLen = static_cast<int>(c.size());
        if (SM2_Encrypt(g_pub, m.data(), static_cast<uint32_t>(m.size()), c.data(), &cLen) != SM2_OK)
            return;
        if (cLen != static_cast<int>(m.size()) + 97)
            fuzz::fail("SM2 ciphertext length");
        // Encryption takes up to 192 message bytes, decryption gives up to
        // 160 (its mask area): longer messages have no way back.
        if (m.size() > SM2_MAX_DECRYPT)
            return;
        fuzz::Bytes back(m.size() + 1);
        uint32_t backLen = 0;
        if (SM2_Decrypt(fuzz::kSm2D, c.data(), static_cast<uint32_t>(cLen), back.data(), &backLen) != SM2_OK ||
            backLen != m.size() || (!m.empty() && std::memcmp(back.data(), m.data(), m.size()) != 0))
            fuzz::fail("SM2 round trip");
        return;
    }
    auto cb = fuzz::exact_copy(c);
    const size_t cap = c.size() > 97 ? c.size() - 97 : 0;
    auto out = buffer(cap);
    uint32_t outLen = 0;
    if (SM2_Decrypt(fuzz::kSm2D, cb.get(), static_cast<uint32_t>(c.size()), out.get(), &outLen) == SM2_OK &&
        outLen != cap)
        fuzz::fail("SM2 plaintext length");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (!fuzz::sm2_public(g_pub))
        fuzz::fail("SM2 public key");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in(data, size);
    switch (in.u8() % 3) {
    case 0:
        base64(in);
        break;
    case 1:
        symmetric(in);
        break;
    case 2:
        sm2(in);
        break;
    }
    return 0;
}
