// Image builder library: see imgbuild.h.
#include "tools/imgbuild/imgbuild.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cardapi/cosapi.h"
#include "keydev/kmxdev.h"
#include "kmx/kmxsoft.h"
#include "smcrypto/ecurve.h"
#include "smcrypto/secret_bn.h"
#include "vcard/acos.h"
#include "vcard/dazi.h"
#include "vcard/default_pins.h"

namespace imgbuild {
namespace {

constexpr uint8_t FILE_RECOVERY = 0x40;
constexpr uint8_t FILE_MATRIX = 0x42;
constexpr uint16_t CARD_FILE_SIZE = 4096;
constexpr unsigned MATRIX_AREA = 65536;
constexpr unsigned CARD_LE_MAX = 255;
// The largest Le the card takes for matrix generation: 2L bytes per element
// and the CRC must fit in it.
constexpr unsigned MATRIX_LE_MAX = 0xF2;
constexpr unsigned SOFT_TRANSPORT_ROW = 16;
constexpr unsigned SOFT_TRANSPORT_COL = 4;

int fail(std::string* err, int status, const std::string& what)
{
    if (err) *err = what + " (status " + std::to_string(status) + ")";
    return status;
}

int bad(std::string* err, const std::string& what)
{
    if (err) *err = what;
    return ST_BAD_ARGUMENT;
}

// Wipes a byte vector before it goes.
struct SecretBytes {
    Bytes b;
    ~SecretBytes()
    {
        if (!b.empty()) OPENSSL_cleanse(b.data(), b.size());
    }
};

// One card session over an image: open, the three PINs verified, and at the
// end the card's restoration and the unbinding, also after a failure.
class Session {
public:
    explicit Session(const std::string& image) : image_(image)
    {
        status_ = DEV_Open(DEV_TYPE_VIRTUAL, image.c_str());
        open_ = status_ == 0;
    }
    ~Session()
    {
        if (open_) {
            COS_Reset();
            DEV_Close();
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // 0 when open and the PINs are verified, else a status with a message.
    int ready(std::string* err)
    {
        if (!open_) return fail(err, static_cast<int>(status_), "cannot open image " + image_);
        static const char* const pins[3] = {DEFAULT_PIN_TYPE0, DEFAULT_PIN_TYPE1,
                                            DEFAULT_PIN_TYPE2};
        for (uint8_t t = 0; t < 3; ++t) {
            uint32_t tries = 0;
            uint32_t st = COS_VerifyPin(t, pins[t], &tries);
            if (st != 0)
                return fail(err, static_cast<int>(st),
                            "PIN type " + std::to_string(t) + " of " + image_ + " not accepted");
        }
        return 0;
    }

private:
    std::string image_;
    uint32_t status_ = 0;
    bool open_ = false;
};

// Replaces card file id by a fresh one holding data.
int put_card_file(uint8_t id, const uint8_t* data, size_t len, std::string* err)
{
    if (COS_SelectFile(id, nullptr) == 0) {
        uint32_t st = COS_DeleteFile(id);
        if (st != 0) return fail(err, static_cast<int>(st), "cannot delete card file " + std::to_string(id));
    }
    uint32_t st = COS_CreateFile(id, CARD_FILE_SIZE);
    if (st != 0) return fail(err, static_cast<int>(st), "cannot create card file " + std::to_string(id));
    st = COS_WriteFile(data, static_cast<uint16_t>(len));
    if (st != 0) return fail(err, static_cast<int>(st), "cannot write card file " + std::to_string(id));
    return 0;
}

// Writes bytes to path through a temporary file in the same folder; the file
// gets mode (a secret matrix stays its owner's).
int write_whole_file(const std::string& path, const Bytes& data, mode_t mode, std::string* err)
{
    std::string tmp = path + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) return fail(err, ST_FILE_OPEN, "cannot create " + tmp + ": " + strerror(errno));
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            unlink(name.data());
            return fail(err, ST_FILE_OPEN, "cannot write " + path);
        }
        done += static_cast<size_t>(n);
    }
    const bool moded = fchmod(fd, mode) == 0;
    if (close(fd) != 0 || !moded || rename(name.data(), path.c_str()) != 0) {
        unlink(name.data());
        return fail(err, ST_FILE_OPEN, "cannot write " + path);
    }
    return 0;
}

// Makes the folder dir and any missing folder above it (mode 0755); an
// existing name that is not a folder fails.
int make_folder(const std::string& dir, std::string* err)
{
    std::string path;
    size_t at = 0;
    while (at != std::string::npos) {
        size_t next = dir.find('/', at + 1);
        path = dir.substr(0, next);
        at = next;
        if (path.empty() || path == "/")
            continue;
        struct stat st;
        if (stat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return fail(err, ST_FILE_OPEN, path + " is not a folder");
            continue;
        }
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
            return fail(err, ST_FILE_OPEN, "cannot make folder " + path + ": " + strerror(errno));
    }
    return 0;
}

bool valid_matrix_id(const std::string& id)
{
    return !id.empty() && id.size() <= MATRIX_ID_MAX && id.find('@') == std::string::npos &&
           id.find('/') == std::string::npos && id.find('\0') == std::string::npos;
}

// The MATRIX DER of a new matrix.
int matrix_der(const std::string& matrixId, const std::string& name, unsigned curve,
               unsigned row, unsigned col, Bytes* out, std::string* err)
{
    const ecurve_info* c = ecurve_by_serial(curve);
    if (!c) return bad(err, "curve must be 0 to 5");
    if (curve == 1) ecurve_secp64r1_nid();
    MATRIX* m = MATRIX_new();
    if (!m) return fail(err, ST_NO_MEMORY, "out of memory");
    ASN1_OBJECT* oid = OBJ_txt2obj(c->oid, 1);
    bool ok = oid && ASN1_INTEGER_set(m->version, 1) &&
              ASN1_STRING_set(m->matrixId, matrixId.data(), static_cast<int>(matrixId.size())) &&
              ASN1_STRING_set(m->name, name.data(), static_cast<int>(name.size())) &&
              ASN1_INTEGER_set(m->row, static_cast<long>(row)) &&
              ASN1_INTEGER_set(m->col, static_cast<long>(col)) &&
              ASN1_UTCTIME_set(m->genTime, time(nullptr));
    if (ok) {
        ASN1_OBJECT_free(m->ecOid);
        m->ecOid = oid;
        oid = nullptr;
    }
    ASN1_OBJECT_free(oid);
    int n = ok ? i2d_MATRIX(m, nullptr) : 0;
    if (n <= 0 || n > KMX_HEAD_MAX_DER) {
        MATRIX_free(m);
        return fail(err, ST_BAD_DER, "matrix record does not fit its 252 bytes");
    }
    out->assign(static_cast<size_t>(n), 0);
    unsigned char* p = out->data();
    i2d_MATRIX(m, &p);
    MATRIX_free(m);
    return 0;
}

Bytes matrix_head(const Bytes& der)
{
    Bytes head(KMX_HEAD_SIZE, 0);
    uint32_t n = static_cast<uint32_t>(der.size());
    head[0] = static_cast<uint8_t>(n);
    head[1] = static_cast<uint8_t>(n >> 8);
    head[2] = static_cast<uint8_t>(n >> 16);
    head[3] = static_cast<uint8_t>(n >> 24);
    memcpy(head.data() + 4, der.data(), der.size());
    return head;
}

int check_shape(unsigned curve, unsigned row, unsigned col, std::string* err)
{
    if (curve > 5) return bad(err, "curve must be 0 to 5");
    if (col < 4 || col > KMX_MAX_COL) return bad(err, "col must be 4 to 32");
    if (row < 1 || row > 256) return bad(err, "row must be 1 to 256");
    if (row * col * 32 > MATRIX_AREA) return bad(err, "row * col * 32 must not exceed 65536");
    return 0;
}

// X || Y of a random point on curve 0 and the recovery identity.
int recovery_record(Bytes* out, std::string* err)
{
    EC_GROUP* g = ecurve_new_group(0);
    BIGNUM* p = BN_new();
    BIGNUM* x = BN_new();
    BIGNUM* y = BN_new();
    EC_POINT* P = g ? EC_POINT_new(g) : nullptr;
    int st = 0;
    const int L = ecurve_param_len(0);
    out->assign(static_cast<size_t>(2 * L), 0);
    if (!g || !p || !x || !y || !P) {
        st = fail(err, ST_NO_MEMORY, "out of memory");
    } else {
        const BIGNUM* n = EC_GROUP_get0_order(g);
        if (!random_scalar(p, n, nullptr))
            st = fail(err, ST_RANDOM_FAILED, "no random numbers");
        if (st == 0 && (!EC_POINT_mul(g, P, p, nullptr, nullptr, nullptr) ||
                        !EC_POINT_get_affine_coordinates(g, P, x, y, nullptr) ||
                        BN_bn2binpad(x, out->data(), L) != L ||
                        BN_bn2binpad(y, out->data() + L, L) != L))
            st = fail(err, ST_POINT_MUL, "cannot make the recovery point");
    }
    out->push_back(0);
    out->insert(out->end(), RECOVERY_ID, RECOVERY_ID + strlen(RECOVERY_ID));
    BN_clear_free(p);
    BN_free(x);
    BN_free(y);
    EC_POINT_free(P);
    EC_GROUP_free(g);
    return st;
}

// A KeyCard for identity with the plain scalar isk (L bytes) of the matrix m.
int soft_key_card(const MATRIX* m, const Bytes& identity, const unsigned char* isk, int L,
                  uint32_t years, SecretBytes* der, std::string* err)
{
    KeyCard* kc = KeyCard_new();
    if (!kc) return fail(err, ST_NO_MEMORY, "out of memory");
    unsigned char field[34];
    memcpy(field, isk, static_cast<size_t>(L));
    unsigned short crc = CalCrc16(0, isk, L);
    field[L] = static_cast<unsigned char>(crc & 0xFF);
    field[L + 1] = static_cast<unsigned char>(crc >> 8);
    time_t nb = time(nullptr);
    struct tm lt;
    localtime_r(&nb, &lt);
    lt.tm_year += static_cast<int>(years);
    lt.tm_isdst = -1;
    time_t na = mktime(&lt);
    ASN1_OBJECT* oid = OBJ_dup(m->ecOid);
    bool ok = oid && ASN1_INTEGER_set(kc->version, 1) &&
              ASN1_STRING_set(kc->matrixId, ASN1_STRING_get0_data(m->matrixId),
                              ASN1_STRING_length(m->matrixId)) &&
              ASN1_STRING_set(kc->keyId, identity.data(), static_cast<int>(identity.size())) &&
              ASN1_INTEGER_set_int64(kc->notBefore, nb) &&
              ASN1_INTEGER_set_int64(kc->notAfter, na) &&
              ASN1_OCTET_STRING_set(kc->isk, field, L + 2);
    OPENSSL_cleanse(field, sizeof field);
    if (ok) {
        ASN1_OBJECT_free(kc->ecOid);
        kc->ecOid = oid;
        oid = nullptr;
    }
    ASN1_OBJECT_free(oid);
    int n = ok ? i2d_KeyCard(kc, nullptr) : 0;
    if (n > 0) {
        der->b.assign(static_cast<size_t>(n), 0);
        unsigned char* p = der->b.data();
        i2d_KeyCard(kc, &p);
    }
    OPENSSL_cleanse(kc->isk->data, kc->isk->length);
    KeyCard_free(kc);
    return n > 0 ? 0 : fail(err, ST_BAD_DER, "cannot encode the key card");
}

// Installs a DER KeyCard into slot of image.
int install_card(const std::string& image, unsigned slot, int plain, const Bytes& der,
                 std::string* err)
{
    Session s(image);
    int st = s.ready(err);
    if (st != 0) return st;
    uint32_t w = DevWriteKeyCard(static_cast<uint8_t>(slot), plain, der.data(),
                                 static_cast<uint32_t>(der.size()));
    if (w != 0) return fail(err, static_cast<int>(w), "DevWriteKeyCard into " + image + " refused");
    return 0;
}

// The key card of identity from the issuing image (masked when tk given).
int issue_card(const std::string& issuer, const Bytes& identity, uint32_t years,
               const uint8_t* tk, SecretBytes* der, std::string* err)
{
    Session s(issuer);
    int st = s.ready(err);
    if (st != 0) return st;
    der->b.assign(1024, 0);
    int len = static_cast<int>(der->b.size());
    uint32_t g = DevGenKeyCard(identity.data(), static_cast<uint32_t>(identity.size()), years, tk,
                               der->b.data(), &len);
    if (g != 0) return fail(err, static_cast<int>(g), "DevGenKeyCard on " + issuer + " refused");
    der->b.resize(static_cast<size_t>(len));
    return 0;
}

}  // namespace

