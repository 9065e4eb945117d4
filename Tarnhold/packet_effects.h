#pragma once
// The daemon's effects on the world: replies on the packet socket, the key
// device facade on the installed image, "Result" in config.ini under the
// configuration lock, the log and the console.

#include "Tarnhold/handler.h"
#include "common/ConfigBox.h"

#include <cstddef>
#include <string>

// One blocking receive of a frame of at most cap bytes into buf, with the
// link-layer address of its arrival: *ifindex gets the index of the
// interface it arrived on (0 when the receive failed). Returns the number of
// bytes, or -1.
long ReceiveFrame(int sock, unsigned char* buf, size_t cap, int* ifindex);

// Index of the master device (bridge, bond) of the interface of index
// ifindex, asked of the kernel over route netlink: 0 when the interface has
// no master or does not exist, -1 (errno set) when the answer cannot be had.
int InterfaceMaster(int ifindex);

class PacketEffects : public DaemonEffects {
public:
    // box is the one property file object through which every "Result" is
    // written; the paths are those of config.ini, its folder and the image.
    PacketEffects(int sock, CConfigBox& box, std::string configFile, std::string lockDir, std::string image);

    long send(const unsigned char* frame, size_t len, int ifindex, const unsigned char* dst) override;
    int decrypt(unsigned char* block, unsigned char* out, size_t& len) override;
    bool key_file_exists() override;
    unsigned interface_index(const std::string& name) override;
    int interface_master(int ifindex) override;
    void write_result(int v) override;
    void log(int level, const char* line) override;
    void console(const char* text) override;
    void console_error(const char* text) override;
    void host_name(unsigned char* field) override;

private:
    int sock_;
    CConfigBox& box_;
    std::string configFile_;
    std::string lockDir_;
    std::string image_;
};
