#include "Tarnhold/handler.h"

#include "Tarnhold/frames.h"
#include "common/log.h"
#include "common/machine_id.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Longest message text and longest log line (each buffer keeps a terminator).
constexpr size_t TEXT_BUF = 519;

class Reporter {
public:
    explicit Reporter(DaemonEffects& fx) : fx_(fx) {}

    // Formats a text; console() and log() then use it.
    __attribute__((format(printf, 2, 3))) Reporter& text(const char* fmt, ...)
    {
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(text_, sizeof text_, fmt, ap);
        va_end(ap);
        return *this;
    }
    Reporter& console()
    {
        fx_.console(text_);
        return *this;
    }
    // The text as a log line "[file main line] text".
    Reporter& log(int level, int line)
    {
        char wrapped[TEXT_BUF];
        // Cut at the line limit like the text itself.
        if (std::snprintf(wrapped, sizeof wrapped, "[%s %s %d] %s", LOG_SOURCE_FILE, "main", line, text_) < 0)
            return *this;
        fx_.log(level, wrapped);
        return *this;
    }

private:
    DaemonEffects& fx_;
    char text_[TEXT_BUF] = {};
};

#define MAC_FMT "%02X-%02X-%02X-%02X-%02X-%02X"
#define MAC_ARGS(p) (p)[0], (p)[1], (p)[2], (p)[3], (p)[4], (p)[5]

void HandleSm2(const unsigned char* buf, size_t received, DaemonState& st, DaemonEffects& fx, Reporter& r)
{
    const unsigned headLen = msg::get_be16(buf + msg::HEAD_LEN);
    const unsigned recLen = buf[msg::REQ_LEN];
    // A challenge is only well-formed when its whole block was received:
    // the declared lengths alone would let a short frame stand for one.
    if (received < msg::SM2_REQUEST_SIZE || headLen != msg::SM2_REQUEST_SIZE || recLen != msg::SM2_BLOCK_LEN) {
        r.text("SM2加密数据长度不对\n").console().log(LOG_ERROR, __LINE__);
        fx.write_result(0);
        return;
    }
    r.text("内容长度正确，内容头的长度为：%d, 内容数据长度为：%d.\n", static_cast<int>(headLen),
           static_cast<int>(recLen))
        .console()
        .log(LOG_INFO, __LINE__);

    const size_t replyLen = msg::sm2_reply_size(st.des.size());
    unsigned char* reply = static_cast<unsigned char*>(std::calloc(replyLen, 1));
    if (reply == nullptr) {
        r.text("malloc %d 长度失败！\n", static_cast<int>(replyLen)).console().log(LOG_ERROR, __LINE__);
        return;
    }

    // The facade writes the plaintext into a buffer of the daemon's own with
    // room for the whole block; only a plaintext that fits the 128-byte field
    // of the reply counts as recovered.
    unsigned char block[msg::SM2_BLOCK_LEN];
    std::memcpy(block, buf + msg::REQ_DATA, sizeof block);
    unsigned char plain[msg::SM2_BLOCK_LEN] = {};
    size_t plainLen = sizeof plain;
    const int rc = fx.decrypt(block, plain, plainLen);
    const bool ok = rc == 0 && plainLen <= msg::PLAIN_LEN;
    if (ok)
        std::memcpy(reply + msg::RESP_MSG_DATA, plain, plainLen);
    OPENSSL_cleanse(plain, sizeof plain);
    if (rc != 0 && (rc == 1 || !fx.key_file_exists()))
        r.text("解密失败，无法获取密钥！\n").log(LOG_ERROR, __LINE__);
    else if (!ok)
        r.text("解密失败！\n").log(LOG_ERROR, __LINE__);

    SetMsgHead(reply, static_cast<int>(replyLen), buf + msg::HEAD_SRC_MAC, st.mac);
    unsigned char host[msg::HOSTNAME_LEN] = {};
    fx.host_name(host);
    SetMsgContentSM2(ok, reply, host, st.des);

    const long sent = fx.send(reply, replyLen, st.ifindex, buf + msg::HEAD_SRC_MAC);
    if (sent > 0) {
        if (ok) {
            r.text("当前MAC通过交换机认证！\n").log(LOG_ERROR, __LINE__);
            fx.write_result(1);
        } else {
            fx.write_result(0);
        }
    } else {
        fx.console_error("sendto() failed");
        r.text("sendto() failed\n").log(LOG_ERROR, __LINE__);
        fx.write_result(0);
    }
    OPENSSL_cleanse(reply, replyLen);
    std::free(reply);
}

void HandleErrorReport(const unsigned char* buf, size_t received, DaemonEffects& fx, Reporter& r)
{
    switch (IsMsgMacCorrect(buf, received)) {
    case 0:
        r.text("非认证mac！\n").log(LOG_ERROR, __LINE__);
        fx.write_result(3);
        break;
    case 1:
        r.text("密钥错误\n").log(LOG_ERROR, __LINE__);
        fx.write_result(2);
        break;
    default:
        break;
    }
}

