#include "common/machine_id.h"

#include "common/test_util.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

struct KeyDatCase {
    const char* name;
    int file_size; // -1: no file
    int replaced;  // leading bytes of g_szCID taken from the file
};

void PrintTo(const KeyDatCase& c, std::ostream* os) { *os << c.name; }

std::string pattern(int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += static_cast<char>(0x30 + i);
    return s;
}

} // namespace

class ReadKeyDat : public ::testing::TestWithParam<KeyDatCase> {};

TEST_P(ReadKeyDat, FillsOnlyWhatTheFileHolds)
{
    const KeyDatCase& c = GetParam();
    TmpDir dir;
    std::string path = dir.file("Key.dat");
    if (c.file_size >= 0)
        write_file(path, pattern(c.file_size));
    std::memset(g_szCID, 0xEE, sizeof g_szCID);
    ReadCID(path.c_str());
    for (int i = 0; i < CID_LEN; ++i) {
        unsigned char want = i < c.replaced ? static_cast<unsigned char>(0x30 + i) : 0xEE;
        EXPECT_EQ(static_cast<unsigned char>(g_szCID[i]), want) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ReadKeyDat,
                         ::testing::Values(KeyDatCase{"missing", -1, 0}, KeyDatCase{"empty", 0, 0},
                                           KeyDatCase{"short_10", 10, 10},
                                           KeyDatCase{"exact_39", 39, 39},
                                           KeyDatCase{"long_50", 50, 39}),
                         CaseName());

TEST(MachineId, MissingFileLeavesIdentifierAbsent)
{
    TmpDir dir;
    std::memset(g_szCID, 0, sizeof g_szCID);
    ReadCID(dir.file("Key.dat").c_str());
    EXPECT_EQ(g_szCID[0], 0);
}

TEST(MachineId, SaveWritesExactly39Bytes)
{
    TmpDir dir;
    std::string path = dir.file("Key.dat");
    write_file(path, std::string(60, 'z')); // longer old content must go
    std::string cid = pattern(CID_LEN);
    std::memcpy(g_szCID, cid.data(), CID_LEN);
    EXPECT_TRUE(SaveCID(path.c_str()));
    EXPECT_EQ(read_file(path), cid);

    std::memset(g_szCID, 0, sizeof g_szCID);
    ReadCID(path.c_str());
    EXPECT_EQ(std::string(g_szCID, CID_LEN), cid);
}

TEST(MachineId, SaveNeedsIdentifierAndKeepsOldFileOnFailure)
{
    TmpDir dir;
    std::string path = dir.file("Key.dat");
    write_file(path, "old");
    std::memset(g_szCID, 0x41, sizeof g_szCID);
    g_szCID[0] = 0;
    EXPECT_FALSE(SaveCID(path.c_str()));
    EXPECT_EQ(read_file(path), "old");

    // New file: mode 0644; missing folder: nothing written.
    g_szCID[0] = 0x41;
    std::string fresh = dir.file("new.dat");
    EXPECT_TRUE(SaveCID(fresh.c_str()));
    struct stat st;
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_FALSE(SaveCID(dir.file("no/Key.dat").c_str()));
}

TEST(MachineId, GetHex)
{
    const unsigned char bytes[] = {0x00, 0xAB, 0x0F, 0xFF, 0x7a};
    struct {
        int len;
        const char* hex;
    } cases[] = {{3, "00AB0F"}, {5, "00AB0FFF7A"}, {1, "00"}, {0, ""}, {-3, ""}};
    for (const auto& c : cases)
        EXPECT_EQ(getHex(bytes, c.len), c.hex) << c.len;
    unsigned char cid[CID_LEN];
    std::memset(cid, 0x5C, sizeof cid);
    std::string all;
    for (int i = 0; i < CID_LEN; ++i)
        all += "5C";
    EXPECT_EQ(getHex(cid, CID_LEN), all);
    EXPECT_EQ(getHex(nullptr, 4), "");
}

TEST(MachineId, ExecutablePathIsSplitAtLastSlash)
{
    char* real = realpath("/proc/self/exe", nullptr);
    ASSERT_NE(real, nullptr);
    std::string full = real;
    std::free(real);
    size_t slash = full.rfind('/');

    char dir[PATH_MAX] = {}, path[PATH_MAX] = {}, name[PATH_MAX] = {};
    int n = GetCurrentExcutableFilePathName(dir, path, name, sizeof dir);
    ASSERT_EQ(n, static_cast<int>(slash + 1));
    EXPECT_EQ(std::string(dir), full.substr(0, slash + 1));
    EXPECT_EQ(std::string(path), full.substr(0, slash + 1));
    EXPECT_EQ(std::string(name), full.substr(slash + 1));

    // A buffer too small for the link is refused, never overrun.
    char small_dir[8], small_path[8], small_name[8];
    EXPECT_EQ(GetCurrentExcutableFilePathName(small_dir, small_path, small_name, sizeof small_dir), -1);
}

// The outcome of a read: only a missing file says that there is no
// identifier; a file that is there but cannot be read (a folder, a FIFO, no
// descriptor left) leaves the buffer as it was and gives its reason.
TEST(MachineId, ReadStatusTellsMissingFromUnreadable)
{
    TmpDir dir;
    const std::string path = dir.file("Key.dat");
    struct {
        const char* name;
        std::function<void()> arrange;
        int status;
        bool read;
    } cases[] = {
        {"Missing", [] {}, ENOENT, false},
        {"Folder", [&] { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }, EISDIR, false},
        {"Fifo", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, EINVAL, false},
        {"NoDescriptorLeft", [&] { write_file(path, pattern(CID_LEN)); }, EMFILE, false},
        {"Readable", [&] { write_file(path, pattern(CID_LEN)); }, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        std::memset(g_szCID, 0xEE, sizeof g_szCID);
        int status;
        if (c.status == EMFILE) {
            // Every descriptor in use: the open fails although the file is there.
            struct rlimit old;
            ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
            int probe = dup(0);
            ASSERT_GE(probe, 0);
            struct rlimit tight = {static_cast<rlim_t>(probe), old.rlim_max};
            close(probe);
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
            status = ReadCIDStatus(path.c_str());
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
        } else {
            status = ReadCIDStatus(path.c_str());
        }
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(std::string(g_szCID, CID_LEN),
                  c.read ? pattern(CID_LEN) : std::string(CID_LEN, '\xEE'));
        if (rmdir(path.c_str()) != 0)
            unlink(path.c_str());
    }
    std::memset(g_szCID, 0, sizeof g_szCID);
}
