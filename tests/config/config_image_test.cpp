// path and analyze with real key device images from the image builder and
// the real identity reader.
#include "config_tool_fixture.h"

#include "config/image_search.h"
#include "keydev/kmxdev.h"
#include "tools/imgbuild/imgbuild.h"
#include "vcard/acos.h"
#include "vcard/dazi.h"

#include <linux/magic.h>
#include <sys/vfs.h>

#include <algorithm>
#include <map>

using namespace config_text;

namespace {

std::string hex(const std::string& s)
{
    return getHex(reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
}

class RealImageTest : public ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        env.get_id = kmx_getid;
        std::string err;
        ASSERT_EQ(imgbuild::make_soft_matrix(5, "CFGTEST", 8, 8, tmp.path(), nullptr, &secret, &err),
                  0)
            << err;
        cid = make_cid(2, "\x01\x02", 'M');
        tree = tmp.file("tree");
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    }

    std::string host_image(const std::string& path, const std::string& identity)
    {
        imgbuild::HostSpec spec;
        spec.identity.assign(identity.begin(), identity.end());
        spec.route = imgbuild::Route::Soft;
        spec.secretMatrix = secret;
        std::string err;
        EXPECT_EQ(imgbuild::make_host(spec, path, &err), 0) << err;
        return read_file(path);
    }

    std::string secret, cid, tree;
};

TEST_F(RealImageTest, PathAdoptsTheHostImageAndAnalyzeShowsIt)
{
    // The image carries the identity with other bytes 1 and 2 than Key.dat.
    std::string ident = cid;
    ident[1] = '\x55';
    ident[2] = '\x66';
    write_file(env.key_dat, cid);
    write_file(env.config_file, "info=0\nResult=0\n");
    ASSERT_EQ(mkdir((tree + "/a").c_str(), 0755), 0);
    std::map<std::string, std::string> files;
    files[tree + "/a/host.vkd"] = host_image(tree + "/a/host.vkd", ident);
    files[tree + "/decoy.vkd"] = host_image(tree + "/decoy.vkd", make_cid(2, "\x01\x02", 'N'));
    std::string err;
    ASSERT_EQ(imgbuild::make_blank(tree + "/blank.vkd", &err), 0) << err;
    files[tree + "/blank.vkd"] = read_file(tree + "/blank.vkd");
    ASSERT_EQ(imgbuild::make_not_image(tree + "/junk.vkd", &err), 0) << err;
    files[tree + "/junk.vkd"] = read_file(tree + "/junk.vkd");
    write_file(tree + "/big.vkd", std::string(65536, '\0'));
    files[tree + "/big.vkd"] = read_file(tree + "/big.vkd");

    EXPECT_EQ(run({"path", tree}), "");
    expect_installed(env.image_path(), files[tree + "/a/host.vkd"]);
    EXPECT_EQ(read_file(env.key_dat), ident);
    EXPECT_EQ(config_text(), "info=0\nResult=11\n");
    for (const auto& f : files)
        EXPECT_EQ(read_file(f.first), f.second) << f.first;
    EXPECT_EQ(dir_names(scratch), std::vector<std::string>{});

    EXPECT_EQ(run({"analyze"}),
              "当前证书公钥：" + hex(ident) + "，该机器的唯一标识是：" + hex(ident) + "。\n");
}

TEST_F(RealImageTest, AnalyzeOfImagesWithoutAnIdentity)
{
    ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0755), 0);
    std::string err;
    // No key in slot 1, then a file no card binds to.
    ASSERT_EQ(imgbuild::make_blank(env.image_path(), &err), 0) << err;
    EXPECT_EQ(run({"analyze"}), "当前证书公钥：。\n");
    ASSERT_EQ(imgbuild::make_not_image(env.image_path(), &err), 0) << err;
    EXPECT_EQ(run({"analyze"}), "当前证书公钥：。\n");

    // A short identity is shown as it is, and never adopted by path.
    std::string shortid = "operator@site";
    host_image(tree + "/short.vkd", shortid);
    ASSERT_EQ(run({"import", tree + "/short.vkd"}), "");
    EXPECT_EQ(run({"analyze"}), "当前证书公钥：" + hex(shortid) + "。\n");
    write_file(env.key_dat, std::string(1, shortid[0]) + "xx" + shortid.substr(3) +
                                std::string(CID_LEN - shortid.size(), '\0'));
    EXPECT_EQ(run({"path", tree}), line(kNoMatch));
}

