// Card commands for the key matrix, private keys, elliptic-curve and SM2
// operations and the recovery of the inner secret.
#include "cardapi/cos_frame.h"

using namespace cosapi;

namespace {

constexpr unsigned LE_MAX = 255;
constexpr unsigned SM2_OVERHEAD = 97;       // C1 (65) + C3 (32)
constexpr unsigned SM2_CIPHER_MAX = 250;    // Lc + 6 bytes must fit in 256
constexpr unsigned SM2_PLAIN_MAX = 158;     // ciphertext of 255 bytes
constexpr unsigned SM2_PUBLIC_KEY = 64;
constexpr unsigned SM2_DIGEST = 32;
constexpr unsigned SM2_SIGNATURE = 64;
constexpr unsigned DIGEST_MIN = 20;
constexpr unsigned DIGEST_MAX = 32;
constexpr unsigned PRIVATE_KEY_MIN = 10;    // scalar of 8 bytes + CRC
constexpr unsigned PRIVATE_KEY_MAX = 34;    // scalar of 32 bytes + CRC
constexpr unsigned MATRIX_IMPORT_MAX = 251; // Lc + 5 bytes must fit in 256
constexpr uint32_t ISK_INDEX_MAX = 36;
constexpr unsigned ECDH_MAX = 64;

uint8_t key_file(uint8_t k) { return static_cast<uint8_t>(FID_PRIVKEY + k); }

// Matrix commands: the curve in P1's high nibble, the 12-bit element index
// in P1's low nibble and P2.
void matrix_frame(_apdu_frame_& f, uint8_t ins, uint8_t t, uint16_t index)
{
    frame_init(f, CLA_PROPRIETARY, ins, static_cast<uint8_t>((t << 4) | ((index >> 8) & 0x0F)),
               static_cast<uint8_t>(index & 0xFF));
}

// Copies at most room answered bytes (the caller's buffer has that much).
void copy_answer(const _apdu_frame_& f, uint8_t* out, unsigned room)
{
    memcpy(out, f.data, f.Le < room ? f.Le : room);
}

// Signatures are copied whatever the status (a refusal carries no data),
// but never past the room: a longer answer writes the needed length and
// gives 1018 with nothing copied. The length is written back on success,
// or always when lenAlways is set.
uint32_t copy_signature(uint32_t st, const _apdu_frame_& f, uint8_t* out, uint8_t* len, bool lenAlways)
{
    if (f.Le > *len) {
        if (st != ST_OK) return st;
        *len = f.Le;
        return ST_BUFFER_TOO_SMALL;
    }
    memcpy(out, f.data, f.Le);
    if (st == ST_OK || lenAlways) *len = f.Le;
    return st;
}

// A recovery record the card reads out whole (the identity text, the
// envelope): asks for le bytes and hands them over under the capacity rule.
uint32_t fetch_record(uint8_t ins, uint8_t le, uint8_t* out, int* len)
{
    if (!out || !len) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, ins, 0x00, 0x00);
    f.Le = le;
    return copy_back(COS_Transfer(&f), f, out, len);
}

bool is_table_length(uint32_t plen)
{
    for (unsigned t = 0; t < ECURVE_COUNT; ++t)
        if (GetParamLen(static_cast<uint8_t>(t)) == plen) return true;
    return false;
}

}  // namespace

uint32_t COS_Gen_Matrix(uint8_t t, uint16_t index, uint8_t count, uint8_t* out, uint8_t* len)
{
    if (count == 0 || !out || !len) return ST_BAD_ARGUMENT;
    unsigned le = 2 * GetParamLen(t) * count + 2;
    if (le > LE_MAX) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    matrix_frame(f, INS_GEN_MATRIX, t, index);
    f.Le = static_cast<uint8_t>(le);
    return copy_back(COS_Transfer(&f), f, out, len);
}

uint32_t COS_Export_Matrix(uint8_t t, uint16_t index, uint8_t count, uint8_t* out, uint8_t* len)
{
    if (!out || !len) return ST_BAD_ARGUMENT;
    // The card sends each element SM4-enciphered, that is rounded up to a
    // multiple of 16 bytes, followed by the 2-byte CRC.
    unsigned blk = (GetParamLen(t) + 15) / 16 * 16;
    unsigned le = blk * count + 2;
    if (le > LE_MAX) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    matrix_frame(f, INS_EXPORT_MATRIX, t, index);
    f.Le = static_cast<uint8_t>(le);
    return copy_back(COS_Transfer(&f), f, out, len);
}

