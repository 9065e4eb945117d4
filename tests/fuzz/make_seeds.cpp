// Writes the seed corpora of the fuzz targets: valid inputs made by the
// system's own builders (the image builder, the key device functions, the
// identity-key layer, the daemon's handler, the switch's request builder)
// in each target's input layout.
//
//   make_seeds OUTDIR      writes OUTDIR/<target>/<name>.seed
//
// The card commands of real key device sessions are recorded by wrapping
// the card's entry point at link time (-Wl,--wrap).

#include "Tarnhold/handler.h"
#include "common/ConfigBox.h"
#include "common/machine_id.h"
#include "host_fixture.h"
#include "keydev/kmxdev.h"
#include "sm2_key.h"
#include "smcrypto/sm2.h"
#include "tools/switchsim/frame.h"
#include "vcard/dazi.h"
#include "vcard/default_pins.h"

#include <openssl/objects.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

using fuzz::Bytes;

// ------------------------------------------------------ command recorder
namespace {
bool g_recording = false;
std::vector<Bytes> g_commands;
} // namespace

extern "C" int32_t __real__Z7DAZI_IOPKhjPhPj(const uint8_t* cmd, uint32_t len, uint8_t* reply, uint32_t* replyLen);
extern "C" int32_t __wrap__Z7DAZI_IOPKhjPhPj(const uint8_t* cmd, uint32_t len, uint8_t* reply, uint32_t* replyLen)
{
    if (g_recording && cmd != nullptr)
        g_commands.emplace_back(cmd, cmd + len);
    return __real__Z7DAZI_IOPKhjPhPj(cmd, len, reply, replyLen);
}

