// Key cards, key applications and key ids: issuing a KeyCard from the
// secret matrix that the card holds, key applications, installing a KeyCard
// into a key slot and reading back the identity of a slot.
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/objects.h>

#include <climits>
#include <cstring>
#include <ctime>

#include "cardapi/cosapi.h"
#include "keydev/kmxdev.h"
#include "kmx/kmxapp.h"
#include "kmx/kmxsoft.h"
#include "smcrypto/ossl_ptr.h"
#include "smcrypto/secret_bn.h"
#include "smcrypto/secret_bytes.h"
#include "smcrypto/xor.h"

namespace {

constexpr uint8_t FILE_MATRIX = 0x42;
constexpr uint8_t FILE_KEY_ID = 0x50;
constexpr int KEY_ID_MAX = 64;        // size of a key id record file
constexpr int PUBLIC_RECORD_MAX = 128; // size of a public record file
constexpr int TRANSPORT_KEY_LEN = 16;
constexpr unsigned KEY_SLOT_LAST = 15;
constexpr uint32_t YEARS_MAX = 100;

time_t (*g_clock)() = nullptr;

time_t now()
{
    return g_clock ? g_clock() : time(nullptr);
}

// Reads the whole card file id (at most cap bytes) into out. A file longer
// than cap answers 1018 with its length in *len and reads nothing.
uint32_t read_card_file(uint8_t id, uint8_t* out, uint32_t cap, uint32_t* len)
{
    int n = static_cast<int>(cap);
    uint32_t st = DevReadFile(id, out, &n);
    *len = static_cast<uint32_t>(n);
    return st;
}

struct CardWork {
    MATRIX* m = nullptr;
    KMX_Matrix_Info info{};
    bool haveInfo = false;
    KeyCard* kc = nullptr;
    ossl::BnCtxPtr ctx;
    ossl::SecretBnPtr c;
    ossl::SecretBnPtr r;
    ossl::SecretBnPtr isk;
    unsigned char rBytes[32] = {};
    unsigned char cBytes[32] = {};
    unsigned char iskBytes[34] = {};
    unsigned char masked[34] = {};
    ~CardWork()
    {
        MATRIX_free(m);
        if (haveInfo) KMX_Matrix_Info_free(&info);
        if (kc) {
            // The isk field holds the secret; wipe it before the record goes.
            if (kc->isk && kc->isk->data) OPENSSL_cleanse(kc->isk->data, kc->isk->length);
            KeyCard_free(kc);
        }
        OPENSSL_cleanse(rBytes, sizeof rBytes);
        OPENSSL_cleanse(cBytes, sizeof cBytes);
        OPENSSL_cleanse(iskBytes, sizeof iskBytes);
        OPENSSL_cleanse(masked, sizeof masked);
    }
};

// notAfter: the issue moment in local time with the year moved on by
// years, normalised by mktime (29 February + 1 year is 1 March).
bool add_years(time_t t, uint32_t years, time_t* out)
{
    struct tm lt;
    if (!localtime_r(&t, &lt)) return false;
    lt.tm_year += static_cast<int>(years);
    lt.tm_isdst = -1;
    time_t r = mktime(&lt);
    if (r == static_cast<time_t>(-1)) return false;
    *out = r;
    return true;
}

struct WriteWork {
    KeyCard* kc = nullptr;
    ossl::GroupPtr group;
    unsigned char pub[PUBLIC_RECORD_MAX + 1] = {};
    unsigned char keyId[KEY_ID_MAX] = {};
    ~WriteWork()
    {
        if (kc) {
            if (kc->isk && kc->isk->data) OPENSSL_cleanse(kc->isk->data, kc->isk->length);
            KeyCard_free(kc);
        }
    }
};

}  // namespace