uint32_t COS_Import_Matrix(uint8_t t, uint16_t index, const uint8_t* data, uint8_t len)
{
    if (!data || len > MATRIX_IMPORT_MAX) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    matrix_frame(f, INS_IMPORT_MATRIX, t, index);
    frame_put(f, data, len);
    return COS_Transfer(&f);
}

uint32_t COS_Cal_isk(uint8_t t, const uint16_t* indices, uint32_t n, uint8_t* out, uint8_t* len)
{
    if (!indices || !out || !len || n == 0 || n > ISK_INDEX_MAX) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_CAL_ISK, t, 0x00);
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t b[2] = {static_cast<uint8_t>(indices[i] & 0xFF), static_cast<uint8_t>(indices[i] >> 8)};
        frame_put(f, b, sizeof b);
    }
    f.Le = *len;
    uint32_t st = COS_Transfer(&f);
    if (st != ST_OK) {
        *len = 0;
        return st;
    }
    return copy_back(st, f, out, len);
}

uint32_t COS_ApplyPriKey(uint8_t t, const uint8_t* point, uint8_t* out)
{
    if (!point || !out) return ST_BAD_ARGUMENT;
    unsigned plen = GetParamLen(t);
    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_APPLY_PRIKEY, t, 0x00);
    frame_put(f, point, 2 * plen);
    f.Le = static_cast<uint8_t>(2 * plen + 2);
    uint32_t st = COS_Transfer(&f);
    if (st == ST_OK) copy_answer(f, out, 2 * plen + 2);
    return st;
}

uint32_t COS_WritePriKey(uint8_t mode, uint8_t k, const uint8_t* data, uint32_t len)
{
    if (k > KEY_SLOT_MAX) return ST_KEY_SLOT;
    if (!data || len < PRIVATE_KEY_MIN || len > PRIVATE_KEY_MAX) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_WRITE_PRIKEY, key_file(k), mode);
    frame_put(f, data, len);
    return COS_Transfer(&f);
}

uint32_t COS_ECDSA(uint8_t k, const uint8_t* digest, uint8_t digestLen, uint8_t* sig, uint8_t* len)
{
    if (digestLen < DIGEST_MIN || digestLen > DIGEST_MAX) return ST_DIGEST_LENGTH;
    if (k > KEY_SLOT_MAX) return ST_KEY_SLOT;
    if (!digest || !sig || !len) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_ECDSA_SIGN, key_file(k), 0x00);
    frame_put(f, digest, digestLen);
    f.Le = *len;
    return copy_signature(transfer_answer(f), f, sig, len, false);
}

uint32_t COS_VECDSA(uint8_t t, const uint8_t* digest, uint32_t digestLen, const uint8_t* sig,
                    const uint8_t* pubKey)
{
    if (!digest || !sig || !pubKey) return ST_BAD_ARGUMENT;
    if (digestLen < DIGEST_MIN || digestLen > DIGEST_MAX) return ST_DIGEST_LENGTH;
    unsigned plen = GetParamLen(t);
    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_ECDSA_VERIFY, static_cast<uint8_t>(digestLen), t);
    frame_put(f, digest, digestLen);
    frame_put(f, sig, 2 * plen);
    frame_put(f, pubKey, 2 * plen);
    return COS_Transfer(&f);
}

uint32_t COS_Gen_DE(uint8_t t, const uint8_t* point, uint8_t* out)
{
    if (!point || !out) return ST_BAD_ARGUMENT;
    unsigned plen = GetParamLen(t);
    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_ECC_GEN_DE, t, 0x00);
    frame_put(f, point, 2 * plen);
    f.Le = static_cast<uint8_t>(2 * plen + 2);
    uint32_t st = transfer_answer(f);
    copy_answer(f, out, 2 * plen + 2);
    return st;
}

uint32_t COS_Open_DE(uint8_t give, uint8_t k, const uint8_t* envelope, uint32_t plen, uint8_t* out)
{
    if (k > KEY_SLOT_MAX) return ST_KEY_SLOT;
    if (!envelope || (give && !out)) return ST_BAD_ARGUMENT;
    if (!is_table_length(plen)) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_ECC_OPEN_DE, key_file(k), give ? 1 : 0);
    frame_put(f, envelope, 2 * plen + 2);
    if (give) f.Le = static_cast<uint8_t>(2 * plen);
    uint32_t st = transfer_answer(f);
    if (give) copy_answer(f, out, 2 * plen);
    return st;
}

