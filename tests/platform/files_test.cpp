// The posix file system against things planted in the data folder: links,
// pipes, files that must not exist yet, and owner-only files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "log/file_helpers.h"
#include "platform/files.h"
#include "support/fake_clock.h"
#include "support/recording_operator.h"
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

// A second name planted at a file the library writes (a hard link to someone
// else's file) is refused, wherever the library creates, empties or appends.
TEST_F(PlantedFiles, AFileWithASecondNameIsNeverWrittenThrough) {
    for (const char* path : {"c:\\TALMA\\RFD\\TALMA.TMP", "c:\\TALMA\\RFD\\TALMA.TXT",
                             "c:\\TALMA\\RFD\\RFD-09-Dezembro-2026.bin"}) {
        SCOPED_TRACE(path);
        fs::create_hard_link(outside, root.Host(path));
        EXPECT_EQ(log::FileCreate(path), kInvalidFile);
        EXPECT_EQ(log::FileOpenAppend(path), kInvalidFile);
        EXPECT_EQ(log::FileOpenShared(path), kInvalidFile);
        EXPECT_EQ(log::FileOpenMode(path, 1), kInvalidFile);
        EXPECT_EQ(Outside(), "precious");
        // Recreating takes the name away from the other file and leaves it be.
        log::FileHandle h = log::FileRecreate(path);
        ASSERT_NE(h, kInvalidFile);
        EXPECT_EQ(log::FileWriteText(h, "ours"), 0);
        log::FileClose(h);
        EXPECT_EQ(root.Read(path), "ours");
        EXPECT_EQ(Outside(), "precious");
    }
}

// A link in place of a folder the library writes into: nothing is written,
// moved or deleted through it, and the operator is told why.
TEST_F(PlantedFiles, ALinkedFolderIsNeverWrittenInto) {
    testing::RecordingOperator op;
    const std::string elsewhere = root.path() + "/elsewhere";
    fs::create_directories(elsewhere);
    std::ofstream(elsewhere + "/TALMA.TMP") << "theirs";
    fs::remove_all(root.Host("c:\\TALMA\\RFD"));
    fs::create_directory_symlink(elsewhere, root.Host("c:\\TALMA\\RFD"));

    EXPECT_EQ(log::FileRecreate("c:\\TALMA\\RFD\\TALMA.TMP"), kInvalidFile);
    EXPECT_EQ(log::FileCreateNew("c:\\TALMA\\RFD\\NEW.BIN"), kInvalidFile);
    EXPECT_EQ(log::FileOpenAppend("c:\\TALMA\\RFD\\TALMA.TMP"), kInvalidFile);
    EXPECT_FALSE(platform::Files().Delete("c:\\TALMA\\RFD\\TALMA.TMP"));
    EXPECT_FALSE(platform::Files().CreateDirectory("c:\\TALMA\\RFD\\S E F A Z"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(*std::make_unique<std::ifstream>(elsewhere + "/TALMA.TMP")), {}),
              "theirs");
    EXPECT_FALSE(fs::exists(elsewhere + "/NEW.BIN"));
    EXPECT_FALSE(fs::exists(elsewhere + "/S E F A Z"));
    const auto messages = op.texts("message");
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0], "ERRO: UMA PASTA DO CAMINHO E UM LINK, NADA GRAVADO: c:\\TALMA\\RFD\\TALMA.TMP");

    // Deeper down too: the folder of finished files, and a way up and out.
    fs::remove(root.Host("c:\\TALMA\\RFD"));
    root.Write("c:\\TALMA\\RFD\\keep", "ours");
    fs::create_directory_symlink(elsewhere, root.Host("c:\\TALMA\\RFD\\FINAL"));
    EXPECT_EQ(log::FileCreate("c:\\TALMA\\RFD\\FINAL\\TA245678.538"), kInvalidFile);
    EXPECT_FALSE(platform::Files().Rename("c:\\TALMA\\RFD\\keep", "c:\\TALMA\\RFD\\FINAL\\TA245678.538"));
    EXPECT_EQ(log::FileCreate("c:\\TALMA\\..\\..\\outside.txt"), kInvalidFile);
    EXPECT_FALSE(fs::exists(elsewhere + "/TA245678.538"));
    EXPECT_EQ(Outside(), "precious");
}

TEST_F(PlantedFiles, FoldersAreMadeForTheOwnerAndGroupWhateverTheUmask) {
    const mode_t previous = ::umask(0);
    EXPECT_TRUE(platform::Files().CreateDirectory("c:\\TALMA\\RFD\\NEW"));
    EXPECT_TRUE(platform::Files().CreateDirectory("d:\\FIRST"));
    ::umask(previous);
    for (const char* dir : {"c:\\TALMA\\RFD\\NEW", "d:\\", "d:\\FIRST"}) {
        struct stat st{};
        ASSERT_EQ(::stat(root.Host(dir).c_str(), &st), 0) << dir;
        EXPECT_EQ(st.st_mode & 0777, 0750u) << dir;
    }
}

}  // namespace
}  // namespace moldrin
