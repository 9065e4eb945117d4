#pragma once
// A configuration tool over a temporary folder: its own config.ini, Key.dat,
// image folder and scratch folder, a shell runner that only records the
// commands, and a stand-in key device whose "image" is a file of the
// smallest image size ("IMG", one length byte, the identity, filler, then
// zeros). Binding the stand-in writes into the file, as binding a real card
// does.

#include "common/machine_id.h"
#include "common/test_util.h"
#include "config/config_tool.h"
#include "config/image_install.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

inline std::string fake_image(const std::string& identity, const std::string& filler = "body")
{
    std::string image = "IMG" + std::string(1, static_cast<char>(identity.size())) + identity + filler;
    // As large as the smallest image the card takes.
    if (image.size() < static_cast<size_t>(IMAGE_MIN_SIZE))
        image.resize(static_cast<size_t>(IMAGE_MIN_SIZE), '\0');
    return image;
}

// A machine identifier as the daemon makes it: byte 0 the MAC count, bytes
// 1 and 2, then 36 bytes of MACs and text.
inline std::string make_cid(char count, const std::string& b12, char fill)
{
    std::string cid(1, count);
    cid += b12.substr(0, 2);
    for (int i = 3; i < CID_LEN; ++i)
        cid += static_cast<char>(fill + i % 7);
    return cid;
}

inline mode_t mode_of(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// The installed image: a regular file of the running user, mode 0600.
inline void expect_installed(const std::string& path, const std::string& bytes)
{
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_gid, getegid());
    EXPECT_EQ(read_file(path), bytes);
}

// What config path printed, and its exit status.
struct PathOutcome {
    int rc;
    std::string out, err;
};

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(tmp.path().empty());
        mavo = tmp.file("MavoClient");
        ASSERT_EQ(mkdir(mavo.c_str(), 0755), 0);
        scratch = tmp.file("scratch");
        ASSERT_EQ(mkdir(scratch.c_str(), 0755), 0);
        env.cert_dir = tmp.file("cert");
        env.image_name = "private.vkd";
        env.config_file = mavo + "/config.ini";
        env.config_dir = mavo;
        env.key_dat = mavo + "/Key.dat";
        env.daemon = mavo + "/Tarnhold";
        env.scratch_dir = scratch;
        env.run_shell = [this](const char* cmd) {
            commands.push_back(cmd);
            return 0;
        };
        env.get_id = [this](char* id, size_t& len, char* keyFile) {
            return fake_get_id(id, len, keyFile);
        };
    }

    // The stand-in for kmx_getid: fails (status 11006) for anything that is
    // not an image, writes into the file it binds, and notes what it saw.
    int fake_get_id(char* id, size_t& len, char* keyFile)
    {
        probed.push_back(keyFile);
        std::string folder = std::string(keyFile).substr(0, std::string(keyFile).rfind('/'));
        probe_folder_modes.push_back(mode_of(folder));
        if (on_probe)
            on_probe(keyFile);
        std::string bytes = read_file(keyFile);
        write_file(keyFile, bytes + "card state");
        if (bytes.size() < 4 || bytes.compare(0, 3, "IMG") != 0)
            return 11006;
        size_t n = static_cast<unsigned char>(bytes[3]);
        if (n > 64 || bytes.size() < 4 + n)
            return 4001;
        std::memcpy(id, bytes.data() + 4, n);
        len = n;
        return fail_status;
    }

    // Runs config with the words after the program name; returns what it
    // printed.
    std::string run(const std::vector<std::string>& words)
    {
        std::vector<std::string> store = {"config"};
        store.insert(store.end(), words.begin(), words.end());
        std::vector<char*> argv;
        for (std::string& s : store)
            argv.push_back(&s[0]);
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        int rc = config_main(static_cast<int>(store.size()), argv.data(), env);
        std::fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, 0);
        return out;
    }

    // config path dir, here, or with in_child set in a child process that
    // runs in_child first (to set a limit; false ends the child with
    // status 91).
    PathOutcome run_path(std::string dir, const std::function<bool()>& in_child = nullptr)
    {
        std::string word0 = "config", word1 = "path";
        std::vector<char*> argv = {&word0[0], &word1[0], &dir[0], nullptr};
        PathOutcome o{-1, "", ""};
        if (!in_child) {
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            o.rc = config_main(3, argv.data(), env);
            std::fflush(stdout);
            std::fflush(stderr);
            o.err = testing::internal::GetCapturedStderr();
            o.out = testing::internal::GetCapturedStdout();
            return o;
        }
        const std::string out_file = tmp.file("child.out"), err_file = tmp.file("child.err");
        std::fflush(stdout);
        std::fflush(stderr);
        pid_t pid = fork();
        if (pid == 0) {
            int fo = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int fe = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fo < 0 || fe < 0 || dup2(fo, STDOUT_FILENO) < 0 || dup2(fe, STDERR_FILENO) < 0)
                _exit(90);
            if (!in_child())
                _exit(91);
            int rc = config_main(3, argv.data(), env);
            std::fflush(stdout);
            std::fflush(stderr);
            _exit(rc);
        }
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            o.rc = WEXITSTATUS(status);
        o.out = read_file(out_file);
        o.err = read_file(err_file);
        return o;
    }

    std::string config_text() { return read_file(env.config_file); }
    std::string image() { return read_file(env.image_path()); }

    UmaskGuard mask{022}; // the caller's mask comes back after each test
    TmpDir tmp;
    std::string mavo, scratch;
    ConfigEnv env;
    std::vector<std::string> commands;
    std::vector<std::string> probed;
    std::vector<mode_t> probe_folder_modes;
    std::function<void(const char*)> on_probe;
    int fail_status = 0;
};

inline std::string line(const char* text) { return std::string(text) + "\n"; }
