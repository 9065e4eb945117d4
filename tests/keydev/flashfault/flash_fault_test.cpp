// One failed flash access at every access of a card operation: a read of
// the image that fails (EIO), and separately a write that fails, at the
// first, the second, ... access until the operation runs through without
// reaching the failure. Each faulty run happens in a child process; the
// test process then opens the image fault-free and finds the old state or
// the new one whole: exactly one of the old and new user PINs verifies and
// the slot keys decrypt with it, the master key is where it was, and every
// file that the operation does not own is byte for byte what it was. Where
// the old state is found, the operation is repeated fault-free (after
// another file has taken the card's free sectors) and must then reach the
// new state without harming that file.
//
// The program is linked with pread and pwrite wrapped (CMakeLists.txt of
// this folder); the wraps count only accesses to the image under test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <openssl/objects.h>

#include "cardapi/cos_status.h"
#include "cardapi/cosapi.h"
#include "cardapi/vdevdrv.h"
#include "common/crc16_oracle.h"
#include "keydev/kmxdev.h"
#include "tests/keydev/keydev_fixture.h"
#include "smcrypto/sm4.h"
#include "tools/imgbuild/imgbuild.h"
#include "vcard/access_codes.h"
#include "vcard/card_protocol.h"
#include "vcard/default_pins.h"

namespace fault {

enum Kind { NONE, READ, WRITE };

Kind kind = NONE;
long at = 0;      // the access (from 1) that fails
long count = 0;   // accesses of the kind counted so far
bool hit = false;
std::string target;   // the image whose accesses are counted

bool is_target(int fd)
{
    char link[64], path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return false;
    path[n] = 0;
    return target == path;
}

bool fails(Kind k, int fd)
{
    if (kind != k || !is_target(fd)) return false;
    if (++count != at) return false;
    hit = true;
    return true;
}

void arm(const std::string& image, Kind k, long n)
{
    char real[PATH_MAX];
    target = realpath(image.c_str(), real) ? real : image;
    kind = k;
    at = n;
    count = 0;
    hit = false;
}

void disarm() { kind = NONE; }

}  // namespace fault

extern "C" ssize_t __real_pread(int fd, void* buf, size_t n, off_t off);
extern "C" ssize_t __wrap_pread(int fd, void* buf, size_t n, off_t off)
{
    if (fault::fails(fault::READ, fd)) {
        errno = EIO;
        return -1;
    }
    return __real_pread(fd, buf, n, off);
}

extern "C" ssize_t __real_pwrite(int fd, const void* buf, size_t n, off_t off);
extern "C" ssize_t __wrap_pwrite(int fd, const void* buf, size_t n, off_t off)
{
    if (fault::fails(fault::WRITE, fd)) {
        errno = EIO;
        return -1;
    }
    return __real_pwrite(fd, buf, n, off);
}

namespace {

using Bytes = std::vector<uint8_t>;
using kdt::TempFolder;

constexpr const char* NEW_PIN = "NewUserPin12";
constexpr const char* DEFAULT_PINS[3] = {DEFAULT_PIN_TYPE0, DEFAULT_PIN_TYPE1, DEFAULT_PIN_TYPE2};
constexpr uint8_t SCRATCH = 0x81;   // a host file no operation owns (but the delete)
constexpr uint8_t LATER = 0x82;     // a file made after the fault, before the repeat
constexpr uint32_t PIN_CACHE_OFF = 0x100, PIN_CACHE_LEN = 20;
constexpr uint32_t MATRIX_AREA = 0x10000;

Bytes read_image(const std::string& path)
{
    Bytes b;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return b;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    fclose(f);
    return b;
}

void write_image(const std::string& path, const Bytes& b)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(b.data(), 1, b.size(), f), b.size());
    ASSERT_EQ(fclose(f), 0);
}

uint16_t le16(const Bytes& b, size_t off) { return uint16_t(b[off] | b[off + 1] << 8); }

// The card files of an image, read with the layout of the image itself
// (directory at 0x400, chain table at 0x1000, sectors of 64 bytes from
// 0x2000): file id -> its used bytes.
std::map<uint8_t, Bytes> files_of(const Bytes& img)
{
    std::map<uint8_t, Bytes> out;
    if (img.size() < MATRIX_AREA) return out;
    for (unsigned f = 0; f < 0xFF; ++f) {
        const size_t e = 0x400 + 8 * f;
        if (img[e] != f) continue;
        const uint16_t used = le16(img, e + 2);
        uint16_t s = le16(img, e + 4);
        Bytes data;
        for (unsigned steps = 0; data.size() < used && s < 896 && steps < 896; ++steps) {
            const size_t base = 0x2000 + 64 * size_t(s);
            for (size_t i = 0; i < 64 && data.size() < used; ++i) data.push_back(img[base + i]);
            s = le16(img, 0x1000 + 4 * size_t(s) + 2);
        }
        out[uint8_t(f)] = data;
    }
    return out;
}

