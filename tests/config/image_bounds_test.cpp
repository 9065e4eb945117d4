// The one size bound of every image the tool takes (import, update and the
// candidates of path): a regular file of at least the smallest image the
// card binds and at most 16 MiB, copied no further than the size checked.
#include "config_tool_fixture.h"

#include "config/image_install.h"
#include "vcard/eflash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace config_text;

namespace {

static_assert(IMAGE_MIN_SIZE == FLASH_FS_SIZE, "the tool takes the images the card binds");

// A file of the given size that begins like an image; the rest is a hole.
void sized_file(const std::string& path, off_t size)
{
    write_file(path, fake_image("me").substr(0, 64));
    ASSERT_EQ(truncate(path.c_str(), size), 0) << path;
}

TEST_F(ToolTest, ImportTakesOnlyFilesOfAnImageSize)
{
    const struct {
        const char* name;
        off_t size; // -1: a link to a pseudo-file of /proc, which reports 0
        bool taken;
    } cases[] = {
        {"SmallestImage", IMAGE_MIN_SIZE, true},
        {"LargestImage", IMAGE_MAX_SIZE, true},
        {"Empty", 0, false},
        {"OneByteShort", IMAGE_MIN_SIZE - 1, false},
        {"OneByteOver", IMAGE_MAX_SIZE + 1, false},
        {"Sparse300MiB", off_t(300) << 20, false},
        {"ProcPseudoFile", -1, false},
    };
    ASSERT_EQ(mkdir(env.cert_dir.c_str(), 0755), 0);
    for (const auto& c : cases) {
        for (const char* word : {"import", "update"}) {
            SCOPED_TRACE(std::string(c.name) + " " + word);
            write_file(env.image_path(), "installed");
            chmod(env.image_path().c_str(), 0600);
            write_file(env.config_file, "Result=1\n");
            std::string src = tmp.file(std::string(c.name) + ".vkd");
            unlink(src.c_str());
            if (c.size < 0) {
                ASSERT_EQ(symlink("/proc/self/status", src.c_str()), 0);
            } else {
                sized_file(src, c.size);
            }

            if (c.taken) {
                EXPECT_EQ(run({word, src}), "");
                expect_installed(env.image_path(), read_file(src));
                EXPECT_EQ(config_text(), "Result=11\n");
            } else {
                EXPECT_EQ(run({word, src}), line(kBadPath));
                EXPECT_EQ(read_file(env.image_path()), "installed");
                EXPECT_EQ(config_text(), "Result=1\n");
            }
            EXPECT_EQ(dir_names(env.cert_dir), std::vector<std::string>{"private.vkd"});
        }
    }
}

// The copy reads the size that was checked and no byte more: a file that
// no longer has that size (it grew, or it ended early) is refused, and a
// destination that takes no more bytes is told apart from both.
TEST(ImageCopy, ReadsNoMoreThanTheCheckedSize)
{
    TmpDir tmp;
    const std::string src_path = tmp.file("src");
    std::string bytes(100000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    write_file(src_path, bytes);
    int src = open(src_path.c_str(), O_RDONLY);
    ASSERT_GE(src, 0);
    ASSERT_EQ(lseek(src, 500, SEEK_SET), 500); // the file offset plays no part

    const struct {
        const char* name;
        off_t checked;
        CopyResult want;
    } cases[] = {
        {"SameSize", 100000, CopyResult::Ok},
        {"GrewSinceChecked", 70000, CopyResult::SourceRefused},
        {"EndsEarly", 200000, CopyResult::SourceRefused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dst_path = tmp.file(std::string("dst-") + c.name);
        int dst = open(dst_path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(dst, 0);
        EXPECT_EQ(copy_file_fd(src, c.checked, dst), c.want);
        close(dst);
        const std::string copied = read_file(dst_path);
        EXPECT_LE(copied.size(), static_cast<size_t>(c.checked));
        EXPECT_EQ(copied, bytes.substr(0, copied.size()));
        if (c.want == CopyResult::Ok) {
            EXPECT_EQ(copied, bytes);
        }
    }

    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    errno = 0;
    EXPECT_EQ(copy_file_fd(src, 100000, full), CopyResult::WriteFailed);
    EXPECT_EQ(errno, ENOSPC);
    close(full);
    close(src);
}

} // namespace