std::string pks_path(const std::string& dir, const std::string& matrixId)
{
    std::string d = dir.empty() ? std::string(".") : dir;
    if (d.back() != '/') d += '/';
    return d + matrixId + ".pks";
}

int make_blank(const std::string& image, std::string* err)
{
    if (image.empty()) return bad(err, "no image path given");
    int32_t c = CreateVEFlashFile(image.c_str());
    if (c != 0) return fail(err, c, "cannot create image " + image);
    Bytes rec;
    int st = recovery_record(&rec, err);
    if (st != 0) return st;
    Session s(image);
    if ((st = s.ready(err)) != 0) return st;
    return put_card_file(FILE_RECOVERY, rec.data(), rec.size(), err);
}

int make_soft_matrix(unsigned curve, const std::string& matrixId, unsigned row, unsigned col,
                     const std::string& dir, std::string* pubPath, std::string* secretPath,
                     std::string* err)
{
    int st = check_shape(curve, row, col, err);
    if (st != 0) return st;
    if (!valid_matrix_id(matrixId)) return bad(err, "matrix id must be 1 to 24 bytes without '@' or '/'");
    Bytes der;
    if ((st = matrix_der(matrixId, "soft matrix", curve, row, col, &der, err)) != 0) return st;
    Bytes pub = matrix_head(der);
    SecretBytes sec;
    sec.b = pub;
    EC_GROUP* g = ecurve_new_group(curve);
    BIGNUM* d = BN_new();
    BIGNUM* x = BN_new();
    BIGNUM* y = BN_new();
    EC_POINT* P = g ? EC_POINT_new(g) : nullptr;
    BN_CTX* ctx = BN_CTX_new();
    const int L = ecurve_param_len(curve);
    if (!g || !d || !x || !y || !P || !ctx) {
        st = fail(err, ST_NO_MEMORY, "out of memory");
    } else {
        const BIGNUM* n = EC_GROUP_get0_order(g);
        unsigned char buf[64];
        for (unsigned i = 0; i < row * col && st == 0; ++i) {
            if (!random_scalar(d, n, ctx)) st = fail(err, ST_RANDOM_FAILED, "no random numbers");
            if (st != 0) break;
            if (!EC_POINT_mul(g, P, d, nullptr, nullptr, ctx) ||
                !EC_POINT_get_affine_coordinates(g, P, x, y, ctx) ||
                BN_bn2binpad(x, buf, L) != L || BN_bn2binpad(y, buf + L, L) != L) {
                st = fail(err, ST_POINT_MUL, "cannot compute a matrix point");
                break;
            }
            pub.insert(pub.end(), buf, buf + 2 * L);
            unsigned char s[32];
            BN_bn2binpad(d, s, L);
            sec.b.insert(sec.b.end(), s, s + L);
            OPENSSL_cleanse(s, sizeof s);
        }
    }
    BN_clear_free(d);
    BN_free(x);
    BN_free(y);
    EC_POINT_free(P);
    EC_GROUP_free(g);
    BN_CTX_free(ctx);
    if (st != 0) return st;
    if (!dir.empty() && (st = make_folder(dir, err)) != 0) return st;
    std::string pp = pks_path(dir, matrixId);
    std::string sp = pp.substr(0, pp.size() - 4) + ".secret";
    if ((st = write_whole_file(pp, pub, 0644, err)) != 0) return st;
    if ((st = write_whole_file(sp, sec.b, 0600, err)) != 0) return st;
    if (pubPath) *pubPath = pp;
    if (secretPath) *secretPath = sp;
    return 0;
}

