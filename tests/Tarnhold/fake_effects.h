#pragma once
// A stand-in for the daemon's effects: records every send, "Result" write,
// log line and console text, and decrypts with a scripted answer.

#include "Tarnhold/handler.h"
#include "Tarnhold/msg.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

// True when s begins with "[file main line] " (a file name without blanks,
// the function name "main", a line number); *rest gets what follows.
inline bool split_log_prefix(const std::string& s, std::string* rest)
{
    if (s.empty() || s[0] != '[')
        return false;
    size_t sp = s.find(' ');
    if (sp == std::string::npos || sp == 1 || s.compare(sp, 6, " main ") != 0)
        return false;
    size_t i = sp + 6, digits = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9')
        ++i;
    if (i == digits || s.compare(i, 2, "] ") != 0)
        return false;
    *rest = s.substr(i + 2);
    return true;
}

struct SentFrame {
    std::vector<unsigned char> bytes;
    int ifindex;
    std::vector<unsigned char> dst;
};

struct LogLine {
    int level;
    std::string line;
};

class FakeEffects : public DaemonEffects {
public:
    // Scripted behaviour.
    int decryptRc = 0;
    std::vector<unsigned char> plaintext;
    bool keyExists = true;
    long sendResult = 1; // > 0: the frame's length
    std::map<std::string, unsigned> indexes;
    std::map<int, int> masters;  // interface index -> master index
    int masterErrno = 0;         // non-zero: the master cannot be read
    std::string hostName = "host-a";

    // What happened.
    std::vector<SentFrame> sent;
    std::vector<int> results;
    std::vector<LogLine> logs;
    std::vector<std::string> consoleLines;
    std::vector<std::string> errors;
    std::vector<std::vector<unsigned char>> decryptedBlocks;
    std::vector<size_t> decryptCapacity;
    std::vector<int> masterLookups;

    long send(const unsigned char* frame, size_t len, int ifindex, const unsigned char* dst) override
    {
        sent.push_back({std::vector<unsigned char>(frame, frame + len), ifindex,
                        std::vector<unsigned char>(dst, dst + msg::MAC_LEN)});
        return sendResult > 0 ? static_cast<long>(len) : sendResult;
    }
    int decrypt(unsigned char* block, unsigned char* out, size_t& len) override
    {
        decryptedBlocks.emplace_back(block, block + msg::SM2_BLOCK_LEN);
        decryptCapacity.push_back(len);
        if (decryptRc != 0)
            return decryptRc;
        // The facade's contract: the plaintext fits the capacity or is refused.
        if (plaintext.size() > len)
            return 1018;
        std::memcpy(out, plaintext.data(), plaintext.size());
        len = plaintext.size();
        return 0;
    }
    bool key_file_exists() override { return keyExists; }
    unsigned interface_index(const std::string& name) override
    {
        auto it = indexes.find(name);
        return it == indexes.end() ? 0 : it->second;
    }
    int interface_master(int ifindex) override
    {
        masterLookups.push_back(ifindex);
        if (masterErrno != 0) {
            errno = masterErrno;
            return -1;
        }
        auto it = masters.find(ifindex);
        return it == masters.end() ? 0 : it->second;
    }
    void write_result(int v) override { results.push_back(v); }
    void log(int level, const char* line) override { logs.push_back({level, line}); }
    void console(const char* text) override { consoleLines.push_back(text); }
    void console_error(const char* text) override { errors.push_back(text); }
    void host_name(unsigned char* field) override
    {
        std::memset(field, 0, msg::HOSTNAME_LEN);
        std::memcpy(field, hostName.data(), std::min(hostName.size(), msg::HOSTNAME_LEN));
    }

    // The log line whose text (after the "[file main line] " prefix) equals text.
    const LogLine* findLog(const std::string& text) const
    {
        for (const LogLine& l : logs) {
            size_t p = l.line.find("] ");
            if (p != std::string::npos && l.line.substr(p + 2) == text)
                return &l;
        }
        return nullptr;
    }
    bool hasConsole(const std::string& text) const
    {
        for (const std::string& s : consoleLines)
            if (s == text)
                return true;
        return false;
    }
    void clear()
    {
        sent.clear();
        results.clear();
        logs.clear();
        consoleLines.clear();
        errors.clear();
        decryptedBlocks.clear();
        decryptCapacity.clear();
        masterLookups.clear();
    }
};
