// Card entry: binding to an image, the command exchange, the parser and
// dispatcher, and the reset of the volatile state.
#include "vcard/dazi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <openssl/crypto.h>

#include "smcrypto/status.h"
#include "vcard/InsDat.h"
#include "vcard/cosstate.h"
#include "vcard/eflash.h"
#include "vcard/filesys.h"
#include "vcard/secure.h"

uint8_t sWork[DAZI_CMD_MAX];

namespace {

// The last initialisation of the bound image succeeded.
bool sStarted = false;

uint8_t BoundMin(uint32_t w) { return uint8_t(w & 0xFF); }
uint8_t BoundMax(uint32_t w) { return uint8_t((w >> 8) & 0xFF); }

// 1 when v passes the flagged bounds of w.
bool InBounds(uint8_t v, uint32_t w, uint8_t flags, uint8_t minFlag, uint8_t maxFlag)
{
    if ((flags & minFlag) && v < BoundMin(w))
        return false;
    if ((flags & maxFlag) && v > BoundMax(w))
        return false;
    return true;
}

bool IsValidCla(uint8_t cla)
{
    for (uint8_t c : Valid_CLA)
        if (c == cla)
            return true;
    return false;
}

// Runs the command through its row; returns the status word.
uint16_t Dispatch(uint8_t* cmd, uint32_t len, uint8_t* reply)
{
    std::memset(&sIFP, 0, sizeof sIFP);
    sIFP.CLA = cmd[0];
    sIFP.INS = cmd[1];
    sIFP.P1 = cmd[2];
    sIFP.P2 = cmd[3];

    int row = 0;
    for (; InsDats[row].INS != 0; ++row)
        if (InsDats[row].CLA == sIFP.CLA && InsDats[row].INS == sIFP.INS)
            break;
    if (InsDats[row].INS == 0)
        return SW_CLA_NOT_SUPPORTED;
    const _ins_dat_& d = InsDats[row];

    if (sIFP.INS != INS_RESET_COS && sDevInfo.blocked == 1)
        return SW_CARD_BLOCKED;
    if (!CheckSecure(d.Access, sSecStatus))
        return SW_SECURITY_NOT_SATISFIED;
    if (!InBounds(sIFP.P1, d.P1, d.Flags, CHK_P1_MIN, CHK_P1_MAX) ||
        !InBounds(sIFP.P2, d.P2, d.Flags, CHK_P2_MIN, CHK_P2_MAX) || !SpecP1P2Check(sIFP))
        return SW_WRONG_P1P2;

    uint16_t kind = d.Case;
    ReviseDatType(&kind, sIFP);
    bool hasLe = false;
    switch (kind) {
    case 0:
        if (len != 4)
            return SW_WRONG_LENGTH;
        break;
    case 1:
    case 3: {
        if (len < (kind == 1 ? 6u : 7u))
            return SW_WRONG_DATA;
        sIFP.Lc = cmd[4];
        if (!InBounds(sIFP.Lc, d.Lc, d.Flags, CHK_LC_MIN, CHK_LC_MAX) || !SpecLCCheck(sIFP))
            return SW_WRONG_LENGTH;
        if (uint32_t(sIFP.Lc) + (kind == 1 ? 5u : 6u) != len)
            return SW_WRONG_DATA;
        sIFP.data = cmd + 5;
        if (kind == 3) {
            sIFP.Le = cmd[len - 1];
            hasLe = true;
        }
        break;
    }
    case 2:
        if (len != 5)
            return SW_WRONG_DATA;
        sIFP.Le = cmd[4];
        hasLe = true;
        break;
    default:
        return SW_WRONG_P1P2;  // a case the parameters leave open
    }
    if (sIFP.CLA & CLA_SM_BIT) {
        uint16_t st = SW_CLA_NOT_SUPPORTED;
        if (!ReviseMacPacket(cmd, d.MacKey, &sRand, &st, sIFP))
            return st;
    }

    if ((hasLe && !InBounds(sIFP.Le, d.Le, d.Flags, CHK_LE_MIN, CHK_LE_MAX)) || !SpecLECheck(sIFP))
        return uint16_t(SW_WRONG_LE | BoundMin(d.Le));

    sIFP.reply = reply;
    // The reply's data bytes start out zero, so that an error word that
    // carries Le bytes never carries stale or secret ones.
    std::memset(reply, 0, sIFP.Le);
    if (InsFuncs[row].INS == sIFP.INS && InsFuncs[row].Func != nullptr)
        return InsFuncs[row].Func();
    return SW_INS_NOT_SUPPORTED;
}

}  // namespace

