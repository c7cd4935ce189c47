// Byte coding of the virtual serial line's messages, both directions; which end
// sends what, and the sockets, are the back ends' business.
#include "platform/virtual_line.h"

#include <algorithm>

namespace moldrin::platform::vline {

void AppendData(std::vector<uint8_t>& out, const uint8_t* bytes, size_t n) {
    while (n > 0) {
        size_t chunk = std::min(n, kMaxDataPerMessage);
        out.push_back(kTagData);
        out.push_back(static_cast<uint8_t>(chunk));
        out.insert(out.end(), bytes, bytes + chunk);
        bytes += chunk;
        n -= chunk;
    }
}

void AppendModem(std::vector<uint8_t>& out, uint8_t bits) {
    out.push_back(kTagModem);
    out.push_back(bits);
}

void AppendSettings(std::vector<uint8_t>& out, const WireSettings& s) {
    out.push_back(kTagSettings);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(s.baudRate >> shift));
    out.push_back(s.byteSize);
    out.push_back(s.parity);
    out.push_back(s.stopBits);
}

void AppendErrors(std::vector<uint8_t>& out, uint8_t bits) {
    out.push_back(kTagErrors);
    out.push_back(bits);
}

namespace {
// Whole size of a message once its first two bytes are known; 0 for a bad tag
// or a bad length.
size_t MessageSize(uint8_t tag, uint8_t second) {
    switch (tag) {
        case kTagData: return second == 0 ? 0 : 2 + static_cast<size_t>(second);
        case kTagModem:
        case kTagErrors: return 2;
        case kTagSettings: return 8;
        default: return 0;
    }
}
}  // namespace

Parser::Result Parser::Next(const uint8_t* input, size_t n, size_t* used, Message& message) {
    size_t pos = 0;
    while (pos < n) {
        if (have_ == 0) {
            uint8_t tag = input[pos];
            if (tag != kTagData && tag != kTagModem && tag != kTagErrors && tag != kTagSettings) {
                // A lost byte must not swallow what follows: resume at the next one.
                *used = pos + 1;
                return Result::BadTag;
            }
        }
        buffer_[have_++] = input[pos++];
        if (have_ < 2) continue;
        size_t size = MessageSize(buffer_[0], buffer_[1]);
        if (size == 0) {
            // Only a zero data length gets here; its tag and length are dropped.
            have_ = 0;
            *used = pos;
            return Result::BadLength;
        }
        // The rest of a data message can be taken in one copy.
        size_t want = std::min(size - have_, n - pos);
        std::copy_n(input + pos, want, buffer_.begin() + static_cast<std::ptrdiff_t>(have_));
        have_ += want;
        pos += want;
        if (have_ < size) break;

        message = Message{};
        message.tag = buffer_[0];
        switch (message.tag) {
            case kTagData:
                message.length = buffer_[1];
                std::copy_n(buffer_.begin() + 2, message.length, message.data.begin());
                break;
            case kTagSettings:
                message.settings.baudRate = static_cast<uint32_t>(buffer_[1]) | static_cast<uint32_t>(buffer_[2]) << 8 |
                                            static_cast<uint32_t>(buffer_[3]) << 16 |
                                            static_cast<uint32_t>(buffer_[4]) << 24;
                message.settings.byteSize = buffer_[5];
                message.settings.parity = buffer_[6];
                message.settings.stopBits = buffer_[7];
                break;
            default: message.bits = buffer_[1]; break;
        }
        have_ = 0;
        *used = pos;
        return Result::Complete;
    }
    *used = pos;
    return Result::NeedMore;
}

}  // namespace moldrin::platform::vline
