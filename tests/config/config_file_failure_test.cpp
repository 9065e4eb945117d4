// A command whose read of config.ini or Key.dat, or whose save of "Result"
// 11, fails says so on standard error and ends with status 1, instead of
// taking the file for a missing one or the save for done; the file stays as
// it was. The fault is a folder in the file's place (the kernel's EISDIR
// for the read, and config.ini cannot be loaded, so not saved either). Each
// row has its control: the same command on the file itself.
#include "config_tool_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

using namespace config_text;

namespace {

struct Outcome {
    int rc;
    std::string out, err;
};

enum class Broken { ConfigIni, KeyDat };

struct FailureCase {
    const char* name;
    std::vector<std::string> words; // "<tree>" starts the folder with the host's image
    Broken broken;
    bool reading;   // the read fails (else the save of "Result" 11)
    bool installs;  // the image is installed all the same
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FileFailure : public ToolTest, public ::testing::WithParamInterface<FailureCase> {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        cid = make_cid(2, "\x01\x02", 'q');
        tree = tmp.file("tree");
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        write_file(tree + "/host.vkd", fake_image(cid));
        ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0755), 0);
        write_file(env.image_path(), old_image);
    }

    Outcome config(std::vector<std::string> words)
    {
        std::vector<std::string> store = {"config"};
        for (const std::string& w : words)
            store.push_back(w.compare(0, 6, "<tree>") == 0 ? tree + w.substr(6) : w);
        std::vector<char*> argv;
        for (std::string& s : store)
            argv.push_back(&s[0]);
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        Outcome o;
        o.rc = config_main(static_cast<int>(store.size()), argv.data(), env);
        std::fflush(stdout);
        std::fflush(stderr);
        o.err = testing::internal::GetCapturedStderr();
        o.out = testing::internal::GetCapturedStdout();
        return o;
    }

    void write_files()
    {
        write_file(env.config_file, ini);
        write_file(env.key_dat, cid);
    }

    const std::string ini = "info=Bob(Ops)\nResult=1\n";
    const std::string old_image = fake_image("someone else");
    std::string cid, tree;
};

TEST_P(FileFailure, ReportedWithStatusOne)
{
    const FailureCase& c = GetParam();
    const std::string& broken = c.broken == Broken::ConfigIni ? env.config_file : env.key_dat;
    write_files();
    ASSERT_EQ(unlink(broken.c_str()), 0);
    ASSERT_EQ(mkdir(broken.c_str(), 0755), 0);

    Outcome o = config(c.words);
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.out, "");
    char want[512];
    if (c.reading)
        std::snprintf(want, sizeof want, kNotRead, broken.c_str(), std::strerror(EISDIR));
    else
        std::snprintf(want, sizeof want, kResultNotSaved, env.config_file.c_str());
    EXPECT_EQ(o.err, want);
    struct stat st;
    EXPECT_TRUE(stat(broken.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << "the folder is left";
    if (c.broken == Broken::ConfigIni) {
        EXPECT_EQ(read_file(env.key_dat), cid);
    } else {
        EXPECT_EQ(config_text(), ini);
    }
    const bool installer = c.words[0] == "import" || c.words[0] == "path";
    if (installer) {
        EXPECT_EQ(image() != old_image, c.installs);
    }

    // Control: the same command on the file itself.
    ASSERT_EQ(rmdir(broken.c_str()), 0);
    write_files();
    write_file(env.image_path(), old_image);
    o = config(c.words);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "");
    if (installer) {
        EXPECT_EQ(config_text(), "info=Bob(Ops)\nResult=11\n");
    } else {
        EXPECT_NE(o.out, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileFailure,
    ::testing::Values(FailureCase{"ResultReadsConfig", {"result"}, Broken::ConfigIni, true, false},
                      FailureCase{"InfoReadsConfig", {"info", "Ann", "Desk"}, Broken::ConfigIni, true, false},
                      FailureCase{"ShowReadsKeyDat", {"show"}, Broken::KeyDat, true, false},
                      FailureCase{"AnalyzeReadsKeyDat", {"analyze"}, Broken::KeyDat, true, false},
                      FailureCase{"PathReadsKeyDat", {"path", "<tree>"}, Broken::KeyDat, true, false},
                      FailureCase{"ImportRecordsResult", {"import", "<tree>/host.vkd"}, Broken::ConfigIni,
                                  false, true},
                      FailureCase{"PathRecordsResult", {"path", "<tree>"}, Broken::ConfigIni, false, true}),
    CaseName());

} // namespace