void HandleIdentity(const unsigned char* buf, DaemonState& st, DaemonEffects& fx, Reporter& r)
{
    const size_t replyLen = msg::mac_reply_size(st.macs.size(), st.des.size());
    unsigned char* reply = static_cast<unsigned char*>(std::calloc(replyLen, 1));
    if (reply == nullptr) {
        r.text("malloc %d 长度失败！\n", static_cast<int>(replyLen)).console().log(LOG_ERROR, __LINE__);
        return;
    }
    SetMsgHead(reply, static_cast<int>(replyLen), buf + msg::HEAD_SRC_MAC, st.mac);
    if (!SetMsgContentMAC(st.macs, st.cid, st.des, reply + msg::HEAD_SIZE)) {
        r.text("SetMsgContentMAC err CID[%.*s] DES[%s].\n", static_cast<int>(msg::CID_SIZE), st.cid,
               st.des.c_str())
            .console()
            .log(LOG_ERROR, __LINE__);
        std::free(reply);
        return;
    }
    if (fx.send(reply, replyLen, st.ifindex, buf + msg::HEAD_SRC_MAC) <= 0) {
        fx.console_error("sendto() failed");
        r.text("sendto() failed.\n").log(LOG_ERROR, __LINE__);
    }
    std::free(reply);
}

// True when a frame that arrived on the interface of index arrivedOn came
// in through the interface of index ifindex: it arrived on it, or on its
// master device. A master that cannot be read is reported, and the frame
// does not count.
bool CameInThrough(int arrivedOn, int ifindex, DaemonEffects& fx, Reporter& r)
{
    if (arrivedOn == ifindex)
        return true;
    if (arrivedOn <= 0)
        return false;
    const int master = fx.interface_master(ifindex);
    if (master < 0) {
        const int e = errno;
        r.text("Master device of interface %i unknown (errno is %d)\n", ifindex, e).console().log(LOG_ERROR, __LINE__);
        return false;
    }
    return master == arrivedOn;
}

} // namespace

void HandleFrame(const unsigned char* frame, long received, int arrivedOn, DaemonState& st, DaemonEffects& fx)
{
    const int recvErrno = errno;
    Reporter r(fx);
    r.text("%d bytes read\n", static_cast<int>(received)).console().log(LOG_INFO, __LINE__);
    if (received < static_cast<long>(msg::REQUEST_SIZE)) {
        fx.console_error("recvfrom():");
        r.text("Incomplete packet (errno is %d)\n", recvErrno).console();
        r.text("recvfrom(): Incomplete packet (errno is %d)\n", recvErrno).log(LOG_ERROR, __LINE__);
        return;
    }
    // A copy of the received bytes, zero past them: nothing of an earlier
    // frame, and nothing beyond the frame, is ever read.
    const size_t n = std::min(static_cast<size_t>(received), RECV_BUFFER_SIZE);
    unsigned char buf[RECV_BUFFER_SIZE] = {};
    std::memcpy(buf, frame, n);

    if (!msg::head_type_ok(buf)) {
        r.text("eth.type 类型不对\n").console().log(LOG_ERROR, __LINE__);
        return;
    }
    if (!msg::head_marker_ok(buf)) {
        r.text("数据校验值不对\n").console().log(LOG_ERROR, __LINE__);
        return;
    }

    const unsigned char* dst = buf + msg::HEAD_DES_MAC;
    bool served = false;
    if (!st.bGetDevice) {
        char text[18];
        std::snprintf(text, sizeof text, MAC_FMT, MAC_ARGS(dst));
        for (const auto& entry : st.devices) {
            if (entry.second != text)
                continue;
            const int index = static_cast<int>(fx.interface_index(entry.first));
            if (index == 0) {
                // Renamed or removed since start-up: not the interface this
                // MAC names any more.
                r.text("if_nametoindex() failed to obtain interface index! \n").console().log(LOG_ERROR, __LINE__);
                fx.console_error("if_nametoindex() failed to obtain interface index ");
                continue;
            }
            if (CameInThrough(arrivedOn, index, fx, r)) {
                st.bGetDevice = true;
                std::memcpy(st.mac, dst, msg::MAC_LEN);
                st.ifindex = index;
                served = true;
                r.text("Index for interface %s is %i\n", entry.first.c_str(), st.ifindex)
                    .console()
                    .log(LOG_INFO, __LINE__);
            }
            break;
        }
    } else {
        served = std::memcmp(dst, st.mac, msg::MAC_LEN) == 0 && CameInThrough(arrivedOn, st.ifindex, fx, r);
    }
    if (!served) {
        r.text("目标mac地址[" MAC_FMT "]非本机mac地址\n", MAC_ARGS(dst)).console().log(LOG_WARNING, __LINE__);
        return;
    }

    const int type = buf[msg::REQ_TYPE];
    r.text("加解密类型为：%d.\n", type).console().log(LOG_ERROR, __LINE__);
    const std::string dump = getHex(buf + msg::REQ_DATA, static_cast<int>(msg::PLAIN_LEN));
    r.text("收到消息来至[" MAC_FMT "]的消息[%s]\n", MAC_ARGS(buf + msg::HEAD_SRC_MAC), dump.c_str())
        .console()
        .log(LOG_INFO, __LINE__);

    switch (type) {
    case request_sm2:
        HandleSm2(buf, n, st, fx, r);
        break;
    case request_err:
        HandleErrorReport(buf, n, fx, r);
        break;
    case request_mac:
        HandleIdentity(buf, st, fx, r);
        break;
    case response_sm2:
    case response_rsa:
    case response_mac:
        break;
    default:
        r.text("加密类型不对\n").console().log(LOG_ERROR, __LINE__);
        break;
    }
    OPENSSL_cleanse(buf, n);
}
