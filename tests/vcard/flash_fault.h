// Faults of the card's flash, injected at its accesses. The test program is
// linked with FlashRead, FlashWrite and Init_Flash wrapped (tests/vcard
// CMakeLists.txt): each access is counted, and a plan makes some of them
// fail, or ends the process inside one, as a crash would.
#pragma once

namespace flash_fault {

enum class Fault {
    None,
    FailOne,    // access number `at` fails, the others go through
    FailFrom,   // every access from number `at` on fails (a disk that broke)
    ExitAt,     // the process ends (_exit(kExitStatus)) inside access number `at`
};

// Status of a process that a planned crash ended.
constexpr int kExitStatus = 42;

struct Plan {
    Fault fault = Fault::None;
    int at = 0;
};

// Reads and writes since the plans were last set (a format counts as one
// write). A failed read fills its buffer with 0xFF and answers -1, as an
// image that cannot be opened does; a failed or interrupted format has erased
// its first block (the sector bitmap: every sector taken) and no more.
extern int reads;
extern int writes;

// Sets the plans for reads and for writes and starts both counts at 0.
void Arm(Plan readPlan, Plan writePlan);
inline void Disarm() { Arm({}, {}); }

}  // namespace flash_fault
