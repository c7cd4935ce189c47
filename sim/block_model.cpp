// The later simulated models' block protocol: gathers a host block with its
// checksum and closing ESC "." "}", answers it, and encodes the answering blocks
// with ESC runs and DLE escapes. Queuing and timing the answer is printer_model.cpp's.
#include "sim/block_model.h"

namespace moldrin::sim {

namespace {

constexpr char kStx = 0x02, kEtx = 0x03, kAck = 0x06, kDle = 0x10, kNak = 0x15, kSyn = 0x16, kEsc = 0x1B;
constexpr std::string_view kTrailer = "\x1B.}";
constexpr std::size_t kBlockMax = 4096;
constexpr int kRunBias = 31;
constexpr std::size_t kLongestRun = 255 - kRunBias;  // further copies one ESC can stand for
constexpr std::size_t kRunFrom = 3;                   // shorter runs are cheaper as they stand

unsigned char Sum(std::string_view bytes) {
    unsigned sum = 0;
    for (char c : bytes) sum += static_cast<unsigned char>(c);
    return static_cast<unsigned char>(sum & 0xFF);
}

std::vector<std::string> Split(std::string_view text, char separator) {
    std::vector<std::string> out;
    std::size_t at = 0;
    for (;;) {
        std::size_t next = text.find(separator, at);
        out.emplace_back(text.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at));
        if (next == std::string_view::npos) return out;
        at = next + 1;
    }
}

}  // namespace

std::string BlockModel::Encode(std::string_view content) {
    std::string out;
    for (std::size_t i = 0; i < content.size();) {
        const char b = content[i];
        std::size_t run = 1;
        while (i + run < content.size() && content[i + run] == b && run - 1 < kLongestRun) ++run;
        if (static_cast<unsigned char>(b) < 0x20) {
            out += kDle;
            out += static_cast<char>(b | 0x80);
        } else {
            out += b;
        }
        if (run >= kRunFrom) {
            out += kEsc;
            out += static_cast<char>(run - 1 + kRunBias);
        } else {
            run = 1;
        }
        i += run;
    }
    return out;
}

std::string BlockModel::Frame(std::string_view content, bool badChecksum) {
    std::string out(1, kStx);
    out += Encode(content);
    out += kEtx;
    unsigned char sum = Sum(out);
    if (badChecksum) sum = static_cast<unsigned char>(sum + 1);
    out += static_cast<char>(sum);
    return out;
}

std::string BlockModel::FrameNext(std::string_view content) {
    const bool spoil = faults_.badChecksum > 0;
    if (spoil) --faults_.badChecksum;
    return Frame(content, spoil);
}

bool BlockModel::Feed(char byte, std::string* answer) {
    std::lock_guard lock(m_);
    return FeedLocked(byte, answer);
}

bool BlockModel::FeedLocked(char byte, std::string* answer) {
    switch (stage_) {
        case Stage::Idle:
            if (byte == kStx) {
                raw_.assign(1, byte);
                stage_ = Stage::Block;
                return true;
            }
            if (byte == kAck) {
                // The working block's ACK leaves the verdict still to be acknowledged.
                if (unacknowledged_ > 0 && --unacknowledged_ == 0) last_.clear();
                return true;
            }
            if (byte == kNak) {
                ++naks_;
                if (!last_.empty() && !faults_.silent) *answer += FrameNext(last_);
                return true;
            }
            return false;
        case Stage::Block:
            if (byte == kStx) raw_.clear();  // a new block begins; the broken one is forgotten
            raw_ += byte;
            if (byte == kEtx) stage_ = Stage::Checksum;
            if (raw_.size() > kBlockMax) stage_ = Stage::Idle;
            return true;
        case Stage::Checksum:
            raw_ += byte;
            stage_ = Stage::Trailer;
            trailer_ = 0;
            return true;
        case Stage::Trailer:
            if (byte == kTrailer[trailer_]) {
                if (++trailer_ < kTrailer.size()) return true;
                stage_ = Stage::Idle;
                Settle(answer);
                return true;
            }
            // The closing ESC "." "}" did not come: the block stands as it is,
            // and the byte is looked at afresh.
            stage_ = Stage::Idle;
            Settle(answer);
            return FeedLocked(byte, answer);
    }
    return false;
}

void BlockModel::Settle(std::string* answer) {
    const std::string_view raw = raw_;
    if (Sum(raw.substr(0, raw.size() - 1)) != static_cast<unsigned char>(raw.back())) {
        ++badBlocks_;
        if (!faults_.silent) *answer += kNak;
        return;
    }
    const std::string text(raw.substr(1, raw.size() - 3));
    blocks_.push_back(text);
    std::string verdict = Respond(text);
    if (faults_.silent) return;
    *answer += kAck;
    if (faults_.busyFirst) *answer += Frame("*");
    *answer += FrameNext(verdict);
    last_ = verdict;
    unacknowledged_ = faults_.busyFirst ? 2 : 1;
}

std::string BlockModel::Respond(const std::string& text) {
    const bool item = text.rfind("*02|", 0) == 0;
    const bool print = text.rfind("*25|", 0) == 0;
    if (item || print) {
        if (faults_.refuse > 0) {
            --faults_.refuse;
            return "-";
        }
    }
    if (item) {
        std::vector<std::string> f = Split(text, '|');
        if (f.size() < 7) return "-";
        // The description may itself hold the separator.
        std::string description = f[6];
        for (std::size_t i = 7; i < f.size(); ++i) description += "|" + f[i];
        items_.push_back({f[1], f[2], f[3], f[4], f[5], description});
        return "+";
    }
    if (print) {
        if (text.size() < 6 || text[4] != kSyn) return "-";
        std::string body = text.substr(6);
        if (body.size() >= 2 && body.compare(body.size() - 2, 2, "\r\n") == 0) body.resize(body.size() - 2);
        texts_.push_back({text[5], body});
        return "+";
    }
    if (text == "*34|I32") {
        // The fields the library reads are counted back from the block's end.
        return "*34|" + reading_.figure + "|0000|" + reading_.stamp + "|" + reading_.first + reading_.last + "\r\n";
    }
    return "-";
}

void BlockModel::SetFaults(const BlockFaults& faults) {
    std::lock_guard lock(m_);
    faults_ = faults;
}
BlockFaults BlockModel::Faults() const {
    std::lock_guard lock(m_);
    return faults_;
}
void BlockModel::SetReading(const ReadingFields& reading) {
    std::lock_guard lock(m_);
    reading_ = reading;
}
std::vector<SoldItem> BlockModel::Items() const {
    std::lock_guard lock(m_);
    return items_;
}
std::vector<PrintedText> BlockModel::Texts() const {
    std::lock_guard lock(m_);
    return texts_;
}
std::vector<std::string> BlockModel::Blocks() const {
    std::lock_guard lock(m_);
    return blocks_;
}
int BlockModel::BadBlocks() const {
    std::lock_guard lock(m_);
    return badBlocks_;
}
int BlockModel::Naks() const {
    std::lock_guard lock(m_);
    return naks_;
}
void BlockModel::Clear() {
    std::lock_guard lock(m_);
    items_.clear();
    texts_.clear();
    blocks_.clear();
    badBlocks_ = 0;
    naks_ = 0;
    last_.clear();
    unacknowledged_ = 0;
    stage_ = Stage::Idle;
    raw_.clear();
}

}  // namespace moldrin::sim
