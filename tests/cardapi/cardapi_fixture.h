// Test fixture of the card command interface: a fresh key device image in a
// temporary folder, bound as the open device, with every exchange recorded.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "cardapi/cosapi.h"
#include "cardapi/vdevdrv.h"
#include "vcard/dazi.h"
#include "vcard/default_pins.h"

using bytes = std::vector<uint8_t>;

// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/capi-XXXXXX";
        const char* p = mkdtemp(tmpl);
        path_ = p ? p : "";
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
        memset(&f, 0, sizeof f);
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
