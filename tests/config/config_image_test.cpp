// path and analyze with real key device images from the image builder and
// the real identity reader.
#include "config_tool_fixture.h"

#include "keydev/kmxdev.h"
#include "tools/imgbuild/imgbuild.h"

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

} // namespace
