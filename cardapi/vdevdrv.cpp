// Virtual device driver: binds the software card to its data file and
// carries one serialised command per exchange through DAZI_IO.
#include "cardapi/vdevdrv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <openssl/crypto.h>

#include "cardapi/apdu_frame.h"
#include "cardapi/cos_errcode.h"
#include "cardapi/cos_status.h"
#include "cardapi/vdev_seam.h"
#include "vcard/dazi.h"

int g_vDev = 0;

// Null unless a test program links its seams.
bool tarn_seam_vdev_card(const uint8_t* cmd, uint32_t cmdLen, uint8_t* reply, uint32_t* replyLen,
                         int32_t* io) __attribute__((weak));
void tarn_seam_vdev_observe(const uint8_t* cmd, unsigned cmdLen, const uint8_t* reply,
                            unsigned replyLen) __attribute__((weak));
void tarn_seam_vdev_leftover(const uint8_t* cmd, unsigned cmdCap, const uint8_t* reply,
                             unsigned replyCap) __attribute__((weak));

namespace {

const char* const kDefaultDataFile = "dazi.vkd";

// Copies the data file path (null: the default name) into a 256-byte
// buffer; false when it does not fit with its terminator.
bool copy_path(const char* path, char (&buf)[VDEV_CMD_MAX])
{
    if (!path) path = kDefaultDataFile;
    size_t n = strnlen(path, sizeof buf);
    if (n >= sizeof buf) return false;
    memcpy(buf, path, n);
    buf[n] = '\0';
    return true;
}

// The data file opens for reading and is a regular file. Opened without
// blocking: a FIFO named as the data file is refused at once instead of
// waiting for a writer that never comes.
bool file_readable(const char* path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    return regular;
}

// The serialised command and the card's reply of one exchange. They carry
// PINs, keys and decrypted data, so both are cleansed when the exchange ends,
// whichever way it ends.
struct exchange_areas {
    uint8_t cmd[VDEV_CMD_MAX] = {};
    uint8_t reply[VDEV_REPLY_MAX] = {};

    exchange_areas() = default;
    exchange_areas(const exchange_areas&) = delete;
    exchange_areas& operator=(const exchange_areas&) = delete;
    ~exchange_areas()
    {
        OPENSSL_cleanse(cmd, sizeof cmd);
        OPENSSL_cleanse(reply, sizeof reply);
        if (tarn_seam_vdev_leftover) tarn_seam_vdev_leftover(cmd, sizeof cmd, reply, sizeof reply);
    }
};

}  // namespace

uint32_t VDEV_SetDataFile(const char* path)
{
    char buf[VDEV_CMD_MAX];
    if (!copy_path(path, buf) || !file_readable(buf)) return ST_FILE_OPEN;
    // The card refuses an image it cannot use (and then stays bound to the
    // one before); the driver must not claim a binding that did not happen.
    int32_t st = SetVEFlashFile(buf);
    if (st != 0) return static_cast<uint32_t>(st);
    g_vDev = 1;
    return ST_OK;
}

uint32_t ConnectVDev(const char* path)
{
    if (g_vDev) return ST_OK;
    char buf[VDEV_CMD_MAX];
    if (!copy_path(path, buf) || !file_readable(buf)) return ST_FILE_OPEN;
    return ST_OK;
}

uint32_t DisconnectVDev()
{
    if (!g_vDev) return ST_NO_DEVICE;
    g_vDev = 0;
    return ST_OK;
}

unsigned VDev_Serialise(const _apdu_frame_* frame, uint8_t* cmd)
{
    unsigned n = 4;
    if (frame->Lc != 0) n += 1u + frame->Lc;
    if (frame->Le != 0) n += 1u;
    if (n > VDEV_CMD_MAX) return 0;

    cmd[0] = frame->CLA;
    cmd[1] = frame->INS;
    cmd[2] = frame->P1;
    cmd[3] = frame->P2;
    unsigned pos = 4;
    if (frame->Lc != 0) {
        cmd[pos++] = frame->Lc;
        memcpy(cmd + pos, frame->data, frame->Lc);
        pos += frame->Lc;
    }
    if (frame->Le != 0) cmd[pos++] = frame->Le;
    return pos;
}

uint32_t VDev_Transfer(_apdu_frame_* frame)
{
    if (!g_vDev) return ST_NO_DEVICE;
    if (!frame) return ST_BAD_ARGUMENT;

    exchange_areas areas;
    uint8_t* cmd = areas.cmd;
    uint8_t* reply = areas.reply;
    unsigned len = VDev_Serialise(frame, cmd);
    if (len == 0) return ST_BAD_ARGUMENT;

    uint32_t replyLen = 0;
    int32_t io = 0;
    if (!(tarn_seam_vdev_card && tarn_seam_vdev_card(cmd, len, reply, &replyLen, &io)))
        io = DAZI_IO(cmd, len, reply, &replyLen);
    // A reply holds the status word and at most 255 data bytes (the frame's
    // Le is one byte); anything else is not a card answer. The command has
    // gone out, so the frame then holds an empty answer: the commands that
    // read their answer whatever the status must not take their own command
    // data for one.
    if (io != 0 || replyLen < 2 || replyLen > 255u + 2u) {
        frame->Le = 0;
        memset(frame->data, 0, sizeof frame->data);
        return io != 0 ? static_cast<uint32_t>(io) : static_cast<uint32_t>(ST_WRONG_DATA);
    }
    if (tarn_seam_vdev_observe) tarn_seam_vdev_observe(cmd, len, reply, replyLen);

    uint32_t sw = (static_cast<uint32_t>(reply[replyLen - 2]) << 8) | reply[replyLen - 1];
    frame->Le = static_cast<uint8_t>(replyLen - 2);
    memset(frame->data, 0, sizeof frame->data);
    memcpy(frame->data, reply, frame->Le);
    return COS_GetErrCode(sw);
}
