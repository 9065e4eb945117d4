#include "Tarnhold/startup.h"

#include "Tarnhold/discovery.h"
#include "Tarnhold/fake_effects.h"
#include "Tarnhold/packet_effects.h"
#include "Tarnhold/result.h"
#include "common/ConfigBox.h"
#include "common/config_lock.h"
#include "common/log.h"
#include "common/machine_id.h"
#include "common/test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

const char kConfig[] = "Version=1.0\nLogLevel=0\nMaxRowNum=1000\ninfo=Li Lei\n";

const char kDevHead[] = "Inter-| Receive | Transmit\n face |bytes packets|bytes packets\n";

class Startup : public ::testing::Test {
public:
    void SetUp() override
    {
        reset_globals();
        opened = 0;
        failSocket = 0;
        sock = -1;
        state = DaemonState();
        unlink(dir.file("Key.dat").c_str());
        unlink(dir.file("log").c_str());
        write_file(dir.file("config.ini"), kConfig);
        write_file(dir.file("dev"), std::string(kDevHead) + "    lo: 1 2\n  eth0: 1 2\n");
        write_file(dir.file("private.vkd"), "image");
        cfg = dir.file("config.ini");
        log = dir.file("log");
        dev = dir.file("dev");
        keyDat = dir.file("Key.dat");
        image = dir.file("private.vkd");
        env.configFile = cfg.c_str();
        env.lockDir = dir.path().c_str();
        env.logFile = log.c_str();
        env.procNetDev = dev.c_str();
        env.keyDat = keyDat.c_str();
        env.image = image.c_str();
        // Any socket serves the MAC reads; the fake one names eth0's MAC.
        env.openSocket = [this]() {
            ++opened;
            return failSocket == opened ? -1 : socket(AF_INET, SOCK_DGRAM, 0);
        };
        env.readMacs = [](int, std::map<std::string, std::string>& d, std::vector<std::string>& m) {
            bool got = false;
            for (auto& e : d)
                if (e.first == "eth0") {
                    e.second = "02-00-00-00-00-01";
                    m.push_back("020000000001");
                    got = true;
                }
            return got;
        };
    }
    void TearDown() override
    {
        if (sock >= 0)
            close(sock);
        log_close();
        g_bLoadLog = false;
        reset_globals();
    }
    static void reset_globals()
    {
        g_mapDevice.clear();
        g_vecMac.clear();
        g_strUserDes.clear();
        std::memset(g_szCID, 0, sizeof g_szCID);
    }
    int run(std::string* out)
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = PrepareDaemon(env, state, sock);
        *out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return rc;
    }

    TmpDir dir;
    std::string cfg, log, dev, keyDat, image, err;
    StartupEnv env;
    DaemonState state;
    int sock = -1;
    int opened = 0;
    int failSocket = 0; // the call of openSocket that fails (0: none)
};

TEST_F(Startup, ReadyToRun)
{
    std::string out;
    ASSERT_EQ(run(&out), -1);
    EXPECT_GE(sock, 0);
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(out, "NetCardCount1: eth0\nNetCardCount: 1\n");
    EXPECT_TRUE(g_bLoadLog);
    EXPECT_NE(read_file(log).find("LOG START"), std::string::npos);
    EXPECT_EQ(state.devices, (std::map<std::string, std::string>{{"eth0", "02-00-00-00-00-01"}}));
    EXPECT_EQ(state.macs, std::vector<std::string>{"020000000001"});
    EXPECT_EQ(state.des, "Li Lei");
    EXPECT_EQ(state.cid[0], 1);
    EXPECT_EQ(read_file(keyDat), std::string(state.cid, 39));
    EXPECT_FALSE(state.bGetDevice);
}

// Without readable settings the daemon runs without a log; a missing
// configuration file also leaves the description empty, and still starts.
TEST_F(Startup, SettingsNotReadable)
{
    struct {
        const char* name;
        const char* config; // nullptr: no file
        std::string des;
    } cases[] = {
        {"NoFile", nullptr, ""},
        {"NoVersion", "LogLevel=0\nMaxRowNum=10\ninfo=x\n", "x"},
    };
    for (const auto& c : cases) {
        reset_globals();
        if (c.config == nullptr)
            unlink(cfg.c_str());
        else
            write_file(cfg, c.config);
        std::string out;
        EXPECT_EQ(run(&out), -1) << c.name;
        std::string rest;
        EXPECT_TRUE(split_log_prefix(out, &rest)) << c.name << ": " << out;
        EXPECT_EQ(rest.rfind("read_config_info fail.\n", 0), 0u) << c.name << ": " << out;
        EXPECT_FALSE(g_bLoadLog) << c.name;
        EXPECT_FALSE(file_exists(log)) << c.name;
        EXPECT_EQ(state.des, c.des) << c.name;
        if (c.config == nullptr) {
            EXPECT_FALSE(file_exists(cfg)) << c.name;
        }
        close(sock);
        sock = -1;
    }
}

