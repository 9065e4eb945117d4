#include "tools/switchsim/frame.h"

#include <cstring>

namespace switchsim {

namespace {

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void put_be16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

Mac mac_at(const uint8_t* p)
{
    Mac m;
    std::memcpy(m.data(), p, 6);
    return m;
}

bool fail(std::string& why, const std::string& text)
{
    why = text;
    return false;
}

} // namespace

Bytes build_request(const Request& r)
{
    Bytes f(kHeadLen + (r.typeOnly ? 1 : 2 + r.data.size()), 0);
    std::memcpy(&f[0], r.dst.data(), 6);
    std::memcpy(&f[6], r.src.data(), 6);
    put_be16(&f[12], r.etherType);
    std::memcpy(&f[16], r.marker.data(), r.marker.size() < 8 ? r.marker.size() : 8);
    size_t len = r.declaredLen < 0 ? f.size() : static_cast<size_t>(r.declaredLen);
    put_be16(&f[14], static_cast<uint16_t>(len));
    f[24] = r.type;
    if (!r.typeOnly) {
        f[25] = static_cast<uint8_t>(r.recLen < 0 ? r.data.size() : static_cast<size_t>(r.recLen));
        if (!r.data.empty())
            std::memcpy(&f[26], r.data.data(), r.data.size());
    }
    return f;
}

bool parse_reply(const uint8_t* p, size_t n, Reply& out, std::string& why)
{
    out = Reply{};
    if (n < kHeadLen + 2)
        return fail(why, "frame of " + std::to_string(n) + " bytes is shorter than a header and a record");
    out.dst = mac_at(p);
    out.src = mac_at(p + 6);
    out.etherType = be16(p + 12);
    out.declaredLen = be16(p + 14);
    out.markerOk = std::memcmp(p + 16, kMarker, 8) == 0;
    out.type = p[24];
    if (out.etherType != kEtherType)
        return fail(why, "ethertype " + std::to_string(out.etherType));
    if (!out.markerOk)
        return fail(why, "marker is not akqwakqw");
    if (out.declaredLen != n)
        return fail(why, "length field " + std::to_string(out.declaredLen) + " but " +
                             std::to_string(n) + " bytes received");
    if (out.type == kResponseSm2) {
        // 24 head | 2,128 plaintext | 6,60 host | 10,L description | 0
        if (n < 219)
            return fail(why, "SM2 reply of " + std::to_string(n) + " bytes (at least 219)");
        if (p[25] != kPlainField)
            return fail(why, "plaintext record length " + std::to_string(p[25]));
        if (p[154] != kResponseId || p[155] != kHostField)
            return fail(why, "host-name record type/length " + std::to_string(p[154]) + "/" +
                                 std::to_string(p[155]));
        if (p[216] != kResponseDes)
            return fail(why, "description record type " + std::to_string(p[216]));
        size_t L = n - 219;
        if (p[217] != static_cast<uint8_t>(L))
            return fail(why, "description length byte " + std::to_string(p[217]) + " for " +
                                 std::to_string(L) + " bytes");
        if (p[n - 1] != 0)
            return fail(why, "last byte of the SM2 reply is not zero");
        out.plain.assign(p + 26, p + 26 + kPlainField);
        out.hostField.assign(p + 156, p + 156 + kHostField);
        out.desc.assign(p + 218, p + 218 + L);
        return true;
    }
    if (out.type == kResponseMac) {
        // 24 head | 9,(6k+39) MACs and CID | 10,L description
        uint8_t recLen = p[25];
        if (recLen < kCidLen || (recLen - kCidLen) % 6 != 0)
            return fail(why, "MAC record length " + std::to_string(recLen));
        size_t k = (recLen - kCidLen) / 6;
        size_t descAt = 26 + 6 * k + kCidLen;
        if (n < descAt + 2)
            return fail(why, "identity reply of " + std::to_string(n) + " bytes for " +
                                 std::to_string(k) + " MACs");
        if (p[descAt] != kResponseDes)
            return fail(why, "description record type " + std::to_string(p[descAt]));
        size_t L = p[descAt + 1];
        if (n != descAt + 2 + L)
            return fail(why, "identity reply of " + std::to_string(n) + " bytes, expected " +
                                 std::to_string(descAt + 2 + L));
        for (size_t i = 0; i < k; ++i)
            out.macs.push_back(mac_at(p + 26 + 6 * i));
        out.cid.assign(p + 26 + 6 * k, p + 26 + 6 * k + kCidLen);
        out.desc.assign(p + descAt + 2, p + n);
        return true;
    }
    return fail(why, "record type " + std::to_string(out.type) + " is no reply");
}

std::string to_hex(const uint8_t* p, size_t n)
{
    static const char* d = "0123456789ABCDEF";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

bool from_hex(const std::string& s, Bytes& out)
{
    auto nib = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    out.clear();
    if (s.size() % 2)
        return false;
    for (size_t i = 0; i < s.size(); i += 2) {
        int hi = nib(s[i]), lo = nib(s[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

bool parse_mac(const std::string& s, Mac& out)
{
    std::string h;
    for (char c : s)
        if (c != ':' && c != '-')
            h += c;
    Bytes b;
    if (h.size() != 12 || !from_hex(h, b))
        return false;
    std::memcpy(out.data(), b.data(), 6);
    return true;
}

std::string mac_text(const Mac& m)
{
    std::string s;
    for (size_t i = 0; i < 6; ++i) {
        if (i)
            s += ':';
        s += to_hex(&m[i], 1);
    }
    return s;
}

Bytes host_field(const std::string& name)
{
    Bytes f(kHostField, 0);
    std::memcpy(f.data(), name.data(), name.size() < kHostField ? name.size() : kHostField);
    return f;
}

} // namespace switchsim
