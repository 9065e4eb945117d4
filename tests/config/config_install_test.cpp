// import and update: the image folder, the checks of the source, and the
// installation without a shell.
#include "config_tool_fixture.h"

#include "config/image_search.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <climits>

using namespace config_text;

namespace {

TEST_F(ToolTest, ImportInstallsTheImageAndRecordsResult)
{
    write_file(env.config_file, "# kept\ninfo=Alice(Sales)\nResult=1\nLogLevel=2\n");
    std::string src = tmp.file("host.vkd");
    std::string bytes = fake_image("me") + std::string(100000, '\x5a');
    write_file(src, bytes);
    chmod(src.c_str(), 0644);
    for (const char* word : {"import", "update"}) {
        SCOPED_TRACE(word);
        write_file(env.config_file, "# kept\ninfo=Alice(Sales)\nResult=1\nLogLevel=2\n");
        // An earlier image: readable by all and not a fresh file.
        if (file_exists(env.image_path()))
            chmod(env.image_path().c_str(), 0644);
        EXPECT_EQ(run({word, src}), "");
        expect_installed(env.image_path(), bytes);
        EXPECT_EQ(config_text(), "# kept\ninfo=Alice(Sales)\nResult=11\nLogLevel=2\n");
        EXPECT_EQ(dir_names(env.cert_dir), std::vector<std::string>{"private.vkd"});
        bytes += "v2";
        write_file(src, bytes);
    }
    EXPECT_TRUE(commands.empty());
    EXPECT_TRUE(probed.empty());
    EXPECT_EQ(read_file(src), bytes); // the source is only read
}

// The folder is made before the arguments are looked at, writable by its
// owner only; an existing folder keeps its mode.
TEST_F(ToolTest, ImageFolderIsMadeWithoutWriteForOthers)
{
    std::string txt = tmp.file("a.txt");
    write_file(txt, fake_image("me"));
    {
        UmaskGuard mask(0); // the mode is the tool's own choice, not the caller's mask
        EXPECT_EQ(run({"import", txt}), line(kBadType));
    }
    EXPECT_EQ(mode_of(env.cert_dir), 0755u);
    EXPECT_EQ(dir_names(env.cert_dir), std::vector<std::string>{});

    ASSERT_EQ(rmdir(env.cert_dir.c_str()), 0);
    EXPECT_EQ(run({"path"}), line(kNoSource));
    EXPECT_EQ(mode_of(env.cert_dir), 0755u);

    ASSERT_EQ(chmod(env.cert_dir.c_str(), 0711), 0);
    std::string keyvkd = tmp.file("keyvkd"); // ends in "vkd": accepted
    write_file(keyvkd, fake_image("me"));
    EXPECT_EQ(run({"import", keyvkd}), "");
    EXPECT_EQ(mode_of(env.cert_dir), 0711u);
    expect_installed(env.image_path(), fake_image("me"));
    EXPECT_TRUE(commands.empty());

    // "vkd" must be the end, in lower case.
    for (const char* name : {"x.VKD", "x.vkd.bak", "vk"}) {
        write_file(tmp.file(name), "x");
        EXPECT_EQ(run({"import", tmp.file(name)}), line(kBadType)) << name;
    }
}

// Whoever may write into the image folder can swap the image: an existing
// folder open to the group or others is closed before the image goes in; a
// folder that is a link, or another user's, is refused with the path
// message, and nothing is installed, recorded or adopted. import and path
// alike.
TEST_F(ToolTest, ImageFolderOpenToOthersIsClosedOrRefused)
{
    const std::string cid = make_cid(2, "\x11\x22", 'K');
    const std::string tree = tmp.file("tree");
    ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    write_file(tree + "/host.vkd", fake_image(cid));
    const std::string elsewhere = tmp.file("elsewhere");
    const bool root = geteuid() == 0;
    struct Case {
        const char* name;
        std::function<void()> make;
        mode_t after;   // the folder's mode after an installation; 0: refused
    } cases[] = {
        {"mode 0777", [&] { ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0700), 0); chmod(env.cert_dir.c_str(), 0777); }, 0755},
        {"mode 1777", [&] { ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0700), 0); chmod(env.cert_dir.c_str(), 01777); }, 01755},
        {"mode 0770", [&] { ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0700), 0); chmod(env.cert_dir.c_str(), 0770); }, 0750},
        {"mode 0700", [&] { ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0700), 0); }, 0700},
        {"link to a folder",
         [&] {
             ASSERT_EQ(mkdir(elsewhere.c_str(), 0777), 0);
             ASSERT_EQ(symlink(elsewhere.c_str(), env.cert_dir.c_str()), 0);
         },
         0},
        {"another user's folder",
         [&] {
             ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0755), 0);
             ASSERT_EQ(chown(env.cert_dir.c_str(), 65534, 65534), 0);
         },
         0},
    };
    for (const Case& c : cases) {
        if (!root && std::string(c.name) == "another user's folder")
            continue;   // only root gives a folder away
        for (const char* word : {"import", "path"}) {
            SCOPED_TRACE(std::string(c.name) + ", " + word);
            std::filesystem::remove_all(env.cert_dir);
            std::filesystem::remove_all(elsewhere);
            c.make();
            write_file(env.config_file, "info=0\nResult=1\n");
            write_file(env.key_dat, cid);
            const std::string arg = std::string(word) == "import" ? tree + "/host.vkd" : tree;
            if (c.after) {
                EXPECT_EQ(run({word, arg}), "");
                EXPECT_EQ(mode_of(env.cert_dir), c.after);
                expect_installed(env.image_path(), fake_image(cid));
                EXPECT_EQ(config_text(), "info=0\nResult=11\n");
            } else {
                struct stat before;
                ASSERT_EQ(stat(env.cert_dir.c_str(), &before), 0);
                EXPECT_EQ(run({word, arg}), line(kBadPath));
                EXPECT_EQ(dir_names(env.cert_dir), std::vector<std::string>{}) << "nothing installed";
                EXPECT_EQ(config_text(), "info=0\nResult=1\n");
                struct stat after;
                ASSERT_EQ(stat(env.cert_dir.c_str(), &after), 0);
                EXPECT_EQ(after.st_mode, before.st_mode) << "a refused folder is left as it is";
            }
        }
    }
    std::filesystem::remove_all(env.cert_dir);
}

