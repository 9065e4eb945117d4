#include "Tarnhold/discovery.h"

#include "common/machine_id.h"
#include "common/test_util.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kHead[] =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls "
    "carrier compressed\n";

std::string dev_line(const std::string& name)
{
    return "  " + name + ":    3267      29    0    0    0     0          0         0     3267      29    0    0    0 "
           "    0       0          0\n";
}

TEST(Discovery, InterfaceListSkipsLoopbackAndVirtualInByteOrder)
{
    TmpDir dir;
    std::string text = kHead;
    for (const char* n : {"lo", "wlan0", "virbr0", "virbr0-nic", "eth1", "xvir0", "em1", "eth0", "eth0"})
        text += dev_line(n);
    text += "\n";
    write_file(dir.file("dev"), text);
    std::map<std::string, std::string> devices;
    testing::internal::CaptureStdout();
    int count = GetNetCardCount(dir.file("dev").c_str(), devices);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(count, 6);
    std::vector<std::string> names;
    for (const auto& d : devices) {
        names.push_back(d.first);
        EXPECT_EQ(d.second, "");
    }
    EXPECT_EQ(names, (std::vector<std::string>{"em1", "eth0", "eth1", "wlan0", "xvir0"}));
    EXPECT_EQ(out, "NetCardCount1: wlan0\nNetCardCount2: eth1\nNetCardCount3: xvir0\nNetCardCount4: em1\n"
                   "NetCardCount5: eth0\nNetCardCount6: eth0\n");
}

TEST(Discovery, InterfaceListEdgeLines)
{
    TmpDir dir;
    // Only the heading lines; then a line longer than the read buffer, whose
    // continuation must not count as an interface of its own.
    std::string longLine = "  eth9: " + std::string(600, '1') + " bogus0: 1 2 3\n";
    write_file(dir.file("a"), kHead);
    write_file(dir.file("b"), std::string(kHead) + longLine + dev_line("lo"));
    write_file(dir.file("c"), "");
    std::map<std::string, std::string> devices;
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetNetCardCount(dir.file("a").c_str(), devices), 0);
    EXPECT_EQ(GetNetCardCount(dir.file("c").c_str(), devices), 0);
    EXPECT_TRUE(devices.empty());
    EXPECT_EQ(GetNetCardCount(dir.file("b").c_str(), devices), 1);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices.begin()->first, "eth9");
}

TEST(Discovery, UnreadableInterfaceList)
{
    TmpDir dir;
    std::map<std::string, std::string> devices;
    testing::internal::CaptureStderr();
    EXPECT_EQ(GetNetCardCount(dir.file("missing").c_str(), devices), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Open /proc/net/dev failed!errno:2\n");
    EXPECT_TRUE(devices.empty());
}

// The kernel answers SIOCGIFHWADDR: the loopback's address is all zeros, an
// unknown name fails and keeps its empty text.
TEST(Discovery, MacAddressesFromTheKernel)
{
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    std::map<std::string, std::string> devices = {{"lo", ""}, {"nosuch-if0", ""}};
    std::vector<std::string> macs;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(ReadMacAddresses(sock, devices, macs));
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(devices["lo"], "00-00-00-00-00-00");
    EXPECT_EQ(devices["nosuch-if0"], "");
    EXPECT_EQ(macs, std::vector<std::string>{"000000000000"});
    EXPECT_EQ(out, "MAC address for interface lo is 00-00-00-00-00-00\nioctl err = -1\n");
    EXPECT_EQ(err.rfind("ioctl() failed to get source MAC address : ", 0), 0u) << err;

    std::map<std::string, std::string> none = {{"nosuch-if0", ""}};
    macs.clear();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ReadMacAddresses(sock, none, macs));
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(macs.empty());
    close(sock);
}

TEST(Discovery, GuidText)
{
    GUID g = {0x01020304, 0x0506, 0x0708, {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}};
    EXPECT_EQ(GuidToString(g), "0102030405060708090A0B0C0D0E0F10");
    GUID z = {0xABCDEF, 0x1, 0xFFFF, {0, 0, 0, 0, 0, 0, 0, 0xFF}};
    EXPECT_EQ(GuidToString(z), "00ABCDEF0001FFFF00000000000000FF");
}

