// Identity-key layer, card part: envelopes whose envelope value the open key
// device makes, so that the derived key stays inside the card, and
// signatures that the open key device makes with a key slot's private key.
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

// A DER DataSig whose signature value the open key device computes with the
// private key of keySlot over digest (1..255 bytes, else 11001; the card
// itself takes 20 to 32 and answers 12004 otherwise). The signer and matrix
// ids come from the slot's public record (11002 when its key card lies
// outside its validity window; the card is then not asked to sign); mdNid
// names the digest (13001 when unknown) and signTime, taken as a signed
// 32-bit value, goes into the record. 12001 when the record cannot be made.
// outLen: capacity in, DER length out (1018 with the needed length).
int ECDSA_Sign(unsigned char keySlot, int mdNid, const unsigned char* digest, int digestLen,
               long signTime, unsigned char* out, int* outLen);

} // extern "C"
