// Administration instructions: reset, restoration, debug read, serial number,
// version, system keys and card block.
#include <cstring>

#include <openssl/crypto.h>

#include "smcrypto/secret_bytes.h"
#include "vcard/InsDat.h"
#include "vcard/access_codes.h"
#include "vcard/cosstate.h"
#include "vcard/dazi.h"
#include "vcard/eflash.h"
#include "vcard/filesys.h"

namespace {

constexpr unsigned SN_LEN = 12;

// Compares the command's 16 data bytes with an access code without an early
// exit.
bool CodeMatches(void (*build)(uint8_t*))
{
    secret_array<ACCESS_CODE_LEN> code;
    build(code.data());
    return CRYPTO_memcmp(code.data(), sIFP.data, ACCESS_CODE_LEN) == 0;
}

}  // namespace

uint16_t Ins_Reset_Cos()
{
    if (!CodeMatches(BuildResetCode))
        return SW_WRONG_DATA;
    uint16_t st = FileSysInit();
    if (st != FS_OK)
        return st;
    return InitCosSys();
}

uint16_t Ins_Restoration()
{
    // A status that cannot be read again is a failed restoration, never a
    // serial number answered over a card left unusable.
    const uint16_t st = InitCosSys();
    if (st != FS_OK)
        return st;
    return Ins_Get_SN();
}

uint16_t Ins_Debug()
{
    if (!CodeMatches(BuildDebugCode))
        return SW_WRONG_DATA;
    uint32_t offset = uint32_t(sIFP.P1) << 8 | sIFP.P2;
    if (FlashRead(offset, sIFP.reply, sIFP.Le) != 0) {
        std::memset(sIFP.reply, 0, sIFP.Le);
        return SW_MEMORY_FAILURE;
    }
    return SW_OK;
}

uint16_t Ins_Get_SN()
{
    if (sIFP.Le < SN_LEN)
        return SW_WRONG_LE | SN_LEN;
    std::memset(sIFP.reply, '1', SN_LEN);
    sIFP.Le = SN_LEN;
    return SW_OK;
}

uint16_t Ins_Get_Version()
{
    // Vendor text in GBK, then the product name, build date and build time.
    static const uint8_t vendor[] = {0xB1, 0xB1, 0xBE, 0xA9, 'Q',  'a',  'r',  'n',  0xBF, 0xC6, 0xBC,
                                     0xBC, 0xD3, 0xD0, 0xCF, 0xDE, 0xB9, 0xAB, 0xCB, 0xBE, ';'};
    static const char* const pieces[] = {"DAZI V2.0 ", "May 14 2019", " ", "22:22:19"};
    uint8_t* out = sIFP.reply;
    std::memset(out, 0, 128);
    unsigned n = sizeof vendor;
    std::memcpy(out, vendor, n);
    for (const char* p : pieces) {
        std::memcpy(out + n, p, std::strlen(p));
        n += unsigned(std::strlen(p));
    }
    if (sIFP.Le < n)
        return uint16_t(SW_WRONG_LE | n);
    sIFP.Le = uint8_t(n);
    return SW_OK;
}

uint16_t Ins_Initialize_System_Key()
{
    return WriteCosKey(0, sIFP.data, sIFP.Lc, sIFP.P1, sIFP.P2);
}

uint16_t Ins_Update_System_Key()
{
    // Secure messaging has deciphered the data: a length byte in the Lc
    // position, then the 16 bytes of the new key value.
    return WriteCosKey(1, sIFP.data, 16, sIFP.P1, sIFP.P2);
}

uint16_t Ins_Card_Block()
{
    uint8_t was = sDevInfo.blocked;
    sDevInfo.blocked = 1;
    uint16_t st = RWDeviceStatus(1, &sDevInfo);
    if (st != FS_OK) {
        sDevInfo.blocked = was;
        return st;
    }
    return SW_OK;
}
