// The line's host end over a scripted stream: the paths a real socket rarely takes
// (a full stream, a failing one, garbage); the sockets themselves are tested elsewhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>
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
    bool full = false;                 // takes nothing at all, like a peer that stopped reading
    int brokenPipeMarks = 0;
    int sendCalls = 0;
};

class ScriptedTransport final : public LineTransport {
public:
    explicit ScriptedTransport(Script& s) : s_(s) {}
    long Send(const uint8_t* bytes, size_t n) override {
        ++s_.sendCalls;
        long answer = s_.full ? 0 : static_cast<long>(n);
        if (!s_.full && !s_.sendAnswers.empty()) {
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
    int Wait(int events, uint32_t ms) override {
        int ready = s_.inbound.empty() && !s_.receiveFails ? 0 : kReadable;
        if (events & kWritable) {
            // A full stream is never writable: the wait lasts its whole time, as poll's would.
            if (!s_.full) ready |= kWritable;
            else if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
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

    // Lines read as off; with no way to connect again every later change is
    // refused without touching the stream.
    uint32_t bits = 0xFF;
    ASSERT_TRUE(host_->ModemStatus(&bits));
    EXPECT_EQ(bits, 0u);
    int calls = script_.sendCalls;
    EXPECT_FALSE(host_->Write(&byte, 1, &written));
    EXPECT_FALSE(host_->SetState(LineSettings{}));
    EXPECT_EQ(script_.sendCalls, calls);
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

// A printer end that takes nothing more fails the write once the write limit is
// up, instead of holding the caller (and the port) for ever; the half-sent
// message would garble the stream, so the line is dropped with it.
TEST_F(HostOverScript, AStreamThatTakesNothingFailsTheWriteAtTheLimit) {
    script_.full = true;
    host_->SetWriteLimit(50);
    uint8_t byte = 'x';
    uint32_t written = 9;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(host_->Write(&byte, 1, &written));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 45);
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(script_.brokenPipeMarks, 1) << "a write that timed out reads as a broken line";
    uint32_t bits = 0xFF;
    ASSERT_TRUE(host_->ModemStatus(&bits));
    EXPECT_EQ(bits, 0u);
}

// Hands out one scripted stream per connection; a missing script refuses.
struct Connections {
    std::deque<Script*> scripts;
    int made = 0;
    LineConnector Connector() {
        return [this](int* err) -> std::unique_ptr<LineTransport> {
            if (scripts.empty()) {
                if (err) *err = 111;
                return nullptr;
            }
            Script* next = scripts.front();
            scripts.pop_front();
            ++made;
            return std::make_unique<ScriptedTransport>(*next);
        };
    }
};

std::vector<uint8_t> ModemMessage(uint8_t bits) {
    std::vector<uint8_t> m;
    vline::AppendModem(m, bits);
    return m;
}

// A printer end that closes the connection before its first modem status is
// serving another host: the port is in use, and the open fails at once.
TEST(HostOpen, APrinterEndThatClosesBeforeItsFirstStatusRefusesTheOpen) {
    Script refused;
    refused.receiveFails = true;
    Connections c;
    c.scripts = {&refused};
    int err = 0;
    EXPECT_EQ(OpenVirtualLineHost(c.Connector(), &err), nullptr);
    EXPECT_EQ(err, EBUSY);

    Script accepted;
    Push(accepted, ModemMessage(vline::kPrinterDsr));
    c.scripts = {&accepted};
    err = 0;
    auto host = OpenVirtualLineHost(c.Connector(), &err);
    ASSERT_TRUE(host);
    uint32_t bits = 0;
    ASSERT_TRUE(host->ModemStatus(&bits));
    EXPECT_EQ(bits, kModemDsr);

    c.scripts.clear();
    EXPECT_EQ(OpenVirtualLineHost(c.Connector(), &err), nullptr) << "no connection at all";
    EXPECT_EQ(err, 111);
}

// A printer end that went away is connected again by the next use of the line,
// which first tells it our settings and lines, as the open did; the passive
// questions (lines, queue) do not connect.
TEST(HostOpen, TheNextUseAfterThePrinterEndLeftConnectsAgain) {
    Script first, second;
    Push(first, ModemMessage(vline::kPrinterCts | vline::kPrinterDsr));
    Connections c;
    c.scripts = {&first};
    auto host = OpenVirtualLineHost(c.Connector(), nullptr);
    ASSERT_TRUE(host);
    LineSettings settings;
    settings.baudRate = 19200;
    settings.dtrControl = 1;
    ASSERT_TRUE(host->SetState(settings));
    ASSERT_TRUE(host->EscapeFunction(Escape::SetRts));

    first.receiveFails = true;
    host->Wait(0);
    uint32_t bits = 0xFF;
    ASSERT_TRUE(host->ModemStatus(&bits));
    EXPECT_EQ(bits, 0u);
    EXPECT_EQ(c.made, 1);

    Push(second, ModemMessage(vline::kPrinterCts | vline::kPrinterDsr));
    c.scripts = {&second};
    uint8_t byte = 'q';
    uint32_t written = 0;
    ASSERT_TRUE(host->Write(&byte, 1, &written));
    EXPECT_EQ(c.made, 2);
    std::vector<uint8_t> expected;
    vline::AppendSettings(expected, {19200, 8, 0, 0});
    vline::AppendModem(expected, vline::kHostDtr | vline::kHostRts);
    vline::AppendData(expected, &byte, 1);
    EXPECT_EQ(second.outbound, expected);
    ASSERT_TRUE(host->ModemStatus(&bits));
    EXPECT_EQ(bits, kModemCts | kModemDsr);
}

}  // namespace
}  // namespace moldrin::platform
