// Identity-key layer, card part: envelopes whose envelope value the open key
// device makes, so that the derived key stays inside the card.
#pragma once

#include "kmx/kmxsoft.h"

extern "C" {

// A DER DEnvelope without content addressed to id (zero-terminated, at most
// 64 bytes). keyApply != 0: key application (COS_ApplyPriKey, the card keeps
// the transport key); 0: session envelope (COS_Gen_DE, the card keeps the
// session key). Exactly one of matrixPath and matrixHead (the whole public
// matrix in memory, matrixLen bytes: head and every element, else 11001).
// outLen: capacity in, DER length out (1018 when short).
int Dev_GenEnv(int keyApply, const char* matrixPath, const void* matrixHead, long matrixLen,
               const char* id, unsigned char* out, int* outLen);

} // extern "C"
