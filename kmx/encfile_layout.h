// Layout of the multi-recipient encrypted file, shared by its writer
// (KMX_Encrypt_File) and its reader (DevDecryptFile): 512 zero bytes, "KEYS",
// the recipient count (4 bytes), one 256-byte envelope record per recipient,
// "DATA", then the content.
#pragma once

namespace encfile {

constexpr long KEYS_AT = 512;
constexpr long COUNT_AT = 516;
constexpr long RECORDS_AT = 520;
constexpr long RECORD = 256;
constexpr int RECIPIENTS_MAX = 1024;
constexpr char KEYS_MARK[] = "KEYS";
constexpr char DATA_MARK[] = "DATA";
constexpr unsigned MARK_LEN = 4;

}  // namespace encfile
