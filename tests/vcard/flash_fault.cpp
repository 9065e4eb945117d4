#include "tests/vcard/flash_fault.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "vcard/eflash.h"

namespace flash_fault {

int reads = 0;
int writes = 0;

namespace {

Plan s_read, s_write;

// Whether access number n under plan p fails; ends the process for ExitAt.
bool Fails(const Plan& p, int n)
{
    switch (p.fault) {
    case Fault::None:
        return false;
    case Fault::FailOne:
        return n == p.at;
    case Fault::FailFrom:
        return n >= p.at;
    case Fault::ExitAt:
        return n == p.at;
    }
    return false;
}

bool Exits(const Plan& p, int n) { return p.fault == Fault::ExitAt && n == p.at; }

}  // namespace

void Arm(Plan readPlan, Plan writePlan)
{
    s_read = readPlan;
    s_write = writePlan;
    reads = 0;
    writes = 0;
}

}  // namespace flash_fault

using namespace flash_fault;

extern "C" int __real_FlashRead(uint32_t offset, void* buffer, uint32_t n);
extern "C" int __real_FlashWrite(uint32_t offset, const void* buffer, uint32_t n);
extern "C" int __real_Init_Flash(void);

extern "C" int __wrap_FlashRead(uint32_t offset, void* buffer, uint32_t n)
{
    const int k = ++reads;
    if (Exits(s_read, k))
        _exit(kExitStatus);
    if (Fails(s_read, k)) {
        std::memset(buffer, 0xFF, n);
        return -1;
    }
    return __real_FlashRead(offset, buffer, n);
}

extern "C" int __wrap_FlashWrite(uint32_t offset, const void* buffer, uint32_t n)
{
    const int k = ++writes;
    if (Exits(s_write, k))
        _exit(kExitStatus);
    if (Fails(s_write, k))
        return -1;
    return __real_FlashWrite(offset, buffer, n);
}

extern "C" int __wrap_Init_Flash(void)
{
    const int k = ++writes;
    if (Fails(s_write, k)) {
        uint8_t erased[64];
        std::memset(erased, 0xFF, sizeof erased);
        __real_FlashWrite(0, erased, sizeof erased);
        if (Exits(s_write, k))
            _exit(kExitStatus);
        return -1;
    }
    return __real_Init_Flash();
}
