// tarn-switch: plays the access switch on one interface.
//
//   tarn-switch --if IF --host-mac MAC ACTION [options]
//
// Actions:
//   identity    send an identity request and check the identity reply
//   challenge   send an SM2 challenge, encrypted to an identity under a public
//               matrix file, and check the SM2 reply
//   send        send one request built from the options (or --raw-hex bytes),
//               or --repeat N of them in a row
//   bench       N challenges in a row (encrypted before the timed loop):
//               median and 99th-percentile round trip, challenges per second
//   flood       --count N random and malformed frames (seeded: --seed S, the
//               seed is printed) with a valid challenge after every --every K
//               of them; each challenge must be answered with its plaintext
//               (a challenge whose frame the kernel dropped under the load is
//               sent again, at most 3 times, and counted); with --rss-pid the
//               daemon's VmRSS after the warm-up and at the end, and with
//               --max-rss-growth-kb KB a growth beyond that fails
//
// Frame options (every action):
//   --type T --data HEX         record type and data (send)
//   --declared-len N            header length field (default: true length)
//   --rec-len N                 record length byte (default: data length)
//   --dst MAC                   destination (default: --host-mac)
//   --ethertype N --marker TXT  header fields (defaults 0x876D, akqwakqw)
//   --type-only                 end the frame after the type byte (25 bytes)
//   --raw-hex HEX               send these bytes as they are
// Challenge options:
//   --matrix FILE               public matrix file
//   --cid-file FILE | --cid HEX identity to encrypt to (the 39 raw CID bytes)
//   --plaintext HEX | --plaintext-len N (random; default 128)
//   --set-n N                   overwrite the block's length byte after encrypting
// Expectations:
//   --expect-no-reply           nothing may arrive within --quiet-ms (default 300)
//   --expect-plaintext HEX      (challenge: default the plaintext that was sent)
//   --expect-fail               the plaintext field is 128 bytes 0xFF
//   --expect-desc TEXT          the description record
//   --expect-hostname NAME      the host-name field (default: this host's name)
//   --expect-macs M1,M2,...     identity reply: the MAC list, in order
//   --expect-cid HEX | --expect-cid-file FILE
//   --timeout-ms N              wait for a reply (default 3000)
// Bench options: --count N, --distinct K (cycle over K challenges), --rss-pid
//   PID (VmRSS of the daemon before and after), --baseline-image FILE (copy of
//   the host image: bare kmx_decryption and bare SM2_Decrypt in the same run).
//
// Prints what it saw; exit status 0 when every check held, 1 on any mismatch,
// 2 on a usage or system error.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "keydev/kmxdev.h"
#include "kmx/kmxsoft.h"
#include "smcrypto/sm2.h"
#include "tools/switchsim/frame.h"

using namespace switchsim;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::map<std::string, std::string> v;
    std::map<std::string, bool> flags;
    bool has(const std::string& k) const { return v.count(k) != 0; }
    std::string get(const std::string& k, const std::string& d = "") const
    {
        auto it = v.find(k);
        return it == v.end() ? d : it->second;
    }
    long num(const std::string& k, long d) const
    {
        return has(k) ? std::strtol(get(k).c_str(), nullptr, 0) : d;
    }
    bool flag(const std::string& k) const { return flags.count(k) != 0; }
};

[[noreturn]] void die(const std::string& text)
{
    std::fprintf(stderr, "tarn-switch: %s\n", text.c_str());
    std::exit(2);
}

int g_mismatches = 0;

void mismatch(const std::string& text)
{
    std::printf("MISMATCH: %s\n", text.c_str());
    ++g_mismatches;
}