Bytes file_of(const Bytes& img, uint8_t fid, bool* present = nullptr)
{
    auto files = files_of(img);
    auto it = files.find(fid);
    if (present) *present = it != files.end();
    return it == files.end() ? Bytes() : it->second;
}

Bytes key_record(const Bytes& img, unsigned n)
{
    Bytes keys = file_of(img, 1);
    if (keys.size() < 32 * n) return {};
    return Bytes(keys.begin() + 32 * (n - 1), keys.begin() + 32 * n);
}

// A host-side frame, sent as it is; the answer is the status code.
uint32_t send(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data, uint8_t le = 0)
{
    _apdu_frame_ f{};
    f.CLA = cla;
    f.INS = ins;
    f.P1 = p1;
    f.P2 = p2;
    f.Lc = uint8_t(data.size());
    std::memcpy(f.data, data.data(), data.size());
    f.Le = le;
    return COS_Transfer(&f);
}

// Key record installation (0x0E): the record's first 8 bytes, then the value.
uint32_t install_key(uint8_t no, uint8_t type, uint8_t fill)
{
    Bytes d = {no, 0, type, 0, 0, no, 0, 0};
    d.resize(24, fill);
    return send(0x00, INS_INIT_SYSTEM_KEY, no, type, d);
}

// A key for slot k as the private-key import takes it: the scalar of curve
// serial's length, then its CRC.
uint32_t import_key(uint8_t k, unsigned serial, unsigned L, uint8_t fill)
{
    Bytes d(L, fill);
    d[0] = 0x01;   // below every curve's order
    const uint16_t crc = crc16_xmodem(d.data(), L);
    d.push_back(uint8_t(crc));
    d.push_back(uint8_t(crc >> 8));
    return COS_WritePriKey(uint8_t(serial << 4 | 1), k, d.data(), uint32_t(d.size()));
}

void close_device()
{
    if (DevClose() != 0) DEV_Close();
}

uint32_t verify(int type, const char* pin)
{
    uint32_t tries = 0;
    return DevVerifyPin(type, pin, &tries);
}

// Everything the operations and their checks share: one host image with
// the key of kId in slot 1, a curve-0 key in slot 2, a master key, the PIN
// cache on and a host file SCRATCH.
struct World {
    TempFolder dir;
    std::string secret, pks, base;
    Bytes id1 = kdt::machine_id(1), id2 = kdt::machine_id(2);
    Bytes plain = kdt::text("the challenge's plaintext");
    Bytes block1, block2;
    Bytes card2;         // DER key card of id2, its key not masked
    Bytes innerSecret;   // the card's inner secret (file 2 under the default user PIN)
    std::string err;
    int status = -1;

    static World& get()
    {
        static World w;
        if (w.status == -1) w.status = w.build();
        return w;
    }

    // A key card of id from the soft matrix, valid for a year.
    int key_card(const Bytes& id, Bytes* der)
    {
        BIGNUM* isk = BN_new();
        int st = Matrix_Cal_isk(secret.c_str(), 0, id.data(), int(id.size()), isk, nullptr, nullptr);
        Bytes scalar(32);
        if (st == 0 && BN_bn2binpad(isk, scalar.data(), 32) != 32) st = -1;
        BN_clear_free(isk);
        if (st != 0) return st;
        const uint16_t crc = crc16_xmodem(scalar.data(), 32);
        scalar.push_back(uint8_t(crc));
        scalar.push_back(uint8_t(crc >> 8));
        KeyCard* kc = KeyCard_new();
        ASN1_INTEGER_set(kc->version, 1);
        ASN1_OBJECT_free(kc->ecOid);
        kc->ecOid = OBJ_nid2obj(NID_sm2);
        ASN1_STRING_set(kc->matrixId, "FAULT", 5);
        ASN1_STRING_set(kc->keyId, id.data(), int(id.size()));
        ASN1_INTEGER_set_int64(kc->notBefore, time(nullptr) - 3600);
        ASN1_INTEGER_set_int64(kc->notAfter, time(nullptr) + 86400L * 365);
        ASN1_STRING_set(kc->isk, scalar.data(), int(scalar.size()));
        der->assign(512, 0);
        int n = int(der->size());
        st = KeyCard2string(kc, der->data(), &n);
        KeyCard_free(kc);
        der->resize(st == 0 ? size_t(n) : 0);
        return st;
    }