int install_soft_key(const std::string& image, unsigned slot, const std::string& secretMatrix,
                     const Bytes& identity, uint32_t years, std::string* err)
{
    if (slot > 15) return bad(err, "slot must be 0 to 15");
    if (identity.empty() || identity.size() > 63) return bad(err, "identity must be 1 to 63 bytes");
    unsigned char head[KMX_HEAD_SIZE];
    int st = KMX_Read_Head(secretMatrix.c_str(), nullptr, head);
    if (st != 0) return fail(err, st, "cannot read matrix " + secretMatrix);
    MATRIX* m = nullptr;
    KMX_Matrix_Info info{};
    if ((st = KMX_Decode_Head(head, &m, &info)) != 0)
        return fail(err, st, "matrix " + secretMatrix + " does not decode");
    BIGNUM* isk = BN_new();
    unsigned char bytes[32];
    SecretBytes der;
    const int L = info.L;
    if (!isk) {
        st = fail(err, ST_BN_ALLOC, "out of memory");
    } else if ((st = Matrix_Cal_isk(secretMatrix.c_str(), 0, identity.data(),
                                    static_cast<int>(identity.size()), isk, nullptr, nullptr)) != 0) {
        fail(err, st, "Matrix_Cal_isk failed");
    } else if ((st = KMX_bn2bin(isk, bytes, L)) != 0) {
        fail(err, st, "key does not fit");
    } else {
        st = soft_key_card(m, identity, bytes, L, years, &der, err);
    }
    OPENSSL_cleanse(bytes, sizeof bytes);
    BN_clear_free(isk);
    MATRIX_free(m);
    KMX_Matrix_Info_free(&info);
    if (st != 0) return st;
    return install_card(image, slot, 1, der.b, err);
}

