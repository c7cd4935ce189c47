// Reading capture files back: records across blocks, damaged files whose good
// records must all still come out, and the ends of a file.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "store/rfd_codec.h"
#include "store/rfd_reader.h"
#include "log/file_helpers.h"
#include "worst_line.h"
#include "support/scratch_root.h"

namespace moldrin::capture {
namespace {

const char kFile[] = "c:\\TALMA\\RFD\\test.bin";

std::string Encode(const std::string& line) {
    std::array<char, kRfdRecordBuffer> out{};
    int n = RfdEncodeRecord(out, line.c_str());
    return std::string(out.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string LineOf(int i, std::size_t extra = 0) {
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "05/03/2008 10:%02d:%02d.%03d <0000> = ", i / 60 % 60, i % 60, i % 1000);
    return stamp + ("\x1B.01" + std::to_string(i) + std::string(extra, static_cast<char>('A' + i % 26)) + "}\r\n");
}

struct Read {
    std::vector<std::string> lines;  // decoded
    int undecodable = 0;
    int last = 0;                    // the result that ended the reading
};

Read ReadFile(const testing::ScratchRoot& root, const std::string& bytes) {
    root.Write(kFile, bytes);
    Read r;
    auto h = log::FileOpenRead(kFile);
    std::array<char, kRfdRecordBuffer> record{};
    int n = RfdReadRecord(0, h, record.data(), record.size());
    for (int guard = 0; n > 0 && guard < 100000; ++guard) {
        std::array<char, kRfdLineBuffer> line{};
        if (RfdDecodeRecord(line, {record.data(), static_cast<std::size_t>(n)}) > 0) r.lines.push_back(line.data());
        else ++r.undecodable;
        n = RfdReadRecord(1, h, record.data(), record.size());
    }
    r.last = n;
    // Once at the end, the reader stays there.
    EXPECT_EQ(RfdReadRecord(1, h, record.data(), record.size()), -1);
    log::FileClose(h);
    return r;
}

TEST(RfdReadRecord, DamagedFilesGiveEveryGoodRecord) {
    testing::ScratchRoot root;
    const std::string a = Encode(LineOf(1)), b = Encode(LineOf(2, 300)), c = Encode(LineOf(3, 40));
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    ASSERT_FALSE(c.empty());
    const std::string cutEarly = b.substr(0, 20);             // before its CR LF
    const std::string cutLate = b.substr(0, b.size() - 20);   // after its CR LF
    const std::string noise(2000, '\x55');                    // longer than any record, no 0x04
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<std::string> good;
        int undecodable;
    } cases[] = {
        {"plain", a + b + c, {LineOf(1), LineOf(2, 300), LineOf(3, 40)}, 0},
        {"runs of 0x04", "\x04\x04" + a + "\x04\x04\x04" + b + "\x04" + c + "\x04\x04", {LineOf(1), LineOf(2, 300), LineOf(3, 40)}, 0},
        {"record cut before its CR LF", a + cutEarly + c, {LineOf(1), LineOf(3, 40)}, 1},
        {"record cut after its CR LF", a + cutLate + c, {LineOf(1), LineOf(3, 40)}, 1},
        {"two cut records in a row", cutEarly + cutLate + c + a, {LineOf(3, 40), LineOf(1)}, 1},
        {"stray bytes before a record", "xyz" + c, {LineOf(3, 40)}, 1},
        {"noise longer than a record", a + noise + c, {LineOf(1), LineOf(3, 40)}, 2},
        {"noise with a false start", a + "\x87\x0B\x85\x0C" + noise + c, {LineOf(1), LineOf(3, 40)}, 2},
    };
    for (const auto& k : cases) {
        const Read r = ReadFile(root, k.bytes);
        EXPECT_EQ(r.lines, k.good) << k.what;
        EXPECT_EQ(r.undecodable, k.undecodable) << k.what;
        EXPECT_EQ(r.last, -1) << k.what;
    }
}

TEST(RfdReadRecord, ARecordCutByTheEndOfTheFileIsNotDelivered) {
    testing::ScratchRoot root;
    const std::string a = Encode(LineOf(1));
    const Read r = ReadFile(root, a + a.substr(0, a.size() - 1));
    EXPECT_EQ(r.lines, std::vector<std::string>{LineOf(1)});
    EXPECT_EQ(r.last, 0);
}

TEST(RfdReadRecord, ManyRecordsAcrossBlocksAndTheLongestRecords) {
    testing::ScratchRoot root;
    // Among ordinary records, now and then one whose record runs far past 512
    // bytes, so that some of them straddle the reader's blocks.
    const std::string worst = WorstLine(kRfdLineMax);
    const std::string longRecord = Encode(worst);
    ASSERT_GT(longRecord.size(), 900u);
    std::string bytes;
    std::vector<std::string> lines;
    for (int i = 0; i < 400; ++i) {
        lines.push_back(LineOf(i, static_cast<std::size_t>(i % 450)));
        bytes += Encode(lines.back());
        if (i % 37 == 0) {
            bytes += longRecord;
            lines.push_back(worst);
        }
    }
    ASSERT_GT(bytes.size(), 3 * kRfdBlockSize);
    const Read r = ReadFile(root, bytes);
    EXPECT_EQ(r.lines, lines);
    EXPECT_EQ(r.undecodable, 0);
}

TEST(RfdReadRecord, RefusesWhatItCannotRead) {
    testing::ScratchRoot root;
    root.Write(kFile, Encode(LineOf(1)));
    auto h = log::FileOpenRead(kFile);
    std::array<char, kRfdRecordBuffer> record{};
    EXPECT_EQ(RfdReadRecord(0, h, record.data(), 600), -1);  // smaller than the longest record
    EXPECT_EQ(RfdReadRecord(0, log::kInvalidFile, record.data(), record.size()), -1);
    EXPECT_EQ(RfdReadRecord(1, h, record.data(), record.size()), -1);  // nothing started
    EXPECT_GT(RfdReadRecord(0, h, record.data(), record.size()), 0);
    log::FileClose(h);
    root.Write(kFile, "");
    h = log::FileOpenRead(kFile);
    EXPECT_EQ(RfdReadRecord(0, h, record.data(), record.size()), -1);  // empty file
    log::FileClose(h);
}

}  // namespace
}  // namespace moldrin::capture