    int build()
    {
        int st = imgbuild::make_soft_matrix(5, "FAULT", 16, 4, dir.path(), &pks, &secret, &err);
        if (st != 0) return st;
        base = dir.file("base.vkd");
        imgbuild::HostSpec spec;
        spec.identity = id1;
        spec.route = imgbuild::Route::Soft;
        spec.slot = 1;
        spec.secretMatrix = secret;
        if ((st = imgbuild::make_host(spec, base, &err)) != 0) return st;
        if ((st = int(kdt::open_verified(base))) != 0) return st;
        Bytes scratch(200);
        for (size_t i = 0; i < scratch.size(); ++i) scratch[i] = uint8_t(i * 7 + 3);
        if ((st = int(install_key(1, 0, 0x11))) != 0 || (st = int(import_key(2, 0, 24, 0x22))) != 0 ||
            (st = int(DevSetCachePin(1, 30))) != 0 || (st = int(DevCreateFile(SCRATCH))) != 0 ||
            (st = int(DevWriteFile(SCRATCH, scratch.data(), int(scratch.size())))) != 0) {
            close_device();
            return st;
        }
        close_device();
        if ((st = key_card(id2, &card2)) != 0) return st;
        Bytes f2 = file_of(read_image(base), 2);
        if (f2.size() < 48) return -1;
        uint8_t pinKey[16] = {0};
        std::memcpy(pinKey, DEFAULT_USER_PIN, DEFAULT_PIN_LEN);
        innerSecret.resize(48);
        sm4_crypt_ecb(pinKey, SM4_ECB_DECRYPT, 48, f2.data(), innerSecret.data());
        block1 = kdt::challenge(pks, id1, plain);
        block2 = kdt::challenge(pks, id2, plain);
        return 0;
    }
};

// Opens image and verifies PIN types 0 and 1 with their default values.
bool open_admin(const std::string& image)
{
    return kdt::open_verified(image, {0, 1}) == 0;
}

bool decrypts(uint8_t slot, const Bytes& block, const Bytes& plain)
{
    Bytes out(256);
    int n = int(out.size());
    if (DevSM2Decrypt(slot, block.data(), uint32_t(block.size()), out.data(), &n) != 0) return false;
    return Bytes(out.begin(), out.begin() + n) == plain;
}

// Which of the two user PINs verifies on the open device: "" for neither,
// "both" when both do; the device keeps the one that verifies verified.
std::string user_pin_that_verifies(const char* oldPin, const char* newPin)
{
    const bool o = verify(PIN_TYPE_USER, oldPin) == 0;
    const bool n = verify(PIN_TYPE_USER, newPin) == 0;
    if (o && n) return "both";
    if (o) return verify(PIN_TYPE_USER, oldPin) == 0 ? oldPin : "";
    return n ? newPin : "";
}

// One operation of the table: how to run it on an open or closed card, which
// files it may change, and what old and new states look like.
struct Op {
    const char* name;
    std::function<void(World&, std::string&)> setup;   // the base image of the op (default: World.base)
    std::function<bool(const std::string&)> prepare;   // before the fault is armed
    std::function<uint32_t(const std::string&)> act;   // the operation, armed
    std::set<uint8_t> owned;                            // files it may change
    bool pinCacheOwned = false;                        // may change the cached-PIN block
    bool refused = false;                              // refused before it writes anything
    // Checks on the image after a fault (the device closed); returns true
    // when the old state was found (the operation is then repeated).
    std::function<bool(const std::string&, const Bytes& before)> check;
    // Checks the new state after a complete run.
    std::function<void(const std::string&, const Bytes& before)> checkNew;
};

