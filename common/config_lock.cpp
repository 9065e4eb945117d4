#include "common/config_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <ctime>
#include <mutex>

namespace {

long long now_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// name in dir, opened with flags (mode for a file it makes), kept when
// check(fd, its status) gives 0: the descriptor, or -1 with errno (check's
// value, or the failed call's).
int open_checked(int dir, const char* name, int flags, mode_t mode, int (*check)(int, const struct stat&))
{
    int fd = openat(dir, name, flags, mode);
    if (fd < 0)
        return -1;
    struct stat st;
    const int e = fstat(fd, &st) != 0 ? errno : check(fd, st);
    if (e != 0) {
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// The lock folder in base, made when missing: a descriptor of it, or -1 with
// errno. Taken only as a real folder of the effective user that group and
// others cannot enter: who could enter it earlier may still hold a lock file
// in it open, so such a folder is refused rather than closed now. A folder of
// ours that only lacks its owner's rights (a umask at its making) gets them.
int open_lock_folder(int base)
{
    if (mkdirat(base, CONFIG_LOCK_FOLDER, 0700) != 0 && errno != EEXIST)
        return -1;
    return open_checked(base, CONFIG_LOCK_FOLDER, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0,
                        [](int fd, const struct stat& st) {
                            if (!S_ISDIR(st.st_mode))
                                return ENOTDIR;
                            if (st.st_uid != geteuid() || (st.st_mode & 077) != 0)
                                return EPERM;
                            if ((st.st_mode & 07777) != 0700 && fchmod(fd, 0700) != 0)
                                return errno;
                            return 0;
                        });
}

// The lock file in the lock folder, made when missing: a descriptor of a
// regular file of the effective user, or -1 with errno. Never through a link,
// never waiting on a FIFO put in its place.
int open_lock_file(int folder)
{
    return open_checked(folder, CONFIG_LOCK_NAME,
                        O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600,
                        [](int, const struct stat& st) {
                            if (!S_ISREG(st.st_mode))
                                return EINVAL;
                            return st.st_uid != geteuid() ? EPERM : 0;
                        });
}

// Interrupts a blocking call of the calling thread: SIGALRM from a timer of
// the thread's own, first when the wait is over and then every
// kRepeatNs, so that an expiry that came just before the call blocked is
// followed by another. While any such timer runs, SIGALRM has a handler that
// does nothing and does not restart the call, and is not blocked in the
// thread; what was there before comes back after the last timer is gone (by
// then every signal a timer sent has been delivered: none is blocked).
class WaitTimer {
public:
    explicit WaitTimer(long long wait_ms)
    {
        use_handler();
        sigset_t alrm;
        sigemptyset(&alrm);
        sigaddset(&alrm, SIGALRM);
        pthread_sigmask(SIG_UNBLOCK, &alrm, &old_mask_);
        sigevent ev{};
        ev.sigev_notify = SIGEV_THREAD_ID;
        ev.sigev_signo = SIGALRM;
        ev._sigev_un._tid = gettid();
        if (timer_create(CLOCK_MONOTONIC, &ev, &timer_) != 0) {
            error_ = errno;
            return;
        }
        itimerspec when{};
        when.it_value.tv_sec = static_cast<time_t>(wait_ms / 1000);
        when.it_value.tv_nsec = static_cast<long>(wait_ms % 1000) * 1000000;
        if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0)
            when.it_value.tv_nsec = 1;
        when.it_interval.tv_nsec = kRepeatNs;
        if (timer_settime(timer_, 0, &when, nullptr) != 0)
            error_ = errno;
        created_ = true;
    }
    ~WaitTimer()
    {
        if (created_)
            timer_delete(timer_);
        pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
        drop_handler();
    }
    WaitTimer(const WaitTimer&) = delete;
    WaitTimer& operator=(const WaitTimer&) = delete;
    // 0, or the errno of a timer that could not be set.
    int error() const { return error_; }

private:
    static constexpr long kRepeatNs = 10L * 1000 * 1000;
    static void nothing(int) {}
    static void use_handler()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (users_++ > 0)
            return;
        struct sigaction sa {};
        sa.sa_handler = nothing;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;   // no SA_RESTART: the call ends with EINTR
        sigaction(SIGALRM, &sa, &old_action_);
    }
    static void drop_handler()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (--users_ == 0)
            sigaction(SIGALRM, &old_action_, nullptr);
    }

    timer_t timer_{};
    bool created_ = false;
    int error_ = 0;
    sigset_t old_mask_{};
    static std::mutex mutex_;
    static int users_;
    static struct sigaction old_action_;
};

std::mutex WaitTimer::mutex_;
int WaitTimer::users_ = 0;
struct sigaction WaitTimer::old_action_;

// flock(LOCK_EX) on fd, waiting at most wait_ms for another holder: 0, or an
// errno value (EWOULDBLOCK when the wait ran out). The wait is a blocking
// flock, so a waiter is woken when the holder lets go even when the holder
// takes the lock again at once.
int lock_within(int fd, int wait_ms)
{
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return 0;
    if (errno != EWOULDBLOCK)
        return errno;
    const long long wait = wait_ms > 0 ? wait_ms : 0;
    const long long deadline = now_ms() + wait;
    WaitTimer timer(wait);
    if (timer.error() != 0)
        return timer.error();
    for (;;) {
        if (flock(fd, LOCK_EX) == 0)
            return 0;
        if (errno != EINTR)
            return errno;
        if (now_ms() >= deadline)
            return EWOULDBLOCK;
    }
}

} // namespace

std::string config_lock_path(const char* dir)
{
    return std::string(dir != nullptr ? dir : "") + "/" + CONFIG_LOCK_FOLDER + "/" + CONFIG_LOCK_NAME;
}

ConfigLock::ConfigLock(const char* dir, int wait_ms) : _fd(-1), _error(0), _path(config_lock_path(dir))
{
    if (dir == nullptr || dir[0] == '\0') {
        _error = ENOENT;
        return;
    }
    int base = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (base < 0) {
        _error = errno;
        return;
    }
    int folder = open_lock_folder(base);
    if (folder < 0)
        _error = errno;
    close(base);
    if (folder < 0)
        return;
    int fd = open_lock_file(folder);
    if (fd < 0)
        _error = errno;
    close(folder);
    if (fd < 0)
        return;
    _error = lock_within(fd, wait_ms);
    if (_error != 0) {
        close(fd);
        return;
    }
    _fd = fd;
}

ConfigLock::~ConfigLock()
{
    if (_fd >= 0) {
        flock(_fd, LOCK_UN);
        close(_fd);
    }
}