// Names that a shell would act on are only names: with the real shell
// runner in place, nothing runs and the image is installed.
TEST_F(ToolTest, ShellMetacharactersInTheSourceRunNothing)
{
    env.run_shell = [this](const char* cmd) {
        commands.push_back(cmd);
        return pox_system(cmd);
    };
    CwdGuard guard;
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    const std::vector<std::string> names = {
        "$(touch pwned).vkd", "`touch pwned`.vkd", "a\";touch pwned;\".vkd", "x;touch pwned;.vkd",
        "a b.vkd",            "-rf.vkd",           "--help.vkd",            "new\nline.vkd",
        "q'x'.vkd",           "back\\slash.vkd",   "a&&touch pwned||.vkd",  "*.vkd"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        std::string bytes = fake_image("me", name);
        write_file(tmp.file(name), bytes);
        write_file(env.config_file, "Result=0\n");
        // Relative, as an operator types it: a leading "-" stays a name.
        EXPECT_EQ(run({"import", name}), "");
        expect_installed(env.image_path(), bytes);
        EXPECT_EQ(config_text(), "Result=11\n");
        unlink(tmp.file(name).c_str());
    }
    EXPECT_FALSE(file_exists(tmp.file("pwned")));
    EXPECT_TRUE(commands.empty());
}

// A source path longer than any shell command buffer is installed whole,
// under the installed name and nowhere else.
TEST_F(ToolTest, LongSourcePathIsInstalledWhole)
{
    std::string dir = tmp.path();
    while (dir.size() < 1100) {
        dir += "/" + std::string(100, 'd');
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    }
    std::string src = dir + "/host.vkd";
    write_file(src, fake_image("long"));
    EXPECT_EQ(run({"import", src}), "");
    expect_installed(env.image_path(), fake_image("long"));
    EXPECT_EQ(dir_names(env.cert_dir), std::vector<std::string>{"private.vkd"});
}

