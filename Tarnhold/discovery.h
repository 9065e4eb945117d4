#pragma once
// What the daemon tells the switch about the host: its interfaces and their
// MAC addresses, the machine identifier (CID) and the user description. All
// of it is filled once during start-up and only read afterwards.

#include "common/ConfigBox.h"
#include "common/machine_id.h"
#include "common/paths.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Interface name to MAC text "XX-XX-XX-XX-XX-XX" (empty until read); names in
// byte-wise order.
extern std::map<std::string, std::string> g_mapDevice;
// "XXXXXXXXXXXX" of every interface whose MAC was read, in name order.
extern std::vector<std::string> g_vecMac;
// The user description (key "info" of config.ini).
extern std::string g_strUserDes;

inline constexpr const char* PROC_NET_DEV = "/proc/net/dev";

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    unsigned char Data4[8];
} GUID;
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

// Lists the interfaces of the file (two heading lines, then one line per
// interface) into devices, without "lo" and names beginning "vir"; prints
// each kept name and returns how many were kept. A file that cannot be
// opened, or read to its end, lists nothing (0, a message on standard
// error): a part of the list is never taken for the whole.
int GetNetCardCount(const char* path = PROC_NET_DEV,
                    std::map<std::string, std::string>& devices = g_mapDevice);

// Reads the MAC address of every listed interface with SIOCGIFHWADDR on sock:
// sets the map's text and appends the plain text to macs. True when at least
// one was read.
bool ReadMacAddresses(int sock, std::map<std::string, std::string>& devices = g_mapDevice,
                      std::vector<std::string>& macs = g_vecMac);

// 32 upper-case hexadecimal digits.
std::string GuidToString(const GUID& guid);

// Loads the CID from keyDat into g_szCID, or builds one from the first MACs
// (one to five of them) and a fresh UUID and saves it. With no MAC or six or
// more, no CID is built. A Key.dat that exists but cannot be read is never
// replaced: no CID is built then.
void InitUUID(const char* keyDat = MAVO_KEY_DAT_FILE, const std::vector<std::string>& macs = g_vecMac);

enum class CidOutcome {
    Kept,       // Key.dat held an identifier, now in g_szCID
    Made,       // a new identifier was built and saved
    None,       // no identifier can be built (no MAC, or six and more)
    Unreadable, // Key.dat exists but cannot be read; it is left as it is
    NotSaved,   // a new identifier was built but could not be saved
};
// InitUUID with its outcome; readErr (when not null) gets the error number
// of a Key.dat that could not be read, else 0.
CidOutcome LoadOrMakeCID(const char* keyDat, const std::vector<std::string>& macs, int* readErr);

// Reads "info" from the configuration file (under the configuration lock of
// lockDir) into des. False, after printing the request for the user's
// information, when it is "0"; a missing file or key gives "". A file that
// exists but cannot be read also gives false, with nothing printed and des
// unchanged: readErr (when not null) then gets the error number, and 0
// otherwise.
bool ReadUserDes(const char* configFile = MAVO_CONFIG_FILE, const char* lockDir = MAVO_DIR,
                 std::string& des = g_strUserDes, int* readErr = nullptr);
// The same through the given (fresh) property file object.
bool ReadUserDes(CConfigBox& box, const char* configFile, const char* lockDir, std::string& des,
                 int* readErr = nullptr);
