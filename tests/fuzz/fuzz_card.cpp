// Card binding and a fixed command sequence over a mutated image: the image
// is untrusted (the configuration tool installs any file it is given), so
// every byte of it may be wrong. The base is an issuing image (a matrix
// record in card file 0x42) whose slot 1 holds the host key; the input
// patches it.
//
// Input: [flags u8], then patches [offset u24][length u8][bytes] (offset
// modulo the image size, bytes cut at its end). flags bit 0: the image is
// cut to the offset of the last patch.

#include "host_fixture.h"
#include "keydev/kmxdev.h"
#include "vcard/default_pins.h"

#include <unistd.h>

namespace {

fuzz::HostFixture* g_host = nullptr;

void session()
{
    const char* img = g_host->image.c_str();
    if (DevOpen(3, img) != 0) {
        DevClose();
        return;
    }
    char sn[64];
    uint32_t snLen = sizeof sn;
    DevGetSn(sn, &snLen);
    uint32_t tries = 0;
    DevVerifyPin(2, DEFAULT_PIN_TYPE2, &tries);
    DevVerifyPin(1, DEFAULT_PIN_TYPE1, &tries);
    static const int files[] = {0x40, 0x42, 0x31, 0x51, 0x80};
    for (int id : files) {
        DevFileIsExist(id);
        uint32_t flen = 0;
        DevGetFileLen(id, &flen);
        uint8_t buf[4096];
        int len = sizeof buf;
        DevReadFile(id, buf, &len);
    }
    uint8_t out[256];
    int outLen = sizeof out;
    DevSM2Decrypt(1, g_host->block.data(), static_cast<uint32_t>(g_host->block.size()), out, &outLen);
    for (uint32_t whole = 0; whole < 2; ++whole) {
        uint8_t id[64];
        uint32_t idLen = sizeof id;
        DevGetKeyId(whole, 1, id, &idLen);
        if (idLen > sizeof id)
            fuzz::fail("key id longer than its record");
    }
    uint8_t der[1024];
    int derLen = sizeof der;
    DevGenKeyCard(g_host->cid.data(), static_cast<uint32_t>(g_host->cid.size()), 1, nullptr, der, &derLen);
    DevClose();

    // The daemon's own calls, one session each.
    std::vector<char> keyFile(g_host->image.begin(), g_host->image.end());
    keyFile.push_back('\0');
    char id[64];
    size_t idLen = 0;
    kmx_getid(id, idLen, keyFile.data());
    fuzz::Bytes block = g_host->block;
    unsigned char plain[250];
    size_t plainLen = sizeof plain;
    if (kmx_decryption(block.data(), plain, plainLen, keyFile.data()) == 0 && plainLen > sizeof plain)
        fuzz::fail("plaintext longer than its buffer");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static fuzz::HostFixture host = fuzz::make_host_fixture(true);
    g_host = &host;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in(data, size);
    fuzz::Bytes img = g_host->imageBytes;
    const uint8_t flags = in.u8();
    size_t last = img.size();
    for (int n = 0; !in.empty() && n < 64; ++n) {
        size_t off = in.u24() % img.size();
        fuzz::Bytes b = in.take(in.u8());
        for (size_t i = 0; i < b.size() && off + i < img.size(); ++i)
            img[off + i] = b[i];
        last = off;
    }
    if (flags & 1)
        img.resize(last);
    if (!fuzz::write_file(g_host->image, img))
        fuzz::fail("write image");
    session();
    return 0;
}
