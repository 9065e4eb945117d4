// Image builder: the issuer's matrix file and card record, refused shapes,
// and the command line tarn-imgbuild.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "common/machine_id.h"
#include "keydev_fixture.h"

using namespace kdt;

namespace {

Bytes read_all(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Runs the builder with args; its exit status, standard output and error.
int run_tool(const std::string& args, std::string* out, std::string* err, const TempFolder& dir)
{
    const std::string errFile = dir.file("stderr.txt");
    const std::string cmd = std::string(TARN_BINARY_DIR) + "/tools/imgbuild/tarn-imgbuild " + args +
                            " 2>'" + errFile + "'";
    out->clear();
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    int st = pclose(p);
    Bytes e = read_all(errFile);
    err->assign(e.begin(), e.end());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// The line "key: value" of the tool's output.
std::string value_of(const std::string& out, const std::string& key)
{
    size_t at = out.find(key + ": ");
    if (at == std::string::npos) return "";
    at += key.size() + 2;
    return out.substr(at, out.find('\n', at) - at);
}

TEST(ImageBuilder, IssuerMatrixFileAndCardRecordDescribeOneMatrix)
{
    SharedIssuer& s = SharedIssuer::get();
    ASSERT_EQ(0, s.status) << s.err;
    Bytes pks = read_all(s.info.pksPath);
    ASSERT_EQ(256u + 64u * 16 * 4, pks.size());

    MATRIX* m = nullptr;
    KMX_Matrix_Info info{};
    ASSERT_EQ(0, KMX_Decode_Head(pks.data(), &m, &info));
    EXPECT_EQ(16, info.row);
    EXPECT_EQ(4, info.col);
    EXPECT_EQ(5, info.serial);
    EXPECT_EQ(text(s.info.matrixId), field(m->matrixId));
    MATRIX_free(m);

    // Every element is a point of the curve, and no two are equal.
    EC_POINT* P = EC_POINT_new(info.group);
    for (size_t k = 0; k < 64; ++k) {
        Bytes enc = {0x04};
        enc.insert(enc.end(), pks.begin() + 256 + 64 * k, pks.begin() + 256 + 64 * (k + 1));
        ASSERT_EQ(1, EC_POINT_oct2point(info.group, P, enc.data(), enc.size(), nullptr)) << k;
        ASSERT_EQ(1, EC_POINT_is_on_curve(info.group, P, nullptr));
        for (size_t j = 0; j < k; ++j)
            ASSERT_NE(0, memcmp(&pks[256 + 64 * k], &pks[256 + 64 * j], 64));
    }
    EC_POINT_free(P);
    KMX_Matrix_Info_free(&info);

    // Card file 0x42 holds the DER of the head.
    ASSERT_EQ(0u, open_verified(s.info.image, {2}));  // reading 0x42 needs the user PIN
    uint8_t rec[300];
    int recLen = sizeof rec;
    ASSERT_EQ(0u, DevReadFile(0x42, rec, &recLen));
    const uint32_t n = pks[0] | (pks[1] << 8);
    EXPECT_EQ(Bytes(pks.begin() + 4, pks.begin() + 4 + n), Bytes(rec, rec + recLen));
    // The transport key of the issuer.
    uint8_t id[64];
    uint32_t idLen = 0;
    ASSERT_EQ(0u, DevGetKeyId(0, imgbuild::ISSUER_TRANSPORT_SLOT, id, &idLen));
    EXPECT_EQ(std::string(imgbuild::ISSUER_TRANSPORT_ID), std::string(reinterpret_cast<char*>(id), idLen));
    DevClose();
}

TEST(ImageBuilder, ShapesTheCardCannotHoldAreRefused)
{
    TempFolder dir;
    struct Case {
        const char* what;
        unsigned curve, row, col;
        std::string matrixId;
    } cases[] = {
        {"col 3", 5, 16, 3, "M"},
        {"col 33", 5, 16, 33, "M"},
        {"row 0", 5, 0, 8, "M"},
        {"matrix area", 5, 65, 32, "M"},
        {"curve 6", 6, 16, 4, "M"},
        {"matrix id with '@'", 5, 16, 4, "A@B"},
        {"matrix id of 25 bytes", 5, 16, 4, std::string(25, 'M')},
        {"empty matrix id", 5, 16, 4, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        imgbuild::IssuerSpec spec;
        spec.curve = c.curve;
        spec.row = c.row;
        spec.col = c.col;
        spec.matrixId = c.matrixId;
        std::string err;
        std::string image = dir.file("refused.vkd");
        EXPECT_EQ(ST_BAD_ARGUMENT, imgbuild::make_issuer(spec, image, dir.path(), nullptr, &err));
        EXPECT_FALSE(err.empty());
        EXPECT_FALSE(exists(image));
    }
    // The largest matrix the card holds: 2048 elements.
    imgbuild::IssuerSpec big;
    big.row = 64;
    big.col = 32;
    big.matrixId = std::string(24, 'B');
    big.transport = false;
    imgbuild::IssuerInfo info;
    std::string err;
    ASSERT_EQ(0, imgbuild::make_issuer(big, dir.file("big.vkd"), dir.path(), &info, &err)) << err;
    EXPECT_EQ(256u + 64u * 2048, read_all(info.pksPath).size());
    EXPECT_TRUE(info.transportPks.empty());
    // A 39-byte identity fits beside a 24-byte matrix id.
    imgbuild::HostSpec spec;
    spec.identity = machine_id(8);
    spec.issuerImage = info.image;
    ASSERT_EQ(0, imgbuild::make_host(spec, dir.file("host.vkd"), &err)) << err;
    Bytes id;
    char buf[64];
    size_t len = 0;
    std::string host = dir.file("host.vkd");
    ASSERT_EQ(0, kmx_getid(buf, len, const_cast<char*>(host.c_str())));
    EXPECT_EQ(spec.identity, Bytes(buf, buf + len));
}

// Every curve the usage offers makes an issuer whose matrix issues keys that
// a host image decrypts with; each generate command stays within the card's
// reply limit whatever the element size.
TEST(ImageBuilder, IssuersOfEveryCurveIssueWorkingKeys)
{
    TempFolder dir;
    for (unsigned curve = 0; curve < 6; ++curve) {
        SCOPED_TRACE("curve " + std::to_string(curve));
        imgbuild::IssuerSpec spec;
        spec.curve = curve;
        spec.row = 8;
        spec.col = 4;
        spec.matrixId = "CURVE" + std::to_string(curve);
        imgbuild::IssuerInfo info;
        std::string err;
        ASSERT_EQ(0, imgbuild::make_issuer(spec, dir.file(spec.matrixId + ".vkd"), dir.path(), &info, &err))
            << err;
        const int L = ecurve_param_len(curve);
        EXPECT_EQ(256u + 2u * L * 32, read_all(info.pksPath).size());

        // A key card issued from the card's matrix holds the identity's key
        // under the public matrix.
        const Bytes id = machine_id(static_cast<uint8_t>(60 + curve));
        ASSERT_EQ(0u, open_verified(info.image));
        Bytes der;
        ASSERT_EQ(0u, gen_key_card(id, &der));
        DevClose();
        const Bytes d = issued_scalar(der, L);
        ASSERT_FALSE(d.empty());
        EXPECT_TRUE(scalar_matches(curve, d, info.pksPath, id));

        // A host image made from the issuer holds that key in slot 1: its
        // card multiplies a point by it as OpenSSL does.
        imgbuild::HostSpec host;
        host.identity = id;
        host.issuerImage = info.image;
        const std::string image = dir.file("host" + std::to_string(curve) + ".vkd");
        ASSERT_EQ(0, imgbuild::make_host(host, image, &err)) << err;
        EC_GROUP* g = refcurve::group(curve);
        BIGNUM* q = BN_new();
        BIGNUM* dn = BN_bin2bn(d.data(), L, nullptr);
        EC_POINT* Q = EC_POINT_new(g);
        EC_POINT* R = EC_POINT_new(g);
        ASSERT_TRUE(g && q && dn && Q && R);
        ASSERT_EQ(1, BN_rand_range(q, EC_GROUP_get0_order(g)));
        ASSERT_EQ(1, EC_POINT_mul(g, Q, q, nullptr, nullptr, nullptr));
        ASSERT_EQ(1, EC_POINT_mul(g, R, nullptr, Q, dn, nullptr));
        auto xy = [&](const EC_POINT* P) {
            Bytes enc(1 + 2 * L);
            EC_POINT_point2oct(g, P, POINT_CONVERSION_UNCOMPRESSED, enc.data(), enc.size(), nullptr);
            return Bytes(enc.begin() + 1, enc.end());
        };
        const Bytes qxy = xy(Q), want = xy(R);
        ASSERT_EQ(0u, open_verified(image, {2}));
        Bytes got(2 * L);
        EXPECT_EQ(0u, COS_ECDH(1, static_cast<uint8_t>(curve), qxy.data(), static_cast<uint8_t>(qxy.size()),
                               got.data()));
        EXPECT_EQ(want, got);
        DevClose();
        EC_POINT_free(R);
        EC_POINT_free(Q);
        BN_free(dn);
        BN_free(q);
        EC_GROUP_free(g);
    }
}

// Matrix files land in a folder made when missing; the secret matrix is its
// owner's alone.
TEST(ImageBuilderTool, SoftMatrixFolderIsMadeAndItsSecretIsPrivate)
{
    TempFolder dir;
    const std::string folder = dir.file("new/matrices");
    std::string out, err;
    ASSERT_EQ(0, run_tool("soft-matrix --curve 0 --row 8 --col 4 --matrix-id SOFT0 --pks-dir '" + folder + "'",
                          &out, &err, dir))
        << err;
    struct stat st;
    ASSERT_EQ(0, stat(value_of(out, "secret").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    ASSERT_EQ(0, stat(value_of(out, "pks").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
    EXPECT_EQ(folder + "/SOFT0.pks", value_of(out, "pks"));
    ASSERT_EQ(0, run_tool("issuer --curve 2 --row 8 --col 4 --out '" + dir.file("i2.vkd") + "' --pks-dir '" +
                              dir.file("other") + "'",
                          &out, &err, dir))
        << err;
    EXPECT_TRUE(exists(dir.file("other/TARNTEST.pks")));
    // A name that is not a folder is refused.
    EXPECT_NE(0, run_tool("soft-matrix --pks-dir '" + value_of(out, "pks") + "'", &out, &err, dir));
    EXPECT_NE(std::string::npos, err.find("not a folder")) << err;
}

TEST(ImageBuilderTool, MakesAHostImageTheFacadeAccepts)
{
    TempFolder dir;
    const Bytes cid = machine_id(42);
    const std::string keyDat = dir.file("Key.dat");
    {
        std::ofstream f(keyDat, std::ios::binary);
        f.write(reinterpret_cast<const char*>(cid.data()), static_cast<std::streamsize>(cid.size()));
    }
    std::string out, err;
    ASSERT_EQ(0, run_tool("issuer --row 16 --col 4 --matrix-id TOOLM --out '" + dir.file("issuer.vkd") +
                              "' --pks-dir '" + dir.path() + "'",
                          &out, &err, dir))
        << err;
    const std::string pks = value_of(out, "pks");
    EXPECT_EQ(dir.file("TOOLM.pks"), pks);
    EXPECT_EQ("TOOLM", value_of(out, "matrix-id"));

    for (const char* route : {"plain", "transport", "soft"}) {
        SCOPED_TRACE(route);
        const bool soft = std::string(route) == "soft";
        const std::string image = dir.file(std::string(route) + ".vkd");
        ASSERT_EQ(0, run_tool(std::string("host --route ") + route + " --issuer '" + dir.file("issuer.vkd") +
                                  "' --pks-dir '" + dir.path() + "' --identity-file '" + keyDat +
                                  "' --out '" + image + "'",
                              &out, &err, dir))
            << err;
        EXPECT_EQ(getHex(cid.data(), 39), value_of(out, "identity"));
        EXPECT_EQ(image, value_of(out, "image"));
        // The soft route makes its own matrix and names it.
        const std::string matrix = soft ? value_of(out, "pks") : pks;
        if (soft) {
            EXPECT_EQ(dir.file("TARNSOFT.pks"), matrix);
        }

        char id[64];
        size_t idLen = 0;
        ASSERT_EQ(0, kmx_getid(id, idLen, const_cast<char*>(image.c_str())));
        EXPECT_EQ(cid, Bytes(id, id + idLen));
        const Bytes plain(128, 0x3C);
        Bytes block = challenge(matrix, cid, plain);
        Bytes plainOut(SM2_BLOCK_LEN);
        size_t len = SM2_BLOCK_LEN;
        ASSERT_EQ(0, kmx_decryption(block.data(), plainOut.data(), len, const_cast<char*>(image.c_str())));
        EXPECT_EQ(plain, Bytes(plainOut.begin(), plainOut.begin() + len));
    }
}

TEST(ImageBuilderTool, BadInputFailsWithAMessage)
{
    TempFolder dir;
    const std::string shortId = dir.file("short.dat");
    {
        std::ofstream f(shortId, std::ios::binary);
        f << "0123456789";
    }
    const std::string notImage = dir.file("text.vkd");
    ASSERT_EQ(0, imgbuild::make_not_image(notImage));
    const std::string out = " --out '" + dir.file("out.vkd") + "'";
    const std::string pks = " --pks-dir '" + dir.path() + "'";
    struct Case {
        std::string args;
        const char* message;
    } cases[] = {
        {"", "no command"},
        {"frobnicate" + out, "unknown command"},
        {"blank", "--out"},
        {"blank --colour red" + out, "unknown option"},
        {"issuer" + out, "--pks-dir"},
        {"issuer --col 3" + out + pks, "col"},
        {"issuer --row x" + out + pks, "decimal"},
        {"issuer --matrix-id A@B" + out + pks, "matrix id"},
        {"host --identity-hex 4142" + out, "--issuer"},
        {"host --identity-hex 414" + out + " --issuer x", "hex"},
        {"host --identity-file '" + shortId + "' --issuer x" + out, "39 bytes"},
        {"host --identity-hex 4142 --route sideways --issuer x" + out, "--route"},
        {"host --identity-hex 4142 --issuer '" + notImage + "'" + out, "cannot open image"},
        {"host --identity-hex 4142 --identity-file '" + shortId + "' --issuer x" + out, "exactly one"},
        {"wrong-pin --image '" + notImage + "'", "cannot open image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        std::string o, e;
        EXPECT_NE(0, run_tool(c.args, &o, &e, dir));
        EXPECT_NE(std::string::npos, e.find(c.message)) << e;
    }
}

}  // namespace
