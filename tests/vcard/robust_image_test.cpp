// The key device image is untrusted input. A personalised image is damaged
// in one area at a time (bitmap, directory, chain, file data, key files, PIN
// cache, key-matrix area, or a mix), bound, and driven through a day's work:
// PIN verifications, reads, writes, creations, deletions and key uses. The
// card must keep the exchange invariants (robust_fixture.h), finish in
// bounded time, never write beyond the layout or into its gaps, and still
// answer. Images shorter than the file system, or cut short under a bound
// card, are covered too.
#include <sys/types.h>
#include <unistd.h>

#include "tests/vcard/robust_fixture.h"
#include "common/test_seed.h"

namespace robust {
namespace {

using Rng = std::mt19937;

uint32_t Below(Rng& rng, uint32_t n) { return rng() % n; }

Bytes Date(uint32_t d) { return {uint8_t(d), uint8_t(d >> 8), uint8_t(d >> 16), uint8_t(d >> 24)}; }

// Files of an image and their chains, read from its bytes.
struct Layout {
    std::vector<uint8_t> fids;                 // ids with a valid directory entry
    std::vector<std::vector<uint16_t>> chains; // sectors of each, in chain order
};

Layout ReadLayout(const std::vector<uint8_t>& img)
{
    Layout out;
    for (uint32_t f = 0; f < 0xFF; ++f) {
        const size_t e = FS_DIR_OFF + 8 * f;
        if (img[e] != f)
            continue;
        out.fids.push_back(uint8_t(f));
        std::vector<uint16_t> chain;
        uint16_t s = Le16(img, e + 4);
        while (s < FS_SECTORS && chain.size() < 64) {
            chain.push_back(s);
            s = Le16(img, FS_CHAIN_OFF + 4 * s + 2);
        }
        out.chains.push_back(chain);
    }
    return out;
}

void Put16(std::vector<uint8_t>& img, size_t off, uint16_t v)
{
    img[off] = uint8_t(v);
    img[off + 1] = uint8_t(v >> 8);
}

// A 16-bit value a damaged image might hold where a sector number belongs.
uint16_t OddSector(Rng& rng, uint16_t self)
{
    const uint16_t picks[] = {self, uint16_t(self + 1), 0, FS_SECTORS - 1, FS_SECTORS,
                              0x7FFF, 0xFFFE, 0xFFFF, uint16_t(Below(rng, FS_SECTORS)),
                              uint16_t(rng())};
    return picks[Below(rng, sizeof picks / sizeof picks[0])];
}

enum Region { BITMAP, DIRECTORY, CHAIN, FILE_DATA, KEY_FILES, PIN_CACHE, MATRIX, MIXED };

// Damages img in one region; the gaps between the areas stay as they were.
void Damage(Rng& rng, Region region, const Layout& lay, std::vector<uint8_t>& img)
{
    auto randomise = [&](uint32_t from, uint32_t to, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t at = from + Below(rng, to - from);
            switch (Below(rng, 4)) {
            case 0: img[at] ^= uint8_t(1u << Below(rng, 8)); break;
            case 1: img[at] = uint8_t(rng()); break;
            case 2: img[at] = 0x00; break;
            default: img[at] = 0xFF; break;
            }
        }
    };
    const size_t pick = Below(rng, uint32_t(lay.fids.size()));
    const uint8_t fid = lay.fids[pick];
    const std::vector<uint16_t>& chain = lay.chains[pick];
    switch (region) {
    case BITMAP:
        if (Below(rng, 3) == 0) {
            // A full card, or one whose used sectors all read free.
            std::fill(img.begin(), img.begin() + 4 * FS_BITMAP_WORDS, Below(rng, 2) ? 0xFF : 0x00);
        } else {
            randomise(FS_BITMAP_OFF, FS_BITMAP_OFF + 4 * FS_BITMAP_WORDS, 1 + Below(rng, 8));
        }
        break;
    case DIRECTORY: {
        const size_t e = FS_DIR_OFF + 8 * fid;
        const uint16_t sizes[] = {0, 1, 63, 64, 4096, 4097, 0x7FFF, 0xFFFF, uint16_t(rng())};
        switch (Below(rng, 4)) {
        case 0: Put16(img, e + 2, sizes[Below(rng, 9)]); break;                 // used
        case 1: Put16(img, e + 4, OddSector(rng, chain.empty() ? 0 : chain[0])); break;
        case 2: Put16(img, e + 6, sizes[Below(rng, 9)]); break;                 // maxsize
        default: randomise(FS_DIR_OFF, FS_DIR_OFF + 8 * FS_DIR_ENTRIES, 1 + Below(rng, 12)); break;
        }
        break;
    }
    case CHAIN:
        if (!chain.empty() && Below(rng, 4) != 0) {
            const uint16_t s = chain[Below(rng, uint32_t(chain.size()))];
            // Next of s: itself, a loop back to the first, another file's sector, or anything.
            uint16_t next = OddSector(rng, s);
            if (Below(rng, 3) == 0)
                next = chain[0];
            Put16(img, FS_CHAIN_OFF + 4 * s + 2, next);
            if (Below(rng, 4) == 0)
                Put16(img, FS_CHAIN_OFF + 4 * s, uint16_t(rng()));
        } else {
            randomise(FS_CHAIN_OFF, FS_CHAIN_OFF + 4 * FS_SECTORS, 1 + Below(rng, 16));
        }
        break;
    case FILE_DATA:
    case KEY_FILES: {
        // Data sectors of any file, or of the key store's own files (device
        // status, key file, inner secret, curve table, private keys).
        std::vector<uint16_t> sectors;
        for (size_t i = 0; i < lay.fids.size(); ++i) {
            const uint8_t f = lay.fids[i];
            const bool keyFile = f <= FID_CURVES || (f >= FID_PRIVKEY && f < FID_PRIVKEY + 16);
            if (region == FILE_DATA || keyFile)
                sectors.insert(sectors.end(), lay.chains[i].begin(), lay.chains[i].end());
        }
        for (uint32_t n = 1 + Below(rng, 3); n > 0; --n) {
            const uint32_t base = FS_DATA_OFF + FS_SECTOR_SIZE * sectors[Below(rng, uint32_t(sectors.size()))];
            randomise(base, base + FS_SECTOR_SIZE, 1 + Below(rng, 10));
        }
        break;
    }
    case PIN_CACHE:
        if (Below(rng, 2)) {
            const uint32_t lens[] = {0, 7, 8, 16, 17, 0xFFFFFFFFu, uint32_t(rng())};
            const uint32_t len = lens[Below(rng, 7)];
            for (int i = 0; i < 4; ++i)
                img[FS_PINCACHE_OFF + i] = uint8_t(len >> (8 * i));
        }
        randomise(FS_PINCACHE_OFF, FS_PINCACHE_OFF + FS_PINCACHE_SIZE, Below(rng, 8));
        break;
    case MATRIX:
        randomise(FS_MATRIX_OFF, FS_MATRIX_OFF + 5 * 32, 1 + Below(rng, 20));
        break;
    case MIXED:
        for (uint32_t n = 2 + Below(rng, 4); n > 0; --n)
            Damage(rng, Region(Below(rng, MIXED)), lay, img);
        break;
    }
}

// A day's work on the card; every step is checked by Exchange only.
// pub1 is the public key of key slot 1 (curve 0).
void Workday(Rng& rng, const Bytes& pub1, const std::string& where)
{
    int step = 0;
    auto send = [&](const Bytes& c) { return Exchange(c, where + " step " + std::to_string(step++)); };
    auto pinOf = [](unsigned type) {
        Bytes pin(DEFAULT_PIN_LEN);
        BuildDefaultPin(type, pin.data());
        return pin;
    };
    auto random = [&](size_t n) {
        Bytes b(n);
        for (auto& x : b)
            x = uint8_t(rng());
        return b;
    };
    const Bytes user = pinOf(2);
    ins::HostCurve c0(0), c4(4);
    // A non-zero scalar below the order, from the seed.
    auto scalar = [&](const ins::HostCurve& c) {
        Bytes b = random(c.L);
        b[0] = 0;
        b[c.L - 1] |= 1;
        return b;
    };

    send(Apdu(0x00, 0x20, 0, 1, pinOf(0)));
    send(Apdu(0x00, 0x20, 0, 2, pinOf(1)));
    send(Apdu(0x00, 0x20, 4, 3, Cat(user, Date(20240103))));
    send(Apdu(0x00, 0x21, 0, 0, Date(20240105)));
    // Files: read, write and read back; a new file over several sectors.
    send(Apdu(0x00, 0xA4, 0x80, 0, {}, 2));
    send(Apdu(0x00, 0xB0, 0, 0, {}, 200));
    send(Apdu(0x00, 0xB0, 0, 150, {}, 50));
    send(Apdu(0x00, 0xD6, 0, 180, random(100)));
    send(Apdu(0x00, 0xB0, 0, 100, {}, 180));
    send(Apdu(0x00, 0xA4, 0x30, 0, {}, 2));
    send(Apdu(0x00, 0xB0, 0, 0, {}, 100));
    send(Apdu(0x00, 0x3A, 0, 0, {}, 0x40));
    send(Apdu(0x00, 0x36, 0, 0, {}, 0x46));
    send(Apdu(0x80, 0xE0, 0x81, 0, Hex("81 00 00 00 00 00 00 02")));
    send(Apdu(0x00, 0xD6, 0, 0, random(250)));
    send(Apdu(0x00, 0xD6, 0, 250, random(250)));
    send(Apdu(0x00, 0xB0, 1, 0, {}, 244));
    send(Apdu(0x00, 0xE4, 0x81, 0));
    // Keys: signatures, ECDH, envelopes, a key import, the matrix.
    send(Apdu(0x80, 0xC2, 0x11, 0, random(32), 48));
    send(Apdu(0x80, 0x70, 0x10, 0, random(32), 64));
    send(Apdu(0x80, 0xCC, 0x12, 4, c4.Mul(scalar(c4)), 64));
    send(Apdu(0x80, 0xC6, 0, 0, pub1, 50));
    Bytes env = c0.Mul(scalar(c0), &pub1);
    send(Apdu(0x80, 0xC8, 0x11, 1, Cat(env, random(2)), 48));
    Bytes d = scalar(c0);
    send(Apdu(0x80, 0x48, 0x15, 0x01, Cat(d, ins::CrcLE(d))));
    send(Apdu(0x80, 0x46, 0, 0, Hex("0000 0100 0200 0300 0400"), 24));
    send(Apdu(0x80, 0x42, 0x00, 0x00, {}, 2 + 3 * 32));
    send(Apdu(0x80, 0x40, 0x00, 0x0A, {}, 2 + 2 * 48));
    send(Apdu(0x80, 0x44, 0x00, 0x0C, random(2 + 2 * 32)));
    send(Apdu(0x00, 0x50, 0, 0, random(32), 32));
    send(Apdu(0x00, 0x52, 1, 0, random(48), 48));
    send(Apdu(0x00, 0x88, 0, 0, random(16), 16));
    // PINs: change the user PIN and back, the cache on and off, a recovery
    // with a wrong secret, then a blocked user PIN reloaded (which deletes the
    // user's files).
    const Bytes other = Text("2468013579");
    send(Apdu(0x00, 0x5E, 8, 3, Cat(user, other)));
    send(Apdu(0x00, 0x5E, uint8_t(other.size()), 3, Cat(other, user)));
    send(Apdu(0x00, 0x80, 1, 30));
    send(Apdu(0x00, 0x21, 0, 0, Date(20240110)));
    send(Apdu(0x00, 0x80, 0, 0));
    send(Apdu(0x00, 0x38, 0, 0, Cat(random(48), other)));
    for (int i = 0; i < 6; ++i)
        send(Apdu(0x00, 0x20, 0, 3, Text("00000000")));
    send(Apdu(0x80, 0x5C, 0, 3, user));
    send(Apdu(0x00, 0x20, 0, 3, user));
    send(Apdu(0x00, 0xE4, 0x80, 0));
    send(Apdu(0x00, 0xE4, 0x30, 0));
    // The card still knows what it is, unless the damage blocked it.
    Reply sn = send(Apdu(0x00, 0x0A, 0, 0, {}, 12));
    EXPECT_TRUE(sn.sw == 0x9000 || sn.sw == 0x6A81) << where << std::hex << " serial " << sn.sw;
}

struct RegionCase {
    const char* name;
    Region region;
    int seeds;
};

class DamagedImage : public Personalised, public ::testing::WithParamInterface<RegionCase> {};

TEST_P(DamagedImage, CardKeepsItsInvariants)
{
    const RegionCase rc = GetParam();
    const Layout lay = ReadLayout(snapshot);
    ASSERT_GE(lay.fids.size(), 8u);
    const uint32_t base = testseed::announce(0);
    for (int seed = 0; seed < rc.seeds; ++seed) {
        const uint32_t s = base + uint32_t(seed) * 131u + uint32_t(rc.region);
        Rng rng(s);
        const std::string where = std::string(rc.name) + " seed " + std::to_string(s);
        std::vector<uint8_t> img = snapshot;
        Damage(rng, rc.region, lay, img);
        image.Store(img);
        // A walk that never ends on a damaged image is caught by the test
        // runner's timeout, not by a clock here that a slow machine trips.
        InitCosSys();
        Workday(rng, keys[1].pub, where);

        EXPECT_EQ(image.Size(), long(kImageSize)) << where << ": the image changed size";
        ExpectLayoutKept(image, where);
        if (HasFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Regions, DamagedImage,
    ::testing::Values(RegionCase{"bitmap", BITMAP, 25}, RegionCase{"directory", DIRECTORY, 40},
                      RegionCase{"chain", CHAIN, 40}, RegionCase{"file_data", FILE_DATA, 25},
                      RegionCase{"key_files", KEY_FILES, 40}, RegionCase{"pin_cache", PIN_CACHE, 20},
                      RegionCase{"matrix", MATRIX, 15}, RegionCase{"mixed", MIXED, 40}),
    [](const ::testing::TestParamInfo<RegionCase>& i) { return std::string(i.param.name); });

// An image shorter than the file system, or empty, is never bound: the card
// stays on the image it had and keeps answering.
TEST(ShortImage, IsRefusedAndTheBindingStays)
{
    TempImage good(-1);
    ASSERT_EQ(CreateVEFlashFile(good.path().c_str()), 0);
    for (long size : {0L, 1L, 0x400L, 0x2000L, long(FLASH_FS_SIZE) - 1}) {
        TempImage shortImage(size);
        EXPECT_EQ(SetVEFlashFile(shortImage.path().c_str()), 11006) << "size " << size;
        EXPECT_STREQ(m_vFlashFile, good.path().c_str()) << "size " << size;
        EXPECT_EQ(shortImage.Size(), size) << "a refused image is not written";
        ExpectCardAnswers("after refusing an image of " + std::to_string(size) + " bytes");
    }
}

// A write behind the end of the image extends it with erased flash: the bytes
// it passes over read 0xFF before and after, on the card and in the file.
TEST(FlashWrite, BehindTheEndLeavesErasedFlash)
{
    struct Case {
        long size;        // image size before the write
        uint32_t offset;  // write offset
    };
    for (const Case c : {Case{0, 0x400}, Case{0x100, 0x1000}, Case{0x10000, 0x10000 + 10 * 32},
                         Case{0x10000, 0x10000}, Case{0x2345, 0x2346}}) {
        TempImage img(c.size, 0x11);
        img.Bind();
        const uint8_t data[4] = {1, 2, 3, 4};
        ASSERT_EQ(FlashWrite(c.offset, data, sizeof data), 0);
        const std::vector<uint8_t> all = img.Bytes();
        ASSERT_EQ(all.size(), size_t(c.offset + 4)) << "size " << c.size;
        EXPECT_EQ(std::vector<uint8_t>(all.begin(), all.begin() + c.size),
                  std::vector<uint8_t>(size_t(c.size), 0x11))
            << "the image's own bytes stay";
        EXPECT_EQ(std::vector<uint8_t>(all.begin() + c.size, all.begin() + c.offset),
                  std::vector<uint8_t>(c.offset - size_t(c.size), 0xFF))
            << "size " << c.size << " offset " << c.offset;
        EXPECT_EQ(std::vector<uint8_t>(all.end() - 4, all.end()), std::vector<uint8_t>(data, data + 4));
    }
}

// The bound image is cut short behind the card's back (a tool copying over
// it): what lies beyond the end reads as erased flash, and the card neither
// fails nor writes beyond its layout.
class CutImage : public Personalised, public ::testing::WithParamInterface<long> {};

TEST_P(CutImage, CardKeepsItsInvariants)
{
    const long size = GetParam();
    ASSERT_EQ(truncate(image.path().c_str(), size), 0);
    const uint32_t seed = testseed::announce(0) + uint32_t(size);
    const std::string where = "cut to " + std::to_string(size) + " seed " + std::to_string(seed);
    Rng rng{seed};
    Workday(rng, keys[1].pub, where);
    InitCosSys();
    Workday(rng, keys[1].pub, where + " after restart");
    ExpectLayoutKept(image, where);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CutImage,
                         ::testing::Values(0L, 0x100L, 0x1000L, long(FS_DATA_OFF) + 5 * 64,
                                           0xFFFFL, long(FS_MATRIX_OFF)));

}  // namespace
}  // namespace robust