// Only a regular file is installed. Anything else is refused at once,
// "Result" keeps its value and the installed image stays.
TEST_F(ToolTest, SourcesThatAreNotRegularFilesAreRefused)
{
    ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0755), 0);
    write_file(env.image_path(), "installed");
    chmod(env.image_path().c_str(), 0600);
    ASSERT_EQ(mkfifo(tmp.file("x.vkd").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(tmp.file("d.vkd").c_str(), 0755), 0);
    ASSERT_EQ(symlink("nowhere", tmp.file("dangling.vkd").c_str()), 0);
    ASSERT_EQ(symlink(tmp.file("x.vkd").c_str(), tmp.file("fifolink.vkd").c_str()), 0);
    for (const char* name : {"x.vkd", "d.vkd", "dangling.vkd", "fifolink.vkd"}) {
        SCOPED_TRACE(name);
        write_file(env.config_file, "info=0\nResult=1\n");
        EXPECT_EQ(run({"import", tmp.file(name)}), line(kBadPath));
        EXPECT_EQ(config_text(), "info=0\nResult=1\n");
        EXPECT_EQ(read_file(env.image_path()), "installed");
        EXPECT_EQ(dir_names(env.cert_dir), std::vector<std::string>{"private.vkd"});
    }
    // A device is refused too (and never read: /dev/zero would not end).
    EXPECT_EQ(run({"import", "/dev/zero"}), line(kBadType));
    std::string zlink = tmp.file("zero.vkd");
    ASSERT_EQ(symlink("/dev/zero", zlink.c_str()), 0);
    EXPECT_EQ(run({"import", zlink}), line(kBadPath));
    EXPECT_EQ(read_file(env.image_path()), "installed");
}

// A failed installation leaves "Result" as it was: here the installed name
// is a folder, so the new image cannot take its place.
TEST_F(ToolTest, FailedInstallationKeepsResult)
{
    ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(env.image_path().c_str(), 0755), 0);
    write_file(env.image_path() + "/inside", "kept");
    write_file(env.config_file, "Result=2\n");
    std::string src = tmp.file("host.vkd");
    write_file(src, fake_image("me"));
    EXPECT_EQ(run({"import", src}), line(kBadPath));
    EXPECT_EQ(config_text(), "Result=2\n");
    EXPECT_EQ(read_file(env.image_path() + "/inside"), "kept");
    EXPECT_EQ(dir_names(env.cert_dir), std::vector<std::string>{"private.vkd"});
}

// A link at the installed name is replaced by the image, never written
// through.
TEST_F(ToolTest, LinkAtTheInstalledNameIsReplacedNotFollowed)
{
    ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0755), 0);
    std::string victim = tmp.file("victim");
    write_file(victim, "precious");
    chmod(victim.c_str(), 0644);
    ASSERT_EQ(symlink(victim.c_str(), env.image_path().c_str()), 0);
    std::string src = tmp.file("host.vkd");
    write_file(src, fake_image("me"));
    EXPECT_EQ(run({"import", src}), "");
    expect_installed(env.image_path(), fake_image("me"));
    EXPECT_EQ(read_file(victim), "precious");
    EXPECT_EQ(mode_of(victim), 0644u);
}

// Installing the installed image onto itself keeps it whole.
TEST_F(ToolTest, InstallingTheInstalledImageOntoItself)
{
    ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0755), 0);
    std::string bytes = fake_image("me") + std::string(70000, '\x01');
    write_file(env.image_path(), bytes);
    write_file(env.config_file, "Result=1\n");
    EXPECT_EQ(run({"import", env.image_path()}), "");
    expect_installed(env.image_path(), bytes);
    EXPECT_EQ(config_text(), "Result=11\n");
    // A link to it, from another folder, is refused as every link is; the
    // image stays whole.
    std::string link = tmp.file("again.vkd");
    ASSERT_EQ(symlink(env.image_path().c_str(), link.c_str()), 0);
    EXPECT_EQ(run({"update", link}), line(kBadPath));
    expect_installed(env.image_path(), bytes);
    EXPECT_EQ(config_text(), "Result=11\n");
}

} // namespace