Bytes read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        die("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

class Port {
public:
    Port(const std::string& ifname, int timeoutMs) : timeoutMs_(timeoutMs)
    {
        // Protocol 0 until bound: no frame of another interface is queued.
        fd_ = socket(AF_PACKET, SOCK_RAW, 0);
        if (fd_ < 0)
            die(std::string("socket: ") + std::strerror(errno));
        ifindex_ = static_cast<int>(if_nametoindex(ifname.c_str()));
        if (!ifindex_)
            die("no interface " + ifname);
        sockaddr_ll a{};
        a.sll_family = AF_PACKET;
        a.sll_protocol = htons(kEtherType);
        a.sll_ifindex = ifindex_;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0)
            die(std::string("bind: ") + std::strerror(errno));
        ifreq r{};
        std::snprintf(r.ifr_name, IFNAMSIZ, "%s", ifname.c_str());
        if (ioctl(fd_, SIOCGIFHWADDR, &r) < 0)
            die(std::string("SIOCGIFHWADDR: ") + std::strerror(errno));
        std::memcpy(mac_.data(), r.ifr_hwaddr.sa_data, 6);
    }
    ~Port() { close(fd_); }
    const Mac& mac() const { return mac_; }

    void send(const Bytes& f)
    {
        sockaddr_ll a{};
        a.sll_family = AF_PACKET;
        a.sll_ifindex = ifindex_;
        a.sll_halen = 6;
        std::memcpy(a.sll_addr, f.data(), f.size() < 6 ? f.size() : 6);
        if (sendto(fd_, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) !=
            static_cast<ssize_t>(f.size()))
            die(std::string("sendto: ") + std::strerror(errno));
    }

    // The next frame that arrives from outside within ms milliseconds.
    bool receive(Bytes& f, int ms)
    {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left < 0)
                return false;
            pollfd p{fd_, POLLIN, 0};
            int r = poll(&p, 1, left);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            uint8_t buf[4096];
            sockaddr_ll from{};
            socklen_t fl = sizeof from;
            ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
            if (n < 0)
                continue;
            if (from.sll_pkttype == PACKET_OUTGOING)
                continue;   // our own request
            f.assign(buf, buf + n);
            return true;
        }
    }
    int timeoutMs() const { return timeoutMs_; }

private:
    int fd_ = -1;
    int ifindex_ = 0;
    int timeoutMs_;
    Mac mac_{};
};

std::string printable(const Bytes& b)
{
    std::string s;
    for (uint8_t c : b)
        s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    return s;
}

std::string this_host()
{
    char h[256] = {0};
    gethostname(h, sizeof h - 1);
    return h;
}

Request base_request(const Options& o, const Mac& hostMac, const Mac& own)
{
    Request r;
    r.dst = hostMac;
    if (o.has("dst") && !parse_mac(o.get("dst"), r.dst))
        die("bad --dst");
    r.src = own;
    r.etherType = static_cast<uint16_t>(o.num("ethertype", kEtherType));
    if (o.has("marker"))
        r.marker = o.get("marker");
    r.declaredLen = static_cast<int>(o.num("declared-len", -1));
    r.recLen = static_cast<int>(o.num("rec-len", -1));
    r.typeOnly = o.flag("type-only");
    return r;
}

void check_common(const Reply& r, const Mac& hostMac, const Mac& own, const Options& o)
{
    if (r.dst != own)
        mismatch("destination " + mac_text(r.dst) + ", expected " + mac_text(own));
    if (r.src != hostMac)
        mismatch("source " + mac_text(r.src) + ", expected " + mac_text(hostMac));
    if (o.has("expect-desc")) {
        const std::string want = o.get("expect-desc");
        if (r.desc != Bytes(want.begin(), want.end()))
            mismatch("description \"" + printable(r.desc) + "\", expected \"" + want + "\"");
    }
}

// Waits for the reply; false (after reporting) when none came or none was due.
bool await_reply(Port& port, const Options& o, Reply& reply)
{
    Bytes f;
    if (o.flag("expect-no-reply")) {
        if (port.receive(f, static_cast<int>(o.num("quiet-ms", 300)))) {
            mismatch("a reply of " + std::to_string(f.size()) + " bytes came: " + to_hex(f));
        } else {
            std::printf("no reply, as expected\n");
        }
        return false;
    }
    if (!port.receive(f, port.timeoutMs())) {
        mismatch("no reply within " + std::to_string(port.timeoutMs()) + " ms");
        return false;
    }
    std::printf("reply of %zu bytes: %s\n", f.size(), to_hex(f).c_str());
    std::string why;
    if (!parse_reply(f.data(), f.size(), reply, why)) {
        mismatch("malformed reply: " + why);
        return false;
    }
    return true;
}

