// Decryption with a key slot's private key: SM2 blocks, envelopes with
// content, the multi-recipient encrypted file; envelopes without content
// that leave a session key in the card, and the card's SM4 with that key.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cardapi/cosapi.h"
#include "keydev/kmxdev.h"
#include "kmx/kmx.h"
#include "kmx/atomic_out.h"
#include "kmx/encfile_layout.h"
#include "kmx/file_io.h"
#include "kmx/kmxapp.h"
#include "kmx/kmx_ptr.h"
#include "smcrypto/secret_bytes.h"
#include "smcrypto/status.h"

namespace {

constexpr uint8_t SLOT_MAX = 15;
constexpr int ENVELOPE_DER_MIN = 48;
constexpr int SM2_BLOCK_LEN_MIN = 98;  // shorter blocks are refused outright
constexpr uint32_t SM2_BLOCK_LEN_MAX = 255;

constexpr int ID_FIELD = 64;      // keyId, addresseeId
constexpr int MATRIX_FIELD = 32;  // matrixId
constexpr int MATRIX_COMPARED = 31;
constexpr uint16_t PUB_RECORD_CAP = 256;

// Multi-recipient encrypted file.
constexpr uint32_t FILE_RECORD_DER_MAX = encfile::RECORD - 4;
constexpr size_t FILE_CHUNK = 4096;

// What a key slot's public record says about the slot.
struct Slot {
    kmx::KeyCardPtr card;
    int L = 0;
};

// Reads and decodes slot k's public record.
uint32_t read_slot(uint8_t k, Slot* slot)
{
    uint8_t der[PUB_RECORD_CAP];
    uint16_t len = PUB_RECORD_CAP;
    uint32_t st = COS_ReadPubKey(k, der, &len);
    if (st != ST_OK) return st;
    KeyCard* kc = nullptr;
    int dst = string2KeyCard(der, len, &kc);
    slot->card.reset(kc);
    if (dst != ST_OK) return static_cast<uint32_t>(dst);
    slot->L = KMX_Get_paramLen(kc->ecOid);
    if (slot->L <= 0) return ST_UNKNOWN_CURVE;
    return ST_OK;
}

// Equality of two text fields zero-filled to width bytes, over the first
// count bytes; a field longer than width never matches.
bool field_match(const ASN1_STRING* a, const ASN1_STRING* b, int width, int count)
{
    if (!a || !b) return false;
    const int la = ASN1_STRING_length(a), lb = ASN1_STRING_length(b);
    if (la < 0 || lb < 0 || la > width || lb > width) return false;
    uint8_t fa[ID_FIELD] = {0}, fb[ID_FIELD] = {0};
    memcpy(fa, ASN1_STRING_get0_data(a), static_cast<size_t>(la));
    memcpy(fb, ASN1_STRING_get0_data(b), static_cast<size_t>(lb));
    return memcmp(fa, fb, static_cast<size_t>(count)) == 0;
}

// The envelope belongs to the slot: 0, 14008 (another identity) or 14009
// (another matrix).
uint32_t addressee_match(const DEnvelope* e, const Slot& slot)
{
    if (!field_match(e->addresseeId, slot.card->keyId, ID_FIELD, ID_FIELD)) return ST_ADDRESSEE_MISMATCH;
    if (!field_match(e->matrixId, slot.card->matrixId, MATRIX_FIELD, MATRIX_COMPARED))
        return ST_ENV_MATRIX_MISMATCH;
    return ST_OK;
}

// The envelope value must be 0x04, X, Y and the CRC (2L + 3 bytes); its
// minimal envelope (without the 0x04) in *minEnv.
uint32_t envelope_value(const DEnvelope* e, int L, const uint8_t** minEnv)
{
    if (!e->env || ASN1_STRING_length(e->env) != 2 * L + 3) return ST_ENVELOPE_CREATE;
    const uint8_t* v = ASN1_STRING_get0_data(e->env);
    if (v[0] != 0x04) return ST_ENVELOPE_CREATE;
    *minEnv = v + 1;
    return ST_OK;
}

// The envelope key (key then IV) of a shared point; the point is wiped.
uint32_t open_key(uint8_t k, const uint8_t* minEnv, int L, int keyIvLen, uint8_t* keyIv)
{
    secret_array<64> point;
    uint32_t st = COS_Open_DE(1, k, minEnv, static_cast<uint32_t>(L), point.data());
    if (st == ST_OK) st = static_cast<uint32_t>(KMX_KDF(point.data(), 2 * L, keyIv, keyIvLen));
    return st;
}

uint32_t decode_envelope(const uint8_t* der, uint32_t len, kmx::DEnvelopePtr* out)
{
    DEnvelope* e = nullptr;
    int st = string2DEnvelope(der, static_cast<int>(len), &e);
    out->reset(e);
    return static_cast<uint32_t>(st);
}

uint32_t get_u32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reads exactly n bytes at offset off.
bool read_at(FILE* f, long long off, uint8_t* buf, size_t n)
{
    if (fseeko(f, static_cast<off_t>(off), SEEK_SET) != 0) return false;
    return fread(buf, 1, n, f) == n;
}

// Decrypts the rest of in into out.
uint32_t decrypt_stream(FILE* in, AtomicOut& out, const EVP_CIPHER* cipher, const uint8_t* key,
                        const uint8_t* iv)
{
    ossl::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key, iv) != 1) return ST_DECRYPT_FAILED;
    std::vector<uint8_t> buf(FILE_CHUNK);
    secret_buffer plain(FILE_CHUNK + 2 * EVP_MAX_BLOCK_LENGTH);
    if (!plain.ok()) return ST_NO_MEMORY;
    uint32_t st = ST_OK;
    for (;;) {
        size_t n = fread(buf.data(), 1, FILE_CHUNK, in);
        if (n > 0) {
            int m = 0;
            if (EVP_DecryptUpdate(ctx.get(), plain.data(), &m, buf.data(), static_cast<int>(n)) != 1) {
                st = ST_DECRYPT_FAILED;
                break;
            }
            if (!out.write(plain.data(), static_cast<size_t>(m))) {
                st = ST_FILE_OPEN;
                break;
            }
        }
        if (n < FILE_CHUNK) {
            if (ferror(in)) st = ST_FILE_OPEN;
            break;
        }
    }
    if (st == ST_OK) {
        int m = 0;
        if (EVP_DecryptFinal_ex(ctx.get(), plain.data(), &m) != 1)
            st = ST_DECRYPT_FAILED;
        else if (!out.write(plain.data(), static_cast<size_t>(m)))
            st = ST_FILE_OPEN;
    }
    return st;
}

}  // namespace

