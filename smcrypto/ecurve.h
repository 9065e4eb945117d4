// The curve table shared by the card and the host: the one-byte curve serial
// number, the curve's short name, its library NID and object identifier and
// the field length L (the width of every scalar and coordinate).
//
// The library knows prime192v1, secp112r1, secp160r1 and prime256v1 by name.
// sm2p256v1 is built here from the SM2 parameters and carries the library's
// own SM2 object (1.2.156.10197.1.301). secp64r1 is this system's own 64-bit
// curve, registered under a fixed object identifier of the 2.25 arc.
#pragma once

// The curve group is only named here; users that work on it include <openssl/ec.h>.
typedef struct ec_group_st EC_GROUP;
typedef struct ossl_lib_ctx_st OSSL_LIB_CTX;
#include <cstdint>

struct ecurve_info {
    uint8_t serial;     // 0 to 5
    const char* name;   // short name as the system writes it
    int nid;            // library NID (secp64r1: registered at first use)
    const char* oid;    // dotted object identifier
    uint8_t L;          // field length in bytes
};

// Number of curves in the table (serial numbers 0 .. ECURVE_COUNT-1).
constexpr unsigned ECURVE_COUNT = 6;

// Object identifier of secp64r1 (2.25 arc, fixed once for all images).
#define ECURVE_SECP64R1_OID "2.25.90691258684556184133748907860207121322"

// The published parameters of sm2p256v1 as big-endian hex, in the order
// p, a, b, Gx, Gy, n (32 bytes each); the SM2 module uses them for its user
// hash and range checks.
inline constexpr const char* ECURVE_SM2_PARAM_HEX[6] = {
    "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF",
    "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC",
    "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93",
    "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7",
    "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0",
    "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123",
};

// The table entry of a serial number; null above 5.
const ecurve_info* ecurve_by_serial(unsigned serial);
// The entry whose NID is nid; null for a curve outside the table.
const ecurve_info* ecurve_by_nid(int nid);
// The entry named by a short name, long name or dotted object identifier
// ("sm2p256v1", "SM2", "1.2.156.10197.1.301", "secp64r1", ...); null if none.
const ecurve_info* ecurve_by_text(const char* text);

// Field length L of a serial number; 0 above 5.
uint8_t ecurve_param_len(unsigned serial);

// A new curve group for a serial number (caller frees with EC_GROUP_free);
// null above 5 or when the library cannot build it. The group's curve name is
// set to the table NID, so EC_GROUP_get_curve_name answers it. A named curve
// is made in the library context libctx (null: the default one); the two
// curves built from their parameters carry no context.
EC_GROUP* ecurve_new_group(unsigned serial, OSSL_LIB_CTX* libctx = nullptr);
// The same for a NID; null for a NID outside the table.
EC_GROUP* ecurve_new_group_by_nid(int nid, OSSL_LIB_CTX* libctx = nullptr);

// The NID under which secp64r1 is registered (registers it on first call).
int ecurve_secp64r1_nid();