int do_identity(Port& port, const Options& o, const Mac& hostMac)
{
    Request rq = base_request(o, hostMac, port.mac());
    rq.type = static_cast<uint8_t>(o.num("type", kRequestMac));
    if (o.has("data") && !from_hex(o.get("data"), rq.data))
        die("bad --data");
    port.send(build_request(rq));
    Reply r;
    if (!await_reply(port, o, r))
        return g_mismatches ? 1 : 0;
    if (r.type != kResponseMac)
        mismatch("reply type " + std::to_string(r.type) + ", expected 9");
    check_common(r, hostMac, port.mac(), o);
    std::string macs;
    for (const Mac& m : r.macs)
        macs += (macs.empty() ? "" : ",") + mac_text(m);
    std::printf("identity reply: macs %s cid %s desc \"%s\"\n", macs.c_str(), to_hex(r.cid).c_str(),
                printable(r.desc).c_str());
    if (o.has("expect-macs")) {
        std::vector<Mac> want;
        std::stringstream ss(o.get("expect-macs"));
        std::string item;
        while (std::getline(ss, item, ',')) {
            Mac m;
            if (!parse_mac(item, m))
                die("bad --expect-macs");
            want.push_back(m);
        }
        if (want != r.macs)
            mismatch("MAC list " + macs + ", expected " + o.get("expect-macs"));
    }
    Bytes cid;
    if (o.has("expect-cid") && !from_hex(o.get("expect-cid"), cid))
        die("bad --expect-cid");
    if (o.has("expect-cid-file"))
        cid = read_file(o.get("expect-cid-file"));
    if ((o.has("expect-cid") || o.has("expect-cid-file")) && cid != r.cid)
        mismatch("CID " + to_hex(r.cid) + ", expected " + to_hex(cid));
    return g_mismatches ? 1 : 0;
}

Bytes identity_of(const Options& o)
{
    Bytes id;
    if (o.has("cid") && !from_hex(o.get("cid"), id))
        die("bad --cid");
    if (o.has("cid-file"))
        id = read_file(o.get("cid-file"));
    if (id.empty())
        die("an identity is needed: --cid-file or --cid");
    return id;
}

// One SM2 block of plain for the identity id.
Bytes encrypt_block(const std::string& matrix, const Bytes& id, const Bytes& plain)
{
    Bytes block(kBlockLen, 0);
    int len = static_cast<int>(block.size());
    int st = KMX_SM2Encrypt(matrix.c_str(), id.data(), static_cast<int>(id.size()), plain.data(),
                            static_cast<int>(plain.size()), block.data(), &len);
    if (st)
        die("KMX_SM2Encrypt: status " + std::to_string(st));
    return block;
}

Bytes random_bytes(size_t n)
{
    Bytes b(n);
    if (n && RAND_bytes(b.data(), static_cast<int>(n)) != 1)
        die("RAND_bytes");
    return b;
}

void check_sm2_reply(const Reply& r, const Options& o, const Mac& hostMac, const Mac& own,
                     const Bytes& expectPlain, bool expectFail)
{
    if (r.type != kResponseSm2) {
        mismatch("reply type " + std::to_string(r.type) + ", expected 2");
        return;
    }
    check_common(r, hostMac, own, o);
    Bytes want(kPlainField, 0xFF);
    if (!expectFail) {
        want.assign(kPlainField, 0);
        std::copy(expectPlain.begin(), expectPlain.begin() + std::min(expectPlain.size(), kPlainField),
                  want.begin());
    }
    if (r.plain != want)
        mismatch("plaintext field " + to_hex(r.plain) + ", expected " + to_hex(want));
    Bytes host = host_field(o.get("expect-hostname", this_host()));
    if (r.hostField != host)
        mismatch("host-name field " + to_hex(r.hostField) + ", expected " + to_hex(host));
    std::printf("SM2 reply: plaintext %s host \"%s\" desc \"%s\"\n", to_hex(r.plain).c_str(),
                printable(r.hostField).c_str(), printable(r.desc).c_str());
}

