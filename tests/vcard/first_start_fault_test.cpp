// A first start that loses one write of the image, at every write it makes:
// the card is blank again afterwards, and binding it again repeats the
// first start, which then leaves the same image as an undisturbed one and
// default PINs that verify.
//
// The test program is linked with FlashWrite wrapped (tests/vcard
// CMakeLists.txt), so the writes of the card can be counted and one of them
// refused.
#include "tests/vcard/front_fixture.h"

namespace flash_fault {

// Writes since the count was started; the write numbered failAt (from 1)
// is refused without touching the image, 0 refuses none.
int writes = 0;
int failAt = 0;

void Arm(int at)
{
    writes = 0;
    failAt = at;
}

}  // namespace flash_fault

extern "C" int __real_FlashWrite(uint32_t offset, const void* buffer, uint32_t n);
extern "C" int __wrap_FlashWrite(uint32_t offset, const void* buffer, uint32_t n)
{
    if (++flash_fault::writes == flash_fault::failAt)
        return -1;
    return __real_FlashWrite(offset, buffer, n);
}

namespace {

// A freshly formatted image as bytes: the file system erased, the bitmap free.
Bytes Formatted()
{
    Bytes b(FLASH_FS_SIZE, 0xFF);
    std::fill(b.begin(), b.begin() + 4 * FS_BITMAP_WORDS, 0);
    return b;
}

uint16_t VerifyDefaultPin(uint8_t type)
{
    Bytes pin(DEFAULT_PIN_LEN);
    BuildDefaultPin(type, pin.data());
    return SW(Apdu(0x00, 0x20, 0, uint8_t(type + 1), pin));
}

TEST(FirstStartFault, EveryLostWriteLeavesACardThatStartsAgain)
{
    // The undisturbed first start: its writes and the image it leaves.
    TempImage clean(-1);
    clean.Store(Formatted());
    flash_fault::Arm(0);
    ASSERT_EQ(SetVEFlashFile(clean.path().c_str()), 0);
    const int total = flash_fault::writes;
    ASSERT_GT(total, 10) << "a first start writes file 0 and three PIN records";
    const Bytes reference = clean.Bytes();
    for (uint8_t t = 0; t < 3; ++t)
        ASSERT_EQ(VerifyDefaultPin(t), 0x9000);

    for (int at = 1; at <= total; ++at) {
        SCOPED_TRACE("write " + std::to_string(at) + " of " + std::to_string(total) + " lost");
        TempImage image(-1);
        image.Store(Formatted());
        flash_fault::Arm(at);
        ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
        flash_fault::Arm(0);
        _file_info_ f;
        EXPECT_EQ(SelectFile(FID_DEVINFO, &f), 0x6A82) << "no device status after a failure";
        EXPECT_EQ(Le32(image.Bytes(), FS_BITMAP_OFF), 0u) << "no sector in use";

        ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
        EXPECT_EQ(image.Bytes(), reference);
        for (uint8_t t = 0; t < 3; ++t)
            EXPECT_EQ(VerifyDefaultPin(t), 0x9000) << "PIN type " << int(t);
    }
}

// A card that started well keeps its volatile state when bound again.
TEST(FirstStartFault, ASoundStartIsNotRepeated)
{
    TempImage image(-1);
    image.Store(Formatted());
    flash_fault::Arm(0);
    ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
    ASSERT_EQ(VerifyDefaultPin(2), 0x9000);
    flash_fault::Arm(0);
    ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
    EXPECT_EQ(flash_fault::writes, 0);
    EXPECT_EQ(SW(Hex("00 80 00 00")), 0x9000) << "the verified user PIN is kept";
}

}  // namespace
