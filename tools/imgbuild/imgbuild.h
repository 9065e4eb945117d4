// Image builder: makes key device images and matrix files for tests, the
// daemon's end-to-end runs and the demo, with the system's own functions
// (the card command interface, the Dev key functions and the identity-key
// layer). Test support only: never linked into Tarnhold or config.
//
// What it makes:
// - make_blank: a fresh image with the default PINs (vcard/default_pins.h)
//   and the identity record 0x40 (a curve-0 recovery point and a recovery
//   identity), which the card needs before it imports its first key.
// - make_issuer: an issuing image whose card generated every element of a
//   key matrix; the public matrix "<pksDir>/<matrixId>.pks" is written beside
//   it and the MATRIX record goes into card file 0x42. Issuers of curves 1 to
//   5 also get a transport key: a curve-0 key for a text identity in slot
//   ISSUER_TRANSPORT_SLOT, issued from a software curve-0 matrix
//   "<pksDir>/<matrixId>T.pks", so that hosts can make key applications.
// - make_host: an image whose slot 1 (or another slot) holds the key issued
//   for an identity, by one of three routes:
//     Plain      DevGenKeyCard on the issuer, DevWriteKeyCard(plain 1);
//     Transport  DevGenKeyApply on the host, DevOpenEnv on the issuer,
//                DevGenKeyCard masked with the first 16 bytes of the shared
//                point, DevWriteKeyCard(plain 0) on the host;
//     Soft       Matrix_Cal_isk from a software secret matrix (make_soft_matrix),
//                DevWriteKeyCard(plain 1): no card matrix needed, fastest.
// - negative fixtures: set_user_pin (a wrong user PIN for the facade; every
//   use of such an image burns one persistent try, so make one per test),
//   make_not_image. A key issued to another identity is make_host with that
//   identity; an image without a key in slot 1 is make_blank.
//
// PINs: every sequence verifies what the card asks: types 0, 1 and 2 with
// their default values after every open (rebinding forgets them).
//
// Cost (Release build, one core): an issuer of curve 5 with row 32, col 8
// (256 elements, 3 per generate command) takes well under a second; row
// and col grow it linearly. The soft route costs a few milliseconds.
//
// Every function returns 0 on success, otherwise a status code (the failing
// call's own status, 11001 for bad input) and, when err is given, a message
// naming the step that failed. Files are replaced as a whole: a matrix file is
// written beside its final name and renamed into place, the public matrix
// with mode 0644, the secret one with 0600. A matrix folder that does not
// exist is made (with the folders above it, mode 0755).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imgbuild {

using Bytes = std::vector<uint8_t>;

// The default curve-5 issuer for tests: small and quick.
constexpr unsigned DEFAULT_ROW = 32;
constexpr unsigned DEFAULT_COL = 8;
// A matrix id must fit beside a 39-byte identity in a 64-byte key id record.
constexpr size_t MATRIX_ID_MAX = 24;
// Slot of an issuer's transport key and its identity.
constexpr unsigned ISSUER_TRANSPORT_SLOT = 2;
inline constexpr const char* ISSUER_TRANSPORT_ID = "issuer-transport";
// Recovery identity written into record 0x40.
inline constexpr const char* RECOVERY_ID = "recovery@tarn";
// Validity of the keys the builder issues, in years.
constexpr uint32_t DEFAULT_YEARS = 10;

struct IssuerSpec {
    unsigned curve = 5;                 // curve serial number 0..5
    std::string matrixId = "TARNTEST";  // 1..24 bytes, no '@'
    unsigned row = DEFAULT_ROW;         // 1..256
    unsigned col = DEFAULT_COL;         // 4..32; row * col * 32 <= 65536
    std::string name = "test matrix";
    bool transport = true;              // give a curve 1..5 issuer a transport key
};

struct IssuerInfo {
    std::string image;
    std::string pksPath;        // public matrix file
    std::string matrixId;
    unsigned curve = 0;
    unsigned row = 0;
    unsigned col = 0;
    std::string transportPks;   // curve-0 public matrix of the transport key ("" if none)
};

enum class Route { Plain, Transport, Soft };

struct HostSpec {
    Bytes identity;                 // 1..39 bytes (a machine identifier has 39)
    Route route = Route::Plain;
    unsigned slot = 1;              // 1..15
    uint32_t years = DEFAULT_YEARS;
    // Plain and Transport: the issuing image; Transport also needs pksDir,
    // where the issuer's transport matrix "<matrixId>T.pks" lies.
    std::string issuerImage;
    std::string pksDir;
    // Soft: the secret matrix file written by make_soft_matrix.
    std::string secretMatrix;
};

// A blank image with default PINs and the identity record 0x40.
int make_blank(const std::string& image, std::string* err = nullptr);

int make_issuer(const IssuerSpec& spec, const std::string& image, const std::string& pksDir,
                IssuerInfo* info = nullptr, std::string* err = nullptr);

// A software matrix: "<dir>/<matrixId>.pks" (public) and
// "<dir>/<matrixId>.secret" (secret, same head, L-byte scalars).
int make_soft_matrix(unsigned curve, const std::string& matrixId, unsigned row, unsigned col,
                     const std::string& dir, std::string* pubPath = nullptr,
                     std::string* secretPath = nullptr, std::string* err = nullptr);

// make_blank, then the key of spec.identity into spec.slot.
int make_host(const HostSpec& spec, const std::string& image, std::string* err = nullptr);

// Issues the key of identity from the secret matrix file (software) and
// installs it plain into slot of an existing image.
int install_soft_key(const std::string& image, unsigned slot, const std::string& secretMatrix,
                     const Bytes& identity, uint32_t years, std::string* err = nullptr);

// Changes the user PIN of an image from the default to newPin (8..16 bytes).
int set_user_pin(const std::string& image, const std::string& newPin, std::string* err = nullptr);

// Marks the card of image as blocked (its device status), as the card-block
// instruction does: every instruction but the reset is then refused.
int set_blocked(const std::string& image, std::string* err = nullptr);

// A file of a few bytes that no card can bind to.
int make_not_image(const std::string& path, std::string* err = nullptr);

// Reads an identity file (Key.dat: exactly 39 bytes).
int read_identity_file(const std::string& path, Bytes* out, std::string* err = nullptr);

// Public matrix path "<dir>/<matrixId>.pks" (dir with or without its '/').
std::string pks_path(const std::string& dir, const std::string& matrixId);

}  // namespace imgbuild
