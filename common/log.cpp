#include "common/log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

FILE* log_file_handle = nullptr;
pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;
int log_level = 4;
char last_log_str[520];
char cur_ts_str[128];
char log_file_name[1024];
long g_max_log_num = 0;
// Calls of log_string since the file was last (re)started.
long count = 0;

// Creates or empties the log file. The mode is given explicitly so the file
// is 0644 also in the daemon, which clears its file-creation mask. The open
// does not block, and a FIFO or socket in the file's place is refused: the
// daemon must not hang on an open that waits for a reader, nor on writes
// that wait for one to drain the pipe. A symbolic link in the file's place
// is not followed (its target would be emptied): such a log cannot be
// created.
FILE* open_log_file()
{
    if (log_file_name[0] == '\0')
        return nullptr;
    int fd = open(log_file_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW,
                  0644);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISCHR(st.st_mode))) {
        close(fd);
        return nullptr;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl != -1)
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    FILE* fp = fdopen(fd, "w");
    if (fp == nullptr)
        close(fd);
    return fp;
}

void log_create_current_time_stamp()
{
    time_t now = time(nullptr);
    struct tm tmv;
    if (localtime_r(&now, &tmv) == nullptr)
        std::memset(&tmv, 0, sizeof tmv);
    std::snprintf(cur_ts_str, sizeof cur_ts_str, "%02d/%02d/%02d %02d:%02d:%02d", tmv.tm_mday,
                  tmv.tm_mon + 1, tmv.tm_year % 100, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
}

} // namespace

int set_log_file_name(const char* file_name)
{
    if (file_name == nullptr || std::strlen(file_name) > static_cast<size_t>(LOG_MAX_PATH)) {
        log_file_name[0] = '\0';
        return -1;
    }
    std::snprintf(log_file_name, sizeof log_file_name, "%s", file_name);
    return 0;
}

void log_set_level(int level)
{
    log_level = level;
}

void set_log_max_row(long lMax_row_num)
{
    g_max_log_num = lMax_row_num;
}

namespace {
int write_locked(int level, const char* str);
}

int log_init()
{
    pthread_mutex_lock(&log_mutex);
    // A second init replaces the stream instead of leaking the first one.
    if (log_file_handle != nullptr) {
        std::fclose(log_file_handle);
        log_file_handle = nullptr;
    }
    log_file_handle = open_log_file();
    if (log_file_handle == nullptr) {
        pthread_mutex_unlock(&log_mutex);
        std::printf("[%s %s %d] Can't create log file.\n", LOG_SOURCE_FILE, __func__, __LINE__);
        return -1;
    }
    std::memset(last_log_str, 0, sizeof last_log_str);
    count = 0;
    write_locked(LOG_PLAIN, "LOG START\n");
    pthread_mutex_unlock(&log_mutex);
    return 0;
}

int log_string(int level, const char* str)
{
    pthread_mutex_lock(&log_mutex);
    int rc = write_locked(level, str);
    pthread_mutex_unlock(&log_mutex);
    return rc;
}

namespace {

// One line into the log; the caller holds log_mutex.
int write_locked(int level, const char* str)
{
    if (str == nullptr)
        str = "";
    log_create_current_time_stamp();

    ++count;
    if (count >= g_max_log_num) {
        count = 0;
        if (log_file_handle != nullptr)
            std::fclose(log_file_handle);
        log_file_handle = open_log_file();
    }

    if (log_file_handle != nullptr) {
        // Texts longer than the repeat memory are taken as cut to its size,
        // both for the comparison and for what is remembered.
        size_t n = strnlen(str, LOG_MAX_TEXT);
        bool repeat = std::strlen(last_log_str) == n && std::memcmp(last_log_str, str, n) == 0;
        if (!repeat) {
            static const char* const formats[] = {"[INFO: %s] %.*s", "[WARNING: %s] %.*s",
                                                  "[ERROR: %s] %.*s", "[FATAL: %s] %.*s",
                                                  "[%s] %.*s"};
            bool due = level >= 0 && level <= 4 && (level == 4 || log_level <= level);
            if (due) {
                char line[520];
                int len = std::snprintf(line, LOG_MAX_LINE + 1, formats[level], cur_ts_str,
                                        static_cast<int>(n), str);
                if (len > LOG_MAX_LINE)
                    len = LOG_MAX_LINE;
                if (len > 0)
                    std::fwrite(line, 1, static_cast<size_t>(len), log_file_handle);
                std::memset(last_log_str, 0, sizeof last_log_str);
                std::memcpy(last_log_str, str, n);
            }
        }
        std::fflush(log_file_handle);
    }
    return 0;
}

}  // namespace

int log_close()
{
    pthread_mutex_lock(&log_mutex);
    if (log_file_handle != nullptr) {
        write_locked(LOG_PLAIN, "LOG END\n");
        if (log_file_handle != nullptr) {
            std::fclose(log_file_handle);
            log_file_handle = nullptr;
        }
    }
    pthread_mutex_unlock(&log_mutex);
    return 0;
}