class MachineId : public ::testing::Test {
protected:
    void SetUp() override { std::memset(g_szCID, 0, sizeof g_szCID); }
    void TearDown() override { std::memset(g_szCID, 0, sizeof g_szCID); }
    std::string cid() const { return std::string(g_szCID, sizeof g_szCID); }
    TmpDir dir;
};

std::vector<std::string> mac_list(int n)
{
    std::vector<std::string> macs;
    for (int i = 0; i < n; ++i) {
        char t[24];
        std::snprintf(t, sizeof t, "00155D%06X", 0xA0B0C0 + i);
        macs.push_back(t);
    }
    return macs;
}

TEST_F(MachineId, BuiltFromOneToFiveMacs)
{
    for (int n = 1; n <= 5; ++n) {
        std::memset(g_szCID, 0, sizeof g_szCID);
        const std::string keyDat = dir.file("Key" + std::to_string(n) + ".dat");
        InitUUID(keyDat.c_str(), mac_list(n));
        const std::string c = cid();
        EXPECT_EQ(c[0], n);
        EXPECT_EQ(c[1], 0);
        EXPECT_EQ(c[2], 0);
        for (int i = 0; i < n; ++i) {
            const unsigned char want[6] = {0x00, 0x15, 0x5D, 0xA0, 0xB0, static_cast<unsigned char>(0xC0 + i)};
            EXPECT_EQ(c.substr(3 + 6 * i, 6), std::string(reinterpret_cast<const char*>(want), 6)) << n;
        }
        const std::string tail = c.substr(3 + 6 * n);
        EXPECT_EQ(tail.size(), static_cast<size_t>((6 - n) * 6));
        for (char ch : tail)
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(ch)) && !std::islower(static_cast<unsigned char>(ch)))
                << n << " " << tail;
        EXPECT_EQ(read_file(keyDat), c) << n;
    }
}

TEST_F(MachineId, FreshTailsDiffer)
{
    InitUUID(dir.file("a").c_str(), mac_list(1));
    const std::string first = cid();
    std::memset(g_szCID, 0, sizeof g_szCID);
    InitUUID(dir.file("b").c_str(), mac_list(1));
    EXPECT_NE(cid().substr(9), first.substr(9));
}

TEST_F(MachineId, NoMacOrSixMacsBuildsNone)
{
    for (int n : {0, 6, 7}) {
        std::memset(g_szCID, 0, sizeof g_szCID);
        const std::string keyDat = dir.file("none" + std::to_string(n));
        InitUUID(keyDat.c_str(), mac_list(n));
        EXPECT_EQ(g_szCID[0], 0) << n;
        EXPECT_FALSE(file_exists(keyDat)) << n;
    }
}

TEST_F(MachineId, StoredIdentifierKept)
{
    struct {
        const char* name;
        std::string stored;
        bool kept;
    } cases[] = {
        {"Whole", std::string("\x03") + std::string(38, 'S'), true},
        // A short file with a non-zero first byte stays in use as read.
        {"Short", std::string("\x02\x00\x00", 3) + "ABCDEFG", true},
        // A first byte of 0 counts as none: a new one replaces it.
        {"ZeroFirstByte", std::string(1, '\0') + std::string(38, 'S'), false},
    };
    for (const auto& c : cases) {
        std::memset(g_szCID, 0, sizeof g_szCID);
        const std::string keyDat = dir.file(c.name);
        write_file(keyDat, c.stored);
        InitUUID(keyDat.c_str(), mac_list(2));
        if (c.kept) {
            std::string want = c.stored;
            want.resize(39, '\0');
            EXPECT_EQ(cid(), want) << c.name;
            EXPECT_EQ(read_file(keyDat), c.stored) << c.name;
        } else {
            EXPECT_EQ(g_szCID[0], 2) << c.name;
            EXPECT_EQ(read_file(keyDat), cid()) << c.name;
        }
    }
}

