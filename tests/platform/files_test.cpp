// Local files with 32-bit handles: what is written reads back, positions move as asked, opening
// follows its mode, writing nothing changes nothing, and the fault seams bite.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform.h"
#include "threads.h"

namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("kestrel-platform-") + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        PlatSetFaults(PlatFaults{});
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string PathOf(const char* name) const { return (dir_ / name).string(); }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    fs::path dir_;
};

TEST_F(FilesTest, WrittenBytesReadBackAndSeekMovesThePosition) {
    const std::string path = PathOf("data.bin");
    const std::string text("hello\0world\r\n", 13);
    int32_t file = PlatFileCreate(path.c_str());
    ASSERT_NE(file, PLAT_FILE_ERROR);
    EXPECT_EQ(PlatFileWrite(file, text.data(), static_cast<uint32_t>(text.size())), 13);
    EXPECT_EQ(PlatFileClose(file), 0);
    EXPECT_EQ(Contents(path), text);  // bytes unchanged: no text-mode translation

    file = PlatFileOpen(path.c_str(), PLAT_OF_READ);
    ASSERT_NE(file, PLAT_FILE_ERROR);
    EXPECT_EQ(PlatFileSeek(file, 0, PLAT_FILE_END), 13);
    EXPECT_EQ(PlatFileSeek(file, 6, PLAT_FILE_BEGIN), 6);
    char buffer[32] = {};
    EXPECT_EQ(PlatFileRead(file, buffer, sizeof buffer), 7);
    EXPECT_EQ(std::string(buffer, 7), "world\r\n");
    EXPECT_EQ(PlatFileRead(file, buffer, sizeof buffer), 0);  // end of file
    EXPECT_EQ(PlatFileSeek(file, -2, PLAT_FILE_CURRENT), 11);
    EXPECT_EQ(PlatFileClose(file), 0);
}

TEST_F(FilesTest, WritingNothingLeavesTheFileAlone) {
    const std::string path = PathOf("keep.bin");
    int32_t file = PlatFileCreate(path.c_str());
    ASSERT_NE(file, PLAT_FILE_ERROR);
    ASSERT_EQ(PlatFileWrite(file, "0123456789", 10), 10);
    ASSERT_EQ(PlatFileSeek(file, 3, PLAT_FILE_BEGIN), 3);
    EXPECT_EQ(PlatFileWrite(file, "", 0), 0);
    EXPECT_EQ(PlatFileClose(file), 0);
    EXPECT_EQ(Contents(path), "0123456789");
}

TEST_F(FilesTest, OpenFollowsItsModeAndCreateEmptiesAnExistingFile) {
    const std::string path = PathOf("modes.bin");
    EXPECT_EQ(PlatFileOpen(path.c_str(), PLAT_OF_READ), PLAT_FILE_ERROR);  // not there yet
    int32_t file = PlatFileCreate(path.c_str());
    ASSERT_NE(file, PLAT_FILE_ERROR);
    ASSERT_EQ(PlatFileWrite(file, "abcdef", 6), 6);
    ASSERT_EQ(PlatFileClose(file), 0);

    file = PlatFileOpen(path.c_str(), PLAT_OF_READ);
    ASSERT_NE(file, PLAT_FILE_ERROR);
    EXPECT_EQ(PlatFileWrite(file, "x", 1), PLAT_FILE_ERROR);  // read-only handle
    EXPECT_EQ(PlatFileClose(file), 0);
    EXPECT_EQ(PlatFileOpen(path.c_str(), 3), PLAT_FILE_ERROR);  // no such access mode

    // Opened for writing, the file keeps its contents; writing overwrites from the start.
    file = PlatFileOpen(path.c_str(), PLAT_OF_WRITE);
    ASSERT_NE(file, PLAT_FILE_ERROR);
    EXPECT_EQ(PlatFileWrite(file, "XY", 2), 2);
    EXPECT_EQ(PlatFileClose(file), 0);
    EXPECT_EQ(Contents(path), "XYcdef");

    file = PlatFileCreate(path.c_str());
    ASSERT_NE(file, PLAT_FILE_ERROR);
    EXPECT_EQ(PlatFileClose(file), 0);
    EXPECT_EQ(Contents(path), "");

    EXPECT_EQ(PlatFileDelete(path.c_str()), 0);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(PlatFileDelete(path.c_str()), -1);
}

