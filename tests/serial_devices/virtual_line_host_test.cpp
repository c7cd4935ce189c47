// The line's host end over a scripted stream: the paths a real socket rarely takes
// (a full stream, a failing one, garbage); the sockets themselves are tested elsewhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "platform/virtual_line.h"
#include "platform/virtual_line_host.h"

namespace moldrin::platform {
namespace {

// What the scripted stream holds and did; shared with the test, which keeps it
// after the device took the transport.
struct Script {
    std::deque<uint8_t> inbound;       // what the printer sent, not yet received
    std::vector<uint8_t> outbound;     // what the host sent
    std::deque<long> sendAnswers;      // per Send call: >0 at most so many taken, 0 full, <0 fail
    bool receiveFails = false;
    int brokenPipeMarks = 0;
    int sendCalls = 0;
};

class ScriptedTransport final : public LineTransport {
public:
    explicit ScriptedTransport(Script& s) : s_(s) {}
    long Send(const uint8_t* bytes, size_t n) override {
        ++s_.sendCalls;
        long answer = static_cast<long>(n);
        if (!s_.sendAnswers.empty()) {
            answer = std::min<long>(s_.sendAnswers.front(), static_cast<long>(n));
            s_.sendAnswers.pop_front();
        }
        if (answer > 0) s_.outbound.insert(s_.outbound.end(), bytes, bytes + answer);
        return answer;
    }
    long Receive(uint8_t* buffer, size_t n) override {
        if (s_.receiveFails) return -1;
        size_t k = std::min(n, s_.inbound.size());
        std::copy_n(s_.inbound.begin(), k, buffer);
        s_.inbound.erase(s_.inbound.begin(), s_.inbound.begin() + static_cast<std::ptrdiff_t>(k));
        return static_cast<long>(k);
    }
    int Wait(int events, uint32_t) override {
        int ready = s_.inbound.empty() && !s_.receiveFails ? 0 : kReadable;
        if (events & kWritable) ready |= kWritable;
        return ready;
    }
    void Sleep(uint32_t) override {}
    void SetBrokenPipe() override { ++s_.brokenPipeMarks; }

private:
    Script& s_;
};

void Push(Script& s, const std::vector<uint8_t>& message) { s.inbound.insert(s.inbound.end(), message.begin(), message.end()); }

std::vector<uint8_t> DataMessages(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    vline::AppendData(out, bytes.data(), bytes.size());
    return out;
}

class HostOverScript : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<uint8_t> modem;
        vline::AppendModem(modem, vline::kPrinterCts | vline::kPrinterDsr);
        Push(script_, modem);
        host_ = OpenVirtualLineHost(std::make_unique<ScriptedTransport>(script_));
        ASSERT_TRUE(host_);
    }
    // Wait() always looks at the stream, whatever was asked just before.
    std::vector<uint8_t> ReadAll() {
        host_->Wait(0);
        std::vector<uint8_t> got(1 << 17);
        uint32_t n = 0;
        EXPECT_TRUE(host_->Read(got.data(), static_cast<uint32_t>(got.size()), &n));
        got.resize(n);
        return got;
    }
    Script script_;
    std::unique_ptr<SerialDevice> host_;
};

TEST_F(HostOverScript, OpeningTakesThePrinterLinesAlreadySent) {
    uint32_t bits = 0;
    ASSERT_TRUE(host_->ModemStatus(&bits));
    EXPECT_EQ(bits, kModemCts | kModemDsr);
}

// A stream that takes a little at a time, or nothing for a while, still gets every
// message whole and in order; what the printer sends meanwhile is not lost.
TEST_F(HostOverScript, AFullStreamDelaysAWriteButLosesNothingEitherWay) {
    std::vector<uint8_t> sent(700);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> answer = {'.', '+', '}'};
    script_.sendAnswers = {5, 0, 0, 1, 300, 0, 2};
    Push(script_, DataMessages(answer));
    uint32_t written = 0;
    ASSERT_TRUE(host_->Write(sent.data(), static_cast<uint32_t>(sent.size()), &written));
    EXPECT_EQ(written, sent.size());
    EXPECT_EQ(script_.outbound, DataMessages(sent));
    EXPECT_TRUE(script_.inbound.empty()) << "a blocked write takes in what arrives";
    EXPECT_EQ(ReadAll(), answer);
}

TEST_F(HostOverScript, AFailedSendBreaksTheLineForGood) {
    script_.sendAnswers = {2, -1};  // fails inside the message
    uint8_t byte = 'x';
    uint32_t written = 9;
    EXPECT_FALSE(host_->Write(&byte, 1, &written));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(script_.brokenPipeMarks, 0) << "the stream's own reason stands";

    // Lines read as off; every later change is refused without touching the stream.
    uint32_t bits = 0xFF;
    ASSERT_TRUE(host_->ModemStatus(&bits));
    EXPECT_EQ(bits, 0u);
    int calls = script_.sendCalls;
    EXPECT_FALSE(host_->Write(&byte, 1, &written));
    EXPECT_FALSE(host_->SetState(LineSettings{}));
    EXPECT_EQ(script_.sendCalls, calls);
    EXPECT_EQ(script_.brokenPipeMarks, 2);
    // Escapes that only touch the receive side still answer.
    EXPECT_TRUE(host_->EscapeFunction(Escape::ResetDev));
}

TEST_F(HostOverScript, APeerThatFailsKeepsWhatCameBeforeAndDropsItsLines) {
    Push(script_, DataMessages({'a', 'b'}));
    host_->Wait(0);
    script_.receiveFails = true;
    EXPECT_EQ(ReadAll(), (std::vector<uint8_t>{'a', 'b'}));
    uint32_t bits = 0xFF;
    ASSERT_TRUE(host_->ModemStatus(&bits));
    EXPECT_EQ(bits, 0u);
}

// Garbage and error reports become line errors, read once; undefined error bits are dropped.
TEST_F(HostOverScript, GarbageAndErrorMessagesReadAsLineErrorsOnce) {
    std::vector<uint8_t> noise = {'Z', 'D', 0};
    vline::AppendErrors(noise, 0xE0 | kErrParity);
    Push(script_, noise);
    host_->Wait(0);
    uint32_t errors = 0, rx = 9, tx = 9;
    ASSERT_TRUE(host_->ClearErrors(&errors, &rx, &tx));
    EXPECT_EQ(errors, kErrFrame | kErrParity);
    EXPECT_EQ(rx, 0u);
    EXPECT_EQ(tx, 0u);
    ASSERT_TRUE(host_->ClearErrors(&errors, &rx, &tx));
    EXPECT_EQ(errors, 0u);
}

TEST_F(HostOverScript, TheReceiveQueueKeepsItsFloorAndReportsOverrun) {
    ASSERT_TRUE(host_->SetupQueues(1600, 1600));  // below the floor: the floor holds
    std::vector<uint8_t> flood(64 * 1024 + 10, 'r');
    Push(script_, DataMessages(flood));
    EXPECT_EQ(ReadAll().size(), 64u * 1024u);
    uint32_t errors = 0;
    ASSERT_TRUE(host_->ClearErrors(&errors, nullptr, nullptr));
    EXPECT_EQ(errors, kErrRxOver);
}

}  // namespace
}  // namespace moldrin::platform
