#pragma once
// Test helpers: a temporary folder removed with its contents, whole-file
// reads and writes, and the names of table-driven cases.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

class TmpDir {
public:
    TmpDir()
    {
        char tmpl[] = "/tmp/tarn-test-XXXXXX";
        // No fallback: an empty path would turn file("x") into "/x".
        const char* p = mkdtemp(tmpl);
        if (p == nullptr)
            throw std::runtime_error(std::string("mkdtemp failed: ") + std::strerror(errno));
        path_ = p;
    }
    ~TmpDir()
    {
        std::error_code ec;
        // Give back every permission a test took away, so removal works.
        for (auto it = std::filesystem::recursive_directory_iterator(
                 path_, std::filesystem::directory_options::skip_permission_denied, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec))
                chmod(it->path().c_str(), 0700);
        std::filesystem::remove_all(path_, ec);
    }
    TmpDir(const TmpDir&) = delete;
    TmpDir& operator=(const TmpDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Restores the working folder on every exit from the scope, a failed
// assertion's early return included.
class CwdGuard {
public:
    CwdGuard()
    {
        char buf[PATH_MAX];
        if (getcwd(buf, sizeof buf) == nullptr)
            throw std::runtime_error(std::string("getcwd failed: ") + std::strerror(errno));
        old_ = buf;
    }
    ~CwdGuard()
    {
        if (chdir(old_.c_str()) != 0)
            ADD_FAILURE() << "cannot return to " << old_;
    }
    CwdGuard(const CwdGuard&) = delete;
    CwdGuard& operator=(const CwdGuard&) = delete;

private:
    std::string old_;
};

// Sets the file mode mask for the scope and restores the caller's on exit.
class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : old_(umask(mask)) {}
    ~UmaskGuard() { umask(old_); }
    UmaskGuard(const UmaskGuard&) = delete;
    UmaskGuard& operator=(const UmaskGuard&) = delete;

private:
    mode_t old_;
};

inline void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool file_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Names each case of a parameterised test after the case's own name field.
struct CaseName {
    template <typename T>
    std::string operator()(const ::testing::TestParamInfo<T>& info) const
    {
        return info.param.name;
    }
};

// Runs fn as an ordinary user: folder permissions do not bind root, so when
// the tests run as root fn runs in a child process under the user id 65534
// (the temporary folders must then be open to others). Returns fn's result;
// what fn printed on standard output goes to *printed.
inline std::string run_unprivileged(const std::function<std::string()>& fn, std::string* printed)
{
    if (geteuid() != 0) {
        testing::internal::CaptureStdout();
        std::string result = fn();
        std::fflush(stdout);
        *printed = testing::internal::GetCapturedStdout();
        return result;
    }
    int result_pipe[2], out_pipe[2];
    if (pipe(result_pipe) != 0)
        return "";
    if (pipe(out_pipe) != 0) {
        close(result_pipe[0]);
        close(result_pipe[1]);
        return "";
    }
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(result_pipe[0]);
        close(out_pipe[0]);
        dup2(out_pipe[1], STDOUT_FILENO);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        std::string result = fn();
        std::fflush(stdout);
        size_t done = 0;
        while (done < result.size()) {
            ssize_t n = write(result_pipe[1], result.data() + done, result.size() - done);
            if (n <= 0)
                _exit(3);
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(result_pipe[1]);
    close(out_pipe[1]);
    auto drain = [](int fd) {
        std::string s;
        char buf[512];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            s.append(buf, static_cast<size_t>(n));
        close(fd);
        return s;
    };
    // Both pipes are small; the child writes its output before its result.
    *printed = drain(out_pipe[0]);
    std::string result = drain(result_pipe[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        ADD_FAILURE() << "unprivileged child failed, status " << status;
    return result;
}

// The names in a folder without "." and "..", in the order the file system
// lists them.
inline std::vector<std::string> dir_entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// The same names, sorted.
inline std::vector<std::string> dir_names(const std::string& dir)
{
    std::vector<std::string> names = dir_entries(dir);
    std::sort(names.begin(), names.end());
    return names;
}
