#pragma once
// Reader of the three settings key words of the configuration file. It
// searches the file's text for each key word as a plain substring, independent
// of the key=value property file class.

typedef struct _CONIFG_INFO {
    char version[32];          // text of Version, at most 30 characters
    unsigned int log_level;    // value of LogLevel
    unsigned int max_row_num;  // value of MaxRowNum
} CONFIG_INFO;

enum CONFIG_INFO_KEY_WORD_ID {
    CON_VERSION = 0,
    CON_LOG_LEVEL = 1,
    CON_MAX_ROW_NUM = 2,
    MAX_NO_OF_CONFIG_KEY_WORD = 3,
};

extern const char* const config_file_key_word[MAX_NO_OF_CONFIG_KEY_WORD];

// Size of the read buffer; only the first CONFIG_READ_SIZE - 1 bytes of the
// file are seen.
inline constexpr unsigned long CONFIG_READ_SIZE = 10240;

// 0 when all three key words were found, each followed somewhere by "=";
// -1 otherwise (missing or empty file: record untouched; a key word or its
// "=" missing: the key words before it filled, the rest zero).
int read_config_info(const char* file_path, CONFIG_INFO* config_info);

void print_config_info(CONFIG_INFO config_info);
