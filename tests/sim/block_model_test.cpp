// The later simulated models' block protocol seen from the line: the answer
// encoding, ACK/NAK, checksum refusal, and the blocks kept for tests.
#include <gtest/gtest.h>

#include "sim/block_model.h"
#include "sim_device_fixture.h"

namespace moldrin::sim {
namespace {

std::string HostBlock(const std::string& text, int spoil = 0) {
    std::string f = "\x02" + text + "\x03";
    unsigned sum = 0;
    for (char c : f) sum += static_cast<unsigned char>(c);
    f += static_cast<char>((sum + static_cast<unsigned>(spoil)) & 0xFF);
    return f + "\x1B.}";
}

class LaterModel : public SimDeviceTest {
protected:
    void SetUp() override {
        printer->EditState([](PrinterState& s) { s.modelLetter = 'G'; });
    }
    std::string ReadAll() {
        clock.Advance(50);  // the printer takes a moment over a block
        return SimDeviceTest::ReadAll();
    }
};

TEST(BlockEncoding, RunsAndControlBytes) {
    struct Case {
        std::string content;
        std::string encoded;
    };
    const Case cases[] = {
        {"AB", "AB"},
        {"AAB", "AAB"},                                          // two alike stay as they are
        {"A0000000B", std::string("A0\x1B") + static_cast<char>(31 + 6) + "B"},
        {"\r\n", std::string("\x10") + static_cast<char>(0x8D) + "\x10" + static_cast<char>(0x8A)},
        {"\x02\x03\x03\x03", std::string("\x10\x82\x10\x83\x1B") + static_cast<char>(33)},
        {std::string(300, 'Z'), std::string("Z\x1B\xFF") + "Z\x1B" + static_cast<char>(31 + 74)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 10));
        EXPECT_EQ(BlockModel::Encode(c.content), c.encoded);
    }
    const std::string good = BlockModel::Frame("+");
    EXPECT_EQ(good, std::string("\x02+\x03") + static_cast<char>(2 + '+' + 3));
    EXPECT_NE(BlockModel::Frame("+", true), good);
}

TEST_F(LaterModel, AcceptedItemIsAcknowledgedAndKept) {
    Send(HostBlock("*02|1,000|7891234567890|12,50|UN|T18,00%|ARROZ"));
    EXPECT_EQ(ReadAll(), "\x06" + BlockModel::Frame("+"));
    ASSERT_EQ(printer->Block().Items().size(), 1u);
    const SoldItem item = printer->Block().Items()[0];
    EXPECT_EQ(item.quantity, "1,000");
    EXPECT_EQ(item.price, "12,50");
    EXPECT_EQ(item.rate, "T18,00%");
    EXPECT_EQ(item.description, "ARROZ");
    EXPECT_TRUE(printer->Frames().empty());  // the closing ESC "." "}" is the block's, not a frame
}

TEST_F(LaterModel, BadChecksumIsRefusedWithNakAndNothingIsKept) {
    Send(HostBlock("*25|\x16" "Atexto\r\n", 1));
    EXPECT_EQ(ReadAll(), "\x15");
    EXPECT_EQ(printer->Block().BadBlocks(), 1);
    EXPECT_TRUE(printer->Block().Texts().empty());
    // Sent again whole, it is taken.
    Send(HostBlock("*25|\x16" "Atexto\r\n"));
    EXPECT_EQ(ReadAll(), "\x06" + BlockModel::Frame("+"));
    ASSERT_EQ(printer->Block().Texts().size(), 1u);
    EXPECT_EQ(printer->Block().Texts()[0].mode, 'A');
    EXPECT_EQ(printer->Block().Texts()[0].text, "texto");
}

TEST_F(LaterModel, NakRepeatsTheLastAnswerUntilAcknowledged) {
    BlockFaults f;
    f.badChecksum = 1;
    printer->Block().SetFaults(f);
    Send(HostBlock("*34|I32"));
    const std::string first = ReadAll();
    ASSERT_GT(first.size(), 1u);
    Send("\x15");
    const std::string again = ReadAll();
    EXPECT_EQ(first.substr(1, first.size() - 2), again.substr(0, again.size() - 1));  // same block, mended checksum
    EXPECT_NE(first.back(), again.back());
    Send("\x06");
    Send("\x15");
    EXPECT_EQ(ReadAll(), "");  // nothing left to repeat
    EXPECT_EQ(printer->Block().Naks(), 2);
}

TEST_F(LaterModel, RefusalAndOrdinaryFramesBesideBlocks) {
    BlockFaults f;
    f.refuse = 1;
    printer->Block().SetFaults(f);
    Send(HostBlock("*02|1,000|1|1,00|UN|F1|X"));
    EXPECT_EQ(ReadAll(), "\x06" + BlockModel::Frame("-"));
    Send("\x06\x1B.30}");
    EXPECT_EQ(ReadAll(), ".+0030}");
    EXPECT_TRUE(printer->Block().Items().empty());
    EXPECT_EQ(printer->Frames(), std::vector<std::string>{"\x1B.30}"});
}

TEST_F(LaterModel, DotMatrixModelIgnoresBlocks) {
    printer->EditState([](PrinterState& s) { s.modelLetter = 'F'; });
    Send(HostBlock("*02|1,000|1|1,00|UN|F1|X"));
    EXPECT_TRUE(printer->Block().Blocks().empty());
}

}  // namespace
}  // namespace moldrin::sim
