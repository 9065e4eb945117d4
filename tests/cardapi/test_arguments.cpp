// Argument checks of every card command, in their order, before anything is
// sent. With no device open a call that passes its checks answers 2003, so a
// row expecting 2003 marks the edge of an accepted range.
#include <functional>

#include "cardapi_fixture.h"

namespace {

struct check_row {
    const char* what;
    std::function<uint32_t()> call;
    uint32_t code;
};

uint8_t buf[512];
uint8_t out[512];
uint16_t idx[64];
const char* const PIN8 = "12345678";
const char* const PIN7 = "1234567";
const char* const PIN16 = "1234567890123456";
const char* const PIN17 = "12345678901234567";

std::vector<check_row> check_rows()
{
    static uint32_t u32;
    static int i32;
    static uint16_t u16;
    static uint8_t u8;
    static char text[64];
    return {
        // Device, PINs, authentication.
        {"GetSn out", [] { u32 = 64; return COS_GetSn(nullptr, &u32); }, 11001},
        {"GetSn len", [] { return COS_GetSn(text, nullptr); }, 11001},
        {"VerifyPin type before pointers", [] { return COS_VerifyPin(3, nullptr, nullptr); }, 3001},
        {"VerifyPin pin", [] { return COS_VerifyPin(2, nullptr, &u32); }, 11001},
        {"VerifyPin tries", [] { return COS_VerifyPin(2, PIN8, nullptr); }, 11001},
        {"VerifyPin 7", [] { return COS_VerifyPin(2, PIN7, &u32); }, 3003},
        {"VerifyPin 17", [] { return COS_VerifyPin(2, PIN17, &u32); }, 3003},
        {"VerifyPin 16", [] { return COS_VerifyPin(0, PIN16, &u32); }, 2003},
        {"GetVersion out", [] { i32 = 64; return COS_GetVersion(nullptr, &i32); }, 11001},
        {"GetVersion len", [] { return COS_GetVersion(out, nullptr); }, 11001},
        {"ModifyPin type", [] { return COS_ModifyPin(3, nullptr, nullptr); }, 3001},
        {"ModifyPin old", [] { return COS_ModifyPin(2, nullptr, PIN8); }, 11001},
        {"ModifyPin new", [] { return COS_ModifyPin(2, PIN8, nullptr); }, 11001},
        {"ModifyPin new 7", [] { return COS_ModifyPin(2, PIN8, PIN7); }, 3003},
        {"ModifyPin old 17", [] { return COS_ModifyPin(2, PIN17, PIN8); }, 3003},
        {"ModifyPin ok", [] { return COS_ModifyPin(2, PIN16, PIN8); }, 2003},
        {"ReloadPin type", [] { return COS_ReloadPin(3, nullptr); }, 3001},
        {"ReloadPin pin", [] { return COS_ReloadPin(1, nullptr); }, 11001},
        {"ReloadPin 7", [] { return COS_ReloadPin(1, PIN7); }, 3003},
        {"UnlockPin type", [] { return COS_UnlockPin(3); }, 3001},
        {"UnlockPin 0 goes to the card", [] { return COS_UnlockPin(0); }, 2003},
        {"GetRandom out", [] { return COS_GetRandom(nullptr, 8); }, 11001},
        {"InnerAuth challenge", [] { i32 = 16; return COS_InnerAuth(nullptr, 16, out, &i32); }, 11001},
        {"InnerAuth 15", [] { i32 = 16; return COS_InnerAuth(buf, 15, out, &i32); }, 11001},
        {"InnerAuth 17", [] { i32 = 16; return COS_InnerAuth(buf, 17, out, &i32); }, 11001},
        {"InnerAuth out", [] { i32 = 16; return COS_InnerAuth(buf, 16, nullptr, &i32); }, 11001},
        {"InnerAuth len", [] { return COS_InnerAuth(buf, 16, out, nullptr); }, 11001},
        {"ExtAuth key 5", [] { return COS_ExtAuth(5, buf, 16); }, 11001},
        {"ExtAuth cryptogram", [] { return COS_ExtAuth(1, nullptr, 16); }, 11001},
        {"ExtAuth -1", [] { return COS_ExtAuth(1, buf, -1); }, 11001},
        {"ExtAuth 17", [] { return COS_ExtAuth(1, buf, 17); }, 11001},
        {"ExtAuth key 0, 0 bytes", [] { return COS_ExtAuth(0, buf, 0); }, 2003},
        {"Block mac", [] { return COS_Block(nullptr, 4); }, 11001},
        {"Block 3", [] { return COS_Block(buf, 3); }, 11001},
        {"Block 5", [] { return COS_Block(buf, 5); }, 11001},
        // Files.
        {"CreateFile 4097", [] { return COS_CreateFile(0x81, 4097); }, 4008},
        {"CreateFile 4096", [] { return COS_CreateFile(0x81, 4096); }, 2003},
        {"WriteFile data", [] { return COS_WriteFile(nullptr, 10); }, 11001},
        {"ReadFile out", [] { u16 = 8; return COS_ReadFile(nullptr, &u16); }, 11001},
        {"ReadFile len", [] { return COS_ReadFile(out, nullptr); }, 11001},
        {"WritePubKey slot before data", [] { return COS_WritePubKey(16, nullptr, 0); }, 5003},
        {"WritePubKey data", [] { return COS_WritePubKey(0, nullptr, 10); }, 11001},
        {"WritePubKey 129", [] { return COS_WritePubKey(0, buf, 129); }, 11001},
        {"WritePubKey 128", [] { return COS_WritePubKey(15, buf, 128); }, 2003},
        {"WriteKeyId slot", [] { return COS_WriteKeyId(16, nullptr, 0); }, 5003},
        {"WriteKeyId data", [] { return COS_WriteKeyId(0, nullptr, 10); }, 11001},
        {"WriteKeyId 65", [] { return COS_WriteKeyId(0, buf, 65); }, 11001},
        {"WriteKeyId 64", [] { return COS_WriteKeyId(0, buf, 64); }, 2003},
        {"ReadPubKey slot", [] { return COS_ReadPubKey(16, nullptr, nullptr); }, 5003},
        {"ReadPubKey out", [] { u16 = 128; return COS_ReadPubKey(0, nullptr, &u16); }, 11001},
        {"ReadPubKey len", [] { return COS_ReadPubKey(0, out, nullptr); }, 11001},
        // Key matrix and private keys.
        {"Gen_Matrix count 0", [] { u8 = 255; return COS_Gen_Matrix(4, 0, 0, out, &u8); }, 11001},
        {"Gen_Matrix out", [] { u8 = 255; return COS_Gen_Matrix(4, 0, 1, nullptr, &u8); }, 11001},
        {"Gen_Matrix len", [] { return COS_Gen_Matrix(4, 0, 1, out, nullptr); }, 11001},
        {"Gen_Matrix 4 of curve 4", [] { u8 = 255; return COS_Gen_Matrix(4, 0, 4, out, &u8); }, 11001},
        {"Gen_Matrix 3 of curve 4", [] { u8 = 255; return COS_Gen_Matrix(4, 0, 3, out, &u8); }, 2003},
        {"Export_Matrix out", [] { u8 = 255; return COS_Export_Matrix(4, 0, 1, nullptr, &u8); }, 11001},
        {"Export_Matrix len", [] { return COS_Export_Matrix(4, 0, 1, out, nullptr); }, 11001},
        {"Export_Matrix 8 of curve 4", [] { u8 = 255; return COS_Export_Matrix(4, 0, 8, out, &u8); }, 11001},
        {"Export_Matrix 7 of curve 4", [] { u8 = 255; return COS_Export_Matrix(4, 0, 7, out, &u8); }, 2003},
        {"Export_Matrix 16 of curve 1", [] { u8 = 255; return COS_Export_Matrix(1, 0, 16, out, &u8); }, 11001},
        {"Import_Matrix data", [] { return COS_Import_Matrix(4, 0, nullptr, 34); }, 11001},
        {"Import_Matrix 252", [] { return COS_Import_Matrix(4, 0, buf, 252); }, 11001},
        {"Import_Matrix 251", [] { return COS_Import_Matrix(4, 0, buf, 251); }, 2003},
        {"Cal_isk 0 indices", [] { u8 = 32; return COS_Cal_isk(4, idx, 0, out, &u8); }, 11001},
        {"Cal_isk 37 indices", [] { u8 = 32; return COS_Cal_isk(4, idx, 37, out, &u8); }, 11001},
        {"Cal_isk 65 indices", [] { u8 = 32; return COS_Cal_isk(4, idx, 65, out, &u8); }, 11001},
        {"Cal_isk 36 indices", [] { u8 = 32; return COS_Cal_isk(4, idx, 36, out, &u8); }, 2003},
        {"Cal_isk indices", [] { u8 = 32; return COS_Cal_isk(4, nullptr, 4, out, &u8); }, 11001},
        {"Cal_isk out", [] { u8 = 32; return COS_Cal_isk(4, idx, 4, nullptr, &u8); }, 11001},
        {"Cal_isk len", [] { return COS_Cal_isk(4, idx, 4, out, nullptr); }, 11001},
        {"ApplyPriKey point", [] { return COS_ApplyPriKey(0, nullptr, out); }, 11001},
        {"ApplyPriKey out", [] { return COS_ApplyPriKey(0, buf, nullptr); }, 11001},
        {"WritePriKey slot", [] { return COS_WritePriKey(0x51, 16, nullptr, 0); }, 5003},
        {"WritePriKey data", [] { return COS_WritePriKey(0x51, 0, nullptr, 34); }, 11001},
        {"WritePriKey 9", [] { return COS_WritePriKey(0x51, 0, buf, 9); }, 11001},
        {"WritePriKey 35", [] { return COS_WritePriKey(0x51, 0, buf, 35); }, 11001},
        {"WritePriKey 300", [] { return COS_WritePriKey(0x51, 0, buf, 300); }, 11001},
        {"WritePriKey 10", [] { return COS_WritePriKey(0x11, 1, buf, 10); }, 2003},
        {"WritePriKey 34", [] { return COS_WritePriKey(0x51, 1, buf, 34); }, 2003},
        // Elliptic-curve commands.
        {"ECDSA digest 19 first", [] { return COS_ECDSA(16, nullptr, 19, nullptr, nullptr); }, 12004},
        {"ECDSA digest 33 first", [] { return COS_ECDSA(16, nullptr, 33, nullptr, nullptr); }, 12004},
        {"ECDSA slot", [] { return COS_ECDSA(16, nullptr, 20, nullptr, nullptr); }, 5003},
        {"ECDSA digest", [] { u8 = 64; return COS_ECDSA(0, nullptr, 20, out, &u8); }, 11001},
        {"ECDSA sig", [] { u8 = 64; return COS_ECDSA(0, buf, 20, nullptr, &u8); }, 11001},
        {"ECDSA len", [] { return COS_ECDSA(0, buf, 20, out, nullptr); }, 11001},
        {"ECDSA 32", [] { u8 = 64; return COS_ECDSA(15, buf, 32, out, &u8); }, 2003},
        {"VECDSA digest", [] { return COS_VECDSA(4, nullptr, 20, buf, buf); }, 11001},
        {"VECDSA sig", [] { return COS_VECDSA(4, buf, 20, nullptr, buf); }, 11001},
        {"VECDSA key", [] { return COS_VECDSA(4, buf, 20, buf, nullptr); }, 11001},
        {"VECDSA 19", [] { return COS_VECDSA(4, buf, 19, buf, buf); }, 12004},
        {"VECDSA 33", [] { return COS_VECDSA(4, buf, 33, buf, buf); }, 12004},
        {"VECDSA 1000", [] { return COS_VECDSA(4, buf, 1000, buf, buf); }, 12004},
        {"VECDSA 32", [] { return COS_VECDSA(4, buf, 32, buf, buf); }, 2003},
        {"Gen_DE point", [] { return COS_Gen_DE(0, nullptr, out); }, 11001},
        {"Gen_DE out", [] { return COS_Gen_DE(0, buf, nullptr); }, 11001},
        {"Open_DE slot", [] { return COS_Open_DE(1, 16, nullptr, 0, nullptr); }, 5003},
        {"Open_DE envelope", [] { return COS_Open_DE(1, 0, nullptr, 24, out); }, 11001},
        {"Open_DE give without out", [] { return COS_Open_DE(1, 0, buf, 24, nullptr); }, 11001},
        {"Open_DE plen 0", [] { return COS_Open_DE(0, 0, buf, 0, nullptr); }, 11001},
        {"Open_DE plen 16", [] { return COS_Open_DE(0, 0, buf, 16, nullptr); }, 11001},
        {"Open_DE plen 33", [] { return COS_Open_DE(1, 0, buf, 33, out); }, 11001},
        {"Open_DE plen 64", [] { return COS_Open_DE(1, 0, buf, 64, out); }, 11001},
        {"Open_DE plen 200", [] { return COS_Open_DE(0, 0, buf, 200, nullptr); }, 11001},
        {"Open_DE plen 8", [] { return COS_Open_DE(0, 0, buf, 8, nullptr); }, 2003},
        {"Open_DE plen 14", [] { return COS_Open_DE(0, 0, buf, 14, nullptr); }, 2003},
        {"Open_DE plen 20", [] { return COS_Open_DE(1, 0, buf, 20, out); }, 2003},
        {"Open_DE plen 24", [] { return COS_Open_DE(1, 0, buf, 24, out); }, 2003},
        {"Open_DE plen 32", [] { return COS_Open_DE(1, 15, buf, 32, out); }, 2003},
        {"ECDH slot", [] { return COS_ECDH(16, 0, nullptr, 48, nullptr); }, 5003},
        {"ECDH input", [] { return COS_ECDH(0, 0, nullptr, 48, out); }, 11001},
        {"ECDH out", [] { return COS_ECDH(0, 0, buf, 48, nullptr); }, 11001},
        {"ECDH 65", [] { return COS_ECDH(0, 0, buf, 65, out); }, 11001},
        {"ECDH 255", [] { return COS_ECDH(0, 0, buf, 255, out); }, 11001},
        {"ECDH 64", [] { return COS_ECDH(0, 4, buf, 64, out); }, 2003},
        {"ECDH curve 0 slot", [] { return COS_ECDH(16, nullptr, 48, nullptr); }, 5003},
        {"ECDH curve 0 input", [] { return COS_ECDH(0, nullptr, 48, out); }, 11001},
        {"ECDH curve 0 out", [] { return COS_ECDH(0, buf, 48, nullptr); }, 11001},
        {"ECDH curve 0 65", [] { return COS_ECDH(0, buf, 65, out); }, 11001},
        {"ECDH curve 0 48", [] { return COS_ECDH(0, buf, 48, out); }, 2003},
        // SM2.
        {"SM2Sign slot 16 is 11001", [] { u8 = 64; return COS_SM2Sign(16, buf, out, &u8); }, 11001},
        {"SM2Sign e", [] { u8 = 64; return COS_SM2Sign(1, nullptr, out, &u8); }, 11001},
        {"SM2Sign sig", [] { u8 = 64; return COS_SM2Sign(1, buf, nullptr, &u8); }, 11001},
        {"SM2Sign len", [] { return COS_SM2Sign(1, buf, out, nullptr); }, 11001},
        {"SM2Sign room 63", [] { u8 = 63; return COS_SM2Sign(1, buf, out, &u8); }, 1018},
        {"SM2Sign room 64", [] { u8 = 64; return COS_SM2Sign(1, buf, out, &u8); }, 2003},
        {"SM2Verify e", [] { return COS_SM2Verify(nullptr, buf, buf); }, 11001},
        {"SM2Verify key", [] { return COS_SM2Verify(buf, nullptr, buf); }, 11001},
        {"SM2Verify sig", [] { return COS_SM2Verify(buf, buf, nullptr); }, 11001},
        {"SM2Encrypt key", [] { i32 = 255; return COS_SM2Encrypt(nullptr, buf, 10, out, &i32); }, 11001},
        {"SM2Encrypt msg", [] { i32 = 255; return COS_SM2Encrypt(buf, nullptr, 10, out, &i32); }, 11001},
        {"SM2Encrypt out", [] { i32 = 255; return COS_SM2Encrypt(buf, buf, 10, nullptr, &i32); }, 11001},
        {"SM2Encrypt len", [] { return COS_SM2Encrypt(buf, buf, 10, out, nullptr); }, 11001},
        {"SM2Encrypt 0", [] { i32 = 255; return COS_SM2Encrypt(buf, buf, 0, out, &i32); }, 11001},
        {"SM2Encrypt negative", [] { i32 = 255; return COS_SM2Encrypt(buf, buf, 0x80000000u, out, &i32); }, 11001},
        {"SM2Encrypt 159", [] { i32 = 255; return COS_SM2Encrypt(buf, buf, 159, out, &i32); }, 11001},
        {"SM2Encrypt 158", [] { i32 = 255; return COS_SM2Encrypt(buf, buf, 158, out, &i32); }, 2003},
        {"SM2Decrypt slot 16 is 11001", [] { i32 = 255; return COS_SM2Decrypt(16, buf, 98, out, &i32); }, 11001},
        {"SM2Decrypt cipher", [] { i32 = 255; return COS_SM2Decrypt(1, nullptr, 98, out, &i32); }, 11001},
        {"SM2Decrypt 97", [] { i32 = 255; return COS_SM2Decrypt(1, buf, 97, out, &i32); }, 11001},
        {"SM2Decrypt 251", [] { i32 = 255; return COS_SM2Decrypt(1, buf, 251, out, &i32); }, 11001},
        {"SM2Decrypt 255", [] { i32 = 255; return COS_SM2Decrypt(1, buf, 255, out, &i32); }, 11001},
        {"SM2Decrypt 400", [] { i32 = 255; return COS_SM2Decrypt(1, buf, 400, out, &i32); }, 11001},
        {"SM2Decrypt out", [] { i32 = 255; return COS_SM2Decrypt(1, buf, 98, nullptr, &i32); }, 11001},
        {"SM2Decrypt len", [] { return COS_SM2Decrypt(1, buf, 98, out, nullptr); }, 11001},
        {"SM2Decrypt 98", [] { i32 = 255; return COS_SM2Decrypt(1, buf, 98, out, &i32); }, 2003},
        {"SM2Decrypt 250", [] { i32 = 255; return COS_SM2Decrypt(15, buf, 250, out, &i32); }, 2003},
        // Recovery and identity.
        {"Get_EId out", [] { i32 = 64; return COS_Get_EId(nullptr, &i32); }, 11001},
        {"Get_EId len", [] { return COS_Get_EId(out, nullptr); }, 11001},
        {"Get_rE out", [] { i32 = 70; return COS_Get_rE(nullptr, &i32); }, 11001},
        {"Get_rE len", [] { return COS_Get_rE(out, nullptr); }, 11001},
        {"Restore_rG secret", [] { return COS_Restore_rG(nullptr, PIN8); }, 11001},
        {"Restore_rG pin", [] { return COS_Restore_rG(buf, nullptr); }, 11001},
        {"Restore_rG 7", [] { return COS_Restore_rG(buf, PIN7); }, 3003},
        {"Restore_rG 17", [] { return COS_Restore_rG(buf, PIN17); }, 3003},
        {"Restore_rG 16", [] { return COS_Restore_rG(buf, PIN16); }, 2003},
        // Symmetric and hash.
        {"SM4Encrypt msg", [] { u32 = 64; return COS_SM4Encrypt(0, nullptr, 10, out, &u32); }, 11001},
        {"SM4Encrypt out", [] { u32 = 64; return COS_SM4Encrypt(0, buf, 10, nullptr, &u32); }, 11001},
        {"SM4Encrypt len", [] { return COS_SM4Encrypt(0, buf, 10, out, nullptr); }, 11001},
        {"SM4Encrypt 239", [] { u32 = 255; return COS_SM4Encrypt(0, buf, 239, out, &u32); }, 1016},
        {"SM4Encrypt 238", [] { u32 = 240; return COS_SM4Encrypt(0, buf, 238, out, &u32); }, 2003},
        {"SM4Encrypt room 31 for 16", [] { u32 = 31; return COS_SM4Encrypt(0, buf, 16, out, &u32); }, 1018},
        {"SM4Encrypt room negative", [] { u32 = 0x80000000u; return COS_SM4Encrypt(0, buf, 1, out, &u32); }, 1018},
        {"SM4Decrypt cipher", [] { i32 = 64; return COS_SM4Decrypt(0, nullptr, 16, out, &i32); }, 11001},
        {"SM4Decrypt out", [] { i32 = 64; return COS_SM4Decrypt(0, buf, 16, nullptr, &i32); }, 11001},
        {"SM4Decrypt len", [] { return COS_SM4Decrypt(0, buf, 16, out, nullptr); }, 11001},
        {"SM4Decrypt 20", [] { i32 = 64; return COS_SM4Decrypt(0, buf, 20, out, &i32); }, 1016},
        {"SM4Decrypt 255", [] { i32 = 64; return COS_SM4Decrypt(0, buf, 255, out, &i32); }, 1016},
        {"SM4Decrypt 240", [] { i32 = 64; return COS_SM4Decrypt(0, buf, 240, out, &i32); }, 2003},
        {"SHA1 data", [] { return COS_SHA1(nullptr, 10, out, 20); }, 11001},
        {"SHA1 out", [] { return COS_SHA1(buf, 10, nullptr, 20); }, 11001},
        {"SHA1 empty", [] { return COS_SHA1(buf, 0, out, 20); }, 11001},
        {"SHA1 room 19", [] { return COS_SHA1(buf, 10, out, 19); }, 1018},
        {"SHA1 room 20", [] { return COS_SHA1(buf, 10, out, 20); }, 2003},
        {"SM3 data", [] { return COS_SM3(nullptr, 10, out, 32); }, 11001},
        {"SM3 empty", [] { return COS_SM3(buf, 0, out, 32); }, 11001},
        {"SM3 room 31", [] { return COS_SM3(buf, 10, out, 31); }, 1018},
        {"SM3 room 32", [] { return COS_SM3(buf, 10, out, 32); }, 2003},
    };
}

}  // namespace