uint32_t COS_ECDH(uint8_t k, uint8_t t, const uint8_t* input, uint8_t len, uint8_t* out)
{
    if (k > KEY_SLOT_MAX) return ST_KEY_SLOT;
    if (!input || !out || len > ECDH_MAX) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    // The card takes the key's curve in P2.
    frame_init(f, CLA_PROPRIETARY, INS_ECC_ECDH, key_file(k), t);
    frame_put(f, input, len);
    f.Le = len;
    uint32_t st = transfer_answer(f);
    copy_answer(f, out, len);
    return st;
}

uint32_t COS_ECDH(uint8_t k, const uint8_t* input, uint8_t len, uint8_t* out)
{
    return COS_ECDH(k, 0, input, len, out);
}

uint32_t COS_SM2Sign(uint8_t k, const uint8_t* e, uint8_t* sig, uint8_t* len)
{
    if (k > KEY_SLOT_MAX || !e || !sig || !len) return ST_BAD_ARGUMENT;
    if (*len < SM2_SIGNATURE) {
        *len = SM2_SIGNATURE;
        return ST_BUFFER_TOO_SMALL;
    }
    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_SM2_SIGN, key_file(k), 0x00);
    frame_put(f, e, SM2_DIGEST);
    f.Le = SM2_SIGNATURE;
    return copy_signature(transfer_answer(f), f, sig, len, true);
}

uint32_t COS_SM2Verify(const uint8_t* e, const uint8_t* pubKey, const uint8_t* sig)
{
    if (!e || !pubKey || !sig) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_SM2_VERIFY, SM2_DIGEST, SM2_PUBLIC_KEY);
    frame_put(f, e, SM2_DIGEST);
    frame_put(f, pubKey, SM2_PUBLIC_KEY);
    frame_put(f, sig, SM2_SIGNATURE);
    return COS_Transfer(&f);
}

uint32_t COS_SM2Encrypt(const uint8_t* pubKey, const uint8_t* msg, uint32_t msgLen, uint8_t* out, int* len)
{
    if (!pubKey || !msg || !out || !len) return ST_BAD_ARGUMENT;
    if (static_cast<int>(msgLen) <= 0 || msgLen > SM2_PLAIN_MAX) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_SM2_ENCRYPT, SM2_PUBLIC_KEY, 0x00);
    frame_put(f, pubKey, SM2_PUBLIC_KEY);
    frame_put(f, msg, msgLen);
    // Ask for exactly the ciphertext's length (98 to 255).
    f.Le = static_cast<uint8_t>(msgLen + SM2_OVERHEAD);
    return copy_back(COS_Transfer(&f), f, out, len);
}

uint32_t COS_SM2Decrypt(uint8_t k, const uint8_t* cipher, uint32_t cipherLen, uint8_t* out, int* len)
{
    if (k > KEY_SLOT_MAX || !cipher || cipherLen <= SM2_OVERHEAD || cipherLen > SM2_CIPHER_MAX || !out ||
        !len)
        return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_SM2_DECRYPT, key_file(k), 0x00);
    frame_put(f, cipher, cipherLen);
    f.Le = static_cast<uint8_t>(cipherLen - SM2_OVERHEAD);
    return copy_back(COS_Transfer(&f), f, out, len);
}

uint32_t COS_Get_EId(uint8_t* out, int* len)
{
    return fetch_record(INS_GET_EID, IDENTITY_TEXT_MAX, out, len);
}

uint32_t COS_Get_rE(uint8_t* out, int* len)
{
    return fetch_record(INS_GET_ERG, ENVELOPE_LEN, out, len);
}

uint32_t COS_Restore_rG(const uint8_t* secret48, const char* newPin)
{
    if (!secret48 || !newPin) return ST_BAD_ARGUMENT;
    size_t n = pin_length(newPin);
    if (!pin_length_ok(n)) return ST_PIN_LENGTH;
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_RESTORE_RG, 0x00, 0x00);
    frame_put(f, secret48, INNER_SECRET_LEN);
    frame_put(f, newPin, n);
    return COS_Transfer(&f);
}