int do_challenge(Port& port, const Options& o, const Mac& hostMac)
{
    if (!o.has("matrix"))
        die("--matrix is needed");
    Bytes plain;
    if (o.has("plaintext")) {
        if (!from_hex(o.get("plaintext"), plain))
            die("bad --plaintext");
    } else {
        plain = random_bytes(static_cast<size_t>(o.num("plaintext-len", 128)));
    }
    Bytes block = encrypt_block(o.get("matrix"), identity_of(o), plain);
    if (o.has("set-n"))
        block[0] = static_cast<uint8_t>(o.num("set-n", 0));
    Request rq = base_request(o, hostMac, port.mac());
    rq.type = kRequestSm2;
    rq.data = block;
    std::printf("challenge: plaintext %s, n %u\n", to_hex(plain).c_str(), block[0]);
    port.send(build_request(rq));
    Reply r;
    if (!await_reply(port, o, r))
        return g_mismatches ? 1 : 0;
    Bytes expect = plain;
    if (o.has("expect-plaintext") && !from_hex(o.get("expect-plaintext"), expect))
        die("bad --expect-plaintext");
    check_sm2_reply(r, o, hostMac, port.mac(), expect, o.flag("expect-fail"));
    OPENSSL_cleanse(plain.data(), plain.size());
    return g_mismatches ? 1 : 0;
}

int do_send(Port& port, const Options& o, const Mac& hostMac)
{
    Bytes f;
    if (o.has("raw-hex")) {
        if (!from_hex(o.get("raw-hex"), f))
            die("bad --raw-hex");
    } else {
        Request rq = base_request(o, hostMac, port.mac());
        rq.type = static_cast<uint8_t>(o.num("type", kRequestMac));
        if (o.has("data") && !from_hex(o.get("data"), rq.data))
            die("bad --data");
        f = build_request(rq);
    }
    const long repeat = o.num("repeat", 1);
    if (repeat < 1)
        die("--repeat must be positive");
    std::printf("sending %zu bytes%s: %s\n", f.size(), repeat > 1 ? (" " + std::to_string(repeat) + " times").c_str() : "",
                to_hex(f).c_str());
    for (long i = 0; i < repeat; ++i)
        port.send(f);
    Reply r;
    if (!await_reply(port, o, r))
        return g_mismatches ? 1 : 0;
    std::printf("reply type %u\n", r.type);
    if (r.type == kResponseSm2)
        check_sm2_reply(r, o, hostMac, port.mac(), {}, o.flag("expect-fail") || !o.has("expect-plaintext"));
    else
        check_common(r, hostMac, port.mac(), o);
    return g_mismatches ? 1 : 0;
}

long vm_rss_kb(long pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

struct Stats {
    double median_us = 0, p99_us = 0, per_s = 0;
};

Stats stats_of(std::vector<double> us, double total_s)
{
    Stats s;
    if (us.empty())
        return s;
    std::sort(us.begin(), us.end());
    s.median_us = us[us.size() / 2];
    s.p99_us = us[std::min(us.size() - 1, static_cast<size_t>(us.size() * 0.99))];
    s.per_s = total_s > 0 ? us.size() / total_s : 0;
    return s;
}

// Bare SM2_Decrypt of a ciphertext of the same size under a fresh key pair.
Stats bare_sm2(size_t plainLen, int count)
{
    EC_GROUP* g = EC_GROUP_new_by_curve_name(NID_sm2);
    BIGNUM* d = BN_new();
    EC_POINT* P = g ? EC_POINT_new(g) : nullptr;
    BIGNUM* x = BN_new();
    BIGNUM* y = BN_new();
    unsigned char dd[32], pub[64];
    if (!g || !P || !BN_rand_range(d, EC_GROUP_get0_order(g)) || BN_is_zero(d) ||
        !EC_POINT_mul(g, P, d, nullptr, nullptr, nullptr) ||
        !EC_POINT_get_affine_coordinates(g, P, x, y, nullptr) || BN_bn2binpad(d, dd, 32) != 32 ||
        BN_bn2binpad(x, pub, 32) != 32 || BN_bn2binpad(y, pub + 32, 32) != 32)
        die("SM2 key pair");
    Bytes plain = random_bytes(plainLen);
    unsigned char c[256];
    int clen = sizeof c;
    if (SM2_Encrypt(pub, plain.data(), static_cast<uint32_t>(plain.size()), c, &clen) != SM2_OK)
        die("SM2_Encrypt");
    std::vector<double> us;
    auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        unsigned char out[256];
        uint32_t olen = 0;
        auto a = Clock::now();
        if (SM2_Decrypt(dd, c, static_cast<uint32_t>(clen), out, &olen) != SM2_OK)
            die("SM2_Decrypt");
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - a).count());
    }
    double total = std::chrono::duration<double>(Clock::now() - t0).count();
    OPENSSL_cleanse(dd, sizeof dd);
    BN_clear_free(d);
    BN_free(x);
    BN_free(y);
    EC_POINT_free(P);
    EC_GROUP_free(g);
    return stats_of(us, total);
}

