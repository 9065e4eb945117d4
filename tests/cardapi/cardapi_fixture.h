// Test fixture of the card command interface: a fresh key device image in a
// temporary folder, bound as the open device, with every exchange recorded.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <filesystem>
#include <string>
#include <vector>

#include "cardapi/cosapi.h"
#include "cardapi/vdevdrv.h"
#include "vcard/dazi.h"
#include "vcard/default_pins.h"

using bytes = std::vector<uint8_t>;

// n bytes of a simple pattern that differs with the seed.
inline bytes pattern(size_t n, uint8_t seed)
{
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 31);
    return b;
}

// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/capi-XXXXXX";
        // No fallback: an empty path would turn file("x") into "/x".
        const char* p = mkdtemp(tmpl);
        if (!p)
            throw std::runtime_error(std::string("mkdtemp failed: ") + std::strerror(errno));
        path_ = p;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// One recorded exchange: the serialised command and the card's reply.
struct exchange {
    bytes cmd;
    bytes reply;
    uint16_t sw() const
    {
        return reply.size() < 2 ? 0 : static_cast<uint16_t>((reply[reply.size() - 2] << 8) | reply.back());
    }
};

class CardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        image = dir.file("card.vkd");
        ASSERT_EQ(0, CreateVEFlashFile(image.c_str()));
        ASSERT_EQ(0u, DEV_Open(DEV_TYPE_VIRTUAL, image.c_str()));
        VDev_SetObserver(&CardTest::observe, this);
    }
    void TearDown() override
    {
        VDev_SetObserver(nullptr, nullptr);
        if (m_iType != -1) DEV_Close();
    }

    static void observe(void* ctx, const uint8_t* cmd, unsigned cmdLen, const uint8_t* reply, unsigned replyLen)
    {
        auto* self = static_cast<CardTest*>(ctx);
        self->log.push_back({bytes(cmd, cmd + cmdLen), bytes(reply, reply + replyLen)});
    }

    // Verifies a PIN type with its default PIN.
    void verify(uint8_t type)
    {
        static const char* const pins[3] = {DEFAULT_PIN_TYPE0, DEFAULT_PIN_TYPE1, DEFAULT_PIN_TYPE2};
        uint32_t tries = 99;
        ASSERT_EQ(0u, COS_VerifyPin(type, pins[type], &tries));
        ASSERT_EQ(5u, tries);
    }
    void verify_all()
    {
        for (uint8_t t = 0; t < 3; ++t) verify(t);
    }

    // Sends one raw frame; the frame keeps the answer.
    uint32_t raw(_apdu_frame_& f, uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const bytes& data, uint8_t le)
    {
        memset(static_cast<void*>(&f), 0, sizeof f);
        f.CLA = cla;
        f.INS = ins;
        f.P1 = p1;
        f.P2 = p2;
        f.Lc = static_cast<uint8_t>(data.size());
        if (!data.empty()) memcpy(f.data, data.data(), data.size());
        f.Le = le;
        return COS_Transfer(&f);
    }

    TempDir dir;
    std::string image;
    std::vector<exchange> log;
};

#include "ec_oracle.h"

// A card with the three default PINs verified and an identity record, so
// that the card can create its inner key; keys are installed per test.
class KeyedCardTest : public CardTest {
protected:
    struct key_pair {
        bytes d;    // private scalar, L bytes
        bytes pub;  // X||Y
    };

    void SetUp() override
    {
        CardTest::SetUp();
        if (HasFatalFailure()) return;
        verify_all();
        if (HasFatalFailure()) return;
        oracle::curve c0(0);
        recovery_key = c0.random_scalar();
        bytes record = c0.mul(recovery_key);
        record.push_back(0);
        record.insert(record.end(), identity.begin(), identity.end());
        ASSERT_EQ(0u, COS_CreateFile(0x40, 128));
        ASSERT_EQ(0u, COS_WriteFile(record.data(), static_cast<uint16_t>(record.size())));
    }

    static bytes with_crc(const bytes& scalar)
    {
        bytes data = scalar;
        uint16_t crc = oracle::crc16(scalar);
        data.push_back(static_cast<uint8_t>(crc & 0xFF));
        data.push_back(static_cast<uint8_t>(crc >> 8));
        return data;
    }

    // A fresh key of curve t, imported plain into slot k.
    key_pair install(uint8_t k, uint8_t t)
    {
        oracle::curve c(t);
        key_pair kp{c.random_scalar(), {}};
        kp.pub = c.mul(kp.d);
        bytes data = with_crc(kp.d);
        EXPECT_EQ(0u, COS_WritePriKey(static_cast<uint8_t>((t << 4) | 1), k, data.data(),
                                      static_cast<uint32_t>(data.size())));
        return kp;
    }

    // Installs a system key record (key number, type, security bit, 5 tries)
    // with the initialising instruction; needs PIN type 0 verified.
    void install_system_key(uint8_t number, uint8_t type, uint8_t secBit, const bytes& key16)
    {
        bytes data = {number, 0, type, 0, secBit, number, 5, 5};
        data.insert(data.end(), key16.begin(), key16.end());
        _apdu_frame_ f;
        ASSERT_EQ(0u, raw(f, 0x00, 0x0E, number, type, data, 0));
    }

    std::string identity = "host-identity-0001";
    bytes recovery_key;
};
