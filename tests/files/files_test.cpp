// Whole-file writes that never leave a mixture, and bounded whole-file reads.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "files/files.hpp"
#include "support/test_support.hpp"

namespace {

mode_t mode_of(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool only_entry_is(const std::string& dir, const std::string& name)
{
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        n += e.path().filename() == name ? 1 : 100;
    return n == 1;
}

// A world-writable umask must not open a save to everyone, and a file that
// was open to everyone becomes private when it is replaced.
TEST(Files, ReplacementHasExactlyTheModeAskedForWhateverTheUmask)
{
    test::TempDir dir;
    const std::string path = dir.file("world.dat");
    test::write_file(path, "old");
    chmod(path.c_str(), 0666);
    mode_t old_mask = umask(0);
    std::string_view pieces[] = { "new ", "", "contents" };
    EXPECT_TRUE(write_file_atomically(path, pieces, 0600));
    umask(077);
    EXPECT_TRUE(write_file_atomically(dir.file("b"), "b", 0644));
    umask(old_mask);
    EXPECT_EQ(test::read_file(path), "new contents");
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(mode_of(dir.file("b")), 0644u);
}

TEST(Files, AFailedReplacementKeepsTheOldFileAndLeavesNoTemporary)
{
    test::TempDir dir;
    // rename cannot put a file over a directory that holds something.
    const std::string path = dir.file("taken");
    std::filesystem::create_directories(path + "/inside");
    EXPECT_FALSE(write_file_atomically(path, "x", 0600));
    EXPECT_TRUE(std::filesystem::is_directory(path + "/inside"));
    EXPECT_TRUE(only_entry_is(dir.path(), "taken"));
    EXPECT_FALSE(write_file_atomically(dir.file("no/such/dir/file"), "x", 0600));
}

TEST(Files, ReadsOnlyWholeRegularFilesWithinTheBound)
{
    test::TempDir dir;
    test::write_file(dir.file("f"), "12345");
    EXPECT_EQ(read_whole_file(dir.file("f"), 5), "12345");
    EXPECT_EQ(read_whole_file(dir.file("f"), 4), std::nullopt);
    test::write_file(dir.file("empty"), "");
    EXPECT_EQ(read_whole_file(dir.file("empty"), 5), "");
    EXPECT_EQ(read_whole_file(dir.file("missing"), 5), std::nullopt);
    EXPECT_EQ(read_whole_file(dir.path(), 1 << 20), std::nullopt);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(read_whole_file(dir.file("fifo"), 5), std::nullopt);  // returns at once, no writer needed
}

}  // namespace
