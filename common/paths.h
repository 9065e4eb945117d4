#pragma once
// The fixed files of the system. The two programs use these paths; every
// routine that reads or writes one of them takes the path as a parameter, so
// the same code runs on any file (the unit tests use temporary folders).

// Property file: user description ("info"), result ("Result") and the log
// settings key words.
inline constexpr const char* MAVO_CONFIG_FILE = "/usr/local/MavoClient/config.ini";
// The 39-byte machine identifier.
inline constexpr const char* MAVO_KEY_DAT_FILE = "/usr/local/MavoClient/Key.dat";
// The daemon's log file.
inline constexpr const char* MAVO_LOG_FILE = "/usr/local/zel_mavo_log";
