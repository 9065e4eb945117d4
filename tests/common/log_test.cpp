#include "common/log.h"

#include "common/test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

// True when text at i holds a time stamp and its bracket, "DD/MM/YY HH:MM:SS]".
bool stamp_at(const std::string& text, size_t i)
{
    static const char shape[] = "99/99/99 99:99:99]";
    if (text.size() - i < sizeof shape - 1)
        return false;
    for (size_t k = 0; k + 1 < sizeof shape; ++k) {
        char c = text[i + k];
        if (shape[k] == '9' ? !std::isdigit(static_cast<unsigned char>(c)) : c != shape[k])
            return false;
    }
    return true;
}

// Every time stamp of a line replaced by "T".
std::string without_stamps(const std::string& line)
{
    std::string out;
    for (size_t i = 0; i < line.size();) {
        if (stamp_at(line, i)) {
            out += "T]";
            i += 18;
        } else {
            out += line[i++];
        }
    }
    return out;
}

// One step of a log run: a call of log_string.
struct Call {
    int level;
    std::string text;
};

// Opens a fresh log in its own folder with the given settings.
class LogFile {
public:
    LogFile(long max_rows, int level)
    {
        path_ = dir_.file("mavo.log");
        set_log_file_name(path_.c_str());
        set_log_max_row(max_rows);
        log_set_level(level);
        init_rc_ = log_init();
    }
    ~LogFile() { log_close(); }

    int init_rc() const { return init_rc_; }
    std::string raw() const { return read_file(path_); }
    const std::string& path() const { return path_; }

    // The file's lines with the time stamp replaced by "T", so they compare
    // as "[ERROR: T] text" or "[T] text".
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::string text = raw();
        size_t start = 0;
        while (start < text.size()) {
            size_t nl = text.find('\n', start);
            std::string line = text.substr(start, nl == std::string::npos ? nl : nl - start);
            out.push_back(without_stamps(line));
            if (nl == std::string::npos)
                break;
            start = nl + 1;
        }
        return out;
    }

private:
    TmpDir dir_;
    std::string path_;
    int init_rc_ = -1;
};

void run(const std::vector<Call>& calls)
{
    for (const Call& c : calls)
        log_string(c.level, c.text.c_str());
}

} // namespace

TEST(Log, InitWritesStartLineWithTodaysStamp)
{
    // DD/MM/YY HH:MM:SS, day first; the days before and after the start
    // bound the stamp, so a start across midnight still matches.
    auto day_of = [](time_t t) {
        struct tm tmv;
        localtime_r(&t, &tmv);
        char day[16];
        strftime(day, sizeof day, "[%d/%m/%y ", &tmv);
        return std::string(day);
    };
    const std::string before = day_of(time(nullptr));
    LogFile log(1000, 2);
    const std::string after = day_of(time(nullptr));
    ASSERT_EQ(log.init_rc(), 0);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[T] LOG START"}));
    const std::string text = log.raw();
    EXPECT_TRUE(text.rfind(before, 0) == 0 || text.rfind(after, 0) == 0) << text;
}

struct LevelCase {
    int configured;
    std::vector<int> written; // message levels that produce a line
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << "log_level " << c.configured; }

