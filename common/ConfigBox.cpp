#include "common/ConfigBox.h"

#include "common/file_operations.h"

#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <new>
#include <sstream>

namespace {

const char* const kBlanks = " \t\n\r";

// A key that would change the file's line structure or its own meaning.
bool bad_key(const std::string& key)
{
    return key.find_first_of("=\r\n") != std::string::npos;
}

std::string without_line_breaks(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    for (char c : value)
        if (c != '\r' && c != '\n')
            out += c;
    return out;
}

} // namespace

CConfigBox::CConfigBox() : _is_open(false), _is_modified(false) {}

CConfigBox::~CConfigBox() = default;

std::string CConfigBox::trim(const std::string& str)
{
    size_t b = str.find_first_not_of(kBlanks);
    if (b == std::string::npos)
        return "";
    size_t e = str.find_last_not_of(kBlanks);
    return str.substr(b, e - b + 1);
}

bool CConfigBox::split_line(const std::string& line, std::string& key, std::string& value)
{
    std::string t = trim(line);
    if (t.empty() || t[0] == '#')
        return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos)
        return false;
    key = trim(t.substr(0, eq));
    value = trim(t.substr(eq + 1));
    return true;
}

bool CConfigBox::load(const std::string& config_file)
{
    std::setlocale(LC_ALL, "");
    // Only a regular file: a FIFO would wait for a writer, a device such as
    // /dev/zero would never end.
    int fd = open_regular_fd(config_file.c_str());
    int e = errno;
    std::setlocale(LC_ALL, "C");
    _is_open = false;
    if (fd < 0) {
        errno = e;
        return false;
    }

    std::string text;
    e = read_fd_whole(fd, text);
    close(fd);
    std::vector<std::string> lines;
    if (e == 0) {
        try {
            size_t start = 0;
            for (;;) {
                size_t nl = text.find('\n', start);
                std::string line =
                    text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
                if (!(line.empty() && lines.empty()))
                    lines.push_back(std::move(line));
                if (nl == std::string::npos)
                    break;
                start = nl + 1;
            }
        } catch (const std::bad_alloc&) {
            // A file too big to hold is refused like an unreadable one.
            e = ENOMEM;
        }
    }
    // A read error (an I/O error, no memory) must not leave a partly read
    // file that a later save would write back.
    if (e != 0) {
        errno = e;
        return false;
    }

    _config_file = config_file;
    _config_lines = std::move(lines);
    _is_open = true;
    _is_modified = false;
    return true;
}

bool CConfigBox::save()
{
    if (!_is_open || !_is_modified)
        return true;
    std::string text;
    for (size_t i = 0; i < _config_lines.size(); ++i) {
        if (i > 0)
            text += '\n';
        text += _config_lines[i];
    }
    std::setlocale(LC_ALL, "");
    bool ok = replace_file_contents(_config_file.c_str(), text.data(), text.size());
    std::setlocale(LC_ALL, "C");
    if (ok)
        _is_modified = false;
    return ok;
}

std::string CConfigBox::get_property(const std::string& key, const std::string& default_property)
{
    std::string k, v;
    for (const std::string& line : _config_lines)
        if (split_line(line, k, v) && k == key)
            return v;
    return default_property;
}

int CConfigBox::get_property_as_int(const std::string& key, int default_property)
{
    std::string v = get_property(key, "");
    return v.empty() ? default_property : std::atoi(v.c_str());
}

double CConfigBox::get_property_as_double(const std::string& key, double default_property)
{
    std::string v = get_property(key, "");
    return v.empty() ? default_property : std::atof(v.c_str());
}

void CConfigBox::get_properties(const std::string& key, std::vector<std::string>& properties)
{
    std::string k, v;
    for (const std::string& line : _config_lines)
        if (split_line(line, k, v) && k == key)
            properties.push_back(v);
}

void CConfigBox::get_properties_with_prefix(const std::string& key_prefix,
                                            std::vector<std::string>& properties)
{
    std::string k, v;
    for (const std::string& line : _config_lines)
        if (split_line(line, k, v) && k.compare(0, key_prefix.size(), key_prefix) == 0)
            properties.push_back(v);
}

void CConfigBox::get_properties_map_with_prefix(const std::string& key_prefix,
                                                std::map<std::string, std::string>& properties_map)
{
    std::string k, v;
    for (const std::string& line : _config_lines)
        if (split_line(line, k, v) && k.compare(0, key_prefix.size(), key_prefix) == 0)
            properties_map[trim(k.substr(key_prefix.size()))] = v;
}

bool CConfigBox::set_property(const std::string& key, const std::string& property)
{
    if (bad_key(key))
        return false;
    std::string text = key + "=" + without_line_breaks(property);
    std::string k, v;
    bool replaced = false;
    for (std::string& line : _config_lines) {
        if (split_line(line, k, v) && k == key) {
            line = text;
            replaced = true;
            break;
        }
    }
    if (!replaced)
        _config_lines.push_back(text);
    _is_modified = true;
    return true;
}

bool CConfigBox::set_property_as_int(const std::string& key, int property)
{
    std::ostringstream os;
    os << property;
    return set_property(key, os.str());
}

bool CConfigBox::set_property_as_double(const std::string& key, double property)
{
    std::ostringstream os;
    os << std::fixed << std::setprecision(16) << property;
    return set_property(key, os.str());
}

bool CConfigBox::set_properties(const std::string& key, const std::vector<std::string>& properties)
{
    if (bad_key(key))
        return false;
    // Unlike the look-ups, comment lines are not exempt here.
    std::vector<std::string> kept;
    kept.reserve(_config_lines.size() + properties.size());
    for (std::string& line : _config_lines) {
        std::string t = trim(line);
        size_t eq = t.find('=');
        if (eq != std::string::npos && trim(t.substr(0, eq)) == key)
            continue;
        kept.push_back(std::move(line));
    }
    for (const std::string& p : properties)
        kept.push_back(key + "=" + without_line_breaks(p));
    _config_lines = std::move(kept);
    _is_modified = true;
    return true;
}