void proc_cmd(uint8_t* cmd, uint32_t len, uint8_t* reply, uint32_t* replyLen)
{
    uint16_t sw;
    if (len <= 3) {
        sw = SW_WRONG_DATA;
        sIFP.Le = 0;
    } else {
        sw = Dispatch(cmd, len, reply);
    }
    if (sw == SW_CLA_NOT_SUPPORTED && len > 3 && IsValidCla(cmd[0]))
        sw = SW_INS_NOT_SUPPORTED;
    uint32_t n = (sw == SW_OK || (sw & SW_DATA_BITS) == SW_DATA_BITS) ? sIFP.Le : 0;
    reply[n] = uint8_t(sw >> 8);
    reply[n + 1] = uint8_t(sw);
    *replyLen = n + 2;
}

int32_t DAZI_IO(const uint8_t* cmd, uint32_t len, uint8_t* reply, uint32_t* replyLen)
{
    if (cmd == nullptr || reply == nullptr || replyLen == nullptr || len == 0 ||
        len > DAZI_CMD_MAX)
        return SW_WRONG_DATA;
    std::memset(sWork, 0, sizeof sWork);
    std::memcpy(sWork, cmd, len);
    proc_cmd(sWork, len, reply, replyLen);
    // The command may have carried a PIN, a key or data to decrypt.
    OPENSSL_cleanse(sWork, sizeof sWork);
    sIFP.data = nullptr;
    return 0;
}

uint16_t InitCosSys()
{
    ClearCurrentFile();
    OPENSSL_cleanse(&sSessonKey, sizeof sSessonKey);
    if (sSha1Status != HASH_IDLE) {
        uint8_t scratch[20];
        ESHA1_Final(sSha1Ctx, scratch);
        OPENSSL_cleanse(scratch, sizeof scratch);
    }
    OPENSSL_cleanse(&sSha1Ctx, sizeof sSha1Ctx);
    sSha1Status = HASH_IDLE;
    if (sSM3Status != HASH_IDLE) {
        uint8_t scratch[32];
        SM3_Final(sSM3Ctx, scratch);
        OPENSSL_cleanse(scratch, sizeof scratch);
    }
    OPENSSL_cleanse(&sSM3Ctx, sizeof sSM3Ctx);
    sSM3Status = HASH_IDLE;
    OPENSSL_cleanse(&sRand, sizeof sRand);
    OPENSSL_cleanse(&sUsrPin, sizeof sUsrPin);
    OPENSSL_cleanse(&sInnerKey, sizeof sInnerKey);
    sSecStatus = 0;
    sCurDate = 0;
    // A device status that cannot be read from this image must not keep the
    // blocked or PIN-cache flags of the image bound before.
    std::memset(&sDevInfo, 0, sizeof sDevInfo);
    const uint16_t st = InitAuth(&sDevInfo);
    sStarted = st == FS_OK;
    // Without a status read from the image nothing is known of it: the card
    // is held as blocked, so no instruction but the reset runs on it and
    // none writes an all-zero status back over the stored one.
    if (!sStarted) {
        std::memset(&sDevInfo, 0, sizeof sDevInfo);
        sDevInfo.blocked = 1;
    }
    return st;
}

int32_t SetVEFlashFile(const char* path)
{
    if (path == nullptr)
        return ST_FILE_OPEN;
    // The image directory is shared: follow no link and take only a regular
    // file that is at least as large as the file system, so a stray file is
    // never bound and written into.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return ST_FILE_OPEN;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < off_t(FLASH_FS_SIZE)) {
        close(fd);
        return ST_FILE_OPEN;
    }
    // The descriptor stays with the flash while the image is bound.
    int changed = SetDataFileFd(path, fd);
    if (changed < 0)
        return ST_FILE_OPEN;
    // An image whose last initialisation failed (a first start that could
    // not write, a status that could not be read) is initialised again when
    // it is bound again, so a failed first start is repeated.
    if ((changed == 1 || !sStarted) && InitCosSys() != FS_OK)
        return ST_FILE_OPEN;   // no device status: the card is no use
    return 0;
}

int32_t CreateVEFlashFile(const char* path)
{
    if (path == nullptr)
        return ST_FILE_OPEN;
    // Never truncate through a link or into something that is not a file.
    struct stat st;
    if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode))
        return ST_FILE_OPEN;
    if (std::strlen(path) >= FLASH_PATH_MAX)
        return ST_FILE_OPEN;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return ST_FILE_OPEN;
    // Bound as the file just made, whatever the name holds by now.
    if (SetDataFileFd(path, fd) < 0)
        return ST_FILE_OPEN;
    if (FileSysInit() != FS_OK || InitCosSys() != FS_OK)
        return ST_FILE_OPEN;
    return 0;
}
