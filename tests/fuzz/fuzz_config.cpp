// The settings files a user edits by hand: the property file object (load,
// look-ups, set, save, load again), the settings reader and the machine
// identifier reader, all on the same file.
//
// Input: [key length u8][key][value length u8][value][file bytes].
// After a set that succeeded and a save, a fresh load must find the value.

#include "common/ConfigBox.h"
#include "common/config_info.h"
#include "common/machine_id.h"
#include "fuzz_util.h"

#include <map>

namespace {

std::string text(const fuzz::Bytes& b) { return std::string(b.begin(), b.end()); }

std::string trimmed(const std::string& s)
{
    const char* ws = " \t\n\r";
    size_t a = s.find_first_not_of(ws);
    if (a == std::string::npos)
        return "";
    size_t b = s.find_last_not_of(ws);
    return s.substr(a, b - a + 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in(data, size);
    const std::string key = text(in.take(in.u8()));
    const std::string value = text(in.take(in.u8()));
    const fuzz::Bytes file = in.rest();
    const std::string path = fuzz::Scratch::file("config.ini");
    if (!fuzz::write_file(path, file))
        fuzz::fail("write file");

    CONFIG_INFO info;
    std::memset(&info, 0x5A, sizeof info);
    read_config_info(path.c_str(), &info);
    // A file with bytes fills the record (or zeroes what it lacks); an empty
    // one leaves it as it was.
    if (!file.empty() && std::memchr(info.version, 0, sizeof info.version) == nullptr)
        fuzz::fail("Version text without its terminator");

    std::memset(g_szCID, 0, sizeof g_szCID);
    ReadCID(path.c_str());
    if (!file.empty() && std::memcmp(g_szCID, file.data(), std::min<size_t>(file.size(), CID_LEN)) != 0)
        fuzz::fail("machine identifier differs from the file's first bytes");

    CConfigBox box;
    if (!box.load(path))
        return 0;
    static const char* const keys[] = {"Version", "LogLevel", "MaxRowNum", "info", "Result", ""};
    for (const char* k : keys) {
        box.get_property(k, "d");
        box.get_property_as_int(k, 7);
        box.get_property_as_double(k, 0.5);
    }
    std::vector<std::string> list;
    box.get_properties(key, list);
    box.get_properties_with_prefix(key, list);
    std::map<std::string, std::string> map;
    box.get_properties_map_with_prefix(key, map);
    box.get_property_as_int(key, 0);
    box.get_property_as_double(key, 0);

    if (!box.set_property(key, value))
        return 0;
    if (!box.save())
        fuzz::fail("save failed");
    // The value as it is stored: line breaks removed, then trimmed by the
    // look-up. A key only finds its line again when it is its own trimmed
    // form and the line reads as a property (not empty, no leading '#').
    std::string stored;
    for (char c : value)
        if (c != '\n' && c != '\r')
            stored += c;
    stored = trimmed(stored);
    if (key.empty() || trimmed(key) != key || key[0] == '#' || key.find('\0') != std::string::npos ||
        value.find('\0') != std::string::npos)
        return 0;
    CConfigBox again;
    if (!again.load(path))
        fuzz::fail("saved file does not load");
    if (again.get_property(key, "\x01missing") != stored)
        fuzz::fail("saved value not found again");
    return 0;
}