// Every file the op does not own, the key records other than those given,
// and the key-matrix area are as they were.
void others_unchanged(const Bytes& before, const Bytes& after, const Op& op,
                      std::set<unsigned> keyRecords = {}, bool later = false)
{
    auto b = files_of(before), a = files_of(after);
    for (auto& [fid, data] : b) {
        if (op.owned.count(fid) || fid == 1) continue;
        auto it = a.find(fid);
        EXPECT_TRUE(it != a.end() && it->second == data) << "file " << std::hex << int(fid) << " changed";
    }
    for (auto& [fid, data] : a) {
        if (op.owned.count(fid) || fid == 1 || (later && fid == LATER)) continue;
        EXPECT_TRUE(b.count(fid)) << "file " << std::hex << int(fid) << " appeared";
    }
    for (unsigned n = 1; n <= 5; ++n) {
        if (keyRecords.count(n)) continue;
        Bytes rb = key_record(before, n), ra = key_record(after, n);
        if (n >= 3 && rb.size() == 32 && ra.size() == 32) {
            rb[7] = ra[7] = 0;   // tries left: a verification may have counted one
        }
        EXPECT_EQ(rb, ra) << "key record " << n;
    }
    EXPECT_EQ(Bytes(before.begin() + MATRIX_AREA, before.end()), Bytes(after.begin() + MATRIX_AREA, after.end()))
        << "key-matrix area";
    if (!op.pinCacheOwned) {
        EXPECT_EQ(Bytes(before.begin() + PIN_CACHE_OFF, before.begin() + PIN_CACHE_OFF + PIN_CACHE_LEN),
                  Bytes(after.begin() + PIN_CACHE_OFF, after.begin() + PIN_CACHE_OFF + PIN_CACHE_LEN))
            << "cached-PIN block";
    }
}

// The user PIN that verifies (exactly one of the default and the new one),
// with the slot-1 key decrypting under it, and the PIN cache answering for
// it when file 0 says the cache is on.
std::string check_user_pin(const std::string& image)
{
    if (!open_admin(image)) {
        ADD_FAILURE() << "PIN types 0 and 1 do not verify";
        return "";
    }
    std::string pin = user_pin_that_verifies(DEFAULT_USER_PIN, NEW_PIN);
    EXPECT_TRUE(pin == DEFAULT_USER_PIN || pin == NEW_PIN) << "user PIN: " << (pin.empty() ? "none" : pin);
    World& w = World::get();
    EXPECT_TRUE(decrypts(1, w.block1, w.plain)) << "slot 1 under user PIN " << pin;
    close_device();
    Bytes dev = file_of(read_image(image), 0);
    if (dev.size() >= 2 && dev[1] == 1) {
        EXPECT_EQ(DevOpen(DEV_TYPE_VCARD, image.c_str()), 0u);
        EXPECT_EQ(DevAutoVerify(), 0u) << "the PIN cache is on but does not verify";
        EXPECT_TRUE(decrypts(1, w.block1, w.plain)) << "slot 1 under the cached PIN";
        close_device();
    }
    return pin;
}

