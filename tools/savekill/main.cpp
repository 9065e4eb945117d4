// tarn-savekill: a save is one step, whatever moment the saving process dies.
//
//   tarn-savekill --what ini|cid --path FILE [--iterations N] [--seed S]
//
// A child process saves FILE in a loop, alternating between two versions of
// different lengths (config.ini through CConfigBox load/set_property/save,
// Key.dat through SaveCID), and reports each completed save on a pipe. The
// parent lets it complete 0 to 2 saves, then kills it with SIGKILL at a
// random moment within the next save (seeded; the seed is printed; the span
// follows the saves' own pace, so a slow disk moves the moments with it),
// then checks that FILE holds exactly one of the two versions. Temporary
// files that a killed save left next to FILE are counted and left in place:
// the next save (the next child's, or one last save after the run) must
// remove them, and none may remain after that last save. Exit status 0 when
// every check held, 1 otherwise, 2 on a usage or system error.
#include "common/ConfigBox.h"
#include "common/file_operations.h"
#include "common/machine_id.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& text)
{
    std::fprintf(stderr, "tarn-savekill: %s\n", text.c_str());
    std::exit(2);
}

bool read_all(const std::string& path, std::string& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), {});
    return true;
}

bool write_all(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

// The two versions of config.ini: the same settings, a padding line of a
// different length and a different Result.
std::string ini_version(int v)
{
    return "# settings\nVersion=1.0\nLogLevel=0\nMaxRowNum=100000\ninfo=Save Test\nPad=" +
           std::string(v ? 9000 : 3000, v ? 'b' : 'a') + "\nResult=" + (v ? "1" : "0") + "\nTail=last";
}

std::string cid_version(int v)
{
    std::string c(CID_LEN, '\0');
    for (int i = 0; i < CID_LEN; ++i)
        c[static_cast<size_t>(i)] = static_cast<char>(v ? 0xA0 + i : 0x11 + 3 * i);
    return c;
}

// One save of version v.
bool save_version(const std::string& what, const std::string& path, int v)
{
    if (what == "cid") {
        std::memcpy(g_szCID, cid_version(v).data(), CID_LEN);
        return SaveCID(path.c_str());
    }
    CConfigBox box;
    if (!box.load(path))
        return false;
    box.set_property("Pad", std::string(v ? 9000 : 3000, v ? 'b' : 'a'));
    box.set_property("Result", v ? "1" : "0");
    return box.save();
}

[[noreturn]] void saver(const std::string& what, const std::string& path, int done)
{
    // Bounded: far more saves than any delay of the parent allows. One byte
    // on the pipe after each completed save.
    const char mark = 1;
    for (long i = 0; i < 10000000; ++i) {
        if (!save_version(what, path, static_cast<int>(i & 1)))
            _exit(3);
        if (write(done, &mark, 1) != 1)
            _exit(4);
    }
    _exit(0);
}

// Waits up to 10 s for one completed save; false when none came.
bool wait_save(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char mark;
    return poll(&p, 1, 10000) == 1 && read(fd, &mark, 1) == 1;
}

int leftovers(const std::string& path, bool remove)
{
    std::string dir = ".", base = path;
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) {
        dir = slash ? path.substr(0, slash) : "/";
        base = path.substr(slash + 1);
    }
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (is_save_temporary_name(name.c_str(), base.c_str())) {
                ++n;
                if (remove)
                    unlink((dir + "/" + name).c_str());
            }
        }
        closedir(d);
    }
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    std::string what, path;
    long iterations = 1000;
    unsigned long long seed = static_cast<unsigned long long>(Clock::now().time_since_epoch().count());
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i], v = argv[i + 1];
        if (a == "--what")
            what = v;
        else if (a == "--path")
            path = v;
        else if (a == "--iterations")
            iterations = std::strtol(v.c_str(), nullptr, 0);
        else if (a == "--seed")
            seed = std::strtoull(v.c_str(), nullptr, 0);
        else
            die("unknown option " + a);
    }
    if ((what != "ini" && what != "cid") || path.empty() || iterations < 1)
        die("usage: tarn-savekill --what ini|cid --path FILE [--iterations N] [--seed S]");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    const std::string versions[2] = {what == "cid" ? cid_version(0) : ini_version(0),
                                     what == "cid" ? cid_version(1) : ini_version(1)};
    if (!write_all(path, versions[0]))
        die("cannot write " + path);
    // The versions that a completed save gives must be the ones compared with.
    for (int v : {1, 0}) {
        std::string got;
        if (!save_version(what, path, v) || !read_all(path, got) || got != versions[v])
            die("a save without a kill does not give version " + std::to_string(v));
    }
    // The delays span a few saves, measured here.
    auto t0 = Clock::now();
    for (int i = 0; i < 20; ++i)
        save_version(what, path, i & 1);
    long saveUs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count() / 20);
    long maxDelayUs = std::max(200L, 4 * saveUs) + 500;   // + the child's start
    std::printf("tarn-savekill: %s, %ld iterations, seed %llu, one save %ld us, delays 0-%ld us\n",
                what.c_str(), iterations, seed, saveUs, maxDelayUs);

    std::mt19937_64 rng(seed);
    long seen[2] = {0, 0}, bad = 0, early = 0;
    long killsWithTemp = 0;
    int mostTemps = 0;
    for (long it = 0; it < iterations; ++it) {
        int pipeFd[2];
        if (pipe(pipeFd) != 0)
            die("pipe failed");
        pid_t pid = fork();
        if (pid < 0)
            die("fork failed");
        if (pid == 0) {
            close(pipeFd[0]);
            saver(what, path, pipeFd[1]);
        }
        close(pipeFd[1]);
        // 0 to 2 completed saves, then a moment within the next one; the
        // span is the pace of the saves seen so far (the calibration at
        // first), with room to spare so that some kills land after it.
        long span = maxDelayUs;
        const int before = static_cast<int>(rng() % 3);
        auto last = Clock::now();
        for (int k = 0; k < before; ++k) {
            if (!wait_save(pipeFd[0]))
                break;
            auto now = Clock::now();
            span = std::max(span, static_cast<long>(2 * std::chrono::duration_cast<
                                                            std::chrono::microseconds>(now - last)
                                                            .count()));
            last = now;
        }
        usleep(static_cast<useconds_t>(rng() % static_cast<unsigned long long>(span)));
        kill(pid, SIGKILL);
        close(pipeFd[0]);
        int status = 0;
        if (waitpid(pid, &status, 0) != pid)
            die("waitpid failed");
        if (!WIFSIGNALED(status))
            ++early;   // the saver stopped on its own: a save failed
        std::string got;
        if (!read_all(path, got)) {
            std::printf("iteration %ld: %s cannot be read\n", it, path.c_str());
            ++bad;
        } else if (got == versions[0] || got == versions[1]) {
            ++seen[got == versions[1]];
        } else {
            std::printf("iteration %ld: %s holds %zu bytes, neither version (%zu or %zu bytes)\n", it,
                        path.c_str(), got.size(), versions[0].size(), versions[1].size());
            ++bad;
        }
        const int left = leftovers(path, false);
        killsWithTemp += left > 0;
        mostTemps = std::max(mostTemps, left);
    }
    // One save after the run, as the next start of a program would do it:
    // it takes away whatever the killed saves left.
    const int beforeLast = leftovers(path, false);
    if (!save_version(what, path, 0))
        die("the save after the run failed");
    const int remaining = leftovers(path, true);
    std::printf("tarn-savekill: %ld old/new %ld/%ld, %ld neither, %ld savers ended on their own, "
                "%ld kills left a temporary file (at most %d at once), %d before the last save, "
                "%d after it\n",
                iterations, seen[0], seen[1], bad, early, killsWithTemp, mostTemps, beforeLast,
                remaining);
    bool ok = bad == 0 && early == 0 && seen[0] > 0 && seen[1] > 0 && remaining == 0;
    std::printf("%s\n", ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
}
