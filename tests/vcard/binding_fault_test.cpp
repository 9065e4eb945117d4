// A binding of a blocked image with the PIN cache on, with one failed read
// at each flash access it makes, and with every write failing: the card
// never runs on an assumed status, the daemon's session (user PIN with the
// date, automatic verification) changes nothing, and a binding without
// faults finds the card still blocked with its PIN-cache setting.
#include "tests/vcard/flash_fault.h"
#include "tests/vcard/front_fixture.h"

namespace {

using flash_fault::Fault;

class BindingFault : public FrontCard {
protected:
    void SetUp() override
    {
        FrontCard::SetUp();
        ASSERT_EQ(CreateVEFlashFile(elsewhere.path().c_str()), 0);
        ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
        sDevInfo.blocked = 1;
        sDevInfo.cacheOn = 1;
        sDevInfo.cacheDays = 30;
        sDevInfo.lastDate = 20240101;
        ASSERT_EQ(RWDeviceStatus(1, &sDevInfo), 0);
        stored = image.Bytes();
    }

    // Binds the blocked image afresh (another image was bound before) under
    // the plans; the binding's status.
    int32_t BindUnder(flash_fault::Plan reads, flash_fault::Plan writes)
    {
        flash_fault::Disarm();
        EXPECT_EQ(SetVEFlashFile(elsewhere.path().c_str()), 0);
        flash_fault::Arm(reads, writes);
        return SetVEFlashFile(image.path().c_str());
    }

    // The daemon's session on whatever the binding left, then a binding
    // without faults: still blocked, cache on for 30 days, image unchanged.
    void ExpectStillBlocked()
    {
        EXPECT_EQ(VerifyPin(2, UserPin(), 20240202), 0x6A81);
        EXPECT_EQ(AutoVerify(20240202), 0x6A81);
        EXPECT_EQ(SW(Apdu(0x00, 0x80, 0, 0)), 0x6A81);
        flash_fault::Disarm();
        EXPECT_EQ(image.Bytes(), stored) << "nothing was written";
        ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
        EXPECT_EQ(sDevInfo.blocked, 1);
        EXPECT_EQ(sDevInfo.cacheOn, 1);
        EXPECT_EQ(sDevInfo.cacheDays, 30);
        EXPECT_EQ(SW(Hex("00 0A 00 00 10")), 0x6A81);
        EXPECT_EQ(image.Bytes(), stored);
    }

    TempImage elsewhere{-1};
    Bytes stored;
};

TEST_F(BindingFault, AFailedReadAtAnyAccessFailsTheBinding)
{
    ASSERT_EQ(BindUnder({}, {}), 0);
    const int total = flash_fault::reads;
    ASSERT_GE(total, 2) << "the binding reads file 0's entry and its status";
    EXPECT_EQ(flash_fault::writes, 0);
    for (int at = 1; at <= total; ++at) {
        SCOPED_TRACE("read " + std::to_string(at) + " of " + std::to_string(total) + " fails");
        EXPECT_EQ(BindUnder({Fault::FailOne, at}, {}), 11006);
        ExpectStillBlocked();
    }
}

TEST_F(BindingFault, FailingWritesChangeNothing)
{
    EXPECT_EQ(BindUnder({}, {Fault::FailFrom, 1}), 0) << "binding a started card writes nothing";
    EXPECT_EQ(flash_fault::writes, 0);
    ExpectStillBlocked();
}

}  // namespace
