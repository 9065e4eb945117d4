// The command line of the tool: argument rules, the texts of show, analyze,
// result and info, and the shell commands of start and stop.
#include "config_tool_fixture.h"

#include "common/ConfigBox.h"
#include "common/config_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

using namespace config_text;

namespace {

struct ArgCase {
    const char* name;
    std::vector<std::string> words;
    std::string printed;
    std::vector<std::string> commands; // "<daemon>" stands for the daemon path
};

void PrintTo(const ArgCase& c, std::ostream* os) { *os << c.name; }

class ToolArgs : public ToolTest, public ::testing::WithParamInterface<ArgCase> {};

TEST_P(ToolArgs, PrintsAndRuns)
{
    const ArgCase& c = GetParam();
    write_file(env.config_file, "info=0\nResult=1\n");
    std::vector<std::string> words;
    for (const std::string& w : c.words)
        words.push_back(w == "<missing>" ? tmp.file("missing.vkd") : w == "<dir>" ? tmp.path() : w);
    EXPECT_EQ(run(words), c.printed);
    std::vector<std::string> want;
    for (const std::string& w : c.commands)
        want.push_back(w == "<daemon>" ? env.daemon : w);
    EXPECT_EQ(commands, want);
    // Nothing but a recorded user or an installation changes the file.
    EXPECT_EQ(config_text(), "info=0\nResult=1\n");
    EXPECT_FALSE(file_exists(env.image_path()));
}

const ArgCase kArgCases[] = {
    {"NoCommand", {}, line(kBadCommand), {}},
    {"FourArguments", {"info", "a", "b", "c"}, line(kBadCommand), {}},
    {"UnknownWord", {"bogus"}, "", {}},
    {"WordsAreCaseSensitive", {"Start"}, "", {}},
    {"ImportWithoutFile", {"import"}, line(kNoSource), {}},
    {"UpdateWithTwoFiles", {"update", "a.vkd", "b.vkd"}, line(kNoSource), {}},
    {"PathWithoutFolder", {"path"}, line(kNoSource), {}},
    {"ImportOfMissingFile", {"import", "<missing>"}, line(kBadPath), {}},
    {"InfoWithOneArgument", {"info", "Alice"}, line(kBadCommand), {}},
    {"StartKillsThenRuns", {"start"}, "", {kKillQuiet, "<daemon>"}},
    {"StartIgnoresArguments", {"start", "x", "y"}, "", {kKillQuiet, "<daemon>"}},
    {"Stop", {"stop"}, "", {kKill}},
    {"ShowWithoutIdentifier", {"show"}, line(kNoCid), {}},
    {"AnalyzeWithoutImage", {"analyze"}, line(kNoImage), {}},
    {"PathWithoutIdentifier", {"path", "<dir>"}, line(kNoCid), {}},
    {"Result", {"result", "extra"}, line(kResultOk), {}},
};

INSTANTIATE_TEST_SUITE_P(Config, ToolArgs, ::testing::ValuesIn(kArgCases), CaseName());

// Every fixed text of the tool, byte for byte as written here: trailing
// blanks and the "\n," endings are part of the texts. The other tests build
// their expectations from these constants.
TEST(ToolTexts, AreTheseBytes)
{
    const struct {
        const char* constant;
        const char* bytes;
    } texts[] = {
        {kBadCommand, "请输入正确命令！ "},
        {kNoSource, "请输入相关证书的源路经！ "},
        {kBadPath, "证书路径错误！ "},
        {kBadType, "证书类型暂不支持！"},
        {kNoCid, "还未获取该机器的唯一标识。"},
        {kNoMatch, "未匹配到当前机器私钥文件！"},
        {kNoImage, "不存在证书，请导入证书！"},
        {kAnalyzeWithCid, "当前证书公钥：%s，该机器的唯一标识是：%s。\n"},
        {kAnalyze, "当前证书公钥：%s。\n"},
        {kShow, "该机器的唯一标识是：TYPE=SM2-KMX,CID=%s。\n,"},
        {kUserKnown, "当前已有使用者信息：%s。\n,"},
        {kResultFailed, "认证失败！"},
        {kResultOk, "认证成功！"},
        {kResultKeyError, "密钥错误！"},
        {kResultBadMac, "非认证mac！"},
        {kResultWaiting, "等待认证！"},
        {kKeyDatNotSaved, "机器唯一标识未能写入 %s！\n"},
        {kScratchNotMade, "无法在 %s 中建立临时目录：%s！\n"},
        {kCandidateNotCopied, "无法复制候选证书 %s：%s！\n"},
        {kConfigNotLocked, "无法取得配置文件的锁 %s：%s！\n"},
        {kKillQuiet, "killall -9 Tarnhold > /dev/null 2>&1"},
        {kKill, "killall -9 Tarnhold"},
    };
    for (const auto& t : texts)
        EXPECT_EQ(std::string(t.constant), std::string(t.bytes));
    // One of them spelt out in UTF-8 bytes, so an editor's normalisation of
    // the source cannot hide a change of the full-width marks.
    EXPECT_EQ(std::string(kBadCommand), "\xe8\xaf\xb7\xe8\xbe\x93\xe5\x85\xa5\xe6\xad\xa3\xe7\xa1\xae"
                                        "\xe5\x91\xbd\xe4\xbb\xa4\xef\xbc\x81 ");
}

TEST_F(ToolTest, ResultTexts)
{
    const struct {
        const char* file;
        const char* text;
    } cases[] = {
        {"Result=0\n", kResultFailed},   {"Result=1\n", kResultOk},
        {"Result=2\n", kResultKeyError}, {"Result=3\n", kResultBadMac},
        {"Result=11\n", kResultWaiting}, {"Result=7\n", kResultWaiting},
        {"Result=-1\n", kResultWaiting}, {"info=0\n", kResultFailed},
    };
    for (const auto& c : cases) {
        write_file(env.config_file, c.file);
        EXPECT_EQ(run({"result"}), line(c.text)) << c.file;
    }
    unlink(env.config_file.c_str());
    EXPECT_EQ(run({"result"}), line(kResultFailed));
    EXPECT_FALSE(file_exists(env.config_file));
}

TEST_F(ToolTest, ShowPrintsTheIdentifierInHex)
{
    std::string cid = make_cid(2, "\xab\x0f", 'A');
    write_file(env.key_dat, cid);
    std::string out = run({"show"});
    EXPECT_EQ(out, "该机器的唯一标识是：TYPE=SM2-KMX,CID=" +
                       getHex(reinterpret_cast<const unsigned char*>(cid.data()), CID_LEN) +
                       "。\n,");
    EXPECT_NE(out.find("CID=02AB0F"), std::string::npos);

    // A first byte of zero means no identifier, whatever follows.
    write_file(env.key_dat, std::string(1, '\0') + cid.substr(1));
    EXPECT_EQ(run({"show"}), line(kNoCid));
}

TEST_F(ToolTest, AnalyzeShowsTheInstalledIdentity)
{
    ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0755), 0);
    std::string ident = "host-identity\x01\xff";
    write_file(env.image_path(), fake_image(ident));
    std::string id_hex = getHex(reinterpret_cast<const unsigned char*>(ident.data()),
                                static_cast<int>(ident.size()));

    EXPECT_EQ(run({"analyze"}), "当前证书公钥：" + id_hex + "。\n");

    std::string cid = make_cid(1, "xy", 'a');
    write_file(env.key_dat, cid);
    EXPECT_EQ(run({"analyze"}),
              "当前证书公钥：" + id_hex + "，该机器的唯一标识是：" +
                  getHex(reinterpret_cast<const unsigned char*>(cid.data()), CID_LEN) + "。\n");
    ASSERT_EQ(probed.size(), 2u);
    EXPECT_EQ(probed[0], env.image_path());
}

