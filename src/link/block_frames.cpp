// The block frames of the later models on the line: checksum and closing,
// the checked reader with its ESC-run and DLE decoding, the sending with the
// operator's retries, and the readable trace. What goes in a block is block_protocol.cpp's.
#include "link/block_frames.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "session/session_state.h"
#include "link/block_protocol.h"
#include "link/line_wait.h"
#include "log/text.h"
#include "platform/clock.h"
#include "serial/checked.h"
#include "serial/port_table.h"
#include "ui/boxes.h"

namespace moldrin::link {

using namespace detail;

namespace {

constexpr uint32_t kFirstAnswerWaitMs = 15000;
constexpr uint32_t kLaterAnswerWaitMs = 5000;
constexpr uint32_t kResendPauseMs = 3000;
// Nobody reads the question and clicks in less time than this.
constexpr uint32_t kPersonAnswerMs = 300;
// An ESC in a block's content is followed by the number of further copies plus this.
constexpr int kRunBias = 31;

// A plain function pointer: nothing to destroy when the process exits mid-trace.
std::atomic<BlockTraceSink> g_trace{nullptr};

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

// Whether the printer's block is the answer to our text: the same command
// code, and for a reading (code 34) the same separator after it.
bool Answers(const char* block, int length, const char* text) {
    if (length < 4 || std::strlen(text) < 3) return false;
    for (int i = 0; i < 3; ++i)
        if (Upper(block[i + 1]) != text[i]) return false;
    if (text[1] == '3' && text[2] == '4') {
        if (length < 5 || !text[3] || Upper(block[4]) != text[3]) return false;
    }
    return true;
}

void SendControl(char byte) {
    TraceBlock("block> ", &byte, 1);
    serial::SioPutc(g_session.PortIndex, static_cast<uint8_t>(byte));
}

// The operator's "go on?" after a sending that found no answer. While nobody
// is there to answer (dialogs off, a box that could not be shown, or a yes
// quicker than any person clicks, as the default operator of a terminal-less
// POS gives) the yes is only taken until the unattended time is used up: a
// printer that never answers then fails the command instead of holding the
// POS forever. A person who keeps saying yes keeps the retries going.
bool KeepTrying(uint32_t unattendedUntil) {
    if (g_session.DialogsEnabled == 0 && Passed(unattendedUntil)) return false;
    const uint32_t asked = platform::TickMs();
    int answer = ui::QuestionBox(CP1252("ERRO na impressora ! ECF ligado ? CONEXÕES OK ?  TAMPA ?\r\nContinua tentando ? "));
    if (answer == 0) return false;
    const bool unattended = g_session.DialogsEnabled == 0 || answer < 0 || platform::TickMs() - asked < kPersonAnswerMs;
    return !(unattended && Passed(unattendedUntil));
}

}  // namespace

uint8_t BlockChecksum(const char* bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += static_cast<uint8_t>(bytes[i]);
    return static_cast<uint8_t>(sum & 0xFF);
}

std::size_t CloseBlockFrame(std::span<char> frame, std::size_t textLength) {
    if (textLength + 4 > frame.size()) return 0;
    std::size_t n = textLength;
    frame[n++] = static_cast<char>(BlockChecksum(frame.data(), textLength));
    frame[n++] = kEsc;
    frame[n++] = '.';
    frame[n++] = '}';
    return n;
}

int ReadCheckedBlock(uint32_t limitMs, char start, char end, std::span<char> out) {
    if (out.size() < 2) return -2;
    out[0] = 0;
    std::array<char, kCheckedBlockRaw> raw{};
    std::size_t kept = 0;
    bool begun = false, ended = false, complete = false;
    const bool startRestarts = static_cast<uint8_t>(start) < 0x20;
    const uint32_t deadline = DeadlineIn(limitMs);

    while (kept < raw.size()) {
        for (;;) {
            int queued = serial::SioRxQue();
            if (queued < 0) return -1;
            if (queued > 0) break;
            if (Passed(deadline)) return begun ? -2 : 0;
            WaitForLine(deadline);
        }
        int c = serial::SioGetc(g_session.PortIndex);
        if (c < 0) return -1;
        const char b = static_cast<char>(c);
        if (ended) {
            raw[kept++] = b;
            complete = true;
            break;
        }
        if (b == start && (startRestarts || !begun)) {
            kept = 0;
            raw[kept++] = b;
            begun = true;
        } else if (begun) {
            raw[kept++] = b;
            ended = b == end;
        }
        if (Passed(deadline)) break;
    }
    if (!complete) {
        if (begun) TraceBlock("block< incomplete: ", raw.data(), kept);
        return begun ? -2 : 0;
    }
    if (BlockChecksum(raw.data(), kept - 1) != static_cast<uint8_t>(raw[kept - 1])) {
        TraceBlock("block< bad checksum: ", raw.data(), kept);
        return -3;
    }

    // Content lies between the STX and the ETX; the decoded block keeps the STX.
    const std::size_t contentEnd = kept - 2;
    std::size_t o = 0;
    auto put = [&](char byte) {
        if (o + 1 >= out.size()) return false;
        out[o++] = byte;
        return true;
    };
    put(raw[0]);
    for (std::size_t i = 1; i < contentEnd; ++i) {
        const char b = raw[i];
        if (b == kEsc && i + 1 < contentEnd) {
            const int copies = static_cast<uint8_t>(raw[++i]) - kRunBias;
            const char previous = out[o - 1];
            for (int k = 0; k < copies; ++k)
                if (!put(previous)) return -2;
        } else if (b == kDle && i + 1 < contentEnd) {
            if (!put(static_cast<char>(raw[++i] & 0x7F))) return -2;
        } else if (b != kEsc && b != kDle) {
            if (!put(b)) return -2;
        }
    }
    out[o] = 0;
    TraceBlock("block< ", out.data(), o);
    return static_cast<int>(o);
}

int SendBlockWithRetry(const char* text, std::span<char> out) {
    if (!out.empty()) out[0] = 0;
    serial::PortFlushRx();

    std::array<char, kBlockFrameMax> frame{};
    std::size_t n = 0;
    frame[n++] = kStx;
    for (const char* p = text; p && *p && n + 5 < frame.size(); ++p) frame[n++] = *p;
    frame[n++] = kEtx;
    const std::size_t length = CloseBlockFrame(frame, n);
    if (length == 0) return -1;

    uint32_t wait = kFirstAnswerWaitMs;
    const uint32_t unattendedUntil = DeadlineIn(kUnattendedRetryMs);
    for (;;) {
        TraceBlock("block> ", frame.data(), length);
        bool sent = TxFast(frame.data(), static_cast<uint32_t>(length)) > 0;
        if (!sent) {
            platform::SleepMs(kResendPauseMs);
            sent = TxFast(frame.data(), static_cast<uint32_t>(length)) > 0;
        }
        if (sent) {
            const uint32_t giveUp = DeadlineIn(2 * wait);
            while (!Passed(giveUp)) {
                int got = ReadCheckedBlock(wait, kStx, kEtx, out);
                if (got == -2 || got == -3) {
                    SendControl(kNak);
                    continue;
                }
                // A port that has gone away stays gone: asking again would only spin.
                if (got == -1) return -1;
                if (got > 0) {
                    SendControl(kAck);
                    if (Answers(out.data(), got, text)) return got;
                }
                wait = kLaterAnswerWaitMs;
            }
        }
        if (!KeepTrying(unattendedUntil)) return -1;
    }
}

void SetBlockTrace(BlockTraceSink sink) { g_trace.store(sink); }

void TraceBlock(const char* prefix, const char* bytes, std::size_t count) {
    BlockTraceSink sink = g_trace.load();
    if (!sink) return;
    // Each byte takes at most five characters ("<STX>", "<9F>").
    std::array<char, 64 + 5 * kBlockFrameMax> line{};
    std::size_t n = 0;
    auto add = [&](const char* s) {
        while (*s && n + 1 < line.size()) line[n++] = *s++;
    };
    add(prefix);
    for (std::size_t i = 0; i < count; ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        switch (b) {
            case 0x02: add("<STX>"); break;
            case 0x03: add("<ETX>"); break;
            case 0x06: add("<ACK>"); break;
            case 0x0A: add("<LF>"); break;
            case 0x0D: add("<CR>"); break;
            case 0x10: add("<DLE>"); break;
            case 0x15: add("<NAK>"); break;
            case 0x16: add("<SYN>"); break;
            case 0x1B: add("<ESC>"); break;
            default:
                if (b < 0x20 || b >= 0x7F) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "<%02X>", b);
                    add(hex);
                } else {
                    const char one[2] = {static_cast<char>(b), 0};
                    add(one);
                }
        }
    }
    line[n] = 0;
    sink(line.data());
}

}  // namespace moldrin::link
