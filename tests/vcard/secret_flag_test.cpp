// The card's elliptic-curve operations multiply only with scalars marked
// for constant-time arithmetic: fresh keys, envelope nonces, the private key
// and its inverse, the ECDSA nonce.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "common/scalar_probe.h"
#include "vcard/cosecc.h"

TEST(SecretScalarFlag, CardOperationsMultiplyOnlyMarkedScalars)
{
    for (uint8_t serial : {uint8_t(0), uint8_t(5)}) {
        SCOPED_TRACE(int(serial));
        const unsigned L = GetParamLen(serial);
        ASSERT_GT(L, 0u);
        uint8_t d[ECC_MAX_L] = {0}, P[2 * ECC_MAX_L] = {0};
        ASSERT_EQ(Chip_GenKey(serial, 0, d, P), CHIP_OK);   // outside: a key to work with

        uint8_t kG[2 * ECC_MAX_L], kP[2 * ECC_MAX_L], out[2 * ECC_MAX_L], sig[2 * ECC_MAX_L];
        uint8_t d2[ECC_MAX_L], P2[2 * ECC_MAX_L], digest[32];
        std::memset(digest, 0x3C, sizeof digest);
        struct row {
            const char* name;
            std::function<int()> run;
        };
        const row rows[] = {
            {"new key", [&] { return Chip_GenKey(serial, 0, d2, P2); }},
            {"key times point",
             [&] {
                 std::memcpy(d2, d, L);
                 std::memcpy(P2, P, 2 * L);
                 return Chip_GenKey(serial, 1, d2, P2);
             }},
            {"envelope", [&] { return Chip_GenDE(serial, P, kG, kP); }},
            {"envelope opening", [&] { return Chip_OpenDE(serial, kP, d, out); }},
            {"shared point", [&] { return Chip_ECDH(serial, P, d, out); }},
            {"ECDSA signature", [&] { return Chip_ECDSA_Sign(serial, digest, d, sig); }},
        };
        for (const row& r : rows) {
            SCOPED_TRACE(r.name);
            scalar_probe::Window w;
            ASSERT_EQ(r.run(), CHIP_OK);
            EXPECT_GT(scalar_probe::scalars, 0);
            EXPECT_EQ(scalar_probe::unmarked, 0);
        }
        // The opened envelope is k·G again.
        ASSERT_EQ(Chip_OpenDE(serial, kP, d, out), CHIP_OK);
        EXPECT_EQ(0, std::memcmp(out, kG, 2 * L));

        // The probe sees public scalars: verification multiplies with them.
        scalar_probe::Window w;
        ASSERT_EQ(Chip_ECDSA_Verify(serial, digest, P, sig), CHIP_OK);
        EXPECT_GT(scalar_probe::unmarked, 0);
    }
}