namespace {

std::string g_out;

void seed(const std::string& target, const std::string& name, const Bytes& b)
{
    const std::string dir = g_out + "/" + target;
    mkdir(g_out.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    if (!fuzz::write_file(dir + "/" + name + ".seed", b))
        fuzz::fail("write seed");
}

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// ------------------------------------------------------------- frames
Bytes frame_record(uint8_t flags, const Bytes& f)
{
    Bytes b;
    fuzz::put_u8(b, flags);
    fuzz::put_u16(b, static_cast<unsigned>(f.size()));
    fuzz::put(b, f);
    return b;
}

switchsim::Request request(uint8_t type, const Bytes& data)
{
    switchsim::Request r;
    std::memcpy(r.dst.data(), fuzz::kHostMac, 6);
    r.src = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    r.type = type;
    r.data = data;
    return r;
}

void frame_seeds(const fuzz::HostFixture& h)
{
    const Bytes mac = switchsim::build_request(request(switchsim::kRequestMac, Bytes(8, 0)));
    const Bytes sm2 = switchsim::build_request(request(switchsim::kRequestSm2, h.block));
    const Bytes err = switchsim::build_request(request(switchsim::kRequestErr, bytes("denied")));
    switchsim::Request other = request(switchsim::kRequestMac, Bytes(8, 0));
    other.dst = {0x02, 0, 0, 0, 0, 0x02};
    const Bytes otherMac = switchsim::build_request(other);
    switchsim::Request bcast = request(switchsim::kRequestMac, Bytes());
    bcast.dst.fill(0xFF);
    const Bytes bcastMac = switchsim::build_request(bcast);
    seed("fuzz_frame", "mac", frame_record(0, mac));
    // Bit 1 lays the fuzzing process's own valid challenge over the block.
    seed("fuzz_frame", "sm2", frame_record(2, sm2));
    seed("fuzz_frame", "err", frame_record(0, err));
    seed("fuzz_frame", "broadcast", frame_record(0, bcastMac));
    Bytes seq = frame_record(0, otherMac);
    fuzz::put(seq, frame_record(0, mac));
    fuzz::put(seq, frame_record(2, sm2));
    fuzz::put(seq, frame_record(1, Bytes()));
    fuzz::put(seq, frame_record(0, err));
    seed("fuzz_frame", "sequence", seq);
}

// ---------------------------------------------------------- card commands
Bytes command_list(uint8_t flags, const std::vector<Bytes>& cmds)
{
    Bytes b;
    fuzz::put_u8(b, flags);
    for (const Bytes& c : cmds) {
        if (c.size() >= 255) {
            fuzz::put_u8(b, 255);
            fuzz::put_u8(b, static_cast<unsigned>(c.size() - 255));
        } else {
            fuzz::put_u8(b, static_cast<unsigned>(c.size()));
        }
        fuzz::put(b, c);
    }
    return b;
}

void dazi_seeds(const fuzz::HostFixture& h)
{
    const char* img = h.image.c_str();
    // One recorded group per step; the PINs are verified by the target
    // (flags 7) before the steps that need them.
    struct Step {
        const char* name;
        void (*run)(const fuzz::HostFixture&);
    };
    static const Step steps[] = {
        {"getsn", [](const fuzz::HostFixture&) { char sn[64]; uint32_t n = sizeof sn; DevGetSn(sn, &n); }},
        {"random", [](const fuzz::HostFixture&) { uint8_t r[16]; DevGetRandom(r, 16); }},
        {"readfile", [](const fuzz::HostFixture&) { uint8_t b[512]; int n = sizeof b; DevReadFile(0x51, b, &n); n = sizeof b; DevReadFile(0x40, b, &n); }},
        {"keyid", [](const fuzz::HostFixture&) { uint8_t b[64]; uint32_t n = sizeof b; DevGetKeyId(1, 1, b, &n); }},
        {"sm2decrypt", [](const fuzz::HostFixture& f) { uint8_t o[256]; int n = sizeof o; DevSM2Decrypt(1, f.block.data(), 250, o, &n); }},
        {"sha1", [](const fuzz::HostFixture&) { uint8_t d[40] = {1, 2, 3}; uint8_t o[20]; uint32_t n = sizeof o; DevSHA1(d, sizeof d, o, &n); }},
        {"sm3", [](const fuzz::HostFixture&) { uint8_t d[70] = {4, 5, 6}; uint8_t o[32]; int n = sizeof o; DevSM3(d, sizeof d, o, &n); }},
        {"sm4", [](const fuzz::HostFixture&) { uint8_t d[32] = {7}; uint8_t o[64]; uint32_t n = sizeof o; DevSM4Encrypt(0, d, 32, o, &n); }},
        {"files", [](const fuzz::HostFixture&) { DevCreateFile(0x81); uint8_t d[20] = {9}; DevWriteFile(0x81, d, 20); uint8_t b[64]; int n = sizeof b; DevReadFile(0x81, b, &n); DevDeleteFile(0x81); }},
        {"pins", [](const fuzz::HostFixture&) { DevModifyPin(2, DEFAULT_PIN_TYPE2, "11223344"); DevModifyPin(2, "11223344", DEFAULT_PIN_TYPE2); }},
    };
    // A whole session from the open, the PINs included.
    g_commands.clear();
    g_recording = true;
    DevOpen(3, img);
    uint32_t tries = 0;
    DevVerifyPin(2, DEFAULT_PIN_TYPE2, &tries);
    steps[4].run(h);
    DevClose();
    g_recording = false;
    seed("fuzz_dazi", "session", command_list(0, g_commands));
    for (const Step& s : steps) {
        DevOpen(3, img);
        for (int t = 0; t < 3; ++t) {
            static const char* const pins[3] = {DEFAULT_PIN_TYPE0, DEFAULT_PIN_TYPE1, DEFAULT_PIN_TYPE2};
            DevVerifyPin(t, pins[t], &tries);
        }
        g_commands.clear();
        g_recording = true;
        s.run(h);
        g_recording = false;
        DevClose();
        seed("fuzz_dazi", s.name, command_list(7, g_commands));
    }
}

// ------------------------------------------------------------ card image
void card_seeds()
{
    seed("fuzz_card", "asis", Bytes{0});
    Bytes b{0};
    fuzz::put_u24(b, 0);
    fuzz::put_u8(b, 4);
    fuzz::put(b, Bytes{0, 0, 0, 0});
    seed("fuzz_card", "patch-start", b);
    Bytes c{1};
    fuzz::put_u24(c, 65536);
    fuzz::put_u8(c, 0);
    seed("fuzz_card", "cut", c);
}

// --------------------------------------------------------------- records
Bytes with_selector(uint8_t sel, const Bytes& d)
{
    Bytes b{sel};
    fuzz::put(b, d);
    return b;
}

void der_seeds(const fuzz::HostFixture& issuerHost)
{
    const std::string dir = fuzz::Scratch::dir();
    std::string pub, secret, err;
    for (unsigned curve : {0u, 5u}) {
        const std::string id = curve ? "SEEDFIVE" : "SEEDZERO";
        if (imgbuild::make_soft_matrix(curve, id, 4, 4, dir, &pub, &secret, &err) != 0)
            fuzz::fail(err.c_str());
        const Bytes m = fuzz::read_file(pub);
        const uint32_t n = m[0] | (m[1] << 8) | (m[2] << 16) | (static_cast<uint32_t>(m[3]) << 24);
        seed("fuzz_der", "matrix-" + id, with_selector(0, Bytes(m.begin() + 4, m.begin() + 4 + n)));
        seed("fuzz_der", "head-" + id, with_selector(4, Bytes(m.begin(), m.begin() + 256)));
        seed("fuzz_der", "memory-" + id, with_selector(5, m));
        seed("fuzz_der", "file-" + id, with_selector(6, m));
    }
    // A key card issued by an issuing image.
    DevOpen(3, issuerHost.image.c_str());
    uint32_t tries = 0;
    DevVerifyPin(1, DEFAULT_PIN_TYPE1, &tries);
    DevVerifyPin(2, DEFAULT_PIN_TYPE2, &tries);
    uint8_t der[1024];
    int derLen = sizeof der;
    if (DevGenKeyCard(issuerHost.cid.data(), 39, 5, nullptr, der, &derLen) != 0)
        fuzz::fail("key card");
    DevClose();
    seed("fuzz_der", "keycard", with_selector(1, Bytes(der, der + derLen)));
    // An envelope.
    const unsigned char id[] = "seed@identity";
    unsigned char env[2048];
    int envLen = sizeof env;
    const unsigned char data[40] = {1, 2, 3, 4};
    if (KMX_Encrypt_Data(issuerHost.pub.c_str(), id, sizeof id - 1, data, sizeof data, env, &envLen) != 0)
        fuzz::fail("envelope");
    seed("fuzz_der", "envelope", with_selector(3, Bytes(env, env + envLen)));
    seed("fuzz_der", "envelope-fields", with_selector(7, Bytes(env, env + envLen)));
    // A signature record.
    DataSig* s = DataSig_new();
    ASN1_INTEGER_set(s->version, 1);
    ASN1_STRING_set(s->matrixId, "FUZZHOST", 8);
    ASN1_STRING_set(s->signerId, "seed@signer", 11);
    ASN1_INTEGER_set(s->signTime, 1700000000);
    ASN1_OBJECT_free(s->mdOid);
    s->mdOid = OBJ_nid2obj(NID_sm3);
    unsigned char val[64] = {0x11}, R[65] = {0x04};
    ASN1_OCTET_STRING_set(s->signVal, val, sizeof val);
    ASN1_OCTET_STRING_set(s->R, R, sizeof R);
    unsigned char sig[1024];
    int sigLen = sizeof sig;
    if (DataSig2string(s, sig, &sigLen) != 0)
        fuzz::fail("signature record");
    DataSig_free(s);
    seed("fuzz_der", "datasig", with_selector(2, Bytes(sig, sig + sigLen)));
    seed("fuzz_der", "datasig-fields", with_selector(7, Bytes(sig, sig + sigLen)));
}

// ------------------------------------------------------- encrypted file
void encfile_seeds()
{
    seed("fuzz_encfile", "asis", Bytes{0});
    Bytes b{0};
    fuzz::put_u16(b, 0);
    fuzz::put_u8(b, 4);
    fuzz::put(b, Bytes{0xFF, 0xFF, 0, 0});
    seed("fuzz_encfile", "patch-start", b);
    Bytes c{2};
    fuzz::put_u16(c, 200);
    fuzz::put_u8(c, 0);
    seed("fuzz_encfile", "cut", c);
    // A whole file encrypted to an identity under this run's own matrix.
    const std::string dir = fuzz::Scratch::dir() + "/";
    std::string pub, secret, err;
    if (imgbuild::make_soft_matrix(5, "FUZZHOST", 4, 4, dir, &pub, &secret, &err) != 0)
        fuzz::fail(err.c_str());
    const std::string plain = fuzz::Scratch::file("plain"), enc = fuzz::Scratch::file("seed.enc");
    fuzz::write_file(plain, bytes("a small file to encrypt\n"));
    AddresseeEntry to[2] = {};
    std::strcpy(to[0].id, "someone@else");
    std::strcpy(to[0].matrixName, "FUZZHOST");
    std::strcpy(to[1].id, "fuzz@host");
    std::strcpy(to[1].matrixName, "FUZZHOST");
    unsigned char k[64];
    int kLen = sizeof k;
    if (KMX_Encrypt_File(dir.c_str(), to, 2, plain.c_str(), enc.c_str(), k, &kLen) != 0)
        fuzz::fail("encrypted file");
    seed("fuzz_encfile", "whole", with_selector(1, fuzz::read_file(enc)));
}

// -------------------------------------------------------------- settings
void config_seeds()
{
    const std::string path = fuzz::Scratch::file("config.ini");
    fuzz::write_file(path, bytes("# settings\n"));
    CConfigBox box;
    box.load(path);
    box.set_property("Version", "1.0");
    box.set_property_as_int("LogLevel", 1);
    box.set_property_as_int("MaxRowNum", 10000);
    box.set_property("info", "0");
    box.set_property_as_int("Result", 0);
    box.set_properties("list", {"a", "b"});
    box.save();
    Bytes b;
    for (const char* s : {"Result", "1"}) {
        fuzz::put_u8(b, static_cast<unsigned>(std::strlen(s)));
        fuzz::put(b, bytes(s));
    }
    fuzz::put(b, fuzz::read_file(path));
    seed("fuzz_config", "settings", b);
    // Key.dat as the daemon writes it.
    const std::string kd = fuzz::Scratch::file("Key.dat");
    for (int i = 0; i < CID_LEN; ++i)
        g_szCID[i] = static_cast<char>(i == 0 ? 1 : (i < 3 ? 0 : 'A' + i % 26));
    SaveCID(kd.c_str());
    Bytes k{4};
    fuzz::put(k, bytes("info"));
    fuzz::put_u8(k, 4);
    fuzz::put(k, bytes("user"));
    fuzz::put(k, fuzz::read_file(kd));
    seed("fuzz_config", "keydat", k);
}

// ---------------------------------------------------------------- crypto
void crypto_seeds()
{
    const unsigned char msg[48] = "a message of some forty-odd bytes to encrypt";
    char b64[128];
    int b64Len = sizeof b64;
    Base64Encode(msg, sizeof msg, b64, &b64Len, 64);
    Bytes b{0};
    fuzz::put_u16(b, 256);
    fuzz::put(b, Bytes(b64, b64 + b64Len));
    seed("fuzz_crypto", "base64", b);
    static const char* const names[] = {"SM4-ECB", "SM4-CBC", "AES-128-CBC", "AES-256-CBC", "DES-EDE3-CBC", "RC4"};
    static const unsigned index[] = {0, 1, 2, 4, 11, 12};
    const unsigned char key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (unsigned i = 0; i < 6; ++i) {
        unsigned char c[128];
        int cLen = sizeof c;
        if (Sym_Encrypt(names[i], msg, sizeof msg, key, sizeof key, c, &cLen) != 0)
            fuzz::fail(names[i]);
        Bytes s{1};
        fuzz::put_u8(s, index[i]);
        fuzz::put_u16(s, 256);
        fuzz::put_u8(s, sizeof key);
        fuzz::put(s, Bytes(key, key + sizeof key));
        fuzz::put(s, Bytes(c, c + cLen));
        seed("fuzz_crypto", std::string("sym-") + names[i], s);
    }
    unsigned char pub[64];
    if (!fuzz::sm2_public(pub))
        fuzz::fail("SM2 key");
    unsigned char c[256];
    int cLen = sizeof c;
    if (SM2_Encrypt(pub, msg, sizeof msg, c, &cLen) != SM2_OK)
        fuzz::fail("SM2");
    Bytes s{2, 0};
    fuzz::put(s, Bytes(c, c + cLen));
    seed("fuzz_crypto", "sm2", s);
    Bytes r{2, 1};
    fuzz::put(r, Bytes(msg, msg + sizeof msg));
    seed("fuzz_crypto", "sm2-roundtrip", r);
}

// --------------------------------------------------------- switch replies
class Capture : public DaemonEffects {
public:
    explicit Capture(const fuzz::HostFixture& h) : h_(h) {}
    std::vector<Bytes> sent;
    long send(const unsigned char* f, size_t len, int, const unsigned char*) override
    {
        sent.emplace_back(f, f + len);
        return static_cast<long>(len);
    }
    int decrypt(unsigned char* block, unsigned char* out, size_t& len) override
    {
        std::vector<char> k(h_.image.begin(), h_.image.end());
        k.push_back('\0');
        return kmx_decryption(block, out, len, k.data());
    }
    bool key_file_exists() override { return true; }
    unsigned interface_index(const std::string&) override { return 2; }
    int interface_master(int) override { return 0; }
    void write_result(int) override {}
    void log(int, const char*) override {}
    void console(const char*) override {}
    void console_error(const char*) override {}
    void host_name(unsigned char* field) override
    {
        std::memset(field, 0, msg::HOSTNAME_LEN);
        std::memcpy(field, "seed-host", 9);
    }

private:
    const fuzz::HostFixture& h_;
};

void switch_seeds(const fuzz::HostFixture& h)
{
    Capture fx(h);
    DaemonState st;
    st.devices = {{"eth0", "02-00-00-00-00-01"}};
    st.macs = {"020000000001"};
    std::memcpy(st.cid, h.cid.data(), msg::CID_SIZE);
    st.des = "seed user";
    const Bytes mac = switchsim::build_request(request(switchsim::kRequestMac, Bytes(8, 0)));
    const Bytes sm2 = switchsim::build_request(request(switchsim::kRequestSm2, h.block));
    HandleFrame(mac.data(), static_cast<long>(mac.size()), 2, st, fx);
    HandleFrame(sm2.data(), static_cast<long>(sm2.size()), 2, st, fx);
    if (fx.sent.size() != 2)
        fuzz::fail("daemon replies");
    seed("fuzz_switch_reply", "identity-reply", fx.sent[0]);
    seed("fuzz_switch_reply", "sm2-reply", fx.sent[1]);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
        return 2;
    }
    g_out = argv[1];
    const fuzz::HostFixture host = fuzz::make_host_fixture(false);
    frame_seeds(host);
    dazi_seeds(host);
    card_seeds();
    const fuzz::HostFixture issuer = fuzz::make_host_fixture(true);
    der_seeds(issuer);
    encfile_seeds();
    config_seeds();
    crypto_seeds();
    switch_seeds(host);
    std::printf("seeds written to %s\n", g_out.c_str());
    return 0;
}