Stats bare_kmx(std::string image, const Bytes& block, const Bytes& plain, int count)
{
    std::vector<double> us;
    auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        Bytes in = block;
        unsigned char out[kBlockLen] = {0};
        size_t len = kBlockLen;
        auto a = Clock::now();
        int st = kmx_decryption(in.data(), out, len, &image[0]);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - a).count());
        if (st || len != plain.size() || std::memcmp(out, plain.data(), len) != 0)
            die("kmx_decryption on the baseline image: status " + std::to_string(st));
    }
    double total = std::chrono::duration<double>(Clock::now() - t0).count();
    return stats_of(us, total);
}

int do_bench(Port& port, const Options& o, const Mac& hostMac)
{
    if (!o.has("matrix"))
        die("--matrix is needed");
    long count = o.num("count", 1000);
    long distinct = std::min(o.num("distinct", count), count);
    size_t plen = static_cast<size_t>(o.num("plaintext-len", 128));
    if (count < 1 || distinct < 1)
        die("--count and --distinct must be positive");
    Bytes id = identity_of(o);
    std::vector<Bytes> plains, frames;
    for (long i = 0; i < distinct; ++i) {
        plains.push_back(random_bytes(plen));
        Request rq;
        rq.dst = hostMac;
        rq.src = port.mac();
        rq.type = kRequestSm2;
        rq.data = encrypt_block(o.get("matrix"), id, plains.back());
        frames.push_back(build_request(rq));
    }
    long pid = o.num("rss-pid", 0);
    long rss0 = pid ? vm_rss_kb(pid) : -1;
    std::vector<double> us;
    us.reserve(static_cast<size_t>(count));
    auto t0 = Clock::now();
    for (long i = 0; i < count; ++i) {
        size_t k = static_cast<size_t>(i % distinct);
        auto a = Clock::now();
        port.send(frames[k]);
        Bytes f;
        Reply r;
        std::string why;
        if (!port.receive(f, port.timeoutMs())) {
            mismatch("challenge " + std::to_string(i) + ": no reply");
            break;
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - a).count());
        if (!parse_reply(f.data(), f.size(), r, why) || r.type != kResponseSm2 ||
            !std::equal(plains[k].begin(), plains[k].end(), r.plain.begin())) {
            mismatch("challenge " + std::to_string(i) + ": wrong reply " + why);
            break;
        }
        if (pid && i == count / 10)
            rss0 = vm_rss_kb(pid);   // after the warm-up
    }
    double total = std::chrono::duration<double>(Clock::now() - t0).count();
    long rss1 = pid ? vm_rss_kb(pid) : -1;
    Stats rt = stats_of(us, total);
    std::printf("round trip: %zu challenges, median %.1f us, p99 %.1f us, %.1f challenges/s\n",
                us.size(), rt.median_us, rt.p99_us, rt.per_s);
    if (pid)
        std::printf("daemon VmRSS: %ld kB after warm-up, %ld kB at the end\n", rss0, rss1);
    if (o.has("baseline-image")) {
        int n = static_cast<int>(std::min(count, o.num("baseline-count", 1000)));
        Stats kmx = bare_kmx(o.get("baseline-image"), encrypt_block(o.get("matrix"), id, plains[0]),
                             plains[0], n);
        Stats sm2 = bare_sm2(plen, n);
        std::printf("bare kmx_decryption: median %.1f us, p99 %.1f us\n", kmx.median_us, kmx.p99_us);
        std::printf("bare SM2_Decrypt: median %.1f us, p99 %.1f us\n", sm2.median_us, sm2.p99_us);
        std::printf("ratio round trip / SM2_Decrypt (median): %.2f\n", rt.median_us / sm2.median_us);
        std::printf("ratio round trip / kmx_decryption (median): %.2f\n", rt.median_us / kmx.median_us);
    }
    for (Bytes& p : plains)
        OPENSSL_cleanse(p.data(), p.size());
    return g_mismatches ? 1 : 0;
}

