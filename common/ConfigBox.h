#pragma once
// Key=value property file kept as the list of its lines, so that comments,
// blank lines, unknown keys and the order of lines survive a rewrite.
//
// A property line is a line whose trimmed text (" \t\n\r" removed at both
// ends) is not empty, does not begin with "#" and contains "="; its key is the
// trimmed text before the first "=", its value the trimmed text after it.
// Keys compare exactly; the single-value operations use the first matching
// line. Every other line is kept verbatim and ignored by the look-ups.

#include <map>
#include <string>
#include <vector>

class CConfigBox {
public:
    CConfigBox();
    virtual ~CConfigBox();
    CConfigBox(const CConfigBox&) = delete;
    CConfigBox& operator=(const CConfigBox&) = delete;

    // Reads the file's lines (any length; "\n" removed, a "\r" kept; leading
    // empty lines dropped). Opens the object on success. A file that cannot
    // be opened or read, is not a regular file (a directory, FIFO or device)
    // or is too big to hold in memory closes the object and keeps the lines
    // held before; false then, with errno telling why (ENOENT: no such file).
    // The process locale is "C" afterwards.
    virtual bool load(const std::string& config_file);
    // Rewrites the loaded file from the lines when open and modified, as one
    // step (temporary file, then rename). True when written or nothing was
    // due; on failure the file is left as it was and the object stays
    // modified.
    virtual bool save();

    virtual std::string get_property(const std::string& key, const std::string& default_property);
    virtual int get_property_as_int(const std::string& key, int default_property);
    virtual double get_property_as_double(const std::string& key, double default_property);
    virtual void get_properties(const std::string& key, std::vector<std::string>& properties);
    virtual void get_properties_with_prefix(const std::string& key_prefix,
                                            std::vector<std::string>& properties);
    virtual void get_properties_map_with_prefix(const std::string& key_prefix,
                                                std::map<std::string, std::string>& properties_map);

    // Replaces the first line of key by "key=property", or appends that line.
    // Line breaks are removed from the value; a key that holds
    // "=", "\r" or "\n" is refused (false, nothing changed).
    virtual bool set_property(const std::string& key, const std::string& property);
    virtual bool set_property_as_int(const std::string& key, int property);
    virtual bool set_property_as_double(const std::string& key, double property);
    // Removes every line of key and appends one "key=value" line per element.
    virtual bool set_properties(const std::string& key, const std::vector<std::string>& properties);

    bool is_open() const { return _is_open; }

private:
    static std::string trim(const std::string& str);
    // Splits a property line; false for any other line.
    static bool split_line(const std::string& line, std::string& key, std::string& value);

    bool _is_open;
    bool _is_modified;
    std::string _config_file;
    std::vector<std::string> _config_lines;
};
