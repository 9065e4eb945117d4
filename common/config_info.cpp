#include "common/config_info.h"

#include "common/file_operations.h"
#include "common/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const config_file_key_word[MAX_NO_OF_CONFIG_KEY_WORD] = {"Version", "LogLevel",
                                                                     "MaxRowNum"};

namespace {

// Copies the value at data up to, not including, the first ";" or "\n", at
// most 127 characters, zero-terminated into key_word (128 bytes). False, and
// nothing copied, when neither character follows anywhere.
bool parse_config_key_word(const char* data, char* key_word)
{
    size_t end = std::strcspn(data, ";\n");
    if (data[end] == '\0')
        return false;
    if (end > 127)
        end = 127;
    std::memcpy(key_word, data, end);
    key_word[end] = '\0';
    return true;
}

} // namespace

int read_config_info(const char* file_path, CONFIG_INFO* config_info)
{
    if (config_info == nullptr)
        return -1;
    char* buff = static_cast<char*>(std::calloc(CONFIG_READ_SIZE, 1));
    if (buff == nullptr) {
        std::printf("[%s %s %d] No enough memory!\n", LOG_SOURCE_FILE, __func__, __LINE__);
        return -1;
    }
    if (read_file_to_buff(file_path, CONFIG_READ_SIZE - 1, buff) <= 0) {
        std::free(buff);
        return -1;
    }

    std::memset(config_info, 0, sizeof *config_info);
    int result = 0;
    for (int id = 0; id < MAX_NO_OF_CONFIG_KEY_WORD; ++id) {
        const char* at = std::strstr(buff, config_file_key_word[id]);
        if (at == nullptr) {
            result = -1;
            break;
        }
        at = std::strchr(at, '=');
        if (at == nullptr) {
            result = -1;
            break;
        }
        ++at;
        while (*at == ' ' || *at == '\t')
            ++at;
        char value[128];
        if (!parse_config_key_word(at, value))
            continue;
        switch (id) {
        case CON_VERSION:
        {
            size_t n = strnlen(value, 30);
            std::memcpy(config_info->version, value, n);
            config_info->version[n] = '\0';
            break;
        }
        case CON_LOG_LEVEL:
            config_info->log_level = static_cast<unsigned int>(std::atoi(value));
            break;
        case CON_MAX_ROW_NUM:
            config_info->max_row_num = static_cast<unsigned int>(std::atol(value));
            break;
        }
    }
    std::free(buff);
    return result;
}

void print_config_info(CONFIG_INFO config_info)
{
    std::printf("[%s %s %d] config_info.version: %s\n", LOG_SOURCE_FILE, __func__, __LINE__,
                config_info.version);
    std::printf("[%s %s %d] config_info.LogLevel: %d\n", LOG_SOURCE_FILE, __func__, __LINE__,
                static_cast<int>(config_info.log_level));
    std::printf("[%s %s %d] config_info.max_row_num: %d\n", LOG_SOURCE_FILE, __func__, __LINE__,
                static_cast<int>(config_info.max_row_num));
}
