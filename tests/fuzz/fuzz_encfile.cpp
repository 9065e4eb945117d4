// The encrypted-file opener on a mutated file: the file is untrusted input
// of the key device session (a user hands any file to it). The base is a
// file encrypted at start-up to the host image's identity; the input either
// patches it or replaces it whole.
//
// Input: [flags u8]; flags bit 0: the rest is the whole file; otherwise
// patches [offset u16][length u8][bytes] (offset modulo the file size),
// and flags bit 1 cuts the file to the offset of the last patch.

#include "host_fixture.h"
#include "keydev/kmxdev.h"
#include "vcard/default_pins.h"

namespace {

fuzz::HostFixture* g_host = nullptr;
fuzz::Bytes g_file;       // the valid encrypted file
fuzz::Bytes g_content;    // its plaintext

const char kIdentity[] = "fuzz@host";

uint32_t open_file(const fuzz::Bytes& file, fuzz::Bytes* out)
{
    const std::string in = fuzz::Scratch::file("in.enc"), outPath = fuzz::Scratch::file("out.dec");
    if (!fuzz::write_file(in, file))
        fuzz::fail("write input");
    std::remove(outPath.c_str());
    if (DevOpen(3, g_host->image.c_str()) != 0)
        fuzz::fail("open image");
    uint32_t tries = 0;
    if (DevVerifyPin(2, DEFAULT_PIN_TYPE2, &tries) != 0)
        fuzz::fail("user PIN refused");
    uint32_t st = DevDecryptFile(1, in.c_str(), outPath.c_str());
    DevClose();
    if (st != 0 && access(outPath.c_str(), F_OK) == 0)
        fuzz::fail("failed decryption left an output file");
    if (st == 0 && out != nullptr)
        *out = fuzz::read_file(outPath);
    return st;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static fuzz::HostFixture host =
        fuzz::make_host_fixture(false, fuzz::Bytes(kIdentity, kIdentity + sizeof kIdentity - 1));
    g_host = &host;
    g_content.resize(300);
    for (size_t i = 0; i < g_content.size(); ++i)
        g_content[i] = static_cast<uint8_t>(i * 7);
    const std::string plain = fuzz::Scratch::file("plain"), enc = fuzz::Scratch::file("base.enc");
    fuzz::write_file(plain, g_content);
    AddresseeEntry to{};
    std::strcpy(to.id, kIdentity);
    std::strcpy(to.matrixName, "FUZZHOST");
    unsigned char k[64];
    int kLen = sizeof k;
    if (KMX_Encrypt_File((fuzz::Scratch::dir() + "/").c_str(), &to, 1, plain.c_str(), enc.c_str(), k, &kLen) != 0)
        fuzz::fail("encrypt file");
    g_file = fuzz::read_file(enc);
    fuzz::Bytes back;
    if (open_file(g_file, &back) != 0 || back != g_content)
        fuzz::fail("the valid file does not open");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in(data, size);
    const uint8_t flags = in.u8();
    fuzz::Bytes file;
    if (flags & 1) {
        file = in.rest();
    } else {
        file = g_file;
        size_t last = file.size();
        for (int n = 0; !in.empty() && n < 32; ++n) {
            size_t off = in.u16() % file.size();
            fuzz::Bytes b = in.take(in.u8());
            for (size_t i = 0; i < b.size() && off + i < file.size(); ++i)
                file[off + i] = b[i];
            last = off;
        }
        if (flags & 2)
            file.resize(last);
    }
    fuzz::Bytes out;
    if (open_file(file, &out) == 0 && file == g_file && out != g_content)
        fuzz::fail("the valid file opened to other bytes");
    return 0;
}