// A private folder on a disk file system (under the build folder, else
// under /var/tmp). A disk file system hands a freed inode number out again
// at once, which tmpfs does not: only there does a probe file that takes
// the place of the one probed before look like the same file to the card.
class DiskDir {
public:
    DiskDir()
    {
        for (const char* parent : {TARN_BINARY_DIR, "/var/tmp"}) {
            std::string t = std::string(parent) + "/config-disk-XXXXXX";
            std::vector<char> tmpl(t.begin(), t.end());
            tmpl.push_back('\0');
            if (mkdtemp(tmpl.data()) == nullptr)
                continue;
            path_ = tmpl.data();
            if (on_disk())
                return;
            rmdir(path_.c_str());
            path_.clear();
        }
    }
    ~DiskDir()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    DiskDir(const DiskDir&) = delete;
    DiskDir& operator=(const DiskDir&) = delete;
    const std::string& path() const { return path_; }
    bool on_disk() const
    {
        struct statfs fs;
        return !path_.empty() && statfs(path_.c_str(), &fs) == 0 && fs.f_type != TMPFS_MAGIC &&
               fs.f_type != RAMFS_MAGIC;
    }

private:
    std::string path_;
};

// The card's device status of the image at path says "blocked".
void block_image(const std::string& path)
{
    ASSERT_EQ(SetVEFlashFile(path.c_str()), 0);
    _dev_info_ d;
    ASSERT_EQ(RWDeviceStatus(0, &d), 0);
    d.blocked = 1;
    ASSERT_EQ(RWDeviceStatus(1, &d), 0);
    InitCosSys(); // the card takes the status from the image, as at a first binding
}

// Images that the card refuses or that belong to another host, probed
// before the host's own in every order, with the probes on a disk file
// system: whatever the card kept of the one probed before, the host's image
// is adopted every time.
TEST_F(RealImageTest, PathAdoptsTheHostImageAfterBlockedWrongPinAndJunkImages)
{
    DiskDir disk;
    ASSERT_TRUE(disk.on_disk()) << disk.path();
    env.scratch_dir = disk.path();
    std::string ident = cid;
    ident[1] = '\x55';
    ident[2] = '\x66';
    const std::string other = make_cid(2, "\x01\x02", 'W');

    std::string err;
    const std::string made = tmp.file("made");
    ASSERT_EQ(mkdir(made.c_str(), 0755), 0);
    const std::string host = host_image(made + "/host", ident);
    host_image(made + "/blocked", other);
    block_image(made + "/blocked");
    {
        char id[100];
        size_t len = sizeof id;
        ASSERT_EQ(kmx_getid(id, len, &(made + "/blocked")[0]), 1008) << "card blocked";
    }
    host_image(made + "/wrongpin", other);
    ASSERT_EQ(imgbuild::set_user_pin(made + "/wrongpin", "11223344", &err), 0) << err;
    std::string junk(65536, '\0');
    for (size_t i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<char>((i * 131 + 7) >> 3);
    const std::map<std::string, std::string> decoys = {
        {"blocked", read_file(made + "/blocked")},
        {"junk", junk},
        {"wrongpin", read_file(made + "/wrongpin")},
    };

    // Four candidates, named once; the search lists them in directory order,
    // so the contents are laid out by that order: the host's image last.
    for (const char* n : {"c1.vkd", "c2.vkd", "c3.vkd", "c4.vkd"})
        write_file(tree + "/" + n, "");
    std::vector<std::string> order;
    recursion_scan_dir_file(tree.c_str(), order, ".vkd");
    ASSERT_EQ(order.size(), 4u);

    std::vector<std::string> names;
    for (const auto& d : decoys)
        names.push_back(d.first);
    do {
        SCOPED_TRACE(names[0] + "," + names[1] + "," + names[2]);
        for (size_t i = 0; i < names.size(); ++i)
            write_file(order[i], decoys.at(names[i]));
        write_file(order[3], host);
        write_file(env.key_dat, cid);
        write_file(env.config_file, "info=0\nResult=0\n");
        EXPECT_EQ(run({"path", tree}), "");
        expect_installed(env.image_path(), host);
        EXPECT_EQ(read_file(env.key_dat), ident);
        EXPECT_EQ(config_text(), "info=0\nResult=11\n");
        EXPECT_EQ(dir_names(disk.path()), std::vector<std::string>{});
        unlink(env.image_path().c_str());
    } while (std::next_permutation(names.begin(), names.end()));
}

} // namespace