namespace {
int build_issuer(const IssuerSpec& spec, const std::string& image, const std::string& pksDir,
                 IssuerInfo* info, std::string* err)
{
    int st = check_shape(spec.curve, spec.row, spec.col, err);
    if (st != 0) return st;
    if (!valid_matrix_id(spec.matrixId))
        return bad(err, "matrix id must be 1 to 24 bytes without '@' or '/'");
    Bytes der;
    if ((st = matrix_der(spec.matrixId, spec.name, spec.curve, spec.row, spec.col, &der, err)) != 0)
        return st;
    if (!pksDir.empty() && (st = make_folder(pksDir, err)) != 0) return st;
    if ((st = make_blank(image, err)) != 0) return st;

    const unsigned L = ecurve_param_len(spec.curve);
    const unsigned total = spec.row * spec.col;
    const unsigned per = (MATRIX_LE_MAX - 2) / (2 * L);
    Bytes pub = matrix_head(der);
    pub.reserve(pub.size() + 2 * L * total);
    {
        Session s(image);
        if ((st = s.ready(err)) != 0) return st;
        // The card creates its inner key when the PIN cache goes on; the
        // cache goes off again and the user PIN is verified once more, which
        // loads the new inner key.
        uint32_t c = COS_SetCachePin(1, 1);
        if (c == 0) c = COS_SetCachePin(0, 0);
        if (c != 0) return fail(err, static_cast<int>(c), "cannot create the card's inner key");
        uint32_t tries = 0;
        c = COS_VerifyPin(2, DEFAULT_PIN_TYPE2, &tries);
        if (c != 0) return fail(err, static_cast<int>(c), "user PIN not accepted");

        uint8_t reply[CARD_LE_MAX];
        for (unsigned index = 0; index < total; index += per) {
            unsigned count = total - index < per ? total - index : per;
            uint8_t len = sizeof reply;
            c = COS_Gen_Matrix(static_cast<uint8_t>(spec.curve), static_cast<uint16_t>(index),
                               static_cast<uint8_t>(count), reply, &len);
            if (c != 0)
                return fail(err, static_cast<int>(c),
                            "matrix generation failed at element " + std::to_string(index));
            const unsigned pts = 2 * L * count;
            if (len != pts + 2)
                return fail(err, ST_WRONG_LENGTH, "matrix generation answered a wrong length");
            unsigned short crc = CalCrc16(0, reply, static_cast<int>(pts));
            if (reply[pts] != (crc & 0xFF) || reply[pts + 1] != (crc >> 8))
                return fail(err, ST_CRC_FAILED,
                            "matrix elements from " + std::to_string(index) + " fail their CRC");
            pub.insert(pub.end(), reply, reply + pts);
        }
        if ((st = put_card_file(FILE_MATRIX, der.data(), der.size(), err)) != 0) return st;
    }
    std::string pks = pks_path(pksDir, spec.matrixId);
    if ((st = write_whole_file(pks, pub, 0644, err)) != 0) return st;

    std::string transportPks;
    if (spec.curve != 0 && spec.transport) {
        std::string secret;
        if ((st = make_soft_matrix(0, spec.matrixId + "T", SOFT_TRANSPORT_ROW, SOFT_TRANSPORT_COL,
                                   pksDir, &transportPks, &secret, err)) != 0)
            return st;
        const Bytes tid(ISSUER_TRANSPORT_ID, ISSUER_TRANSPORT_ID + strlen(ISSUER_TRANSPORT_ID));
        if ((st = install_soft_key(image, ISSUER_TRANSPORT_SLOT, secret, tid, DEFAULT_YEARS,
                                   err)) != 0)
            return st;
    }
    if (info) {
        info->image = image;
        info->pksPath = pks;
        info->matrixId = spec.matrixId;
        info->curve = spec.curve;
        info->row = spec.row;
        info->col = spec.col;
        info->transportPks = transportPks;
    }
    return 0;
}

int build_host(const HostSpec& spec, const std::string& image, std::string* err)
{
    if (spec.identity.empty() || spec.identity.size() > 39)
        return bad(err, "identity must be 1 to 39 bytes");
    if (spec.slot < 1 || spec.slot > 15) return bad(err, "slot must be 1 to 15");
    if (spec.years > 100) return bad(err, "years must be 0 to 100");
    if (spec.route != Route::Soft && spec.issuerImage.empty())
        return bad(err, "no issuer image given");
    if (spec.route == Route::Soft && spec.secretMatrix.empty())
        return bad(err, "no secret matrix given");
    int st = make_blank(image, err);
    if (st != 0) return st;

    if (spec.route == Route::Soft)
        return install_soft_key(image, spec.slot, spec.secretMatrix, spec.identity, spec.years, err);
    if (spec.route == Route::Plain) {
        SecretBytes der;
        if ((st = issue_card(spec.issuerImage, spec.identity, spec.years, nullptr, &der, err)) != 0)
            return st;
        return install_card(image, spec.slot, 1, der.b, err);
    }

    // Transport: the issuer's transport identity and its matrix.
    std::string transportPks;
    {
        Session s(spec.issuerImage);
        if ((st = s.ready(err)) != 0) return st;
        uint8_t rec[64];
        uint32_t n = 0;
        uint32_t g = DevGetKeyId(1, static_cast<uint8_t>(ISSUER_TRANSPORT_SLOT), rec, &n);
        if (g != 0) return fail(err, static_cast<int>(g), "issuer has no transport key");
        std::string whole(reinterpret_cast<char*>(rec), n);
        size_t at = whole.rfind('@');
        if (at == std::string::npos || whole.substr(0, at) != ISSUER_TRANSPORT_ID)
            return fail(err, ST_BAD_DER, "issuer's transport slot holds another key");
        transportPks = pks_path(spec.pksDir, whole.substr(at + 1));
    }
    Bytes env(512);
    {
        Session s(image);
        if ((st = s.ready(err)) != 0) return st;
        int len = static_cast<int>(env.size());
        uint32_t g = DevGenKeyApply(transportPks.c_str(), ISSUER_TRANSPORT_ID, env.data(), &len);
        if (g != 0) return fail(err, static_cast<int>(g), "DevGenKeyApply failed");
        env.resize(static_cast<size_t>(len));
    }
    SecretBytes der;
    {
        Session s(spec.issuerImage);
        if ((st = s.ready(err)) != 0) return st;
        SecretBytes point;
        point.b.assign(128, 0);
        uint32_t plen = static_cast<uint32_t>(point.b.size());
        uint32_t g = DevOpenEnv(1, static_cast<uint8_t>(ISSUER_TRANSPORT_SLOT), env.data(),
                                static_cast<uint32_t>(env.size()), point.b.data(), &plen);
        if (g != 0) return fail(err, static_cast<int>(g), "DevOpenEnv on the issuer failed");
        if (plen < 16) return fail(err, ST_WRONG_LENGTH, "shared point too short");
        der.b.assign(1024, 0);
        int len = static_cast<int>(der.b.size());
        g = DevGenKeyCard(spec.identity.data(), static_cast<uint32_t>(spec.identity.size()),
                          spec.years, point.b.data(), der.b.data(), &len);
        if (g != 0) return fail(err, static_cast<int>(g), "DevGenKeyCard on the issuer refused");
        der.b.resize(static_cast<size_t>(len));
    }
    return install_card(image, spec.slot, 0, der.b, err);
}

}  // namespace