TEST_F(FilesTest, CanWriteAsksWithoutCreatingOrEmptying) {
    const std::string existing = PathOf("existing.bin");
    std::ofstream(existing, std::ios::binary) << "kept";
    const std::string fresh = PathOf("fresh.bin");
    EXPECT_TRUE(PlatFileCanWrite(existing.c_str()));
    EXPECT_EQ(Contents(existing), "kept");
    EXPECT_TRUE(PlatFileCanWrite(fresh.c_str()));
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_FALSE(PlatFileCanWrite((dir_ / "missing" / "file.bin").string().c_str()));
    EXPECT_FALSE(PlatFileCanWrite(dir_.string().c_str()));  // a directory is no file
    EXPECT_FALSE(PlatFileCanWrite(""));
}

TEST_F(FilesTest, FaultSeamsShortenAWriteAndFailARead) {
    const std::string path = PathOf("faults.bin");
    int32_t file = PlatFileCreate(path.c_str());
    ASSERT_NE(file, PLAT_FILE_ERROR);
    PlatFaults faults;
    faults.shortFileWrites = 1;
    PlatSetFaults(faults);
    EXPECT_EQ(PlatFileWrite(file, "abcd", 4), 3);
    EXPECT_EQ(PlatFileWrite(file, "ef", 2), 2);  // only the next write was shortened
    ASSERT_EQ(PlatFileClose(file), 0);
    EXPECT_EQ(Contents(path), "abcef");

    faults = PlatFaults{};
    faults.failFileReads = 1;
    PlatSetFaults(faults);
    file = PlatFileOpen(path.c_str(), PLAT_OF_READ);
    ASSERT_NE(file, PLAT_FILE_ERROR);
    char buffer[8];
    EXPECT_EQ(PlatFileRead(file, buffer, sizeof buffer), PLAT_FILE_ERROR);
    EXPECT_EQ(PlatFileRead(file, buffer, sizeof buffer), 5);
    EXPECT_EQ(PlatFileClose(file), 0);

    faults = PlatFaults{};
    faults.failFileCreates = 1;
    PlatSetFaults(faults);
    EXPECT_EQ(PlatFileCreate(path.c_str()), PLAT_FILE_ERROR);
    EXPECT_EQ(Contents(path), "abcef");  // the failed create emptied nothing
    file = PlatFileCreate(path.c_str());
    ASSERT_NE(file, PLAT_FILE_ERROR);
    EXPECT_EQ(PlatFileClose(file), 0);
}

TEST(PrivateDirectoryTest, ReportsAnExistingDirectoryAndTheSizeNeededWhenShort) {
    char path[1024];
    const uint32_t length = PlatPrivateDirectory(path, sizeof path);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, sizeof path);
    EXPECT_EQ(std::string(path).size(), length);
    EXPECT_TRUE(fs::is_directory(path)) << path;

    char tiny[2] = {'?', '?'};
    EXPECT_EQ(PlatPrivateDirectory(tiny, sizeof tiny), length + 1);
    EXPECT_EQ(PlatPrivateDirectory(nullptr, 0), length + 1);

    // A file made there with the separator of the platform can be written and removed.
    const std::string file = std::string(path) + PLAT_PATH_SEPARATOR + "kestrel-probe.txt";
    const int32_t handle = PlatFileCreate(file.c_str());
    ASSERT_NE(handle, PLAT_FILE_ERROR) << file;
    EXPECT_EQ(PlatFileClose(handle), 0);
    EXPECT_EQ(PlatFileDelete(file.c_str()), 0);
}

}  // namespace