// A device that cannot be read has no identity: nothing is shown for it
// (not the zero fill of the buffer), also when the call wrote into it.
TEST_F(ToolTest, AnalyzeOfAnUnreadableDeviceShowsNoIdentity)
{
    ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0755), 0);
    write_file(env.key_dat, make_cid(1, "xy", 'a'));
    std::string cid_hex = getHex(reinterpret_cast<const unsigned char*>(read_file(env.key_dat).data()),
                                 CID_LEN);
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant);
        if (variant == 0) {
            write_file(env.image_path(), std::string(65536, 'j')); // not an image
        } else {
            write_file(env.image_path(), fake_image("half-read"));
            fail_status = 4001; // identity written, status a failure
        }
        EXPECT_EQ(run({"analyze"}), "当前证书公钥：，该机器的唯一标识是：" + cid_hex + "。\n");
    }
}

TEST_F(ToolTest, InfoRecordsTheUserOnce)
{
    write_file(env.config_file, "# settings\nVersion=1.0\ninfo = 0\nResult=3\n");
    EXPECT_EQ(run({"info", "Alice", "Sales"}), "");
    EXPECT_EQ(config_text(), "# settings\nVersion=1.0\ninfo=Alice(Sales)\nResult=3\n");

    EXPECT_EQ(run({"info", "Bob", "IT"}), "当前已有使用者信息：Alice(Sales)。\n,");
    EXPECT_EQ(config_text(), "# settings\nVersion=1.0\ninfo=Alice(Sales)\nResult=3\n");

    // Without the key, or without the file, nothing is recorded or created.
    write_file(env.config_file, "Result=3\n");
    EXPECT_EQ(run({"info", "Bob", "IT"}), "当前已有使用者信息：。\n,");
    EXPECT_EQ(config_text(), "Result=3\n");
    unlink(env.config_file.c_str());
    EXPECT_EQ(run({"info", "Bob", "IT"}), "当前已有使用者信息：。\n,");
    EXPECT_FALSE(file_exists(env.config_file));
}