// A half-made image is not left behind.
int make_issuer(const IssuerSpec& spec, const std::string& image, const std::string& pksDir,
                IssuerInfo* info, std::string* err)
{
    int st = build_issuer(spec, image, pksDir, info, err);
    if (st != 0 && st != ST_BAD_ARGUMENT) unlink(image.c_str());
    return st;
}

int make_host(const HostSpec& spec, const std::string& image, std::string* err)
{
    int st = build_host(spec, image, err);
    if (st != 0 && st != ST_BAD_ARGUMENT) unlink(image.c_str());
    return st;
}

int set_user_pin(const std::string& image, const std::string& newPin, std::string* err)
{
    if (newPin.size() < 8 || newPin.size() > 16) return bad(err, "a PIN has 8 to 16 characters");
    Session s(image);
    int st = s.ready(err);
    if (st != 0) return st;
    uint32_t c = COS_ModifyPin(2, DEFAULT_PIN_TYPE2, newPin.c_str());
    if (c != 0) return fail(err, static_cast<int>(c), "cannot change the user PIN");
    return 0;
}

int set_blocked(const std::string& image, std::string* err)
{
    // The card's own record of file 0, written as the card-block
    // instruction would write it (without its MAC key).
    if (SetVEFlashFile(image.c_str()) != 0) return fail(err, ST_FILE_OPEN, "cannot bind " + image);
    _dev_info_ d;
    if (RWDeviceStatus(0, &d) != 0) return fail(err, ST_FILE_OPEN, "no device status in " + image);
    d.blocked = 1;
    if (RWDeviceStatus(1, &d) != 0) return fail(err, ST_FILE_OPEN, "cannot write " + image);
    InitCosSys();
    return 0;
}

int make_not_image(const std::string& path, std::string* err)
{
    static const char text[] = "this is not a key device image\n";
    return write_whole_file(path, Bytes(text, text + sizeof text - 1), 0644, err);
}

int read_identity_file(const std::string& path, Bytes* out, std::string* err)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return fail(err, ST_FILE_OPEN, "cannot open identity file " + path);
    unsigned char buf[41];
    size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    if (n != 39) return bad(err, "identity file " + path + " must hold exactly 39 bytes");
    out->assign(buf, buf + n);
    return 0;
}

}  // namespace imgbuild
