#include "log/file_helpers.h"

#include <gtest/gtest.h>

#include "support/fake_clock.h"
#include "support/fault_files.h"
#include "support/scratch_root.h"

namespace moldrin::log {
namespace {

TEST(ParseNumber, DecimalPrefixOfTheFirstNCharacters) {
    struct Case {
        const char* text;
        int n;
        uint16_t value;
    };
    const Case cases[] = {
        {"0012", 4, 12}, {"12AB", 4, 12}, {"AB", 2, 0},     {"123456", 2, 12}, {"  42", 4, 42},
        {"-1", 2, 65535}, {"70000", 5, 4464}, {"1", 0, 0},   {"12", 256, 0},    {"99}", 4, 99},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseNumber(c.text, c.n), c.value) << c.text << " n=" << c.n;
    EXPECT_EQ(ParseNumber(nullptr, 2), 0);
}

TEST(IsFilledWith, AllBytesMustMatch) {
    EXPECT_EQ(IsFilledWith("000", '0', 3), 1);
    EXPECT_EQ(IsFilledWith("010", '0', 3), 0);
    EXPECT_EQ(IsFilledWith("x", '0', 0), 1);
    EXPECT_EQ(IsFilledWith("x", '0', -4), 1);
    EXPECT_EQ(IsFilledWith("  a", ' ', 2), 1);
}

class FileHelpers : public ::testing::Test {
protected:
    testing::ScratchRoot root;
    testing::FakeClock clock;
};

TEST_F(FileHelpers, CreateWriteReadSeekAndAppend) {
    root.Write("c:\\D\\keep", "");
    FileHandle h = FileCreate("c:\\D\\a.txt");
    ASSERT_NE(h, kInvalidFile);
    EXPECT_EQ(FileWriteText(h, "hello"), 0);
    EXPECT_EQ(FileWriteText(h, ""), 0);
    EXPECT_EQ(FileWrite(h, " world", 6), 6u);
    EXPECT_EQ(FileWriteBlock(h, "!", 1), 1);
    EXPECT_EQ(FileSeek(h, 0, 0), 0);
    char buf[32] = {};
    EXPECT_EQ(FileReadBlock(h, buf, sizeof buf), 12);
    EXPECT_STREQ(buf, "hello world!");
    EXPECT_EQ(FileReadBlock(h, buf, sizeof buf), 0) << "end of file";
    EXPECT_EQ(FileSeek(h, -6, 2), 6);
    EXPECT_EQ(FileClose(h), 0);

    h = FileOpenAppend("c:\\D\\a.txt");
    ASSERT_NE(h, kInvalidFile);
    EXPECT_EQ(FileWriteText(h, "+"), 0);
    EXPECT_EQ(FileClose(h), 0);
    EXPECT_EQ(root.Read("c:\\D\\a.txt"), "hello world!+");

    EXPECT_EQ(FileOpenAppend("c:\\D\\missing.txt"), kInvalidFile);
    EXPECT_FALSE(root.Exists("c:\\D\\missing.txt")) << "append never creates";
    EXPECT_EQ(FileOpenShared("c:\\D\\missing.txt"), kInvalidFile);
    EXPECT_EQ(FileOpenRead(nullptr), kInvalidFile);
    EXPECT_EQ(FileOpenMode(nullptr, 0), kInvalidFile);
    EXPECT_EQ(FileClose(kInvalidFile), 0);
}

// Recreating makes a new file without a pause; whoever still holds the old one
// keeps the old one, and never writes into ours.
TEST_F(FileHelpers, RecreateMakesANewFileOfItsOwn) {
    root.Write("c:\\D\\r.bin", "old contents");
    FileHandle other = FileOpenShared("c:\\D\\r.bin");
    ASSERT_NE(other, kInvalidFile);
    uint32_t before = clock.sleptMs();
    FileHandle h = FileRecreate("c:\\D\\r.bin");
    ASSERT_NE(h, kInvalidFile);
    EXPECT_EQ(clock.sleptMs() - before, 0u);
    EXPECT_EQ(FileWriteText(other, "late"), 0);
    EXPECT_EQ(FileClose(other), 0);
    EXPECT_EQ(FileWriteText(h, "ours"), 0);
    EXPECT_EQ(FileClose(h), 0);
    EXPECT_EQ(root.Read("c:\\D\\r.bin"), "ours");
}

// A write that fails marks its handle until the close: a file written line by
// line knows it is incomplete though its later lines went through.
TEST_F(FileHelpers, AFailedWriteMarksItsFileUntilClosed) {
    root.Write("c:\\D\\w.bin", "");
    FileHandle h = FileCreate("c:\\D\\w.bin");
    ASSERT_NE(h, kInvalidFile);
    EXPECT_FALSE(FileWriteFailed(h));
    {
        testing::FaultFiles faults;
        faults.spaceLeft = 3;
        EXPECT_EQ(FileWriteText(h, "first"), -1);
    }
    EXPECT_EQ(FileWriteText(h, "second"), 0);
    EXPECT_TRUE(FileWriteFailed(h));
    EXPECT_EQ(FileClose(h), 0);
    // The handle's next file starts clean.
    h = FileCreate("c:\\D\\w2.bin");
    ASSERT_NE(h, kInvalidFile);
    EXPECT_FALSE(FileWriteFailed(h));
    FileClose(h);
}

TEST_F(FileHelpers, SharingRulesBetweenOpeners) {
    root.Write("c:\\D\\s.bin", "x");
    FileHandle exclusive = FileOpenMode("c:\\D\\s.bin", 2);  // read and write, no sharing
    ASSERT_NE(exclusive, kInvalidFile);
    EXPECT_EQ(FileOpenRead("c:\\D\\s.bin"), kInvalidFile);
    EXPECT_EQ(FileOpenShared("c:\\D\\s.bin"), kInvalidFile);
    EXPECT_EQ(FileClose(exclusive), 0);

    FileHandle shared = FileOpenShared("c:\\D\\s.bin");
    FileHandle reader = FileOpenRead("c:\\D\\s.bin");
    EXPECT_NE(shared, kInvalidFile);
    EXPECT_NE(reader, kInvalidFile);
    EXPECT_EQ(FileOpenMode("c:\\D\\s.bin", 0x00), kInvalidFile) << "read without sharing while others write";
    EXPECT_EQ(FileOpenMode("c:\\D\\s.bin", 0x50), kInvalidFile) << "sharing value above 4 is refused";
    FileClose(shared);
    FileClose(reader);
    FileHandle readShare = FileOpenMode("c:\\D\\s.bin", 0x20);  // read, others may read
    ASSERT_NE(readShare, kInvalidFile);
    EXPECT_NE(FileOpenRead("c:\\D\\s.bin"), kInvalidFile) << "a second reader is allowed";
    EXPECT_EQ(FileOpenShared("c:\\D\\s.bin"), kInvalidFile) << "a writer is not";
}

TEST_F(FileHelpers, FailuresAnswerInEachHelpersOwnConvention) {
    root.Write("c:\\D\\keep", "");
    FileHandle h = FileCreate("c:\\D\\f.bin");
    ASSERT_NE(h, kInvalidFile);
    testing::FaultFiles faults;
    faults.shortWrite = true;
    EXPECT_EQ(FileWriteText(h, "abc"), -1) << "a short write";
    faults.shortWrite = false;
    faults.failWrite = true;
    EXPECT_EQ(FileWrite(h, "abc", 3), 0u);
    EXPECT_EQ(FileWriteBlock(h, "abc", 3), -1);
    EXPECT_EQ(FileWriteText(h, ""), 0) << "an empty text writes nothing at all";
    faults.failWrite = false;
    faults.failClose = true;
    EXPECT_EQ(FileClose(h), -1);
    EXPECT_EQ(FileSeek(h, 0, 0), -1) << "the handle is gone";
    EXPECT_EQ(FileReadBlock(h, nullptr, 0), -1);
    EXPECT_EQ(FileCloseHandle(h), 0);
}

}  // namespace
}  // namespace moldrin::log
