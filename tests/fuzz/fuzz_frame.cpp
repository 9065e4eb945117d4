// The daemon's per-frame handling: any bytes from the wire, one frame after
// another with the daemon state carried over (the chosen interface, the
// buffer), decryption through the key device facade on a real host image.
//
// Input: records of [flags u8][length u16][bytes]. flags bit 0: a failed
// receive (-1) instead of the bytes; bit 1: the valid challenge block of the
// host image laid over bytes 26..275 of the frame; bit 2: the image is
// missing; bit 3: the send fails; bits 4 and 5: the interface the frame
// arrived on (eth0, eth1, none, an unknown one). A frame is at most the
// receive buffer's size and is handed over in a buffer of exactly its own
// length, so a read past it is caught.

#include "Tarnhold/handler.h"
#include "Tarnhold/msg.h"
#include "host_fixture.h"
#include "keydev/kmxdev.h"

#include <memory>

namespace {

fuzz::HostFixture* g_host = nullptr;

class FuzzEffects : public DaemonEffects {
public:
    long send(const unsigned char* frame, size_t len, int ifindex, const unsigned char* dst) override
    {
        // Reading every byte makes a short or overlong send visible to the
        // sanitizer.
        unsigned sum = 0;
        for (size_t i = 0; i < len; ++i)
            sum += frame[i];
        for (size_t i = 0; i < msg::MAC_LEN; ++i)
            sum += dst[i];
        sink_ += sum + static_cast<unsigned>(ifindex);
        if (len > RECV_BUFFER_SIZE)
            fuzz::fail("reply longer than a frame");
        return sendFails ? -1 : static_cast<long>(len);
    }
    int decrypt(unsigned char* block, unsigned char* out, size_t& len) override
    {
        std::vector<char> keyFile(g_host->image.begin(), g_host->image.end());
        keyFile.push_back('\0');
        return kmx_decryption(block, out, len, keyFile.data());
    }
    bool key_file_exists() override { return keyExists; }
    unsigned interface_index(const std::string& name) override
    {
        if (name == "eth0")
            return 2;
        if (name == "eth1")
            return 3;
        return 0;
    }
    // eth1 is a port of the device of index 7.
    int interface_master(int ifindex) override { return ifindex == 3 ? 7 : 0; }
    void write_result(int v) override { sink_ += static_cast<unsigned>(v); }
    void log(int, const char* line) override { sink_ += static_cast<unsigned>(std::strlen(line)); }
    void console(const char* text) override { sink_ += static_cast<unsigned>(std::strlen(text)); }
    void console_error(const char* text) override { sink_ += static_cast<unsigned>(std::strlen(text)); }
    void host_name(unsigned char* field) override
    {
        std::memset(field, 0, msg::HOSTNAME_LEN);
        std::memcpy(field, "fuzz-host", 9);
    }
    bool keyExists = true;
    bool sendFails = false;
    volatile unsigned sink_ = 0;
};

DaemonState fixed_state()
{
    DaemonState st;
    st.devices = {{"eth0", "02-00-00-00-00-01"}, {"eth1", "02-00-00-00-00-02"}, {"eth9", "02-00-00-00-00-09"}};
    st.macs = {"020000000001", "020000000002", "020000000009"};
    std::memcpy(st.cid, g_host->cid.data(), msg::CID_SIZE);
    st.des = "fuzz user";
    return st;
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
    DaemonState st = fixed_state();
    FuzzEffects fx;
    for (int frames = 0; !in.empty() && frames < 16; ++frames) {
        const uint8_t flags = in.u8();
        size_t len = in.u16() % (RECV_BUFFER_SIZE + 1);
        fuzz::Bytes f = in.take(len);
        if ((flags & 2) && f.size() >= msg::SM2_REQUEST_SIZE)
            std::memcpy(&f[msg::REQ_DATA], g_host->block.data(), msg::SM2_BLOCK_LEN);
        std::unique_ptr<unsigned char[]> buf(new unsigned char[f.size() + (f.empty() ? 1 : 0)]);
        if (!f.empty())
            std::memcpy(buf.get(), f.data(), f.size());
        fx.keyExists = !(flags & 4);
        fx.sendFails = (flags & 8) != 0;
        const long received = (flags & 1) ? -1 : static_cast<long>(f.size());
        const int arrivedOn[] = {2, 3, 0, 7};
        HandleFrame(buf.get(), received, arrivedOn[(flags >> 4) & 3], st, fx);
    }
    return 0;
}
