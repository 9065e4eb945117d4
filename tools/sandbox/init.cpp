// tarn-init: the first process of a sandbox's process namespace.
//
//   tarn-init PROGRAM [ARG...]
//
// Runs PROGRAM as its only child and reaps every process that ends in the
// namespace (the daemon's exiting parents are reparented here), so no zombie
// stays behind. Ends with PROGRAM's exit status (128 + signal number when it
// was killed); the kernel then kills whatever is left in the namespace.
// SIGTERM, SIGINT and SIGHUP are passed on to PROGRAM.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_child = 0;

void forward(int sig)
{
    if (g_child > 0)
        kill(g_child, sig);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: tarn-init PROGRAM [ARG...]\n");
        return 2;
    }
    pid_t child = fork();
    if (child < 0) {
        std::perror("tarn-init: fork");
        return 1;
    }
    if (child == 0) {
        execvp(argv[1], argv + 1);
        std::fprintf(stderr, "tarn-init: cannot run %s: %s\n", argv[1], std::strerror(errno));
        _exit(127);
    }
    g_child = child;
    struct sigaction sa {};
    sa.sa_handler = forward;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &sa, nullptr);

    for (;;) {
        int status = 0;
        pid_t pid = wait(&status);
        if (pid < 0) {
            if (errno == EINTR)
                continue;
            std::perror("tarn-init: wait");
            return 1;
        }
        if (pid != child)
            continue;   // an orphan: reaped, nothing more to do
        if (WIFEXITED(status))
            return WEXITSTATUS(status);
        if (WIFSIGNALED(status))
            return 128 + WTERMSIG(status);
    }
}