TEST(ArgumentChecks, InOrderBeforeTheDevice)
{
    ASSERT_EQ(-1, m_iType);
    for (const check_row& r : check_rows()) EXPECT_EQ(r.code, r.call()) << r.what;
}

TEST_F(CardTest, RefusedArgumentsSendNothing)
{
    for (const check_row& r : check_rows()) {
        if (r.code == 2003) continue;
        log.clear();
        EXPECT_EQ(r.code, r.call()) << r.what;
        EXPECT_TRUE(log.empty()) << r.what;
    }
}

TEST(ArgumentChecks, LengthsWrittenBackOnEarlyRefusal)
{
    // SM2 signing tells the room it needs; SM4 framing tells the padded
    // size, or 0 when the message cannot be framed.
    uint8_t room = 63;
    EXPECT_EQ(1018u, COS_SM2Sign(1, buf, out, &room));
    EXPECT_EQ(64, room);

    uint32_t len = 31;
    EXPECT_EQ(1018u, COS_SM4Encrypt(0, buf, 16, out, &len));
    EXPECT_EQ(32u, len);
    len = 15;
    EXPECT_EQ(1018u, COS_SM4Encrypt(0, buf, 14, out, &len));
    EXPECT_EQ(16u, len);
    len = 255;
    EXPECT_EQ(1016u, COS_SM4Encrypt(0, buf, 239, out, &len));
    EXPECT_EQ(0u, len);

    int ilen = 99;
    EXPECT_EQ(1016u, COS_SM4Decrypt(0, buf, 20, out, &ilen));
    EXPECT_EQ(0, ilen);

    // A short digest buffer is not written.
    memset(out, 0xA5, 32);
    EXPECT_EQ(1018u, COS_SHA1(buf, 10, out, 19));
    EXPECT_EQ(1018u, COS_SM3(buf, 10, out, 31));
    EXPECT_EQ(bytes(32, 0xA5), bytes(out, out + 32));
}