// A frame that is not a valid request, or a request the host drops or
// answers without decrypting, or (rarely) a well-formed challenge of random
// bytes that reaches the card.
Bytes junk_frame(std::mt19937_64& rng, const Mac& hostMac, const Mac& own)
{
    auto pick = [&rng](uint64_t n) { return static_cast<size_t>(rng() % n); };
    auto rnd = [&rng](size_t n) {
        Bytes b(n);
        for (auto& c : b)
            c = static_cast<uint8_t>(rng());
        return b;
    };
    Request rq;
    rq.dst = hostMac;
    rq.src = own;
    const size_t kind = pick(1000);
    if (kind < 300) {
        // Random bytes after a header that reaches the host's socket.
        size_t len = 14 + (pick(8) == 0 ? pick(1501) : pick(300));
        Bytes f = rnd(len);
        std::copy(hostMac.begin(), hostMac.end(), f.begin());
        std::copy(own.begin(), own.end(), f.begin() + 6);
        f[12] = static_cast<uint8_t>(kEtherType >> 8);
        f[13] = static_cast<uint8_t>(kEtherType & 0xFF);
        if (len >= kHeadLen && pick(2) == 0)
            std::copy(kMarker, kMarker + 8, f.begin() + 16);
        return f;
    }
    if (kind < 999) {
        // A well-headed request with random fields: type, lengths, data.
        static const uint8_t types[] = {0, 1, 1, 1, 2, 3, 4, 5, 6, 7, 7, 8, 9, 10, 11, 255};
        rq.type = types[pick(sizeof types)];
        rq.data = rnd(pick(6) == 0 ? pick(1400) : pick(300));
        if (rq.type == kRequestMac && pick(4) != 0)
            rq.data.clear();
        if (pick(3) == 0)
            rq.declaredLen = static_cast<int>(pick(1600));
        if (pick(3) == 0)
            rq.recLen = static_cast<int>(pick(256));
        if (pick(10) == 0)
            rq.typeOnly = true;
        if (pick(20) == 0)
            rq.marker = std::string("akqw") + static_cast<char>('a' + pick(26)) + "kqw";
        if (rq.type == kRequestMac && rq.declaredLen < 0 && rq.recLen < 0 && !rq.typeOnly &&
            rq.data.empty())
            rq.declaredLen = 25 + static_cast<int>(pick(4)) * 100;   // keep identity requests rare
        return build_request(rq);
    }
    rq.type = kRequestSm2;
    rq.data = rnd(kBlockLen);
    rq.data[0] = static_cast<uint8_t>(96 + pick(128));
    return build_request(rq);
}

