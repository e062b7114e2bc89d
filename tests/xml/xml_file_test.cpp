// readWholeFile and writeWholeFile on real files in a scratch directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "xml/ScratchFiles.h"
#include "xml/WholeFile.h"

namespace ambrel {
namespace {

namespace fs = std::filesystem;

using testing::slurp;

class WholeFileTest : public ::testing::Test {
protected:
    testing::ScratchDir scratch_{"ambrel-xml-file"};
    const fs::path dir_ = scratch_.path();
};

TEST_F(WholeFileTest, WritesAndReadsRawBytes) {
    const std::string data("line\r\nnext\n\0\xff end", 17);
    const fs::path p = dir_ / "data.bin";
    ASSERT_TRUE(writeWholeFile(p, data));
    EXPECT_EQ(slurp(p), data);
    std::string back = "previous";
    ASSERT_TRUE(readWholeFile(p, back));
    EXPECT_EQ(back, data);
}

TEST_F(WholeFileTest, WriteTruncatesAnExistingFile) {
    const fs::path p = dir_ / "f.txt";
    ASSERT_TRUE(writeWholeFile(p, std::string(1000, 'x')));
    ASSERT_TRUE(writeWholeFile(p, "short"));
    EXPECT_EQ(slurp(p), "short");
    ASSERT_TRUE(writeWholeFile(p.c_str(), nullptr, 0));
    EXPECT_TRUE(fs::exists(p));
    EXPECT_EQ(fs::file_size(p), 0u);
}

TEST_F(WholeFileTest, MissingEmptyOrUnreadableReadsAsFalse) {
    std::string out = "keep";
    EXPECT_FALSE(readWholeFile(dir_ / "missing.txt", out));
    ASSERT_TRUE(writeWholeFile(dir_ / "empty.txt", ""));
    EXPECT_FALSE(readWholeFile(dir_ / "empty.txt", out));
    EXPECT_FALSE(readWholeFile(dir_, out));  // a directory: the read fails inside
    EXPECT_FALSE(readWholeFile(static_cast<const char*>(nullptr), out));
    EXPECT_FALSE(readWholeFile("", out));
    EXPECT_EQ(out, "keep");
}

TEST_F(WholeFileTest, FilesOverTheSizeLimitAreRefusedUnread) {
    // Sparse files: they take no room on the disk, only their size counts.
    const fs::path huge = dir_ / "huge";
    const fs::path over = dir_ / "over";
    const fs::path limit = dir_ / "limit";
    std::ofstream(huge).put('x');
    std::ofstream(over).put('x');
    std::ofstream(limit).put('x');
    fs::resize_file(huge, uint64_t{1} << 40);
    fs::resize_file(over, kMaxWholeFileSize + 1);
    fs::resize_file(limit, kMaxWholeFileSize);
    std::string out = "keep";
    EXPECT_FALSE(readWholeFile(huge, out));
    EXPECT_FALSE(readWholeFile(over, out));
    EXPECT_EQ(out, "keep");
    ASSERT_TRUE(readWholeFile(limit, out));
    EXPECT_EQ(out.size(), kMaxWholeFileSize);
    EXPECT_EQ(out[0], 'x');
}

TEST_F(WholeFileTest, WriteFailuresReturnFalse) {
    EXPECT_FALSE(writeWholeFile(static_cast<const char*>(nullptr), "x", 1));
    EXPECT_FALSE(writeWholeFile(dir_ / "no-such-dir" / "f.txt", "x"));
    EXPECT_FALSE(writeWholeFile(dir_, "x"));  // a directory cannot be created as a file
    const fs::path file = dir_ / "plain";
    ASSERT_TRUE(writeWholeFile(file, "x"));
    EXPECT_FALSE(writeWholeFile(file / "below", "x"));  // the parent is a file
}

TEST_F(WholeFileTest, RelativePathsUseTheCurrentDirectory) {
    const fs::path before = fs::current_path();
    fs::current_path(dir_);
    const bool wrote = writeWholeFile(fs::path("rel.txt"), "relative");
    std::string back;
    const bool read = readWholeFile("rel.txt", back);
    fs::current_path(before);
    EXPECT_TRUE(wrote);
    EXPECT_TRUE(read);
    EXPECT_EQ(back, "relative");
    EXPECT_EQ(slurp(dir_ / "rel.txt"), "relative");
}

}  // namespace
}  // namespace ambrel