struct EndCase {
    const char* name;
    std::function<void(Startup&)> arrange;
    int status;
    std::string lastLine; // the end of what was printed
};

TEST_F(Startup, EndsBeforeDetaching)
{
    const EndCase cases[] = {
        {"OnlyLoopbackAndVirtual",
         [](Startup& s) {
             write_file(s.dev, std::string(kDevHead) + "lo: 1\nvirbr0: 1\nvirbr0-nic: 1\n");
             s.env.readMacs = [](int fd, std::map<std::string, std::string>& d, std::vector<std::string>& m) {
                 return ReadMacAddresses(fd, d, m);
             };
         },
         1, "NetCardCount: 0\nbGetMac err = 0\n"},
        {"FirstSocketRefused", [](Startup& s) { s.failSocket = 1; }, 1, "NetCardCount: 1\nsock err = -1\n"},
        {"SecondSocketRefused", [](Startup& s) { s.failSocket = 2; }, 1, "sock err = -1\n"},
        {"DescriptionZero", [](Startup& s) { write_file(s.cfg, "Version=1\nLogLevel=0\nMaxRowNum=9\ninfo=0\n"); },
         0, "NetCardCount: 1\n请填写使用者信息！\n"},
        {"NoImage", [](Startup& s) { unlink(s.image.c_str()); }, 0, "NetCardCount: 1\n不存在证书，请导入证书！\n"},
    };
    for (const EndCase& c : cases) {
        SetUp();
        c.arrange(*this);
        std::string out;
        EXPECT_EQ(run(&out), c.status) << c.name;
        EXPECT_EQ(sock, -1) << c.name;
        ASSERT_GE(out.size(), c.lastLine.size()) << c.name;
        EXPECT_EQ(out.substr(out.size() - c.lastLine.size()), c.lastLine) << c.name << ": " << out;
        EXPECT_FALSE(g_bLoadLog) << c.name;
        const std::string logText = read_file(log);
        ASSERT_GE(logText.size(), 8u) << c.name;
        EXPECT_EQ(logText.substr(logText.size() - 8), "LOG END\n") << c.name;
        if (c.name == std::string("FirstSocketRefused")) {
            EXPECT_EQ(err.rfind("socket: ", 0), 0u) << err;
        }
        if (c.status == 1 && c.name != std::string("SecondSocketRefused")) {
            EXPECT_FALSE(file_exists(keyDat)) << c.name;
        }
        TearDown();
    }
}

