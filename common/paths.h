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
// Folder of the configuration file, Key.dat and the daemon; the advisory
// lock on its lock file guards every load...save of config.ini
// (common/config_lock.h).
inline constexpr const char* MAVO_DIR = "/usr/local/MavoClient";
// The daemon program that the tool starts.
inline constexpr const char* MAVO_DAEMON_FILE = "/usr/local/MavoClient/Tarnhold";
// Folder of the installed key device image, and the image itself.
inline constexpr const char* CERT_DIR = "/usr/local/cert";
inline constexpr const char* CERT_IMAGE_FILE = "/usr/local/cert/private.vkd";
