// A first start that fails, or is cut off by a crash, at any write it makes:
// the next binding (in a process without faults) finishes the first start,
// leaves the same image as an undisturbed one and default PINs that verify.
// A binding whose first start fails answers 11006.
#include <sys/wait.h>
#include <unistd.h>

#include "tests/vcard/flash_fault.h"
#include "tests/vcard/front_fixture.h"

namespace {

using flash_fault::Fault;

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

// The undisturbed first start of a formatted image: its writes and the image
// it leaves.
struct Reference {
    int writes = 0;
    Bytes image;
};

Reference CleanStart()
{
    TempImage clean(-1);
    clean.Store(Formatted());
    flash_fault::Disarm();
    Reference r;
    EXPECT_EQ(SetVEFlashFile(clean.path().c_str()), 0);
    r.writes = flash_fault::writes;
    r.image = clean.Bytes();
    for (uint8_t t = 0; t < 3; ++t)
        EXPECT_EQ(VerifyDefaultPin(t), 0x9000);
    return r;
}

// Binds path in a child process under the write plan; the child's exit
// status: 0 bound, 1 refused, flash_fault::kExitStatus cut off.
int BindInChild(const std::string& path, flash_fault::Plan writes)
{
    pid_t pid = fork();
    if (pid == 0) {
        // A new process: nothing of the parent's binding is kept.
        SetDataFile((path + ".none").c_str());
        flash_fault::Arm({}, writes);
        _exit(SetVEFlashFile(path.c_str()) == 0 ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// This process binds the image with no fault, as a new process would (the
// card is bound to another image first, so nothing of this process's last
// binding is kept): the first start is complete.
void ExpectStartedAsReference(const TempImage& image, const Reference& ref)
{
    flash_fault::Disarm();
    TempImage elsewhere(-1);
    ASSERT_EQ(CreateVEFlashFile(elsewhere.path().c_str()), 0);
    ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
    EXPECT_EQ(image.Bytes(), ref.image);
    for (uint8_t t = 0; t < 3; ++t)
        EXPECT_EQ(VerifyDefaultPin(t), 0x9000) << "PIN type " << int(t);
}

TEST(FirstStartFault, EveryLostWriteLeavesACardThatStartsAgain)
{
    const Reference ref = CleanStart();
    ASSERT_GT(ref.writes, 10) << "a first start writes three PIN records and file 0";
    for (int at = 1; at <= ref.writes; ++at) {
        SCOPED_TRACE("write " + std::to_string(at) + " of " + std::to_string(ref.writes) + " lost");
        TempImage image(-1);
        image.Store(Formatted());
        flash_fault::Arm({}, {Fault::FailOne, at});
        EXPECT_EQ(SetVEFlashFile(image.path().c_str()), 11006) << "a failed first start is no binding";
        flash_fault::Disarm();
        EXPECT_EQ(SW(Hex("00 0A 00 00 10")), 0x6A81) << "no command runs on it";
        EXPECT_EQ(image.Bytes(), Formatted()) << "the card is formatted again";
        ExpectStartedAsReference(image, ref);
    }
}

// A process killed inside any write of a first start, and again inside any
// write of the first start that the next binding repeats: the binding after
// that finishes it.
TEST(FirstStartFault, AStartCutOffAnywhereIsFinishedByTheNextBinding)
{
    const Reference ref = CleanStart();
    for (int at = 1; at <= ref.writes + 1; ++at) {
        SCOPED_TRACE("killed in write " + std::to_string(at));
        TempImage image(-1);
        image.Store(Formatted());
        const int first = BindInChild(image.path(), {Fault::ExitAt, at});
        ASSERT_EQ(first, at <= ref.writes ? flash_fault::kExitStatus : 0);
        const Bytes cut = image.Bytes();

        // The repeated start, cut off in each of its own writes.
        int again = 0;
        for (int at2 = 1;; ++at2) {
            SCOPED_TRACE("and in write " + std::to_string(at2) + " of the next start");
            image.Store(cut);
            const int second = BindInChild(image.path(), {Fault::ExitAt, at2});
            ASSERT_TRUE(second == 0 || second == flash_fault::kExitStatus) << second;
            ExpectStartedAsReference(image, ref);
            if (second == 0)
                break;
            ++again;
        }
        if (at == 1) {
            EXPECT_EQ(again, ref.writes) << "nothing written: the next start is a whole first start";
        } else if (at <= ref.writes) {
            EXPECT_EQ(again, ref.writes + 2) << "the next start formats first (erase, bitmap)";
        }
    }
}

// A disk that fails from the k-th write of a first start on, its clean-up
// format included (which erases the bitmap, then fails): the binding fails,
// and a process on a sound disk then starts the card.
TEST(FirstStartFault, ADiskThatFailsFromAnyWriteOnLeavesACardThatStartsLater)
{
    const Reference ref = CleanStart();
    for (int at = 1; at <= ref.writes; ++at) {
        SCOPED_TRACE("writes fail from " + std::to_string(at));
        TempImage image(-1);
        image.Store(Formatted());
        ASSERT_EQ(BindInChild(image.path(), {Fault::FailFrom, at}), 1) << "the binding fails";
        ExpectStartedAsReference(image, ref);
    }
}

// A card that started well keeps its volatile state when bound again.
TEST(FirstStartFault, ASoundStartIsNotRepeated)
{
    TempImage image(-1);
    image.Store(Formatted());
    flash_fault::Disarm();
    ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
    ASSERT_EQ(VerifyDefaultPin(2), 0x9000);
    flash_fault::Disarm();
    ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
    EXPECT_EQ(flash_fault::writes, 0);
    EXPECT_EQ(SW(Hex("00 80 00 00")), 0x9000) << "the verified user PIN is kept";
}

}  // namespace