class LogLevels : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LogLevels, OnlyDueLevelsAreWritten)
{
    const LevelCase& c = GetParam();
    LogFile log(1000, c.configured);
    ASSERT_EQ(log.init_rc(), 0);
    static const char* const labels[] = {"[INFO: T] ", "[WARNING: T] ", "[ERROR: T] ",
                                         "[FATAL: T] ", "[T] "};
    std::vector<std::string> expected{"[T] LOG START"};
    for (int level = -1; level <= 5; ++level) {
        std::string text = "message at " + std::to_string(level) + "\n";
        log_string(level, text.c_str());
        for (int w : c.written)
            if (w == level)
                expected.push_back(labels[level] + text.substr(0, text.size() - 1));
    }
    EXPECT_EQ(log.lines(), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, LogLevels,
                         ::testing::Values(LevelCase{-1, {0, 1, 2, 3, 4}},
                                           LevelCase{0, {0, 1, 2, 3, 4}},
                                           LevelCase{2, {2, 3, 4}}, LevelCase{4, {4}},
                                           LevelCase{7, {4}}));

// A run of calls after "LOG START" (which is call 1) and the file after it.
struct RunCase {
    const char* name;
    long limit;
    int level;
    std::vector<Call> calls;
    std::vector<std::string> expected;
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class LogRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(LogRun, FileHoldsExpectedLines)
{
    const RunCase& c = GetParam();
    LogFile log(c.limit, c.level);
    ASSERT_EQ(log.init_rc(), 0);
    run(c.calls);
    EXPECT_EQ(log.lines(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    RowLimit, LogRun,
    ::testing::Values(
        RunCase{"limit3_two_calls", 3, 0, {{0, "m2\n"}}, {"[T] LOG START", "[INFO: T] m2"}},
        RunCase{"limit3_third_call_restarts", 3, 0, {{0, "m2\n"}, {0, "m3\n"}}, {"[INFO: T] m3"}},
        RunCase{"limit3_five_calls",
                3,
                0,
                {{0, "m2\n"}, {0, "m3\n"}, {0, "m4\n"}, {0, "m5\n"}},
                {"[INFO: T] m3", "[INFO: T] m4", "[INFO: T] m5"}},
        RunCase{"limit3_sixth_call_restarts",
                3,
                0,
                {{0, "m2\n"}, {0, "m3\n"}, {0, "m4\n"}, {0, "m5\n"}, {0, "m6\n"}},
                {"[INFO: T] m6"}},
        // Filtered calls count as rows too.
        RunCase{"limit3_filtered_call_counts",
                3,
                2,
                {{0, "hidden\n"}, {2, "m3\n"}},
                {"[ERROR: T] m3"}},
        RunCase{"limit1_start_only", 1, 0, {}, {"[T] LOG START"}},
        RunCase{"limit1_latest_only", 1, 0, {{0, "m2\n"}, {1, "m3\n"}}, {"[WARNING: T] m3"}},
        RunCase{"limit1_repeat_leaves_empty", 1, 0, {{0, "m2\n"}, {0, "m2\n"}}, {}},
        RunCase{"limit0_latest_only", 0, 0, {{0, "m2\n"}, {3, "m3\n"}}, {"[FATAL: T] m3"}},
        RunCase{"limit0_filtered_leaves_empty", 0, 2, {{2, "m2\n"}, {1, "m3\n"}}, {}},
        RunCase{"negative_limit_latest_only", -4, 0, {{0, "m2\n"}, {0, "m3\n"}},
                {"[INFO: T] m3"}}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Repeats, LogRun,
    ::testing::Values(
        RunCase{"same_text_twice", 1000, 1, {{2, "x\n"}, {2, "x\n"}},
                {"[T] LOG START", "[ERROR: T] x"}},
        RunCase{"same_text_other_level", 1000, 1, {{2, "x\n"}, {3, "x\n"}},
                {"[T] LOG START", "[ERROR: T] x"}},
        RunCase{"after_other_text", 1000, 1, {{2, "x\n"}, {2, "y\n"}, {2, "x\n"}},
                {"[T] LOG START", "[ERROR: T] x", "[ERROR: T] y", "[ERROR: T] x"}},
        // A text filtered out by its level does not block the same text at a
        // level that passes.
        RunCase{"filtered_does_not_block", 1000, 1, {{0, "x\n"}, {2, "x\n"}},
                {"[T] LOG START", "[ERROR: T] x"}},
        // The memory survives the restart at the row limit: call 3 empties
        // the file and its repeat is not written into the new file.
        RunCase{"across_restart", 3, 1, {{2, "x\n"}, {2, "x\n"}}, {}},
        RunCase{"across_restart_then_new", 3, 1, {{2, "x\n"}, {2, "x\n"}, {2, "y\n"}},
                {"[ERROR: T] y"}}),
    CaseName());

TEST(Log, InitClearsRepeatMemory)
{
    {
        LogFile first(1000, 0);
        log_string(4, "same\n");
    }
    LogFile second(1000, 0);
    log_string(4, "same\n");
    EXPECT_EQ(second.lines(), (std::vector<std::string>{"[T] LOG START", "[T] same"}));
}

TEST(Log, LongLinesAreCutTo518Characters)
{
    LogFile log(1000, 0);
    ASSERT_EQ(log.init_rc(), 0);
    const size_t start_len = log.raw().size();

    // Exactly 519 characters are accepted; the line is cut to 518.
    std::string text(518, 'a');
    text += "\n";
    log_string(4, text.c_str());
    std::string line = log.raw().substr(start_len);
    ASSERT_EQ(line.size(), 518u);
    EXPECT_EQ(line.rfind("[", 0), 0u);
    EXPECT_EQ(line.substr(line.size() - 10), std::string(10, 'a'));

    // Longer texts are cut as well, and a text that equals the last one in
    // its first 519 characters counts as a repeat.
    std::string longer(5000, 'b');
    log_string(0, longer.c_str());
    EXPECT_EQ(log.raw().size(), start_len + 2 * 518);
    longer[4000] = 'c';
    log_string(0, longer.c_str());
    EXPECT_EQ(log.raw().size(), start_len + 2 * 518);
}

TEST(Log, CloseWritesEndLine)
{
    LogFile log(1000, 3);
    log_string(3, "bye\n");
    log_close();
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"[T] LOG START", "[FATAL: T] bye", "[T] LOG END"}));
    // Closing twice, and logging while closed, do nothing.
    log_close();
    log_string(4, "late\n");
    EXPECT_EQ(log.lines().size(), 3u);
}

TEST(Log, FileIsCreatedWithMode0644UnderEmptyUmask)
{
    UmaskGuard mask(0);
    {
        LogFile log(1000, 0);
        ASSERT_EQ(log.init_rc(), 0);
        struct stat st;
        ASSERT_EQ(stat(log.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
    {
        // The file made again at the row limit gets the same mode.
        TmpDir dir;
        std::string path = dir.file("rows.log");
        set_log_file_name(path.c_str());
        set_log_max_row(2);
        ASSERT_EQ(log_init(), 0);
        ASSERT_EQ(unlink(path.c_str()), 0);
        log_string(4, "again\n"); // call 2: reopened
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        log_close();
    }
}

TEST(Log, InitFailsWhenFileCannotBeCreated)
{
    TmpDir dir;
    std::string path = dir.file("missing/dir/mavo.log");
    set_log_file_name(path.c_str());
    set_log_max_row(1000);
    testing::internal::CaptureStdout();
    int rc = log_init();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, -1);
    EXPECT_NE(out.find("log_init"), std::string::npos) << out;
    EXPECT_NE(out.find("] Can't create log file.\n"), std::string::npos) << out;
    EXPECT_EQ(log_string(2, "nowhere\n"), 0);
    EXPECT_FALSE(file_exists(path));
}

// A link at the log's path is never followed, neither at the start nor at a
// reopen at the row limit: the file it names keeps its content (a dangling
// link creates nothing), and the log is one that cannot be created.
TEST(Log, LinkAtThePathIsNeverFollowed)
{
    TmpDir dir;
    const std::string path = dir.file("mavo.log"), victim = dir.file("victim");
    write_file(victim, "precious\n");
    for (const std::string& target : {victim, dir.file("new")}) {
        unlink(path.c_str());
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
        set_log_file_name(path.c_str());
        set_log_max_row(1000);
        testing::internal::CaptureStdout();
        int rc = log_init();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, -1) << target;
        EXPECT_NE(out.find("] Can't create log file.\n"), std::string::npos) << out;
        log_string(4, "lost\n");
    }
    EXPECT_EQ(read_file(victim), "precious\n");
    EXPECT_FALSE(file_exists(dir.file("new")));

    // Swapped in while the log is open: the reopen at the row limit refuses it.
    unlink(path.c_str());
    set_log_max_row(2);
    ASSERT_EQ(log_init(), 0);
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    for (int i = 0; i < 5; ++i)
        log_string(4, ("call " + std::to_string(i) + "\n").c_str());
    log_close();
    EXPECT_EQ(read_file(victim), "precious\n");
}

TEST(Log, OverlongPathIsRefused)
{
    TmpDir dir;
    std::string path = dir.path() + "/" + std::string(1100, 'p');
    EXPECT_EQ(set_log_file_name(path.c_str()), -1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(log_init(), -1);
    testing::internal::GetCapturedStdout();
    std::string ok = dir.file("short.log");
    EXPECT_EQ(set_log_file_name(ok.c_str()), 0);
    EXPECT_EQ(log_init(), 0);
    log_close();
}

TEST(Log, ThreadsNeverInterleaveLines)
{
    LogFile log(100000, 0);
    ASSERT_EQ(log.init_rc(), 0);
    constexpr int kThreads = 4, kEach = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                std::string text = "thread " + std::to_string(t) + " line " + std::to_string(i) +
                                   " " + std::string(40, static_cast<char>('a' + t)) + "\n";
                log_string(2, text.c_str());
            }
        });
    for (std::thread& th : threads)
        th.join();
    std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 1u + kThreads * kEach);
    // "[ERROR: T] thread D line N " and forty times one letter of a..d.
    auto whole = [](const std::string& l) {
        const std::string head = "[ERROR: T] thread ";
        if (l.compare(0, head.size(), head) != 0 || l.size() < head.size() + 1)
            return false;
        size_t i = head.size();
        if (!std::isdigit(static_cast<unsigned char>(l[i++])))
            return false;
        if (l.compare(i, 6, " line ") != 0)
            return false;
        i += 6;
        size_t digits = i;
        while (i < l.size() && std::isdigit(static_cast<unsigned char>(l[i])))
            ++i;
        if (i == digits || i >= l.size() || l[i++] != ' ' || l.size() - i != 40)
            return false;
        char c = l[i];
        return c >= 'a' && c <= 'd' && l.find_first_not_of(c, i) == std::string::npos;
    };
    for (size_t i = 1; i < lines.size(); ++i)
        ASSERT_TRUE(whole(lines[i])) << lines[i];
}

// Opening and closing the log while other threads write: the stream is never
// swapped or closed under a writer, so no line is torn and nothing is written
// through a closed stream (the sanitizer build sees a use after free when it is).
TEST(Log, InitAndCloseWhileThreadsWrite)
{
    LogFile log(100000, 0);
    ASSERT_EQ(log.init_rc(), 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([t, &stop] {
            const std::string text = "writer " + std::to_string(t) + " " + std::string(60, 'x') + "\n";
            while (!stop.load())
                log_string(2, text.c_str());
        });
    for (int i = 0; i < 200; ++i) {
        log_close();
        ASSERT_EQ(log_init(), 0);
    }
    stop = true;
    for (std::thread& th : threads)
        th.join();
    for (const std::string& l : log.lines()) {
        bool marker = l == "[T] LOG START" || l == "[T] LOG END";
        bool writer = l.rfind("[ERROR: T] writer ", 0) == 0 && l.size() == 18 + 2 + 60;
        ASSERT_TRUE(marker || writer) << l;
    }
}
