// path: the image whose identity matches the machine identifier is found in
// a tree, probed on private copies only, installed as the bytes that matched
// and its identity adopted into Key.dat.
#include "config_tool_fixture.h"

#include <sys/stat.h>

#include <map>

using namespace config_text;

namespace {

class PathTest : public ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        cid = make_cid(3, "\x11\x22", 'K');
        write_file(env.key_dat, cid);
        // The image's identity: same count byte and tail, other bytes 1 and 2.
        ident = cid;
        ident[1] = '\x7e';
        ident[2] = '\x7f';
        write_file(env.config_file, "info=Alice(Sales)\nResult=1\n");
        tree = tmp.file("tree");
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    }

    // Every file below tree (links by their own target text), for a
    // before/after comparison.
    std::map<std::string, std::string> snapshot()
    {
        std::map<std::string, std::string> m;
        for (auto it = std::filesystem::recursive_directory_iterator(tree);
             it != std::filesystem::recursive_directory_iterator(); ++it) {
            std::string p = it->path().string();
            struct stat st;
            lstat(p.c_str(), &st);
            if (S_ISLNK(st.st_mode))
                m[p] = "link:" + std::filesystem::read_symlink(p).string();
            else if (S_ISREG(st.st_mode))
                m[p] = read_file(p) + "/mode" + std::to_string(st.st_mode & 07777);
            else
                m[p] = "type" + std::to_string(st.st_mode & S_IFMT);
        }
        return m;
    }

    // Probes ran on copies in a private folder outside the tree, which is
    // gone afterwards.
    void expect_private_probes()
    {
        for (size_t i = 0; i < probed.size(); ++i) {
            EXPECT_EQ(probed[i].compare(0, scratch.size() + 1, scratch + "/"), 0) << probed[i];
            EXPECT_EQ(probe_folder_modes[i], 0700u) << probed[i];
        }
        EXPECT_EQ(dir_names(scratch), std::vector<std::string>{});
    }

    void expect_installed_image(const std::string& bytes) { expect_installed(env.image_path(), bytes); }

    std::string cid, ident, tree;
};

