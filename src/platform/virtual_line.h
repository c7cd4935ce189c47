// The messages of the virtual serial line and their byte coding, shared by the
// host end (a serial back end) and the printer end; sockets belong to the back ends.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace moldrin::platform::vline {

// Each message is one tag byte and its payload:
//   'D' both ways       length n (1..255), then n data bytes
//   'M' host->printer   bit 0 DTR, bit 1 RTS
//   'M' printer->host   0x10 CTS, 0x20 DSR
//   'S' host->printer   speed in bit/s (4 bytes little-endian), data bits, parity, stop bits
//   'E' printer->host   line-error bits (1 rx overrun, 2 overrun, 4 parity, 8 framing, 16 break)
constexpr uint8_t kTagData = 'D';
constexpr uint8_t kTagModem = 'M';
constexpr uint8_t kTagSettings = 'S';
constexpr uint8_t kTagErrors = 'E';

constexpr size_t kMaxDataPerMessage = 255;
constexpr size_t kMaxMessageSize = 2 + kMaxDataPerMessage;

// Host line bits in a host->printer 'M'.
constexpr uint8_t kHostDtr = 0x01;
constexpr uint8_t kHostRts = 0x02;
// Printer line bits in a printer->host 'M' (the modem-status bits the host reads).
constexpr uint8_t kPrinterCts = 0x10;
constexpr uint8_t kPrinterDsr = 0x20;

// The part of the line settings that travels in an 'S'.
struct WireSettings {
    uint32_t baudRate = 9600;
    uint8_t byteSize = 8;
    uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
    bool operator==(const WireSettings&) const = default;
};

// Encoders append whole messages to out. Data longer than 255 bytes becomes
// several 'D' messages; no data gives no message.
void AppendData(std::vector<uint8_t>& out, const uint8_t* bytes, size_t n);
void AppendModem(std::vector<uint8_t>& out, uint8_t bits);
void AppendSettings(std::vector<uint8_t>& out, const WireSettings& settings);
void AppendErrors(std::vector<uint8_t>& out, uint8_t bits);

// One decoded message. For 'D' the bytes are data[0..length); for 'M' and 'E'
// the byte is `bits`; for 'S' the values are in `settings`.
struct Message {
    uint8_t tag = 0;
    uint8_t bits = 0;
    WireSettings settings;
    uint8_t length = 0;
    std::array<uint8_t, kMaxDataPerMessage> data{};
};

// Incremental decoder: feed it whatever the stream gave, in pieces of any size.
class Parser {
public:
    enum class Result {
        NeedMore,   // all input consumed, no message completed
        Complete,   // `message` holds a message
        BadTag,     // an unknown tag byte was skipped
        BadLength,  // a 'D' with length 0 was skipped
    };
    // Consumes input up to the end of the next message (or a bad byte, or the
    // end of the input) and says how much in *used. Call again with the rest.
    Result Next(const uint8_t* input, size_t n, size_t* used, Message& message);
    // True while a message has begun but not ended.
    bool InMessage() const { return have_ > 0; }
    void Reset() { have_ = 0; }

private:
    std::array<uint8_t, kMaxMessageSize> buffer_{};
    size_t have_ = 0;
};

}  // namespace moldrin::platform::vline