extern "C" {

void DevSetClock(time_t (*clock)())
{
    g_clock = clock;
}

uint32_t DevGenKeyCard(const uint8_t* id, uint32_t idLen, uint32_t years,
                       const uint8_t* transportKey, uint8_t* out, int* outLen)
{
    if (!id || !out || !outLen || years > YEARS_MAX) return ST_BAD_ARGUMENT;
    if (idLen == 0 || idLen > static_cast<uint32_t>(INT_MAX)) return ST_BAD_ARGUMENT;

    // The issuing matrix is read afresh on every call: the bound image or its
    // file 0x42 may have changed since the last one.
    uint8_t der[KMX_HEAD_MAX_DER];
    uint32_t derLen = 0;
    uint32_t st = read_card_file(FILE_MATRIX, der, sizeof der, &derLen);
    if (st == ST_BUFFER_TOO_SMALL) return ST_BAD_DER;  // not a matrix record
    if (st != 0) return st;

    CardWork w;
    int s = string2Matrix(der, static_cast<int>(derLen), &w.m);
    if (s != 0) return static_cast<uint32_t>(s);
    s = KMX_Matrix_Get_Info(w.m, &w.info);
    if (s != 0) return static_cast<uint32_t>(s);
    w.haveInfo = true;
    const int L = w.info.L;
    const int col = w.info.col;

    unsigned char R[2 * 32 + 1];
    int RLen = 0;
    s = KMX_Cal_R(w.m, id, static_cast<int>(idLen), w.rBytes, R, &RLen);
    if (s != 0) return static_cast<uint32_t>(s);

    unsigned short indices[KMX_MAX_COL];
    s = str2index(w.info.row, col, R + 1, RLen - 1, id, static_cast<int>(idLen), indices);
    if (s != 0) return static_cast<uint32_t>(s);

    uint16_t idx16[KMX_MAX_COL];
    for (int i = 0; i < col; ++i) idx16[i] = indices[i];
    uint8_t cLen = static_cast<uint8_t>(L);
    st = COS_Cal_isk(static_cast<uint8_t>(w.info.serial), idx16, static_cast<uint32_t>(col),
                     w.cBytes, &cLen);
    if (st != 0) return st;
    if (cLen != L) return ST_WRONG_LENGTH;

    // isk = (c + r) mod n
    w.ctx.reset(BN_CTX_new());
    // c and isk are secret: made in secure memory and marked.
    w.c.reset(secret_bn(BN_secure_new()));
    w.r.reset(BN_bin2bn(w.rBytes, L, nullptr));
    w.isk.reset(secret_bn(BN_secure_new()));
    const BIGNUM* n = EC_GROUP_get0_order(w.info.group);
    if (!w.ctx || !w.c || !w.r || !w.isk || !BN_bin2bn(w.cBytes, L, w.c.get())) return ST_BN_ALLOC;
    if (!n) return ST_NO_ORDER;
    if (!BN_mod_add(w.isk.get(), w.c.get(), w.r.get(), n, w.ctx.get())) return ST_BN_ALLOC;
    s = KMX_bn2bin(w.isk.get(), w.iskBytes, L);
    if (s != 0) return static_cast<uint32_t>(s);
    unsigned short crc = CalCrc16(0, w.iskBytes, L);
    w.iskBytes[L] = static_cast<unsigned char>(crc & 0xFF);
    w.iskBytes[L + 1] = static_cast<unsigned char>(crc >> 8);
    const unsigned char* iskField = w.iskBytes;
    if (transportKey) {
        Key_XOR(w.iskBytes, L, transportKey, TRANSPORT_KEY_LEN, w.masked);
        w.masked[L] = w.iskBytes[L];
        w.masked[L + 1] = w.iskBytes[L + 1];
        iskField = w.masked;
    }

    time_t notBefore = now();
    time_t notAfter = 0;
    if (!add_years(notBefore, years, &notAfter)) return ST_BAD_ARGUMENT;

    w.kc = KeyCard_new();
    if (!w.kc) return ST_NO_MEMORY;
    ASN1_OBJECT* oid = OBJ_dup(w.m->ecOid);
    if (!oid) return ST_NO_MEMORY;
    ASN1_OBJECT_free(w.kc->ecOid);
    w.kc->ecOid = oid;
    if (!ASN1_INTEGER_set(w.kc->version, 1) ||
        !ASN1_STRING_set(w.kc->matrixId, ASN1_STRING_get0_data(w.m->matrixId),
                         ASN1_STRING_length(w.m->matrixId)) ||
        !ASN1_STRING_set(w.kc->keyId, id, static_cast<int>(idLen)) ||
        !ASN1_INTEGER_set_int64(w.kc->notBefore, static_cast<int64_t>(notBefore)) ||
        !ASN1_INTEGER_set_int64(w.kc->notAfter, static_cast<int64_t>(notAfter)) ||
        !ASN1_OCTET_STRING_set(w.kc->isk, iskField, L + 2) ||
        !ASN1_OCTET_STRING_set(w.kc->R, nullptr, 0))
        return ST_NO_MEMORY;

    return static_cast<uint32_t>(KeyCard2string(w.kc, out, outLen));
}

uint32_t DevGenKeyApply(const char* matrixPath, const char* id, uint8_t* out, int* outLen)
{
    return static_cast<uint32_t>(Dev_GenEnv(1, matrixPath, nullptr, 0, id, out, outLen));
}

uint32_t DevGenKeyApplyS(const uint8_t* matrix, long matrixLen, const char* id, uint8_t* out,
                         int* outLen)
{
    return static_cast<uint32_t>(Dev_GenEnv(1, nullptr, matrix, matrixLen, id, out, outLen));
}

uint32_t DevWriteKeyCard(uint8_t k, int plain, const uint8_t* der, uint32_t len)
{
    if (!der || len == 0 || len > static_cast<uint32_t>(INT_MAX)) return ST_BAD_ARGUMENT;
    WriteWork w;
    // Every check comes before the first write, so that a refused card
    // leaves the slot as it was.
    int s = string2KeyCard(der, static_cast<int>(len), &w.kc);
    if (s != 0) return static_cast<uint32_t>(s);
    if (k > KEY_SLOT_LAST) return ST_KEY_SLOT;
    w.group.reset(KMX_Get_ecgroup(w.kc->ecOid));
    int L = KMX_Get_paramLen(w.kc->ecOid);
    if (!w.group || L <= 0) return ST_UNKNOWN_CURVE;
    if (!w.kc->isk || ASN1_STRING_length(w.kc->isk) != L + 2) return ST_BAD_ARGUMENT;

    const int idLen = w.kc->keyId ? ASN1_STRING_length(w.kc->keyId) : 0;
    const int midLen = w.kc->matrixId ? ASN1_STRING_length(w.kc->matrixId) : 0;
    const unsigned char* idBytes = idLen ? ASN1_STRING_get0_data(w.kc->keyId) : nullptr;
    const unsigned char* midBytes = midLen ? ASN1_STRING_get0_data(w.kc->matrixId) : nullptr;
    // The identity is read back as the bytes before the last '@' of the key
    // id record, so the matrix id must not hold one.
    if (idLen <= 0 || (midLen > 0 && memchr(midBytes, '@', static_cast<size_t>(midLen))))
        return ST_BAD_ARGUMENT;
    const int recLen = idLen + 1 + midLen;
    if (recLen > KEY_ID_MAX) return ST_BAD_ARGUMENT;

    // Public record: the card with isk replaced by one 0x00 byte.
    secret_array<34> iskCopy;
    const int iskLen = L + 2;
    memcpy(iskCopy.data(), ASN1_STRING_get0_data(w.kc->isk), static_cast<size_t>(iskLen));
    // Setting a shorter value keeps the field's memory and overwrites only
    // its first bytes: the scalar and its CRC behind them are wiped first,
    // or they would go back to the allocator with the record.
    OPENSSL_cleanse(w.kc->isk->data, static_cast<size_t>(iskLen));
    static const unsigned char zero = 0;
    if (!ASN1_OCTET_STRING_set(w.kc->isk, &zero, 1)) return ST_NO_MEMORY;
    int pubLen = static_cast<int>(sizeof w.pub);
    s = KeyCard2string(w.kc, w.pub, &pubLen);
    if (s != 0 || pubLen > PUBLIC_RECORD_MAX)
        return s == 0 || s == ST_BUFFER_TOO_SMALL ? static_cast<uint32_t>(ST_BAD_ARGUMENT)
                                                  : static_cast<uint32_t>(s);

    memcpy(w.keyId, idBytes, static_cast<size_t>(idLen));
    w.keyId[idLen] = '@';
    if (midLen > 0) memcpy(w.keyId + idLen + 1, midBytes, static_cast<size_t>(midLen));

    int serial = KMX_Get_ecSn(w.kc->ecOid);
    uint8_t mode = static_cast<uint8_t>((serial << 4) | (plain ? 1 : 0));
    uint32_t st = COS_WritePriKey(mode, k, iskCopy.data(), static_cast<uint32_t>(iskLen));
    iskCopy.wipe();
    if (st != 0) return st;
    st = COS_WritePubKey(k, w.pub, static_cast<uint16_t>(pubLen));
    if (st != 0) return st;
    return COS_WriteKeyId(k, w.keyId, static_cast<uint8_t>(recLen));
}

uint32_t DevGetKeyId(uint32_t whole, uint8_t k, uint8_t* out, uint32_t* len)
{
    if (k > KEY_SLOT_LAST) return ST_KEY_SLOT;
    if (!out || !len) return ST_BAD_ARGUMENT;
    uint8_t rec[KEY_ID_MAX];
    uint32_t recLen = 0;
    uint32_t st = read_card_file(static_cast<uint8_t>(FILE_KEY_ID + k), rec, sizeof rec, &recLen);
    if (st != 0) return st;
    if (whole) {
        memcpy(out, rec, recLen);
        *len = recLen;
        return 0;
    }
    // The identity ends at the last '@'; a record without one holds none.
    uint32_t at = recLen;
    while (at > 0 && rec[at - 1] != '@') --at;
    if (at == 0) return ST_BAD_DER;
    memcpy(out, rec, at - 1);
    *len = at - 1;
    return 0;
}

}  // extern "C"
