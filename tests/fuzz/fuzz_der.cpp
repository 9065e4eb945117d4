// The DER record decoders, the matrix head decoder and the matrix readers
// (in memory and from a file). Decoded records are encoded again and must
// decode to the same bytes.
//
// Input: [selector u8][bytes]. Selector (modulo 8): 0 MATRIX, 1 KeyCard,
// 2 DataSig, 3 DEnvelope, 4 a 256-byte matrix head (cut or zero-filled),
// 5 a whole matrix in memory, 6 a matrix file, 7 the field accessors.

#include "fuzz_util.h"
#include "kmx/kmx.h"
#include "kmx/kmxsoft.h"

#include <openssl/crypto.h>

#include <memory>

namespace {

const unsigned char kId[] = "fuzz@identity";
const int kIdLen = sizeof kId - 1;

// Encodes rec with enc, decodes the result with dec and checks that the
// second encoding equals the first.
template <typename T>
void round_trip(const T* rec, int (*enc)(const T*, unsigned char*, int*),
                int (*dec)(const unsigned char*, int, T**), void (*freeFn)(T*))
{
    std::vector<unsigned char> a(8192), b(8192);
    int aLen = static_cast<int>(a.size());
    if (enc(rec, a.data(), &aLen) != 0)
        return;   // a record the decoder accepted may still not encode
    T* again = nullptr;
    int st = dec(a.data(), aLen, &again);
    if (st != 0 && st != ST_KEYCARD_EXPIRED)
        fuzz::fail("encoded record does not decode");
    int bLen = static_cast<int>(b.size());
    if (enc(again, b.data(), &bLen) != 0 || bLen != aLen || std::memcmp(a.data(), b.data(), aLen) != 0)
        fuzz::fail("record does not encode the same twice");
    freeFn(again);
}

template <typename T>
void decode(const fuzz::Bytes& d, int (*dec)(const unsigned char*, int, T**),
            int (*enc)(const T*, unsigned char*, int*), void (*freeFn)(T*))
{
    // An exactly sized copy: a read past the input is caught.
    auto p = fuzz::exact_copy(d);
    T* rec = nullptr;
    int st = dec(p.get(), static_cast<int>(d.size()), &rec);
    if (st == 0 || st == ST_KEYCARD_EXPIRED) {
        if (rec == nullptr)
            fuzz::fail("decoder succeeded without a record");
        round_trip(rec, enc, dec, freeFn);
        freeFn(rec);
    } else if (rec != nullptr) {
        fuzz::fail("decoder failed but handed out a record");
    }
}

void matrix_uses(const char* path, const unsigned char* mem, long memLen)
{
    MATRIX* m = nullptr;
    KMX_Matrix_Info info{};
    if (KMX_Load_Matrix(path, mem, memLen, &m, &info) == 0) {
        KMX_Matrix_Info_free(&info);
        MATRIX_free(m);
    }
    unsigned char pub[256];
    int pubLen = sizeof pub;
    int serial = 0;
    KMX_Matrix_Pubkey(path, mem, memLen, kId, kIdLen, pub, &pubLen, &serial);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in(data, size);
    const unsigned sel = in.u8() % 8;
    const fuzz::Bytes d = in.rest();
    switch (sel) {
    case 0:
        decode<MATRIX>(d, string2Matrix, Matrix2string, MATRIX_free);
        break;
    case 1:
        decode<KeyCard>(d, string2KeyCard, KeyCard2string, KeyCard_free);
        break;
    case 2:
        decode<DataSig>(d, string2DataSig, DataSig2string, DataSig_free);
        break;
    case 3:
        decode<DEnvelope>(d, string2DEnvelope, DEnvelope2string, DEnvelope_free);
        break;
    case 4: {
        unsigned char head[KMX_HEAD_SIZE] = {};
        if (!d.empty())
            std::memcpy(head, d.data(), std::min(d.size(), sizeof head));
        MATRIX* m = nullptr;
        KMX_Matrix_Info info{};
        if (KMX_Decode_Head(head, &m, &info) == 0) {
            if (info.row < 1 || info.col < 1 || info.col > KMX_MAX_COL ||
                static_cast<long>(info.row) * info.col > KMX_MAX_ELEMENTS || info.group == nullptr)
                fuzz::fail("head passed with fields out of range");
            KMX_Matrix_Info_free(&info);
        }
        MATRIX_free(m);
        break;
    }
    case 5: {
        auto p = fuzz::exact_copy(d);
        matrix_uses(nullptr, p.get(), static_cast<long>(d.size()));
        break;
    }
    case 6: {
        const std::string path = fuzz::Scratch::file("matrix.pks");
        if (!fuzz::write_file(path, d))
            fuzz::fail("write matrix file");
        matrix_uses(path.c_str(), nullptr, 0);
        break;
    }
    case 7: {
        auto p = fuzz::exact_copy(d);
        const int n = static_cast<int>(d.size());
        using Text = int (*)(const unsigned char*, int, char*, int*);
        static const Text texts[] = {KMX_GetSignerId, KMX_GetSignMatrixId, KMX_GetSignTime,
                                     KMX_GetEncMatrixId, KMX_GetAddresseeId};
        for (Text f : texts) {
            char out[64];
            int outLen = sizeof out;
            if (f(p.get(), n, out, &outLen) == 0 && (outLen < 0 || outLen > static_cast<int>(sizeof out)))
                fuzz::fail("text longer than its capacity");
        }
        int ts = 0;
        KMX_GetSignTimestamp(p.get(), n, &ts);
        break;
    }
    }
    return 0;
}