extern "C" {

uint32_t DevSM2Decrypt(uint8_t k, const uint8_t* block, uint32_t blockLen, uint8_t* out, int* outLen)
{
    if (k > SLOT_MAX || !block || !out || !outLen || static_cast<int>(blockLen) < SM2_BLOCK_LEN_MIN)
        return ST_BAD_ARGUMENT;
    if (blockLen > SM2_BLOCK_LEN_MAX) return ST_SM2_TOO_LONG;
    if (blockLen != SM2_BLOCK_LEN) return ST_WRONG_LENGTH;
    // n comes off the wire: one beyond the block's 249 ciphertext bytes
    // would point past its end.
    const uint32_t n = block[0];
    if (n < SM2_BLOCK_MIN_N || n > SM2_BLOCK_MAX_N) return ST_BAD_ARGUMENT;
    uint8_t cipher[256];
    memcpy(cipher, block + 1, n);
    return COS_SM2Decrypt(k, cipher, n, out, outLen);
}

uint32_t DevDecryptData(uint8_t k, const uint8_t* env, uint32_t envLen, uint8_t* out, int* outLen)
{
    if (!env || static_cast<int>(envLen) < ENVELOPE_DER_MIN || !out || !outLen) return ST_BAD_ARGUMENT;
    if (k > SLOT_MAX) return ST_KEY_SLOT;
    kmx::DEnvelopePtr e;
    uint32_t st = decode_envelope(env, envLen, &e);
    if (st != ST_OK) return st;
    if (DEnvelope_is_valid(e.get(), nullptr) != 1) return ST_ENVELOPE_CREATE;
    if (!e->cdata || ASN1_STRING_length(e->cdata) <= 0) return ST_ENVELOPE_CONTENT;
    const EVP_CIPHER* cipher = KMX_Get_cipher(e->encOid);
    if (!cipher) return ST_NO_CIPHER;
    const int kl = EVP_CIPHER_get_key_length(cipher), il = EVP_CIPHER_get_iv_length(cipher);
    if (kl + il > 64) return ST_NO_CIPHER;
    Slot slot;
    if ((st = read_slot(k, &slot)) != ST_OK) return st;
    if ((st = addressee_match(e.get(), slot)) != ST_OK) return st;
    const uint8_t* minEnv = nullptr;
    if ((st = envelope_value(e.get(), slot.L, &minEnv)) != ST_OK) return st;
    secret_array<64> keyIv;
    st = open_key(k, minEnv, slot.L, kl + il, keyIv.data());
    if (st == ST_OK)
        st = static_cast<uint32_t>(Openssl_Decrypt(cipher, ASN1_STRING_get0_data(e->cdata),
                                                   ASN1_STRING_length(e->cdata), keyIv.data(),
                                                   keyIv.data() + kl, out, outLen));
    return st;
}

uint32_t DevOpenEnvelope(uint8_t k, const uint8_t* env, uint32_t envLen, uint8_t* out, int* outLen)
{
    if (k > SLOT_MAX) return ST_KEY_SLOT;
    if (!env || !out || !outLen) return ST_BAD_ARGUMENT;
    return DevDecryptData(k, env, envLen, out, outLen);
}

uint32_t DevDecryptFile(uint8_t k, const char* inPath, const char* outPath)
{
    if (!inPath || !outPath) return ST_BAD_ARGUMENT;
    Slot slot;
    uint32_t st = read_slot(k, &slot);
    if (st != ST_OK) return st;

    ossl::FilePtr in(open_input_file(inPath));
    if (!in) return ST_FILE_OPEN;
    // Plaintext: a new output is 0600, and an existing file at the name is
    // taken only when it is our own and nobody else may read it.
    AtomicOut out(outPath, 0600);
    if (!out.open()) return ST_FILE_OPEN;

    uint8_t word[4];
    if (!read_at(in.get(), encfile::COUNT_AT, word, sizeof word)) return ST_BAD_DER;
    const uint32_t n = get_u32(word);
    if (n < 1 || n > static_cast<uint32_t>(encfile::RECIPIENTS_MAX)) return ST_BAD_DER;
    // Every record and the data marker must be there.
    const long long dataAt =
        encfile::RECORDS_AT + encfile::RECORD * static_cast<long long>(n) + encfile::MARK_LEN;
    struct stat sb;
    if (fstat(fileno(in.get()), &sb) != 0 || static_cast<long long>(sb.st_size) < dataAt) return ST_BAD_DER;
    // The marker follows the last counted record: a count that does not
    // match the records would start the decryption elsewhere.
    if (!read_at(in.get(), dataAt - encfile::MARK_LEN, word, sizeof word) ||
        memcmp(word, encfile::DATA_MARK, encfile::MARK_LEN) != 0)
        return ST_BAD_DER;

    // The first record addressed to the slot.
    kmx::DEnvelopePtr mine;
    uint8_t rec[encfile::RECORD];
    for (uint32_t i = 0; i < n && !mine; ++i) {
        const long long at = encfile::RECORDS_AT + encfile::RECORD * static_cast<long long>(i);
        if (!read_at(in.get(), at, rec, sizeof rec)) return ST_BAD_DER;
        const uint32_t m = get_u32(rec);
        if (m > FILE_RECORD_DER_MAX) return ST_BAD_DER;
        kmx::DEnvelopePtr e;
        if (decode_envelope(rec + 4, m, &e) != ST_OK) return ST_BAD_DER;
        if (addressee_match(e.get(), slot) == ST_OK) mine = std::move(e);
    }
    if (!mine) return ST_ADDRESSEE_MISMATCH;

    const uint8_t* minEnv = nullptr;
    if ((st = envelope_value(mine.get(), slot.L, &minEnv)) != ST_OK) return st;
    const EVP_CIPHER* cipher = KMX_Get_cipher(mine->encOid);
    if (!cipher) return ST_NO_CIPHER;
    const int kl = EVP_CIPHER_get_key_length(cipher), il = EVP_CIPHER_get_iv_length(cipher);
    if (kl + il > 64) return ST_NO_CIPHER;
    secret_array<64> keyIv;
    st = open_key(k, minEnv, slot.L, kl + il, keyIv.data());
    if (st == ST_OK) {
        if (fseeko(in.get(), static_cast<off_t>(dataAt), SEEK_SET) != 0)
            st = ST_BAD_DER;
        else
            st = decrypt_stream(in.get(), out, cipher, keyIv.data(), keyIv.data() + kl);
    }
    keyIv.wipe();
    if (st == ST_OK && !out.commit()) st = ST_FILE_OPEN;
    return st;  // out removes an unfinished output
}

uint32_t DevOpenDE(uint8_t k, const uint8_t* minEnv, uint8_t* out)
{
    Slot slot;
    uint32_t st = read_slot(k, &slot);
    if (st != ST_OK) return st;
    return COS_Open_DE(1, k, minEnv, static_cast<uint32_t>(slot.L), out);
}

uint32_t DevOpenEnv(uint32_t give, uint8_t k, const uint8_t* env, uint32_t envLen, uint8_t* out,
                    uint32_t* outLen)
{
    if (!env || (give && (!out || !outLen))) return ST_BAD_ARGUMENT;
    kmx::DEnvelopePtr e;
    uint32_t st = decode_envelope(env, envLen, &e);
    if (st != ST_OK) return st;
    if (DEnvelope_is_valid(e.get(), nullptr) != 1) return ST_ENVELOPE_CREATE;
    if (e->cdata && ASN1_STRING_length(e->cdata) > 0) return ST_ENVELOPE_CONTENT;
    Slot slot;
    if ((st = read_slot(k, &slot)) != ST_OK) return st;
    const int L = slot.L;
    if (2 * L + 1 > static_cast<int>(envLen)) return ST_BAD_ARGUMENT;
    if (give && static_cast<int>(*outLen) < 2 * L) return ST_BUFFER_TOO_SMALL;
    if ((st = addressee_match(e.get(), slot)) != ST_OK) return st;
    const uint8_t* minEnv = nullptr;
    if ((st = envelope_value(e.get(), L, &minEnv)) != ST_OK) return st;
    st = COS_Open_DE(give ? 1 : 0, k, minEnv, static_cast<uint32_t>(L), give ? out : nullptr);
    if (st != ST_OK) return st;
    if (give)
        *outLen = static_cast<uint32_t>(2 * L);
    else if (outLen)
        *outLen = 0;
    return ST_OK;
}

uint32_t DevGenEnv(const char* matrixPath, const char* id, uint8_t* out, int* outLen)
{
    return static_cast<uint32_t>(Dev_GenEnv(0, matrixPath, nullptr, 0, id, out, outLen));
}

uint32_t DevGenEnvS(const uint8_t* matrix, long matrixLen, const char* id, uint8_t* out, int* outLen)
{
    return static_cast<uint32_t>(Dev_GenEnv(0, nullptr, matrix, matrixLen, id, out, outLen));
}

uint32_t DevSM4Encrypt(uint8_t selector, const uint8_t* msg, uint8_t len, uint8_t* out, uint32_t* outLen)
{
    return COS_SM4Encrypt(selector, msg, len, out, outLen);
}

uint32_t DevSM4Decrypt(uint8_t selector, const uint8_t* cipher, uint8_t len, uint8_t* out, int* outLen)
{
    return COS_SM4Decrypt(selector, cipher, len, out, outLen);
}

}  // extern "C"