// Runs op once in a child with the at-th access of kind failing.
// 1: the failure was reached; 0: the operation ran through without it.
int run_child(const Op& op, const std::string& image, fault::Kind kind, long n)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (op.prepare && !op.prepare(image)) _exit(3);
        fault::arm(image, kind, n);
        op.act(image);
        fault::disarm();
        _exit(fault::hit ? 1 : 0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A file that takes the card's free sectors before an operation is repeated.
void make_later_file(const std::string& image)
{
    ASSERT_TRUE(open_admin(image));
    Bytes data(300, 0xA5);
    ASSERT_EQ(DevCreateFile(LATER), 0u);
    ASSERT_EQ(DevWriteFile(LATER, data.data(), int(data.size())), 0u);
    close_device();
}

void sweep(const Op& op, fault::Kind kind)
{
    World& w = World::get();
    ASSERT_EQ(w.status, 0) << w.err;
    std::string base = w.base;
    if (op.setup) {
        op.setup(w, base);
        if (::testing::Test::HasFatalFailure()) return;
    }
    const Bytes before = read_image(base);
    long n = 1;
    for (; n < 4000; ++n) {
        SCOPED_TRACE(std::string(op.name) + (kind == fault::READ ? ": read " : ": write ") +
                     std::to_string(n) + " fails");
        // A new file each time: the card's binding and its state belong to
        // one file.
        const std::string image = w.dir.file(std::string(op.name) + "-" + std::to_string(n) + ".vkd");
        write_image(image, before);
        const int r = run_child(op, image, kind, n);
        ASSERT_GE(r, 0) << "the faulty run crashed";
        ASSERT_NE(r, 3) << "the operation's preparation failed";
        if (r == 0) {
            // No failure reached: the operation ran through.
            op.checkNew(image, before);
            break;
        }
        const bool old = op.check(image, before);
        if (::testing::Test::HasFailure()) return;
        if (old) {
            make_later_file(image);
            const Bytes withLater = read_image(image);
            ASSERT_EQ(run_child(op, image, fault::NONE, 0), 0);
            op.checkNew(image, before);
            EXPECT_EQ(file_of(read_image(image), LATER), file_of(withLater, LATER))
                << "the repeated operation changed a later file";
            if (::testing::Test::HasFailure()) return;
        } else {
            op.checkNew(image, before);
            if (::testing::Test::HasFailure()) return;
        }
        unlink(image.c_str());
    }
    if (!(op.refused && kind == fault::WRITE)) {
        EXPECT_GT(n, 1) << "the operation made no access of this kind";
    }
    EXPECT_LT(n, 4000);
}

// ------------------------------------------------------------ the table

bool prepare_all(const std::string& image) { return kdt::open_verified(image) == 0; }

uint32_t act_then_close(const std::string&, const std::function<uint32_t()>& f)
{
    uint32_t st = f();
    close_device();
    return st;
}

// An operation that replaces the user PIN (default -> NEW_PIN) and with it
// file 2's cipher text: exactly one of the two PINs verifies and opens the
// keys; cacheOff when the new state has the PIN cache off.
Op user_pin_op(const char* name, std::function<bool(const std::string&)> prepare,
               std::function<uint32_t()> f, bool cacheOff)
{
    Op op;
    op.name = name;
    op.prepare = std::move(prepare);
    op.act = [f](const std::string& i) { return act_then_close(i, f); };
    op.owned = {0, 2};
    op.pinCacheOwned = true;
    op.check = [op](const std::string& image, const Bytes& before) {
        others_unchanged(before, read_image(image), op, {5});
        return check_user_pin(image) == DEFAULT_USER_PIN;
    };
    op.checkNew = [op, cacheOff](const std::string& image, const Bytes& before) {
        const Bytes after = read_image(image);
        others_unchanged(before, after, op, {5}, true);
        EXPECT_EQ(check_user_pin(image), NEW_PIN);
        const Bytes dev = file_of(after, 0);
        ASSERT_GE(dev.size(), 2u);
        if (cacheOff) {
            EXPECT_EQ(dev[1], 0) << "PIN cache still on";
        }
    };
    return op;
}

std::vector<Op> ops()
{
    std::vector<Op> v;

    // The user PIN changes from its default to NEW_PIN; file 2 is enciphered
    // anew and the cached-PIN block rewritten.
    v.push_back(user_pin_op(
        "ChangeUserPin", [](const std::string& image) { return DevOpen(DEV_TYPE_VCARD, image.c_str()) == 0; },
        [] { return DevModifyPin(PIN_TYPE_USER, DEFAULT_USER_PIN, NEW_PIN); }, false));

    // A host file is deleted: it is there whole, or gone.
    {
        Op op;
        op.name = "DeleteFile";
        op.prepare = prepare_all;
        op.act = [](const std::string& i) { return act_then_close(i, [] { return DevDeleteFile(SCRATCH); }); };
        op.owned = {SCRATCH};
        op.check = [op](const std::string& image, const Bytes& before) {
            const Bytes after = read_image(image);
            others_unchanged(before, after, op);
            bool present = false;
            Bytes now = file_of(after, SCRATCH, &present);
            if (present) {
                EXPECT_EQ(now, file_of(before, SCRATCH)) << "the file is neither whole nor gone";
            }
            EXPECT_EQ(check_user_pin(image), DEFAULT_USER_PIN);
            return present;
        };
        op.checkNew = [op](const std::string& image, const Bytes& before) {
            const Bytes after = read_image(image);
            others_unchanged(before, after, op, {}, true);
            bool present = true;
            file_of(after, SCRATCH, &present);
            EXPECT_FALSE(present);
        };
        v.push_back(op);
    }

    // The master key is installed a second time: refused, whatever fails.
    {
        Op op;
        op.name = "InstallMasterKeyAgain";
        op.refused = true;
        op.prepare = prepare_all;
        op.act = [](const std::string& i) { return act_then_close(i, [] { return install_key(1, 0, 0x77); }); };
        auto same = [op](const std::string& image, const Bytes& before) {
            const Bytes after = read_image(image);
            others_unchanged(before, after, op);
            EXPECT_EQ(key_record(after, 1), key_record(before, 1)) << "the master key was replaced";
            EXPECT_EQ(file_of(after, 1), file_of(before, 1));
            EXPECT_EQ(check_user_pin(image), DEFAULT_USER_PIN);
        };
        op.check = [same](const std::string& image, const Bytes& before) {
            same(image, before);
            return false;
        };
        op.checkNew = same;
        v.push_back(op);
    }

    // A new key record (6) is installed.
    {
        Op op;
        op.name = "InstallKeyRecord";
        op.prepare = prepare_all;
        op.act = [](const std::string& i) { return act_then_close(i, [] { return install_key(6, 3, 0x66); }); };
        op.check = [op](const std::string& image, const Bytes& before) {
            const Bytes after = read_image(image);
            others_unchanged(before, after, op, {});
            Bytes rec = key_record(after, 6);
            const bool installed = rec.size() == 32 && rec[0] == 6;
            if (installed) {
                EXPECT_EQ(rec[31], 0x66) << "record 6 is not whole";
            }
            EXPECT_EQ(check_user_pin(image), DEFAULT_USER_PIN);
            return !installed;
        };
        op.checkNew = [op](const std::string& image, const Bytes& before) {
            const Bytes after = read_image(image);
            others_unchanged(before, after, op, {}, true);
            Bytes rec = key_record(after, 6);
            ASSERT_EQ(rec.size(), 32u);
            EXPECT_EQ(rec[0], 6);
            EXPECT_EQ(rec[31], 0x66);
        };
        v.push_back(op);
    }

    // Slot 2's curve-0 key is replaced by a curve-5 key: its curve label
    // and its key go together.
    {
        Op op;
        op.name = "ImportPrivateKey";
        op.prepare = prepare_all;
        op.act = [](const std::string& i) { return act_then_close(i, [] { return import_key(2, 5, 32, 0x55); }); };
        op.owned = {4, 0x12};
        auto pair = [](const Bytes& img) {
            Bytes table = file_of(img, 4);
            return std::make_pair(table.size() > 2 ? int(table[2]) : -1, file_of(img, 0x12));
        };
        op.check = [op, pair](const std::string& image, const Bytes& before) {
            const Bytes after = read_image(image);
            others_unchanged(before, after, op);
            auto old = pair(before), now = pair(after);
            Bytes table = file_of(after, 4), oldTable = file_of(before, 4);
            if (table.size() == 16 && oldTable.size() == 16) {
                table[2] = oldTable[2];
                EXPECT_EQ(table, oldTable) << "another slot's curve label changed";
            }
            EXPECT_EQ(check_user_pin(image), DEFAULT_USER_PIN);
            if (now == old) return true;
            EXPECT_EQ(now.first, 5) << "slot 2 holds a key under another curve's label";
            EXPECT_EQ(now.second.size(), 32u);
            EXPECT_NE(now.second, old.second) << "the old key under the new label";
            return false;
        };
        op.checkNew = [op, pair](const std::string& image, const Bytes& before) {
            const Bytes after = read_image(image);
            others_unchanged(before, after, op, {}, true);
            EXPECT_EQ(pair(after).first, 5);
            EXPECT_EQ(pair(after).second.size(), 32u);
        };
        v.push_back(op);
    }

    // A key card for another identity goes into slot 1: its private key,
    // public record and key id record are each the old one or the new one
    // (the records may also be missing: the installation does not undo
    // steps), and the key in the slot decrypts for its identity.
    {
        Op op;
        op.name = "WriteKeyCard";
        op.prepare = prepare_all;
        op.act = [](const std::string& i) {
            return act_then_close(i, [] {
                World& w = World::get();
                return DevWriteKeyCard(1, 1, w.card2.data(), uint32_t(w.card2.size()));
            });
        };
        op.owned = {0x11, 0x31, 0x51};
        op.check = [op](const std::string& image, const Bytes& before) {
            World& w = World::get();
            const Bytes after = read_image(image);
            others_unchanged(before, after, op);
            const bool oldKey = file_of(after, 0x11) == file_of(before, 0x11);
            Bytes keyId = file_of(after, 0x51);
            const std::string id2 = std::string(w.id2.begin(), w.id2.end()) + "@FAULT";
            const std::string id1 = std::string(w.id1.begin(), w.id1.end()) + "@FAULT";
            // An empty record is the record of none: it was made, and its
            // write failed.
            if (!keyId.empty()) {
                const std::string s(keyId.begin(), keyId.end());
                EXPECT_TRUE(s == id1 || s == id2) << "key id record is not whole";
            }
            const Bytes pub = file_of(after, 0x31);
            if (!pub.empty() && pub != file_of(before, 0x31)) {
                KeyCard* kc = kdt::decode_card(pub);
                EXPECT_TRUE(kc && kdt::field(kc->keyId) == w.id2) << "public record is not whole";
                KeyCard_free(kc);
            }
            EXPECT_TRUE(open_admin(image));
            EXPECT_EQ(verify(PIN_TYPE_USER, DEFAULT_USER_PIN), 0u);
            EXPECT_TRUE(decrypts(1, oldKey ? w.block1 : w.block2, w.plain)) << "slot 1's key";
            close_device();
            return true;   // the installation is repeated in every case
        };
        op.checkNew = [op](const std::string& image, const Bytes& before) {
            World& w = World::get();
            const Bytes after = read_image(image);
            others_unchanged(before, after, op, {}, true);
            const std::string id2 = std::string(w.id2.begin(), w.id2.end()) + "@FAULT";
            const Bytes keyId = file_of(after, 0x51);
            EXPECT_EQ(std::string(keyId.begin(), keyId.end()), id2);
            bool present = false;
            file_of(after, 0x31, &present);
            EXPECT_TRUE(present) << "no public record";
            EXPECT_TRUE(open_admin(image));
            EXPECT_EQ(verify(PIN_TYPE_USER, DEFAULT_USER_PIN), 0u);
            EXPECT_TRUE(decrypts(1, w.block2, w.plain));
            close_device();
        };
        v.push_back(op);
    }

    // The inner secret is stored again under NEW_PIN (the recovery's last
    // step): file 2 and the user PIN record go together, the PIN cache off.
    v.push_back(user_pin_op(
        "RestoreInnerSecret", open_admin,
        [] { return COS_Restore_rG(World::get().innerSecret.data(), NEW_PIN); }, true));

    // A blocked user PIN is reloaded with NEW_PIN: the user's keys and the
    // inner secret go, or the PIN stays blocked and the reload can be made
    // again.
    {
        Op op;
        op.name = "ReloadUserPin";
        op.setup = [](World& w, std::string& base) {
            base = w.dir.file("blocked.vkd");
            write_image(base, read_image(w.base));
            ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, base.c_str()), 0u);
            for (int i = 0; i < 5; ++i) verify(PIN_TYPE_USER, "WrongPin");
            EXPECT_NE(verify(PIN_TYPE_USER, DEFAULT_USER_PIN), 0u);
            close_device();
        };
        op.prepare = [](const std::string& image) { return open_admin(image); };
        op.act = [](const std::string& i) { return act_then_close(i, [] { return DevReloadPin(PIN_TYPE_USER, NEW_PIN); }); };
        op.owned = {0, 2};
        for (unsigned k = 0; k < 16; ++k) {
            op.owned.insert(uint8_t(0x10 + k));
            op.owned.insert(uint8_t(0x30 + k));
            op.owned.insert(uint8_t(0x50 + k));
        }
        op.pinCacheOwned = true;
        auto reloaded = [](const Bytes& img) {
            auto files = files_of(img);
            for (auto& [fid, data] : files)
                if (fid == 2 || (fid >= 0x10 && fid < 0x20) || (fid >= 0x30 && fid < 0x40) ||
                    (fid >= 0x50 && fid < 0x60))
                    return false;
            return true;
        };
        op.check = [op](const std::string& image, const Bytes& before) {
            others_unchanged(before, read_image(image), op, {5});
            EXPECT_TRUE(open_admin(image));
            const bool blocked = verify(PIN_TYPE_USER, NEW_PIN) != 0;
            if (blocked) {
                EXPECT_NE(verify(PIN_TYPE_USER, DEFAULT_USER_PIN), 0u);
            }
            close_device();
            return blocked;
        };
        op.checkNew = [op, reloaded](const std::string& image, const Bytes& before) {
            const Bytes after = read_image(image);
            others_unchanged(before, after, op, {5}, true);
            EXPECT_TRUE(reloaded(after)) << "a key or the inner secret outlived the reload";
            Bytes dev = file_of(after, 0);
            ASSERT_GE(dev.size(), 2u);
            EXPECT_EQ(dev[1], 0) << "PIN cache still on";
            EXPECT_TRUE(open_admin(image));
            EXPECT_EQ(verify(PIN_TYPE_USER, NEW_PIN), 0u);
            EXPECT_NE(verify(PIN_TYPE_USER, DEFAULT_USER_PIN), 0u);
            close_device();
        };
        v.push_back(op);
    }
    return v;
}

