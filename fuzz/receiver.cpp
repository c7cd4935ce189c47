// Arbitrary printer behaviour (bytes, pauses, modem lines, line errors, lost bytes) against
// the receivers, the exchange and the block reader: no crash, overrun, late return or partial record.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "session/session_state.h"
#include "link/block_frames.h"
#include "link/block_protocol.h"
#include "link/exchange.h"
#include "link/receiver.h"
#include "link/status_queries.h"
#include "platform/clock.h"
#include "platform/operator.h"
#include "platform/serial_device.h"
#include "serial/port_table.h"

using namespace moldrin;

namespace {

// Time moves only when the library waits or sleeps.
class FuzzClock final : public platform::Clock {
public:
    uint32_t TickMs() override { return tick; }
    platform::LocalTime Now() override { return {2026, 12, 9, 10, 0, 0, 0, 3}; }
    void Sleep(uint32_t ms) override { tick += ms; }
    void WaitDevice(platform::SerialDevice&, uint32_t ms) override { tick += ms; }
    uint32_t tick = 1000;
};
FuzzClock g_clock;

class QuietOperator final : public platform::Operator {
public:
    void InfoBox(const char*) override {}
    int QuestionBox(const char*) override { return 1; }
    int MessageBox(const char*, const char*, unsigned) override { return 1; }
    int Identify(const char*, MoldrinIdentification&) override { return 0; }
};
QuietOperator g_operator;

// One thing the printer does, at a moment on the clock.
struct Event {
    uint32_t at;
    enum Kind : uint8_t { Byte, Lost, Modem, Errors } kind;
    uint8_t value;
};

struct Script {
    std::deque<Event> events;
    uint32_t modem = platform::kModemCts | platform::kModemDsr;
    uint32_t errors = 0;

    // Applies the modem and error events that are due, up to the first byte.
    void Settle() {
        while (!events.empty() && platform::TickReached(g_clock.tick, events.front().at)) {
            Event& e = events.front();
            if (e.kind == Event::Modem) modem = e.value;
            else if (e.kind == Event::Errors) errors |= e.value;
            else break;
            events.pop_front();
        }
    }
    uint32_t Ready() {
        Settle();
        uint32_t n = 0;
        for (const Event& e : events) {
            if (!platform::TickReached(g_clock.tick, e.at)) break;
            if (e.kind == Event::Byte || e.kind == Event::Lost) ++n;
        }
        return n;
    }
};
Script* g_script = nullptr;

class FuzzDevice final : public platform::SerialDevice {
public:
    bool GetTimeouts(platform::CommTimeouts&) override { return true; }
    bool SetTimeouts(const platform::CommTimeouts&) override { return true; }
    bool GetState(platform::LineSettings& s) override {
        s = settings_;
        return true;
    }
    bool SetState(const platform::LineSettings& s) override {
        settings_ = s;
        return true;
    }
    bool SetupQueues(uint32_t, uint32_t) override { return true; }
    bool EscapeFunction(platform::Escape) override { return true; }
    bool ClearErrors(uint32_t* errors, uint32_t* rx, uint32_t* tx) override {
        if (rx) *rx = g_script->Ready();
        if (errors) {
            *errors = g_script->errors;
            g_script->errors = 0;
        }
        if (tx) *tx = 0;
        return true;
    }
    bool SetEventMask(uint32_t) override { return true; }
    bool Write(const uint8_t*, uint32_t n, uint32_t* w) override {
        if (w) *w = n;
        return true;
    }
    bool Read(uint8_t* b, uint32_t n, uint32_t* got) override {
        *got = 0;
        g_script->Settle();
        while (*got < n && !g_script->events.empty() &&
               platform::TickReached(g_clock.tick, g_script->events.front().at)) {
            Event e = g_script->events.front();
            if (e.kind != Event::Byte && e.kind != Event::Lost) break;
            g_script->events.pop_front();
            if (e.kind == Event::Lost) break;
            b[(*got)++] = e.value;
        }
        return true;
    }
    bool Purge(uint32_t) override { return true; }
    bool ModemStatus(uint32_t* bits) override {
        g_script->Settle();
        *bits = g_script->modem;
        return true;
    }
    void Wait(uint32_t) override {}

private:
    platform::LineSettings settings_;
};

// Input: op bytes. High three bits choose: 0-3 data (low five bits + 1 bytes
// follow), 4 a pause of (low bits) x 150 ms, 5 modem lines (bit 0 CTS, bit 1
// DSR), 6 line errors, 7 a lost byte.
Script Decode(const uint8_t* data, size_t size) {
    Script s;
    uint32_t at = g_clock.tick;
    for (size_t i = 0; i < size;) {
        uint8_t op = data[i] >> 5, arg = data[i] & 31;
        ++i;
        switch (op) {
            case 4: at += arg * 150u; break;
            case 5:
                s.events.push_back({at, Event::Modem,
                                    static_cast<uint8_t>((arg & 1 ? platform::kModemCts : 0) |
                                                         (arg & 2 ? platform::kModemDsr : 0))});
                break;
            case 6: s.events.push_back({at, Event::Errors, arg}); break;
            case 7: s.events.push_back({at, Event::Lost, 0}); break;
            default:
                for (int k = 0; k <= arg && i < size; ++k, ++i) s.events.push_back({at, Event::Byte, data[i]});
        }
    }
    return s;
}

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

// What ECFRead would hand out: a synthetic reply, or one whole record.
void CheckReply(const char* reply) {
    size_t n = strnlen(reply, kBufferSize);
    bool whole = n <= link::kRecordMax && (n == 0 || (reply[0] == '.' && reply[n - 1] == '}'));
    if (!whole) std::fprintf(stderr, "partial reply (%zu): %.*s\n", n, static_cast<int>(n), reply);
    Check(whole);
}

bool g_ready = false;

void SetUp() {
    platform::SetClock(&g_clock);
    platform::SetOperator(&g_operator);
    platform::SetSerialOpener([](int, int*) { return std::make_unique<FuzzDevice>(); });
    g_session.LogMode = 0;
    g_session.ShowDialogs = 0;
    g_session.DialogsEnabled = 0;
    g_session.PortIndex = 0;
    serial::PortOpen(0, 1600, 1600);
    g_ready = true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!g_ready) SetUp();
    if (size < 1) return 0;
    g_session.ReadTimeoutSeconds = 1 + data[0] % 3;
    g_session.CtsTestEnabled = data[0] & 0x80 ? 1 : 0;
    const uint32_t timeoutMs = g_session.ReadTimeoutSeconds * 1000;
    Script script = Decode(data + 1, size - 1);
    g_script = &script;

