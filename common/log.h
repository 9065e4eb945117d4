#pragma once
// Process-wide text log with levels, repeat suppression and a row limit.
//
// Levels: 0 INFO, 1 WARNING, 2 ERROR, 3 FATAL, 4 plain (always written).
// A level below the configured lowest level, or outside 0..4, is not written.
// Each line is "[LABEL: DD/MM/YY HH:MM:SS] text" ("[DD/MM/YY HH:MM:SS] text"
// at level 4); the caller's text carries its own line end.
//
// Every call of log_string counts toward the row limit N; at calls N, 2N, ...
// the file is reopened empty before that call's line is written. A text equal
// to the last written text is not written again (also across a reopen).

// Source file named in "[%s %s %d]" messages (file, function, line).
#ifdef __FILE_NAME__
#define LOG_SOURCE_FILE __FILE_NAME__
#else
#define LOG_SOURCE_FILE __FILE__
#endif

enum { LOG_INFO = 0, LOG_WARNING = 1, LOG_ERROR = 2, LOG_FATAL = 3, LOG_PLAIN = 4 };

// Longest message text kept (longer texts are cut to this many characters).
inline constexpr int LOG_MAX_TEXT = 519;
// Longest formatted line written (longer lines are cut).
inline constexpr int LOG_MAX_LINE = 518;
// Longest log path accepted.
inline constexpr int LOG_MAX_PATH = 1023;

// Stores the log path. Returns 0, or -1 for a null path or one longer than
// LOG_MAX_PATH, which clears the stored path (log_init then fails).
int set_log_file_name(const char* file_name);
void log_set_level(int level);
void set_log_max_row(long lMax_row_num);

// Creates or empties the log file (mode 0644), clears the repeat memory,
// restarts the row count and writes "LOG START\n" at level 4. 0 on success;
// -1 with a console message when the file cannot be created or is not a
// regular file or device (a FIFO in its place is refused, never waited on; a
// symbolic link is never followed).
int log_init();
// Writes one message (see above). Always 0.
int log_string(int level, const char* str);
// Writes "LOG END\n" and closes the file when one is open. Always 0.
int log_close();