int do_flood(Port& port, const Options& o, const Mac& hostMac)
{
    if (!o.has("matrix"))
        die("--matrix is needed");
    const long count = o.num("count", 100000);
    const long every = o.num("every", 500);
    if (count < 1 || every < 1)
        die("--count and --every must be positive");
    uint64_t seed = o.has("seed") ? std::strtoull(o.get("seed").c_str(), nullptr, 0)
                                  : static_cast<uint64_t>(Clock::now().time_since_epoch().count());
    std::printf("flood: %ld frames, a challenge after every %ld, seed %llu\n", count, every,
                static_cast<unsigned long long>(seed));
    std::mt19937_64 rng(seed);
    const Bytes id = identity_of(o);
    const long pid = o.num("rss-pid", 0);
    long rssWarm = -1, rssMax = -1;
    long answered = 0, resent = 0, sent = 0, challenges = 0, otherReplies = 0;
    auto t0 = Clock::now();
    for (long done = 0; done < count && !g_mismatches;) {
        const long burst = std::min(every, count - done);
        for (long i = 0; i < burst; ++i) {
            port.send(junk_frame(rng, hostMac, port.mac()));
            ++sent;
            Bytes f;
            while (port.receive(f, 0))   // keep our own queue short
                ++otherReplies;
        }
        done += burst;
        // Frames are handled one after the other: once an identity request
        // is answered the host's queue is empty, and the challenge cannot be
        // dropped for want of room (the request itself may be, so it is sent
        // again after a short wait).
        Request idq;
        idq.dst = hostMac;
        idq.src = port.mac();
        idq.type = kRequestMac;
        const Bytes idFrame = build_request(idq);
        bool drained = false;
        for (int attempt = 0; attempt < 50 && !drained; ++attempt) {
            port.send(idFrame);
            auto end = Clock::now() + std::chrono::milliseconds(100);
            Bytes f;
            while (!drained && Clock::now() < end &&
                   port.receive(f, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                        end - Clock::now()).count()))) {
                Reply r;
                std::string why;
                if (parse_reply(f.data(), f.size(), r, why) && r.type == kResponseMac)
                    drained = true;
                else
                    ++otherReplies;
            }
        }
        if (!drained) {
            mismatch("no identity reply after " + std::to_string(done) + " frames");
            break;
        }
        // A valid challenge: its plaintext must come back.
        Bytes plain = random_bytes(1 + static_cast<size_t>(rng() % kPlainField));
        Request rq;
        rq.dst = hostMac;
        rq.src = port.mac();
        rq.type = kRequestSm2;
        rq.data = encrypt_block(o.get("matrix"), id, plain);
        const Bytes frame = build_request(rq);
        Bytes want(kPlainField, 0);
        std::copy(plain.begin(), plain.end(), want.begin());
        ++challenges;
        bool got = false;
        for (int attempt = 0; attempt < 3 && !got; ++attempt) {
            if (attempt)
                ++resent;
            port.send(frame);
            auto end = Clock::now() + std::chrono::milliseconds(port.timeoutMs());
            Bytes f;
            while (!got && Clock::now() < end &&
                   port.receive(f, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                        end - Clock::now()).count()))) {
                Reply r;
                std::string why;
                if (parse_reply(f.data(), f.size(), r, why) && r.type == kResponseSm2 &&
                    r.plain == want)
                    got = true;
                else
                    ++otherReplies;
            }
        }
        OPENSSL_cleanse(plain.data(), plain.size());
        OPENSSL_cleanse(want.data(), want.size());
        if (!got) {
            mismatch("challenge " + std::to_string(challenges) + " after " + std::to_string(done) +
                     " frames: no reply with its plaintext");
            break;
        }
        ++answered;
        if (pid) {
            long rss = vm_rss_kb(pid);
            if (rss < 0) {
                mismatch("daemon process " + std::to_string(pid) + " is gone after " +
                         std::to_string(done) + " frames");
                break;
            }
            if (rssWarm < 0 && done >= count / 10)
                rssWarm = rss;
            rssMax = std::max(rssMax, rss);
        }
    }
    double total = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("flood: %ld frames sent, %ld/%ld challenges answered with their plaintext "
                "(%ld sent again), %ld other replies, %.1f s\n",
                sent, answered, challenges, resent, otherReplies, total);
    if (pid) {
        long rssEnd = vm_rss_kb(pid);
        std::printf("daemon VmRSS: %ld kB after the warm-up, %ld kB at most, %ld kB at the end\n",
                    rssWarm, rssMax, rssEnd);
        if (rssEnd < 0)
            mismatch("the daemon is gone at the end");
        long limit = o.num("max-rss-growth-kb", -1);
        if (limit >= 0 && rssWarm >= 0 && rssEnd - rssWarm > limit)
            mismatch("VmRSS grew by " + std::to_string(rssEnd - rssWarm) + " kB (at most " +
                     std::to_string(limit) + ")");
    }
    return g_mismatches ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    std::string action;
    static const char* flagNames[] = {"expect-no-reply", "expect-fail", "type-only"};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--", 0) != 0) {
            if (!action.empty())
                die("one action only: " + a);
            action = a;
            continue;
        }
        a = a.substr(2);
        if (std::find(std::begin(flagNames), std::end(flagNames), a) != std::end(flagNames)) {
            o.flags[a] = true;
            continue;
        }
        if (i + 1 >= argc)
            die("--" + a + " needs a value");
        o.v[a] = argv[++i];
    }
    if (!o.has("if") || !o.has("host-mac") || action.empty())
        die("usage: tarn-switch --if IF --host-mac MAC identity|challenge|send|bench|flood [options]");
    Mac hostMac;
    if (!parse_mac(o.get("host-mac"), hostMac))
        die("bad --host-mac");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Port port(o.get("if"), static_cast<int>(o.num("timeout-ms", 3000)));
    int rc;
    if (action == "identity")
        rc = do_identity(port, o, hostMac);
    else if (action == "challenge")
        rc = do_challenge(port, o, hostMac);
    else if (action == "send")
        rc = do_send(port, o, hostMac);
    else if (action == "bench")
        rc = do_bench(port, o, hostMac);
    else if (action == "flood")
        rc = do_flood(port, o, hostMac);
    else
        die("unknown action " + action);
    std::printf("%s\n", rc ? "FAILED" : "OK");
    return rc;
}