// The operator's tree: the host's image among a decoy for another identity,
// junk, a FIFO, a backup, links and an unreadable folder.
TEST_F(PathTest, AdoptsTheMatchingImageFromAMixedTree)
{
    std::string good = fake_image(ident, std::string(5000, 'G'));
    std::string other = make_cid(3, "\x11\x22", 'Q');
    ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((tree + "/locked").c_str(), 0755), 0);
    write_file(tree + "/sub/host.vkd", good);
    write_file(tree + "/decoy.vkd", fake_image(other));
    write_file(tree + "/junk.vkd", std::string(65536, '\0'));
    write_file(tree + "/x.vkd.bak", fake_image(other, "bak"));
    write_file(tree + "/locked/hidden.vkd", fake_image(other, "locked"));
    ASSERT_EQ(mkfifo((tree + "/x.vkd").c_str(), 0644), 0);
    ASSERT_EQ(symlink("decoy.vkd", (tree + "/link.vkd").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", (tree + "/zero.vkd").c_str()), 0);
    write_file(tree + "/notes.txt", fake_image(ident));
    auto before = snapshot();
    chmod((tree + "/locked").c_str(), 0);

    std::string out = run({"path", tree});
    chmod((tree + "/locked").c_str(), 0755);

    // Root reads the locked folder all the same; an ordinary user is told.
    EXPECT_TRUE(out == "" || out == "can't open dir.\n") << out;
    expect_installed_image(good);
    EXPECT_EQ(read_file(env.key_dat), ident);
    EXPECT_EQ(config_text(), "info=Alice(Sales)\nResult=11\n");
    EXPECT_EQ(snapshot(), before);
    expect_private_probes();
    EXPECT_FALSE(probed.empty());
    EXPECT_TRUE(commands.empty());
}

// A link that the search returns is never opened, also when it names an
// image: what it names could be swapped for a device at any time.
TEST_F(PathTest, LinkToAnImageIsNotOpened)
{
    std::string target = tmp.file("elsewhere-image");
    write_file(target, fake_image(ident, "via link"));
    ASSERT_EQ(symlink(target.c_str(), (tree + "/host.vkd").c_str()), 0);
    const std::string key_dat = read_file(env.key_dat);
    EXPECT_EQ(run({"path", tree}), line(kNoMatch));
    EXPECT_FALSE(file_exists(env.image_path()));
    EXPECT_TRUE(probed.empty());
    EXPECT_EQ(read_file(target), fake_image(ident, "via link"));
    EXPECT_EQ(read_file(env.key_dat), key_dat);
}

// Near misses match nothing: Key.dat, "Result" and the image folder stay.
TEST_F(PathTest, NearMissesAreNotAdopted)
{
    std::string longer = ident + "X";           // 40 bytes with the right head
    std::string count = ident;                  // another MAC count
    count[0] = 4;
    std::string tail = ident;                   // last byte differs
    tail[CID_LEN - 1] ^= 1;
    std::string shorter = ident.substr(0, 38);  // 38 bytes
    const struct {
        const char* name;
        std::string bytes;
        int status;
        bool probed;
    } cases[] = {
        {"LongerIdentity", fake_image(longer), 0, true},
        {"OtherCount", fake_image(count), 0, true},
        {"OtherTail", fake_image(tail), 0, true},
        {"ShorterIdentity", fake_image(shorter), 0, true},
        {"RightIdentityButFailedCall", fake_image(ident), 4001, true},
        {"NotAnImage", std::string(65536, 'z'), 0, true},
        // Smaller than any image the card binds: not even copied.
        {"RightIdentityOneByteShort", fake_image(ident).substr(0, IMAGE_MIN_SIZE - 1), 0, false},
        {"Empty", "", 0, false},
    };
    // Far bigger than any image (sparse): not even copied for a probe.
    write_file(tree + "/huge.vkd", fake_image(ident));
    ASSERT_EQ(truncate((tree + "/huge.vkd").c_str(), 17 << 20), 0);
    size_t probes = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(tree + "/c.vkd", c.bytes);
        fail_status = c.status;
        EXPECT_EQ(run({"path", tree}), line(kNoMatch));
        EXPECT_EQ(read_file(env.key_dat), cid);
        EXPECT_EQ(config_text(), "info=Alice(Sales)\nResult=1\n");
        EXPECT_EQ(dir_names(env.cert_dir), std::vector<std::string>{});
        EXPECT_EQ(read_file(tree + "/c.vkd"), c.bytes);
        probes += c.probed ? 1 : 0;
        EXPECT_EQ(probed.size(), probes);
    }
    expect_private_probes();
}

// The candidate is swapped for another file while it is probed: what gets
// installed is what matched, not what the name holds afterwards.
TEST_F(PathTest, InstallsTheBytesThatMatched)
{
    std::string good = fake_image(ident, "matched");
    write_file(tree + "/host.vkd", good);
    on_probe = [this](const char*) { write_file(tree + "/host.vkd", "swapped in by someone"); };
    EXPECT_EQ(run({"path", tree}), "");
    expect_installed_image(good);
    EXPECT_EQ(read_file(env.key_dat), ident);
}

TEST_F(PathTest, NamesAndFoldersThatHoldNothing)
{
    // A plain file as the folder: the search says so and nothing matches.
    std::string plain = tmp.file("plain");
    write_file(plain, fake_image(ident));
    EXPECT_EQ(run({"path", plain}), "can't open dir.\n" + line(kNoMatch));
    // An empty folder.
    EXPECT_EQ(run({"path", tree}), line(kNoMatch));
    // A missing one.
    EXPECT_EQ(run({"path", tmp.file("missing")}), line(kBadPath));
    // No identifier: nothing is searched.
    write_file(tree + "/host.vkd", fake_image(ident));
    unlink(env.key_dat.c_str());
    EXPECT_EQ(run({"path", tree}), line(kNoCid));
    EXPECT_TRUE(probed.empty());
    EXPECT_EQ(config_text(), "info=Alice(Sales)\nResult=1\n");
}

} // namespace
