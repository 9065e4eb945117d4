// path when it cannot do its work: the failure is reported on standard
// error with a non-zero exit status instead of passing as success or as
// "no match". When the adopted identity cannot be written to Key.dat, the
// image is installed and "Result" records it as before; Key.dat is made
// unwritable while the candidate is probed (after it was read), in ways
// that hold also for root. When the scratch folder cannot be made, or a
// candidate cannot be copied into it, nothing is installed unless another
// candidate matched.
#include "config_tool_fixture.h"

#include "config/image_search.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

using namespace config_text;

namespace {

using Outcome = PathOutcome;

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

    Outcome path() { return run_path(tree); }

    // path in a child process whose files may hold at most limit bytes, so
    // a larger copy into the scratch folder fails as on a full one.
    Outcome path_with_file_limit(rlim_t limit)
    {
        return run_path(tree, [limit] {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl = {limit, limit};
            return setrlimit(RLIMIT_FSIZE, &rl) == 0;
        });
    }

    // Nothing of an installation happened.
    void expect_nothing_installed()
    {
        EXPECT_FALSE(file_exists(env.image_path()));
        EXPECT_EQ(read_file(env.key_dat), cid);
        EXPECT_EQ(read_file(env.config_file), "info=Bob(Ops)\nResult=1\n");
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

// A scratch folder that cannot be made: the search could not look at the
// host's image, which is said on standard error, not as "no match".
TEST_F(PathKeyDatTest, ScratchFolderThatCannotBeMade)
{
    write_file(tmp.file("plain"), "x");
    const struct {
        const char* name;
        std::string parent;
        int err;
    } cases[] = {
        {"missing", tmp.file("missing"), ENOENT},
        {"plain file", tmp.file("plain"), ENOTDIR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        env.scratch_dir = c.parent;
        const Outcome o = path();
        EXPECT_EQ(o.rc, 1);
        EXPECT_EQ(o.out, "");
        char want[512];
        std::snprintf(want, sizeof want, kScratchNotMade, c.parent.c_str(), std::strerror(c.err));
        EXPECT_EQ(o.err, want);
        expect_nothing_installed();
    }
    // Without a candidate there is nothing to look at: no match, as before.
    unlink((tree + "/host.vkd").c_str());
    const Outcome o = path();
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out, line(kNoMatch));
    EXPECT_EQ(o.err, "");
}

// A candidate that cannot be copied into the scratch folder is named on
// standard error. With nothing else to adopt, path fails with status 1 (not
// "no match"); a candidate that matched afterwards is adopted all the same.
TEST_F(PathKeyDatTest, CandidateThatCannotBeCopied)
{
    const rlim_t limit = 2 * IMAGE_MIN_SIZE;
    const std::string big_host = fake_image(ident, std::string(limit, 'H'));
    const std::string small_host = fake_image(ident);
    char want[1024];

    write_file(tree + "/host.vkd", big_host);
    Outcome o = path_with_file_limit(limit);
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.out, "");
    std::snprintf(want, sizeof want, kCandidateNotCopied, (tree + "/host.vkd").c_str(), std::strerror(EFBIG));
    EXPECT_EQ(o.err, want);
    expect_nothing_installed();
    EXPECT_EQ(dir_names(scratch), std::vector<std::string>{});

    // Two candidates, the one that cannot be copied listed first.
    write_file(tree + "/second.vkd", "");
    std::vector<std::string> order;
    recursion_scan_dir_file(tree.c_str(), order, ".vkd");
    ASSERT_EQ(order.size(), 2u);
    write_file(order[0], big_host);
    write_file(order[1], small_host);
    o = path_with_file_limit(limit);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out, "");
    std::snprintf(want, sizeof want, kCandidateNotCopied, order[0].c_str(), std::strerror(EFBIG));
    EXPECT_EQ(o.err, want);
    expect_installed(env.image_path(), small_host);
    EXPECT_EQ(read_file(env.key_dat), ident);
    EXPECT_EQ(read_file(env.config_file), "info=Bob(Ops)\nResult=11\n");
    EXPECT_EQ(dir_names(scratch), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(KeyDat, PathKeyDatBroken, ::testing::ValuesIn(kBreakages),
                         [](const ::testing::TestParamInfo<Breakage>& i) { return std::string(i.param.name); });

} // namespace
