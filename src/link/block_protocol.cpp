// The block protocol path of the later models: which application commands it
// takes (item, text, reading), how each becomes a block, the tax-rate table it
// translates rates with, and the printer's verdict. Framing and the line are block_frames.cpp's.
#include "link/block_protocol.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "session/session_state.h"
#include "link/block_frames.h"
#include "link/exchange.h"
#include "link/line_wait.h"
#include "link/receiver.h"
#include "link/status_queries.h"
#include "serial/checked.h"
#include "serial/port_table.h"

namespace moldrin::link {

using namespace detail;

namespace {

// Texts of 48 characters or fewer print as well by the ordinary road.
constexpr std::size_t kShortText = 48;
constexpr std::size_t kLongestText = 2032;
constexpr std::size_t kDescriptionMax = 250;
constexpr std::size_t kTaxSlots = 30;
constexpr std::size_t kTaxSlotSize = 10;
constexpr std::size_t kTaxEntry = 7;
// The reading's fields are counted back from the end of the printer's block.
constexpr int kReadingTail = 43;
// Decoded runs may make a block much longer than its bytes on the line.
constexpr std::size_t kReadingBlockMax = 4096;
// The checksum comes right behind the ETX of the printer's block.
constexpr uint32_t kChecksumWaitMs = 100;

uint8_t U(char c) { return static_cast<uint8_t>(c); }

// The application's command with positions past its end reading as NUL.
struct Command {
    std::string_view text;
    char At(std::size_t i) const { return i < text.size() ? text[i] : 0; }
    std::string_view Field(std::size_t pos, std::size_t n) const {
        return pos < text.size() ? text.substr(pos, n) : std::string_view{};
    }
};

// A block text being built in a fixed buffer; what does not fit is left out.
template <std::size_t N>
struct Text {
    std::array<char, N> data{};
    std::size_t size = 0;
    void Add(char c) {
        if (size + 1 < N) data[size++] = c;
    }
    void Add(std::string_view s) {
        for (char c : s)
            if (c) Add(c);
    }
};

// Digits without their leading zeros; "0" when there is nothing else.
std::string_view WithoutLeadingZeros(std::string_view digits) {
    std::size_t i = 0;
    while (i < digits.size() && digits[i] == '0') ++i;
    return i == digits.size() ? std::string_view("0") : digits.substr(i);
}

char* TaxSlot(std::size_t i) { return g_session.TaxRateTable.data() + i * kTaxSlotSize; }

// The printer's tax entries, read from its answers to 29-3, 29-4 and 29-5.
int LoadTaxRates() {
    struct Source {
        const char* command;
        std::size_t first;
        std::size_t count;
    };
    static constexpr Source kSources[] = {{"\x1B.293}", 48, 4}, {"\x1B.294}", 7, 7}, {"\x1B.295}", 7, 4}};
    SessionState& s = g_session;
    s.TaxRateTable.fill(0);
    std::size_t slot = 0;
    for (const Source& source : kSources) {
        SetText(s.CommandBuffer, source.command);
        if (ExchangeCommand(s.CommandBuffer.data()) <= 0) return -1;
        const char* reply = s.ReplyBuffer.data();
        const std::size_t length = strnlen(reply, kRecordMax + 1);
        for (std::size_t k = 0; k < source.count && slot < kTaxSlots; ++k) {
            const std::size_t at = source.first + kTaxEntry * k;
            // An entry must lie wholly inside the record, before its "}".
            if (at + kTaxEntry >= length || reply[at] == ' ') return 0;
            std::snprintf(TaxSlot(slot++), kTaxSlotSize, "%.7s", reply + at);
        }
    }
    return 0;
}

// "T18,00%" from the slot "T011800": the rate with two decimals, without a leading zero.
template <std::size_t N>
void AddRate(Text<N>& out, const Command& c) {
    const char kind = c.At(69);
    if (kind == 'T' || kind == 'S') {
        const std::string_view code = c.Field(69, 3);
        for (std::size_t i = 0; i < kTaxSlots && TaxSlot(i)[0]; ++i) {
            const char* slot = TaxSlot(i);
            if (code.size() < 3 || std::strncmp(slot, code.data(), 3) != 0) continue;
            if (std::strlen(slot) < kTaxEntry) return;
            out.Add(kind);
            if (U(slot[3]) > '0') out.Add(slot[3]);
            out.Add(slot[4]);
            out.Add(',');
            out.Add(slot[5]);
            out.Add(slot[6]);
            out.Add('%');
            return;
        }
        return;
    }
    if (!kind) return;
    if (U(c.At(70)) <= ' ') {
        out.Add(kind);
        out.Add('1');
    } else if (U(c.At(71)) > ' ') {
        out.Add(c.Field(69, 3));
    } else if (c.At(70) == 'S') {
        out.Add(c.Field(69, 2));
        out.Add('1');
    } else {
        out.Add(c.Field(69, 2));
    }
}

void LearnModelLetter() {
    SessionState& s = g_session;
    Status27(s.ReplyBuffer.data(), '1');
    const char* r = s.ReplyBuffer.data();
    if (strnlen(r, kRecordMax) == kRecordMax && r[1] == '+' && r[2] == 'C' && r[127] == '}')
        s.LinkModelLetter = r[124];
}

// The printer's block carries its checksum behind the ETX; it is taken off
// the line so that it is not mistaken for the start of the next block.
void DropChecksum() {
    const uint32_t deadline = DeadlineIn(kChecksumWaitMs);
    for (;;) {
        int queued = serial::SioRxQue();
        if (queued < 0) return;
        if (queued > 0) {
            serial::SioGetc(g_session.PortIndex);
            return;
        }
        if (Passed(deadline)) return;
        WaitForLine(deadline);
    }
}

// One answering block of the printer, acknowledged; its verdict byte, or 0.
char ReceiveVerdict(std::array<char, kRecordMax + 1>& answer) {
    int got = ReceiveBlock(answer.data(), static_cast<int>(kRecordMax));
    if (got <= 0) return 0;
    TraceBlock("block< ", answer.data(), static_cast<std::size_t>(got));
    const char ack = kAck;
    TraceBlock("block> ", &ack, 1);
    serial::SioPutc(g_session.PortIndex, kAck);
    return got > 1 ? answer[1] : ' ';
}

// Sends an item or text block and settles the printer's verdict.
template <std::size_t N>
int SendBlock(Text<N>& block, bool text) {
    std::array<char, kBlockFrameMax> frame{};
    if (block.size > frame.size()) return -1;
    std::memcpy(frame.data(), block.data.data(), block.size);
    const std::size_t length = CloseBlockFrame(frame, block.size);
    if (length == 0) return -1;
    TraceBlock("block> ", frame.data(), length);
    if (TxFast(frame.data(), static_cast<uint32_t>(length)) <= 0) return -1;

    std::array<char, kRecordMax + 1> answer{};
    char verdict = ReceiveVerdict(answer);
    if (verdict == 0) return -2;
    if (verdict == '-') {
        if (!text) return 0;  // the ordinary road sends the item as the application wrote it
        char cancel[] = "\x1B.080  }";
        return ExchangeCommand(cancel) > 0 ? -1 : -2;
    }
    if (verdict != '+') {
        DropChecksum();
        if (ReceiveVerdict(answer) != '+') return -2;
    }
    char close[] = "\x1B.25}";
    return ExchangeCommand(close) > 0 ? 1 : -2;
}

int TextCommand(const Command& c) {
    if (U(g_session.LinkModelLetter) > 'H') return 0;
    std::size_t count = 0;
    while (5 + count < c.text.size() && c.text[5 + count] != '}') ++count;
    if (count > kLongestText) return -1;
    if (count <= kShortText) return 0;
    const char mode = c.At(4) == '0' ? 'A' : c.At(4) == '1' ? '@' : 'a';
    Text<kLongestText + 16> block;
    block.Add(kStx);
    block.Add("*25|");
    block.Add(kSyn);
    block.Add(mode);
    block.Add(c.Field(5, count));
    block.Add("\r\n");
    block.Add(kEtx);
    return SendBlock(block, true);
}

int ItemCommand(const Command& c) {
    if (g_session.TaxRateTable[0] == 0 && LoadTaxRates() < 0) return -1;

    Text<kDescriptionMax + 1> description;
    description.Add(c.Field(48, 21));
    if (c.At(72) != '}' && c.At(73) != '}' && c.At(74) != '}') description.Add(c.Field(72, std::string_view::npos));
    std::string_view desc(description.data.data(), description.size);
    desc = desc.substr(0, std::min(desc.find('}'), kDescriptionMax));

    Text<kDescriptionMax + 96> block;
    block.Add(kStx);
    block.Add("*02|");
    block.Add(WithoutLeadingZeros(c.Field(17, 4)));
    block.Add(',');
    block.Add(c.Field(21, 3));
    block.Add('|');
    block.Add(c.Field(4, 13));
    block.Add('|');
    if (c.At(45) == '?') {
        block.Add(WithoutLeadingZeros(c.Field(24, 7)));
        block.Add(',');
        block.Add(c.Field(31, 2));
    } else {
        block.Add(WithoutLeadingZeros(c.Field(24, 6)));
        block.Add(',');
        block.Add(c.Field(30, 3));
    }
    block.Add('|');
    block.Add(c.Field(46, 2));
    block.Add('|');
    AddRate(block, c);
    block.Add('|');
    block.Add(desc);
    block.Add(kEtx);
    return SendBlock(block, false);
}

int ReadingCommand() {
    std::array<char, kReadingBlockMax> block{};
    const int m = SendBlockWithRetry("*34|I32", block);
    if (m <= 0) return -1;
    std::array<char, kRecordMax + 1> status{};
    if (Status27(status.data(), '1') <= 0) return -1;
    // A block too short for the fields would have them read from before its start.
    if (m < kReadingTail) return -2;

    Text<kRecordMax + 1> reply;
    reply.Add(".+T");
    for (int i = 3; i <= 5; ++i) reply.Add(status[i] ? status[i] : ' ');
    reply.Add('0');
    struct Span {
        int back;
        int count;
    };
    for (Span f : {Span{43, 16}, Span{21, 10}, Span{10, 4}, Span{6, 4}}) {
        for (int i = 0; i < f.count; ++i) {
            const char b = block[static_cast<std::size_t>(m - f.back + i)];
            reply.Add(b ? b : ' ');  // a NUL would cut the reply short for the application
        }
    }
    reply.Add('}');
    while (reply.size < kRecordMax) reply.Add(' ');
    SetText(g_session.ReplyBuffer, reply.data.data());
    return 1;
}

}  // namespace

int BulkCommand(const char* command) {
    if (!command) return 0;
    SessionState& s = g_session;
    if (s.LinkModelLetter != 0 && U(s.LinkModelLetter) < 'G') return 0;
    const Command c{command};
    if (c.At(2) == '3' && c.At(3) == '3') s.TaxRateTable.fill(0);

    const bool reading = c.At(2) == '2' && c.At(3) == '9' && c.At(4) == '0';
    const bool item = c.At(2) == '0' && c.At(3) == '1' && (c.At(45) == '?' || c.At(45) == '$');
    const bool text = c.At(2) == '0' && c.At(3) == '8' && U(c.At(4)) <= '2';
    if (!reading && !item && !text) return 0;

    // The reading too waits for the model letter: "\x1B.290}" is an ordinary
    // status reading for the dot-matrix models, which know no blocks.
    if (s.LinkModelLetter == 0) {
        LearnModelLetter();
        if (U(s.LinkModelLetter) < 'G') return 0;
    }
    if (reading) return ReadingCommand();
    if (text) return TextCommand(c);
    return ItemCommand(c);
}

}  // namespace moldrin::link
