// The multi-recipient encrypted file: 512 zero bytes, "KEYS", the recipient
// count, one 256-byte envelope record per recipient, "DATA", then the
// content under AES-256-CBC with the key of one shared envelope.
#include "kmx/kmxsoft.h"

#include "kmx/atomic_out.h"
#include "kmx/encfile_layout.h"
#include "kmx/file_io.h"
#include "smcrypto/ossl_ptr.h"
#include "smcrypto/secret_bytes.h"

#include <openssl/evp.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <sys/stat.h>
#include <unistd.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kChunk = 4096;

struct MatrixSet {
    std::vector<MATRIX*> ms;          // one per distinct run of names
    std::vector<std::string> paths;   // their files
    std::vector<int> of;              // recipient -> index into ms
    KMX_Matrix_Info info{};           // curve of the first matrix
    ~MatrixSet()
    {
        for (MATRIX* m : ms)
            MATRIX_free(m);
        KMX_Matrix_Info_free(&info);
    }
};

struct Points {
    std::vector<EC_POINT*> p;
    ~Points()
    {
        for (EC_POINT* q : p)
            EC_POINT_free(q);
    }
};

bool bounded(const char* s, size_t limit, size_t* len)
{
    size_t n = strnlen(s, limit);
    if (n == limit)
        return false;
    if (len)
        *len = n;
    return true;
}

void put_u32(unsigned char* at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Streams in through the cipher into out.
int encrypt_stream(FILE* in, AtomicOut& out, const EVP_CIPHER* cipher, const unsigned char* key,
                   const unsigned char* iv)
{
    ossl::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key, iv) != 1)
        return ST_ENCRYPT_FAILED;
    // buf holds the plaintext: wiped when the stream ends, however it ends.
    secret_buffer buf(kChunk);
    std::vector<unsigned char> enc(kChunk + EVP_MAX_BLOCK_LENGTH);
    if (!buf.ok())
        return ST_NO_MEMORY;
    for (;;) {
        size_t n = std::fread(buf.data(), 1, kChunk, in);
        if (n > 0) {
            int m = 0;
            if (EVP_EncryptUpdate(ctx.get(), enc.data(), &m, buf.data(), static_cast<int>(n)) != 1)
                return ST_ENCRYPT_FAILED;
            if (!out.write(enc.data(), m))
                return ST_FILE_OPEN;
        }
        if (n < static_cast<size_t>(kChunk)) {
            if (std::ferror(in))
                return ST_FILE_OPEN;
            break;
        }
    }
    int m = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), enc.data(), &m) != 1)
        return ST_ENCRYPT_FAILED;
    return out.write(enc.data(), m) ? ST_OK : ST_FILE_OPEN;
}

} // namespace

