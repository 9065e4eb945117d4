// path when the adopted identity cannot be written to Key.dat: the image is
// installed and "Result" records it as before, but the failure is reported
// on standard error with a non-zero exit status instead of passing as
// success. Key.dat is made unwritable while the candidate is probed (after
// it was read), in ways that hold also for root.
#include "config_tool_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace config_text;

namespace {

struct Outcome {
    int rc;
    std::string out, err;
};

class PathKeyDatTest : public ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        cid = make_cid(2, "\x01\x02", 'q');
        write_file(env.key_dat, cid);
        ident = cid;
        ident[1] = '\x55';   // bytes 1 and 2 are the image's own
        ident[2] = '\x66';
        write_file(env.config_file, "info=Bob(Ops)\nResult=1\n");
        tree = tmp.file("tree");
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        write_file(tree + "/host.vkd", fake_image(ident));
    }

    Outcome path()
    {
        std::string word0 = "config", word1 = "path";
        std::vector<char*> argv = {&word0[0], &word1[0], &tree[0], nullptr};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        Outcome o;
        o.rc = config_main(3, argv.data(), env);
        std::fflush(stdout);
        std::fflush(stderr);
        o.err = testing::internal::GetCapturedStderr();
        o.out = testing::internal::GetCapturedStdout();
        return o;
    }

    std::string cid, ident, tree;
};

TEST_F(PathKeyDatTest, SuccessIsSilentWithStatusZero)
{
    const Outcome o = path();
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(read_file(env.key_dat), ident);
}

struct Breakage {
    const char* name;
    // Turns Key.dat (already read) into something a save cannot replace.
    void (*apply)(const std::string& key_dat);
};

const Breakage kBreakages[] = {
    {"folder", [](const std::string& k) {
         unlink(k.c_str());
         mkdir(k.c_str(), 0755);
     }},
    {"link_loop", [](const std::string& k) {
         unlink(k.c_str());
         (void)!symlink("Key.dat", k.c_str());
     }},
    {"fifo", [](const std::string& k) {
         unlink(k.c_str());
         mkfifo(k.c_str(), 0600);
     }},
};

void PrintTo(const Breakage& b, std::ostream* os) { *os << b.name; }

class PathKeyDatBroken : public PathKeyDatTest, public ::testing::WithParamInterface<Breakage> {};

TEST_P(PathKeyDatBroken, FailureIsReportedOnStandardError)
{
    on_probe = [this](const char*) { GetParam().apply(env.key_dat); };
    const Outcome o = path();
    EXPECT_NE(o.rc, 0);
    EXPECT_EQ(o.out, "") << "standard output keeps what success prints";
    EXPECT_NE(o.err.find(env.key_dat), std::string::npos) << o.err;
    char want[512];
    std::snprintf(want, sizeof want, kKeyDatNotSaved, env.key_dat.c_str());
    EXPECT_EQ(o.err, want);
    // The image itself was installed and recorded.
    expect_installed(env.image_path(), fake_image(ident));
    EXPECT_EQ(read_file(env.config_file), "info=Bob(Ops)\nResult=11\n");
}

INSTANTIATE_TEST_SUITE_P(KeyDat, PathKeyDatBroken, ::testing::ValuesIn(kBreakages),
                         [](const ::testing::TestParamInfo<Breakage>& i) { return std::string(i.param.name); });

} // namespace
