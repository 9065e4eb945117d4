// The card's command entry point: a sequence of command APDUs over a fresh
// host image, with or without the PINs verified first. The image and the
// card's volatile state are restored before every run, so runs repeat.
//
// Input: [flags u8], then commands [length u8][bytes]; a length byte of 255
// is followed by one more byte added to it (lengths up to 510, past the
// card's command area). flags bits 0, 1, 2 verify PIN types 2, 1 and 0 with
// their default values before the commands.

#include "host_fixture.h"
#include "keydev/kmxdev.h"
#include "vcard/dazi.h"
#include "vcard/default_pins.h"

#include <memory>

namespace {

fuzz::HostFixture* g_host = nullptr;

void restore()
{
    if (!fuzz::write_file(g_host->image, g_host->imageBytes))
        fuzz::fail("restore image");
    if (SetVEFlashFile(g_host->image.c_str()) != 0)
        fuzz::fail("bind image");
    InitCosSys();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static fuzz::HostFixture host = fuzz::make_host_fixture(false);
    g_host = &host;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in(data, size);
    restore();
    const uint8_t flags = in.u8();
    bool opened = false;
    if (flags & 7) {
        if (DevOpen(3, g_host->image.c_str()) != 0)
            fuzz::fail("open image");
        opened = true;
        static const char* const pins[3] = {DEFAULT_PIN_TYPE0, DEFAULT_PIN_TYPE1, DEFAULT_PIN_TYPE2};
        for (int t = 0; t < 3; ++t) {
            if (!(flags & (4 >> t)))
                continue;
            uint32_t tries = 0;
            if (DevVerifyPin(t, pins[t], &tries) != 0)
                fuzz::fail("default PIN refused");
        }
    }
    for (int n = 0; !in.empty() && n < 32; ++n) {
        size_t len = in.u8();
        if (len == 255)
            len += in.u8();
        fuzz::Bytes c = in.take(len);
        std::unique_ptr<uint8_t[]> cmd(new uint8_t[c.size() + (c.empty() ? 1 : 0)]);
        if (!c.empty())
            std::memcpy(cmd.get(), c.data(), c.size());
        std::unique_ptr<uint8_t[]> reply(new uint8_t[DAZI_REPLY_MAX]);
        uint32_t replyLen = 0;
        int32_t rc = DAZI_IO(cmd.get(), static_cast<uint32_t>(c.size()), reply.get(), &replyLen);
        if (rc == 0 && (replyLen < 2 || replyLen > DAZI_REPLY_MAX))
            fuzz::fail("reply length out of range");
        if (rc != 0 && (!c.empty() && c.size() <= DAZI_CMD_MAX))
            fuzz::fail("command of a valid length refused");
    }
    if (opened)
        DevClose();
    return 0;
}