int KMX_Encrypt_File(const char* matrixDir, const AddresseeEntry* recipients, int count,
                     const char* inFile, const char* outFile, unsigned char* kOut, int* kOutLen)
{
    if (!matrixDir || !recipients || !inFile || !outFile || count < 1 || count > encfile::RECIPIENTS_MAX)
        return ST_BAD_ARGUMENT;
    size_t dirLen = 0;
    if (!bounded(matrixDir, PATH_MAX, &dirLen) || !bounded(inFile, PATH_MAX, nullptr) ||
        !bounded(outFile, PATH_MAX, nullptr) || !*inFile || !*outFile)
        return ST_BAD_ARGUMENT;
    for (int i = 0; i < count; ++i) {
        size_t idLen = 0, nameLen = 0;
        const AddresseeEntry& r = recipients[i];
        if (!bounded(r.id, sizeof r.id, &idLen) || !bounded(r.matrixName, sizeof r.matrixName, &nameLen) ||
            idLen == 0 || nameLen == 0 || dirLen + nameLen + 4 >= PATH_MAX)
            return ST_BAD_ARGUMENT;
    }
    const EVP_CIPHER* cipher = KMX_Get_cipher(nullptr);   // AES-256-CBC
    if (!cipher)
        return ST_UNKNOWN_CIPHER;
    const int kl = EVP_CIPHER_get_key_length(cipher), il = EVP_CIPHER_get_iv_length(cipher);

    // Matrices: one read per run of equal names, all on one curve.
    MatrixSet mx;
    int st = ST_OK;
    for (int i = 0; i < count; ++i) {
        if (i == 0 || std::strcmp(recipients[i].matrixName, recipients[i - 1].matrixName) != 0) {
            std::string path = std::string(matrixDir) + recipients[i].matrixName + ".pks";
            MATRIX* m = nullptr;
            KMX_Matrix_Info info{};
            if ((st = KMX_Load_Matrix(path.c_str(), nullptr, 0, &m, &info)))
                return st;
            mx.ms.push_back(m);
            mx.paths.push_back(path);
            if (mx.ms.size() == 1) {
                mx.info = info;
            } else {
                bool same = info.serial == mx.info.serial;
                KMX_Matrix_Info_free(&info);
                if (!same)
                    return ST_MIXED_CURVES;
            }
        }
        mx.of.push_back(static_cast<int>(mx.ms.size()) - 1);
    }
    const EC_GROUP* group = mx.info.group;

    std::vector<EnvelopeSlot> slots(count);
    Points pts;
    for (int i = 0; i < count; ++i) {
        EC_POINT* Q = EC_POINT_new(group);
        if (!Q)
            return ST_POINT_ALLOC;
        pts.p.push_back(Q);
        slots[i] = EnvelopeSlot{};
        slots[i].Q = Q;
        const auto* id = reinterpret_cast<const unsigned char*>(recipients[i].id);
        const int k = mx.of[i];
        if ((st = KMX_Identity_Point(mx.paths[k].c_str(), nullptr, -1, mx.ms[k], id,
                                     static_cast<int>(std::strlen(recipients[i].id)), Q)))
            return st;
    }
    unsigned char keyIv[64];
    if ((st = KMX_Cal_SKey(group, slots.data(), count, keyIv, kl + il, kOut, kOutLen)))
        return st;

    // The recipient records, each checked to fit its 256 bytes.
    std::vector<unsigned char> records(static_cast<size_t>(count) * encfile::RECORD, 0);
    {
        DEnvelope* e = DEnvelope_new();
        if (!e) {
            OPENSSL_cleanse(keyIv, sizeof keyIv);
            return ST_ENVELOPE_CREATE;
        }
        for (int i = 0; !st && i < count; ++i) {
            const AddresseeEntry& r = recipients[i];
            ASN1_UTF8STRING* name = ASN1_UTF8STRING_new();
            if (!name || ASN1_STRING_set(name, r.matrixName, -1) != 1)
                st = ST_NO_MEMORY;
            if (!st)
                st = KMX_Fill_DEnvelope(e, name, reinterpret_cast<const unsigned char*>(r.id),
                                        static_cast<int>(std::strlen(r.id)),
                                        EVP_CIPHER_get_nid(cipher), slots[i].env, slots[i].envLen);
            ASN1_UTF8STRING_free(name);
            unsigned char* rec = &records[static_cast<size_t>(i) * encfile::RECORD];
            int len = encfile::RECORD - 4;
            if (!st) {
                st = DEnvelope2string(e, rec + 4, &len);
                if (st == ST_BUFFER_TOO_SMALL)
                    st = ST_BAD_DER;   // cannot happen within the entry limits
            }
            if (!st)
                put_u32(rec, static_cast<uint32_t>(len));
        }
        DEnvelope_free(e);
        if (st) {
            OPENSSL_cleanse(keyIv, sizeof keyIv);
            return st;
        }
    }

    // The input must not be the output: writing would destroy what is read.
    struct stat si, so;
    ossl::FilePtr in(open_input_file(inFile));
    if (!in || fstat(fileno(in.get()), &si) != 0 ||
        (stat(outFile, &so) == 0 && si.st_dev == so.st_dev && si.st_ino == so.st_ino)) {
        OPENSSL_cleanse(keyIv, sizeof keyIv);
        return ST_FILE_OPEN;
    }
    AtomicOut out(outFile);
    if (!out.open()) {
        OPENSSL_cleanse(keyIv, sizeof keyIv);
        return ST_FILE_OPEN;
    }
    unsigned char lead[encfile::RECORDS_AT] = {0};
    std::memcpy(lead + encfile::KEYS_AT, encfile::KEYS_MARK, encfile::MARK_LEN);
    put_u32(lead + encfile::COUNT_AT, static_cast<uint32_t>(count));
    if (!out.write(lead, sizeof lead) || !out.write(records.data(), records.size()) ||
        !out.write(encfile::DATA_MARK, encfile::MARK_LEN))
        st = ST_FILE_OPEN;
    if (!st)
        st = encrypt_stream(in.get(), out, cipher, keyIv, keyIv + kl);
    OPENSSL_cleanse(keyIv, sizeof keyIv);
    if (!st && !out.commit())
        st = ST_FILE_OPEN;
    return st;   // out's destructor removes a partial output
}
