// The posix file system against things planted in the data folder: links,
// pipes, files that must not exist yet, and owner-only files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "log/file_helpers.h"
#include "platform/files.h"
#include "support/fake_clock.h"
#include "support/scratch_root.h"

namespace moldrin {
namespace {

namespace fs = std::filesystem;
using log::kInvalidFile;

constexpr char kPlanted[] = "c:\\TALMA\\RFD\\E00.NEW";

class PlantedFiles : public ::testing::Test {
protected:
    void SetUp() override {
        root.Write("c:\\TALMA\\RFD\\keep", "");
        outside = root.path() + "/outside.txt";
        std::ofstream(outside) << "precious";
    }
    // A link at `windowsPath` to the file outside the drive folders.
    void Link(const char* windowsPath) { fs::create_symlink(outside, root.Host(windowsPath)); }
    std::string Outside() const {
        std::ifstream in(outside);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool IsLink(const char* windowsPath) const { return fs::is_symlink(fs::symlink_status(root.Host(windowsPath))); }

    testing::ScratchRoot root;
    testing::FakeClock clock;
    std::string outside;
};

TEST_F(PlantedFiles, NoHelperWritesThroughALink) {
    Link(kPlanted);
    EXPECT_EQ(log::FileCreate(kPlanted), kInvalidFile);
    EXPECT_EQ(log::FileCreateNew(kPlanted), kInvalidFile);
    EXPECT_EQ(log::FileOpenShared(kPlanted), kInvalidFile);
    EXPECT_EQ(log::FileOpenAppend(kPlanted), kInvalidFile);
    EXPECT_EQ(log::FileOpenMode(kPlanted, 1), kInvalidFile);
    EXPECT_EQ(Outside(), "precious");
    EXPECT_TRUE(IsLink(kPlanted));

    // Reading through a link harms nothing (a key file may well be one).
    log::FileHandle reader = log::FileOpenRead(kPlanted);
    EXPECT_NE(reader, kInvalidFile);
    log::FileClose(reader);

    // Recreating removes the link itself and makes a file of our own.
    log::FileHandle h = log::FileRecreate(kPlanted);
    ASSERT_NE(h, kInvalidFile);
    EXPECT_EQ(log::FileWriteText(h, "ours"), 0);
    log::FileClose(h);
    EXPECT_FALSE(IsLink(kPlanted));
    EXPECT_EQ(root.Read(kPlanted), "ours");
    EXPECT_EQ(Outside(), "precious");
}

TEST_F(PlantedFiles, ALinkIsNeverRenamedIntoPlace) {
    root.Write("c:\\TALMA\\RFD\\E00.BIN", "old");
    Link(kPlanted);
    EXPECT_FALSE(platform::Files().Rename(kPlanted, "c:\\TALMA\\RFD\\E00.BIN"));
    EXPECT_FALSE(IsLink("c:\\TALMA\\RFD\\E00.BIN"));
    EXPECT_EQ(root.Read("c:\\TALMA\\RFD\\E00.BIN"), "old");
}

TEST_F(PlantedFiles, CreateNewWantsAnEmptyPlace) {
    log::FileHandle h = log::FileCreateNew(kPlanted);
    ASSERT_NE(h, kInvalidFile);
    log::FileClose(h);
    EXPECT_EQ(log::FileCreateNew(kPlanted), kInvalidFile) << "an existing file is never reused";

    // A dangling link too takes the place.
    fs::create_symlink(root.path() + "/nowhere", root.Host("c:\\TALMA\\RFD\\dangling"));
    EXPECT_EQ(log::FileCreateNew("c:\\TALMA\\RFD\\dangling"), kInvalidFile);
    EXPECT_FALSE(fs::exists(root.path() + "/nowhere"));
    EXPECT_TRUE(platform::Files().Exists("c:\\TALMA\\RFD\\dangling"));
    EXPECT_FALSE(platform::Files().Exists("c:\\TALMA\\RFD\\absent"));
    EXPECT_FALSE(platform::Files().Exists("c:\\NO\\SUCH\\FOLDER\\absent"));
}

TEST_F(PlantedFiles, OwnerOnlyFilesAreCreatedForTheOwnerAlone) {
    const mode_t previous = ::umask(0);  // so that only the creation mode decides
    log::FileHandle shared = log::FileCreateNew("c:\\TALMA\\RFD\\open.bin");
    log::FileHandle owner = log::FileCreateNew("c:\\TALMA\\RFD\\key.bin", true);
    ::umask(previous);
    ASSERT_NE(shared, kInvalidFile);
    ASSERT_NE(owner, kInvalidFile);
    log::FileClose(shared);
    log::FileClose(owner);
    struct stat st{};
    ASSERT_EQ(::stat(root.Host("c:\\TALMA\\RFD\\key.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(root.Host("c:\\TALMA\\RFD\\open.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(PlantedFiles, APipeInAFilesPlaceIsRefusedWithoutWaiting) {
    ASSERT_EQ(::mkfifo(root.Host(kPlanted).c_str(), 0600), 0);
    // A blocking open of a pipe with no writer would never return.
    EXPECT_EQ(log::FileOpenRead(kPlanted), kInvalidFile);
    EXPECT_EQ(log::FileOpenShared(kPlanted), kInvalidFile);
    EXPECT_EQ(log::FileCreate(kPlanted), kInvalidFile);
}

TEST_F(PlantedFiles, SharingIsJudgedBeforeTruncating) {
    root.Write("c:\\TALMA\\RFD\\busy.bin", "contents");
    log::FileHandle holder = log::FileOpenMode("c:\\TALMA\\RFD\\busy.bin", 2);  // unshared
    ASSERT_NE(holder, kInvalidFile);
    EXPECT_EQ(log::FileCreate("c:\\TALMA\\RFD\\busy.bin"), kInvalidFile);
    log::FileClose(holder);
    EXPECT_EQ(root.Read("c:\\TALMA\\RFD\\busy.bin"), "contents");
}

}  // namespace
}  // namespace moldrin
