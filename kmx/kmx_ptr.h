// Owning pointers for the identity-key layer's DER records, in the family of
// smcrypto/ossl_ptr.h.
#pragma once

#include "kmx/kmx.h"
#include "smcrypto/ossl_ptr.h"

namespace kmx {

using MatrixPtr = ossl::ptr<MATRIX, MATRIX_free>;
using KeyCardPtr = ossl::ptr<KeyCard, KeyCard_free>;
using DataSigPtr = ossl::ptr<DataSig, DataSig_free>;
using DEnvelopePtr = ossl::ptr<DEnvelope, DEnvelope_free>;

}  // namespace kmx