// Only a Key.dat that is not there, or holds no identifier, gets a new one:
// one that is there but cannot be read is left as it is and none is made.
TEST_F(MachineId, UnreadableKeyDatIsNeverReplaced)
{
    const std::string keyDat = dir.file("Key.dat");
    ASSERT_EQ(mkdir(keyDat.c_str(), 0755), 0);
    int err = -1;
    EXPECT_EQ(LoadOrMakeCID(keyDat.c_str(), mac_list(1), &err), CidOutcome::Unreadable);
    EXPECT_EQ(err, EISDIR);
    EXPECT_EQ(g_szCID[0], 0);
    struct stat st;
    EXPECT_TRUE(lstat(keyDat.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    InitUUID(keyDat.c_str(), mac_list(1));
    EXPECT_EQ(g_szCID[0], 0);
    EXPECT_TRUE(lstat(keyDat.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    ASSERT_EQ(rmdir(keyDat.c_str()), 0);

    // Missing: a new identifier, saved.
    EXPECT_EQ(LoadOrMakeCID(keyDat.c_str(), mac_list(1), &err), CidOutcome::Made);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(read_file(keyDat), cid());
    const std::string made = cid();
    std::memset(g_szCID, 0, sizeof g_szCID);
    EXPECT_EQ(LoadOrMakeCID(keyDat.c_str(), mac_list(2), &err), CidOutcome::Kept);
    EXPECT_EQ(cid(), made);

    // A new one that cannot be saved (no folder for Key.dat) is told apart.
    std::memset(g_szCID, 0, sizeof g_szCID);
    EXPECT_EQ(LoadOrMakeCID(dir.file("no/Key.dat").c_str(), mac_list(1), &err), CidOutcome::NotSaved);
    EXPECT_EQ(err, 0);
    std::memset(g_szCID, 0, sizeof g_szCID);
    EXPECT_EQ(LoadOrMakeCID(dir.file("none").c_str(), mac_list(0), &err), CidOutcome::None);
}

// A configuration file that is there but cannot be read tells nothing about
// the user: false with its reason, nothing printed, the description kept.
TEST(UserDescription, UnreadableFileIsNotAnEmptyOne)
{
    TmpDir dir;
    ASSERT_EQ(mkdir(dir.file("config.ini").c_str(), 0755), 0);
    std::string des = "before";
    int err = -1;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ReadUserDes(dir.file("config.ini").c_str(), dir.path().c_str(), des, &err));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(err, EISDIR);
    EXPECT_EQ(des, "before");

    // Missing: the empty description, no error.
    EXPECT_TRUE(ReadUserDes(dir.file("missing.ini").c_str(), dir.path().c_str(), des, &err));
    EXPECT_EQ(err, 0);
    EXPECT_EQ(des, "");
}

TEST(UserDescription, ReadFromConfig)
{
    struct {
        const char* name;
        const char* content; // nullptr: no file
        bool ok;
        std::string des;
        std::string printed;
    } cases[] = {
        {"Zero", "Version=1\ninfo=0\n", false, "before", "请填写使用者信息！\n"},
        {"ZeroTrimmed", "info = 0 \n", false, "before", "请填写使用者信息！\n"},
        {"TwoZeros", "info=00\n", true, "00", ""},
        {"Text", "Result=1\ninfo=Li Lei, room 5\n", true, "Li Lei, room 5", ""},
        {"Empty", "info=\n", true, "", ""},
        {"NoKey", "Result=1\n", true, "", ""},
        {"NoFile", nullptr, true, "", ""},
    };
    for (const auto& c : cases) {
        TmpDir dir;
        if (c.content != nullptr)
            write_file(dir.file("config.ini"), c.content);
        std::string des = "before";
        testing::internal::CaptureStdout();
        EXPECT_EQ(ReadUserDes(dir.file("config.ini").c_str(), dir.path().c_str(), des), c.ok) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.name;
        EXPECT_EQ(des, c.des) << c.name;
        if (c.content == nullptr) {
            EXPECT_FALSE(file_exists(dir.file("config.ini"))) << c.name;
        }
    }
}

} // namespace