struct Case {
    size_t op;
    fault::Kind kind;
};

class FlashFault : public ::testing::TestWithParam<Case> {};

TEST_P(FlashFault, OneFailedAccessLeavesTheOldOrTheNewStateWhole)
{
    static const std::vector<Op> table = ops();
    sweep(table[GetParam().op], GetParam().kind);
}

std::vector<Case> cases()
{
    std::vector<Case> c;
    for (size_t i = 0; i < ops().size(); ++i)
        for (fault::Kind k : {fault::READ, fault::WRITE}) c.push_back({i, k});
    return c;
}

INSTANTIATE_TEST_SUITE_P(Operations, FlashFault, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(ops()[info.param.op].name) +
                                    (info.param.kind == fault::READ ? "_FailedRead" : "_FailedWrite");
                         });

// ------------------------------------------- reads of a decryption session

// One failed read at every read of a session as the daemon makes it (open,
// user PIN, SM2 decryption, close) and of a verification of the three
// PINs: a fault-free session afterwards decrypts with the host key and the
// default PINs verify.
TEST(FlashReadFault, EveryFailedReadOfASessionLeavesTheKeyAndThePins)
{
    World& w = World::get();
    ASSERT_EQ(w.status, 0) << w.err;
    const Bytes base = read_image(w.base);
    Op decrypt;
    decrypt.name = "DecryptSession";
    decrypt.act = [](const std::string& image) {
        World& w = World::get();
        if (DevOpen(DEV_TYPE_VCARD, image.c_str()) != 0) return 1u;
        verify(PIN_TYPE_USER, DEFAULT_USER_PIN);
        decrypts(1, w.block1, w.plain);
        close_device();
        return 0u;
    };
    Op pins;
    pins.name = "VerifyPins";
    pins.act = [](const std::string& image) {
        kdt::open_verified(image);
        close_device();
        return 0u;
    };
    for (const Op* op : {&decrypt, &pins}) {
        long n = 1;
        for (; n < 4000; ++n) {
            SCOPED_TRACE(std::string(op->name) + ": read " + std::to_string(n) + " fails");
            const std::string image = w.dir.file(std::string(op->name) + "-" + std::to_string(n) + ".vkd");
            write_image(image, base);
            const int r = run_child(*op, image, fault::READ, n);
            ASSERT_GE(r, 0);
            ASSERT_EQ(kdt::open_verified(image), 0u) << "the default PINs no longer verify";
            EXPECT_TRUE(decrypts(1, w.block1, w.plain)) << "the host key no longer decrypts";
            close_device();
            unlink(image.c_str());
            if (r == 0 || HasFailure()) break;
        }
        EXPECT_GT(n, 10) << op->name;
    }
}