// Files of the daemon's own that it cannot do without: a Key.dat or a
// config.ini that is there but cannot be read (here: a folder in its
// place), and a new identifier that cannot be saved, end the start with
// status 1, the reason on the console and in the log; nothing is replaced.
TEST_F(Startup, EndsWithoutItsFiles)
{
    struct {
        const char* name;
        std::function<void(Startup&)> arrange;
        std::function<std::string(Startup&)> message;
        bool logged;
    } cases[] = {
        {"KeyDatUnreadable", [](Startup& s) { ASSERT_EQ(mkdir(s.keyDat.c_str(), 0755), 0); },
         [](Startup& s) { return "无法读取" + s.keyDat + "(err:21, Is a directory) , 启动失败\n"; }, true},
        {"CidNotSaved",
         [](Startup& s) {
             s.keyDat = s.dir.file("no/Key.dat");
             s.env.keyDat = s.keyDat.c_str();
         },
         [](Startup& s) { return "无法保存机器唯一标识到" + s.keyDat + " , 启动失败\n"; }, true},
        // The settings cannot be read either: no log.
        {"ConfigUnreadable",
         [](Startup& s) {
             unlink(s.cfg.c_str());
             ASSERT_EQ(mkdir(s.cfg.c_str(), 0755), 0);
         },
         [](Startup& s) { return "无法读取" + s.cfg + "(err:21, Is a directory) , 启动失败\n"; }, false},
    };
    for (const auto& c : cases) {
        SetUp();
        c.arrange(*this);
        std::string out;
        EXPECT_EQ(run(&out), 1) << c.name;
        EXPECT_EQ(sock, -1) << c.name;
        const std::string want = c.message(*this);
        ASSERT_GE(out.size(), want.size()) << c.name;
        EXPECT_EQ(out.substr(out.size() - want.size()), want) << c.name << ": " << out;
        EXPECT_FALSE(g_bLoadLog) << c.name;
        if (c.logged) {
            const std::string logText = read_file(log);
            EXPECT_NE(logText.find("] " + want.substr(0, want.size() - 1)), std::string::npos) << logText;
            ASSERT_GE(logText.size(), 8u) << c.name;
            EXPECT_EQ(logText.substr(logText.size() - 8), "LOG END\n") << c.name;
        }
        struct stat st;
        if (c.name == std::string("CidNotSaved")) {
            EXPECT_FALSE(file_exists(keyDat)) << c.name;
        } else if (c.name == std::string("KeyDatUnreadable")) {
            EXPECT_TRUE(lstat(keyDat.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << c.name;
        } else {
            EXPECT_TRUE(lstat(cfg.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << c.name;
            rmdir(cfg.c_str());
        }
        rmdir(keyDat.c_str());
        TearDown();
    }
}

// Detaching, run in a child so that the test process stays as it is: the
// starter ends with 0, output buffered before the forks appears once, and
// the daemon is in a session of its own without being its leader, with its
// standard streams on /dev/null and no file-creation mask.
TEST(Detach, TwoForksSetsidDevNullUmask)
{
    int outPipe[2], report[2];
    ASSERT_EQ(pipe(outPipe), 0);
    ASSERT_EQ(pipe(report), 0);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t starter = fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
        close(outPipe[0]);
        close(report[0]);
        dup2(outPipe[1], STDOUT_FILENO);
        close(outPipe[1]);
        umask(022);
        std::printf("start-up text\n"); // buffered: stdout is a pipe
        int rc = Detach();
        if (rc >= 0)
            _exit(rc);
        char line[512];
        char fds[3][128] = {};
        for (int fd = 0; fd < 3; ++fd) {
            char link[64];
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            ssize_t n = readlink(link, fds[fd], sizeof fds[fd] - 1);
            if (n < 0)
                fds[fd][0] = '\0';
        }
        mode_t mask = umask(0);
        int n = std::snprintf(line, sizeof line, "%d %d %d %o %s %s %s", static_cast<int>(getpid()),
                              static_cast<int>(getsid(0)), static_cast<int>(getpgrp()), static_cast<unsigned>(mask),
                              fds[0], fds[1], fds[2]);
        if (write(report[1], line, static_cast<size_t>(n)) != n)
            _exit(3);
        _exit(0);
    }
    close(outPipe[1]);
    close(report[1]);
    int status = 0;
    ASSERT_EQ(waitpid(starter, &status, 0), starter);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto drain = [](int fd) {
        std::string s;
        char buf[256];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            s.append(buf, static_cast<size_t>(n));
        close(fd);
        return s;
    };
    const std::string printed = drain(outPipe[0]);
    const std::string rep = drain(report[0]);
    EXPECT_EQ(printed, "start-up text\n");
    int pid = 0, sid = 0, pgrp = 0;
    unsigned mask = 0;
    char f0[128] = {}, f1[128] = {}, f2[128] = {};
    ASSERT_EQ(std::sscanf(rep.c_str(), "%d %d %d %o %127s %127s %127s", &pid, &sid, &pgrp, &mask, f0, f1, f2), 7)
        << rep;
    EXPECT_NE(pid, sid);
    EXPECT_NE(sid, getsid(0));
    EXPECT_EQ(pgrp, sid);
    EXPECT_NE(pid, static_cast<int>(starter));
    EXPECT_EQ(mask, 0u);
    EXPECT_STREQ(f0, "/dev/null");
    EXPECT_STREQ(f1, "/dev/null");
    EXPECT_STREQ(f2, "/dev/null");
}

TEST(Result, RewritesOnlyResult)
{
    struct {
        const char* name;
        const char* before;
        int v;
        const char* after;
    } cases[] = {
        {"Replaced", "# settings\ninfo=Li Lei\nResult=0\nVersion=1\n", 3, "# settings\ninfo=Li Lei\nResult=3\nVersion=1\n"},
    };
    for (const auto& c : cases) {
        TmpDir dir;
        write_file(dir.file("config.ini"), c.before);
        CConfigBox box;
        EXPECT_TRUE(WriteResult(box, c.v, dir.file("config.ini").c_str(), dir.path().c_str())) << c.name;
        EXPECT_EQ(read_file(dir.file("config.ini")), c.after) << c.name;
    }
}

TEST(Result, AppendedWhenMissing)
{
    TmpDir dir;
    write_file(dir.file("config.ini"), "info=Li Lei\n");
    CConfigBox box;
    EXPECT_TRUE(WriteResult(box, 1, dir.file("config.ini").c_str(), dir.path().c_str()));
    CConfigBox check;
    ASSERT_TRUE(check.load(dir.file("config.ini")));
    EXPECT_EQ(check.get_property("Result", ""), "1");
    EXPECT_EQ(check.get_property("info", ""), "Li Lei");
}

// A "Result" that cannot be written (config.ini cannot be read, here a
// folder in its place) is logged as an error line; the next write, with
// the file back, goes on as usual and logs nothing.
TEST(Result, FailedWriteIsLogged)
{
    TmpDir dir;
    const std::string logFile = dir.file("log"), ini = dir.file("config.ini");
    set_log_file_name(logFile.c_str());
    set_log_max_row(1000);
    log_set_level(0);
    ASSERT_EQ(log_init(), 0);
    g_bLoadLog = true;
    ASSERT_EQ(mkdir(ini.c_str(), 0755), 0);
    CConfigBox box;
    PacketEffects fx(-1, box, ini, dir.path(), dir.file("private.vkd"));
    fx.write_result(2);
    ASSERT_EQ(rmdir(ini.c_str()), 0);
    write_file(ini, "Result=1\n");
    fx.write_result(3);
    log_close();
    g_bLoadLog = false;
    EXPECT_EQ(read_file(ini), "Result=3\n");
    const std::string text = read_file(logFile);
    std::string line;
    for (size_t at = 0; at < text.size();) {
        size_t nl = text.find('\n', at);
        std::string l = text.substr(at, nl - at);
        if (l.find("未能写入") != std::string::npos) {
            EXPECT_TRUE(line.empty()) << text;
            line = l;
        }
        at = nl == std::string::npos ? text.size() : nl + 1;
    }
    EXPECT_EQ(line.rfind("[ERROR: ", 0), 0u) << line;
    const std::string tail = "] 认证结果 Result=2 未能写入 " + ini + "！";
    ASSERT_GE(line.size(), tail.size()) << text;
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
    EXPECT_NE(line.find("[packet_effects.cpp main "), std::string::npos) << line;
}

TEST(Result, MissingFileIsNotCreated)
{
    TmpDir dir;
    CConfigBox box;
    EXPECT_FALSE(WriteResult(box, 1, dir.file("config.ini").c_str(), dir.path().c_str()));
    EXPECT_FALSE(file_exists(dir.file("config.ini")));
}

// Each write reloads the file, so what the tool wrote since survives.
TEST(Result, ReloadsBeforeEachWrite)
{
    TmpDir dir;
    const std::string ini = dir.file("config.ini");
    write_file(ini, "info=0\nResult=0\n");
    CConfigBox box;
    ASSERT_TRUE(WriteResult(box, 1, ini.c_str(), dir.path().c_str()));
    write_file(ini, "info=Han Meimei\nResult=11\n");
    ASSERT_TRUE(WriteResult(box, 2, ini.c_str(), dir.path().c_str()));
    EXPECT_EQ(read_file(ini), "info=Han Meimei\nResult=2\n");
}

// The configuration lock is held from the load to the save, so a load...save of the
// tool cannot fall between them.
class LockProbeBox : public CConfigBox {
public:
    explicit LockProbeBox(std::string dir) : dir_(std::move(dir)) {}
    bool load(const std::string& f) override
    {
        heldAtLoad = held();
        return CConfigBox::load(f);
    }
    bool save() override
    {
        heldAtSave = held();
        return CConfigBox::save();
    }
    bool heldAtLoad = false;
    bool heldAtSave = false;

private:
    // A separate open file description conflicts with the lock even in the
    // same process.
    bool held() const
    {
        int fd = open(config_lock_path(dir_.c_str()).c_str(), O_RDONLY);
        if (fd < 0)
            return false;
        bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        close(fd);
        return busy;
    }
    std::string dir_;
};

TEST(UserDescriptionLock, HeldWhileLoading)
{
    TmpDir dir;
    write_file(dir.file("config.ini"), "info=Li Lei\n");
    LockProbeBox box(dir.path());
    std::string des;
    ASSERT_TRUE(ReadUserDes(box, dir.file("config.ini").c_str(), dir.path().c_str(), des));
    EXPECT_TRUE(box.heldAtLoad);
    EXPECT_EQ(des, "Li Lei");
}

TEST(Result, ConfigLockHeldFromLoadToSave)
{
    TmpDir dir;
    write_file(dir.file("config.ini"), "Result=0\n");
    LockProbeBox box(dir.path());
    ASSERT_TRUE(WriteResult(box, 1, dir.file("config.ini").c_str(), dir.path().c_str()));
    EXPECT_TRUE(box.heldAtLoad);
    EXPECT_TRUE(box.heldAtSave);
    EXPECT_EQ(read_file(dir.file("config.ini")), "Result=1\n");
}

} // namespace