    char record[link::kRecordMax + 1];
    uint32_t start = g_clock.tick;
    int r = link::ReceiveRecord(record);
    Check(r <= static_cast<int>(link::kRecordMax));
    Check(strnlen(record, sizeof record) <= link::kRecordMax);
    if (r > 0) Check(record[0] == '.' && record[r - 1] == '}');
    // Each byte has its own deadline and the overall one is tested between bytes.
    Check(g_clock.tick - start <= 2 * timeoutMs + 200);

    char block[64];
    start = g_clock.tick;
    r = link::ReceiveBlock(block, 40);
    Check(r <= 40);
    Check(g_clock.tick - start <= 2 * timeoutMs + 200);

    char command[] = "\x1B.30}";
    start = g_clock.tick;
    r = link::ExchangeCommand(command);
    CheckReply(g_session.ReplyBuffer.data());

    char status[link::kRecordMax + 1];
    link::Status27(status, 'L');
    CheckReply(status);

    char checked[96];
    start = g_clock.tick;
    r = link::ReadCheckedBlock(timeoutMs, link::kStx, link::kEtx, checked);
    Check(r < static_cast<int>(sizeof checked));
    if (r > 0) Check(checked[0] == link::kStx && checked[r] == 0);
    Check(g_clock.tick - start <= timeoutMs + 200);

    // The reading of a later model: whatever the printer does, it ends, and
    // without dialogs within a bounded time.
    g_session.LinkModelLetter = 'G';
    start = g_clock.tick;
    r = link::BulkCommand("\x1B.290}");
    Check(r == 1 || r == -1 || r == -2);
    Check(strnlen(g_session.ReplyBuffer.data(), kBufferSize) <= link::kRecordMax);
    Check(g_clock.tick - start <= 400000);
    g_session.LinkModelLetter = 0;

    g_script = nullptr;
    return 0;
}
