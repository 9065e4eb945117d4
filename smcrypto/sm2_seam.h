// Hook for the test programs' nonce seam (tests/seams). SM2 refers to it
// weakly; the installed programs link no definition, so there it stays null
// and every nonce is drawn at random.
#pragma once

// Fills k (32 bytes, big-endian) with the scalar fixed for the next draw and
// forgets it; false when none is pending.
bool tarn_seam_sm2_take_k(unsigned char k[32]);
