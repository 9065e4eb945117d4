// Mapping of card status words to status codes, shared by the command layer
// and the driver.
#pragma once

#include <cstdint>

// Status code of a card status word (unlisted words pass unchanged).
uint32_t COS_GetErrCode(uint32_t sw);