// The daemon can send a description of at most 128 bytes; anything longer
// is refused and nothing is recorded.
TEST_F(ToolTest, InfoRefusesADescriptionTheDaemonCannotSend)
{
    const struct {
        std::string name, detail;
        bool accepted;
    } cases[] = {
        {std::string(63, 'n'), std::string(63, 'd'), true},   // 128 bytes
        {std::string(64, 'n'), std::string(63, 'd'), false},  // 129 bytes
        {"张三丰", "北京市海淀区信息中心网络安全部第三研究室高级工程师兼任系统管理员负责人及其助理员", false}, // 131 bytes,
        {"", "", true},                                        // "()"
    };
    for (const auto& c : cases) {
        std::string desc = c.name + "(" + c.detail + ")";
        SCOPED_TRACE(desc.size());
        write_file(env.config_file, "info=0\n");
        EXPECT_EQ(run({"info", c.name, c.detail}), c.accepted ? "" : line(kBadCommand));
        EXPECT_EQ(config_text(), c.accepted ? "info=" + desc + "\n" : "info=0\n");
    }
}

// The daemon writes "Result" under the configuration lock while info runs: the
// description is never lost to a load...save that started before it.
TEST_F(ToolTest, InfoSurvivesAStreamOfResultWrites)
{
    write_file(env.config_file, "info=0\nResult=0\n");
    int stop_pipe[2];
    ASSERT_EQ(pipe(stop_pipe), 0);
    std::fflush(stdout);
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        close(stop_pipe[1]);
        fcntl(stop_pipe[0], F_SETFL, O_NONBLOCK);
        for (int i = 0;; ++i) {
            char b;
            if (read(stop_pipe[0], &b, 1) == 0)
                _exit(0);
            ConfigLock lock(mavo.c_str());
            CConfigBox box;
            box.load(env.config_file);
            box.set_property_as_int("Result", i % 4);
            box.save();
        }
    }
    close(stop_pipe[0]);
    int lost = 0;
    for (int round = 0; round < 200; ++round) {
        {
            ConfigLock lock(mavo.c_str());
            CConfigBox box;
            box.load(env.config_file);
            box.set_property("info", "0");
            box.save();
        }
        std::string name = "user" + std::to_string(round);
        run({"info", name, "x"});
        CConfigBox box;
        box.load(env.config_file);
        if (box.get_property("info", "") != name + "(x)")
            ++lost;
    }
    close(stop_pipe[1]);
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(lost, 0);
}

} // namespace