// The debug read of the image, with the read failing, answers no success.
TEST(FlashReadFault, DebugReadWithAFailedReadIsNoSuccess)
{
    World& w = World::get();
    ASSERT_EQ(w.status, 0) << w.err;
    const std::string image = w.dir.file("debug.vkd");
    write_image(image, read_image(w.base));
    ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, image.c_str()), 0u);
    Bytes code(ACCESS_CODE_LEN);
    BuildDebugCode(code.data());
    EXPECT_EQ(send(0x00, INS_DEBUG, 0x04, 0x00, code, 16), 0u) << "the debug read works fault-free";
    fault::arm(image, fault::READ, 1);
    const uint32_t st = send(0x00, INS_DEBUG, 0x04, 0x00, code, 16);
    const bool hit = fault::hit;
    fault::disarm();
    EXPECT_TRUE(hit);
    EXPECT_NE(st, 0u) << "a failed read answered as a success";
    close_device();
}

}  // namespace

namespace {

void note_instruction(void* ctx, const uint8_t* cmd, unsigned cmdLen, const uint8_t*, unsigned)
{
    if (cmdLen > 1) static_cast<Bytes*>(ctx)->push_back(cmd[1]);
}

// A slot record is replaced by deleting the old file and making a new one:
// a delete that fails ends the replacement with its status, and neither a
// create nor a write follows it.
TEST(FlashWriteFault, ARecordReplacementEndsAtAFailedDelete)
{
    World& w = World::get();
    ASSERT_EQ(w.status, 0) << w.err;
    const std::string image = w.dir.file("replace.vkd");
    write_image(image, read_image(w.base));
    const Bytes before = read_image(image);
    ASSERT_EQ(kdt::open_verified(image), 0u);
    Bytes sent;
    VDev_SetObserver(&note_instruction, &sent);
    const Bytes record(50, 0x3C);
    fault::arm(image, fault::WRITE, 1);
    const uint32_t st = COS_WritePubKey(1, record.data(), uint16_t(record.size()));
    const bool hit = fault::hit;
    fault::disarm();
    VDev_SetObserver(nullptr, nullptr);
    close_device();
    EXPECT_TRUE(hit);
    EXPECT_EQ(st, uint32_t(ST_MEMORY_FAILURE));
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), INS_DELETE_FILE) << "the replacement went on after its delete failed";
    EXPECT_EQ(file_of(read_image(image), 0x31), file_of(before, 0x31)) << "the old record is not whole";
}

}  // namespace
