// The simulated printer's protocol: framing, choice of answer, faults and timing.
// Status record contents are status_records.cpp's; transports, the device's and the tool's.
#include "sim/printer_model.h"

#include <chrono>
#include <cstdio>

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace moldrin::sim {

namespace {

constexpr std::size_t kRecord = 128;
constexpr std::size_t kFrameMax = 4096;
constexpr char kEsc = 0x1B;
// A later model answers a block a little after the transmission ends, as the
// host clears its receive queue right after the last byte it sends.
constexpr uint32_t kBlockWorkMs = 30;

int Code(const std::string& frame) {
    if (frame.size() < 4) return -1;
    char a = frame[2], b = frame[3];
    if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
    return (a - '0') * 10 + (b - '0');
}

bool NeverContinued(const std::string& frame, int code) {
    return (frame.size() > 2 && frame[2] == '+') || code == 27 || code == 28 || code == 29 || code == 46 ||
           code == 49 || code == 59;
}

// The commands whose answer the lost-reply fault takes: those that change the
// printer, not the status queries that find out what it did.
bool LosesReply(const std::string& frame) {
    const int code = Code(frame);
    return code >= 0 && code != 23 && code != 27 && code != 28 && code != 29;
}

// What a byte looks like when read at the wrong speed: never "." nor "}".
uint8_t Garble(uint8_t b) { return static_cast<uint8_t>((b ^ 0x5A) | 0x80); }

}  // namespace

PrinterModel::PrinterModel(uint32_t speed) : speed_(speed) {}

void PrinterModel::SetSpeed(uint32_t bitsPerSecond) {
    std::lock_guard lock(m_);
    speed_ = bitsPerSecond;
}
uint32_t PrinterModel::Speed() const {
    std::lock_guard lock(m_);
    return speed_;
}
void PrinterModel::SetFaults(const Faults& faults) {
    {
        std::lock_guard lock(m_);
        faults_ = faults;
    }
    news_.notify_all();
}
Faults PrinterModel::GetFaults() const {
    std::lock_guard lock(m_);
    return faults_;
}
void PrinterModel::SetResponder(Responder responder) {
    std::lock_guard lock(m_);
    responder_ = std::move(responder);
}
PrinterState PrinterModel::State() const {
    std::lock_guard lock(m_);
    return state_;
}

void PrinterModel::HostSettings(uint32_t bitsPerSecond) {
    std::lock_guard lock(m_);
    hostSpeed_ = bitsPerSecond;
}
void PrinterModel::HostLines(bool dtr, bool rts) {
    std::lock_guard lock(m_);
    dtr_ = dtr;
    rts_ = rts;
}
bool PrinterModel::HostDtr() const {
    std::lock_guard lock(m_);
    return dtr_;
}
bool PrinterModel::HostRts() const {
    std::lock_guard lock(m_);
    return rts_;
}
uint32_t PrinterModel::HostSpeed() const {
    std::lock_guard lock(m_);
    return hostSpeed_;
}

std::string PrinterModel::Records(std::string_view content, bool closeFull) {
    std::string out;
    const std::size_t chunk = kRecord - 2;
    std::size_t at = 0;
    do {
        std::size_t n = std::min(chunk, content.size() - at);
        out += '.';
        out.append(content.substr(at, n));
        out += '}';
        at += n;
        if (at >= content.size() && n == chunk && closeFull) out += ".}";
    } while (at < content.size());
    return out;
}

std::string PrinterModel::AnswerFor(const std::string& frame) {
    const int code = Code(frame);
    const char type = frame.size() > 5 ? frame[4] : '}';
    switch (code) {
        case 23: return Status23Record(state_);
        case 27: return Status27Record(state_, type);
        case 28: return type == '}' ? Status28Record(state_) : Status28TypedRecord(state_, type);
        case 29: return Status29Record(state_, type);
        default: break;
    }
    if (auto own = ControlCommand(state_, frame)) return *own;
    auto it = state_.answers.find(code);
    if (it == state_.answers.end() && state_.keepsFiscalDay) {
        if (auto fiscal = FiscalCommand(state_, frame)) return *fiscal;
    }
    if (code >= 0) state_.lastCommand = static_cast<unsigned>(code);
    if (it != state_.answers.end()) return Records(it->second, !NeverContinued(frame, code));
    char ack[16];
    std::snprintf(ack, sizeof ack, ".+00%02d}", code < 0 ? 0 : code);
    return ack;
}

void PrinterModel::Queue(const std::string& answer, uint32_t nowTick) {
    const Faults& f = faults_;
    // Held clean: whether a byte reads as garbage depends on the host's speed
    // when it crosses the line, not when the frame came (see Take).
    const std::string bytes = f.strayBefore + (f.overlongRecord ? "." + std::string(kRecord - 1, 'X') : answer);
    // An overrun needs a byte still unread when the next one comes: the first
    // byte cannot overrun, so a one-byte answer loses that byte.
    const std::size_t overrunAt = bytes.size() > 1 ? 1 : 0;
    uint32_t due = nowTick + f.answerDelayMs;
    // One answer at a time: the next cannot overtake what is still held.
    for (const uint32_t* last : {out_.empty() ? nullptr : &out_.back().due,
                                 errors_.empty() ? nullptr : &errors_.back().due}) {
        if (last && !platform::TickReached(due, *last)) due = *last;
    }
    if (f.answerDelayMs > 0 && (!busy_ || !platform::TickReached(busyUntil_, due))) {
        busy_ = true;
        busyUntil_ = due;
    }
    if (f.loseByte) out_.push_back({0, due, true});
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (f.pauseMs && i == f.pauseAfterBytes) due += f.pauseMs;
        if (i > 0) due += f.byteGapMs;
        if (f.overrun && i == overrunAt) {
            errors_.push_back({due, platform::kErrOverrun});
            continue;
        }
        out_.push_back({static_cast<uint8_t>(bytes[i]), due, false});
    }
}

void PrinterModel::HostBytes(const uint8_t* bytes, std::size_t n, uint32_t nowTick) {
    std::vector<std::string> complete;
    bool blockNews = false;
    {
        std::lock_guard lock(m_);
        for (std::size_t i = 0; i < n; ++i) {
            const char c = static_cast<char>(bytes[i]);
            if (!inFrame_ && BlockModel::Speaks(state_.modelLetter)) {
                std::string answer;
                if (block_.Feed(c, &answer)) {
                    if (!answer.empty() && !faults_.silent) {
                        Queue(answer, nowTick + kBlockWorkMs);
                        blockNews = true;
                    }
                    continue;
                }
            }
            if (c == kEsc) {
                frame_.assign(1, c);
                inFrame_ = true;
                continue;
            }
            if (!inFrame_) continue;  // hand-shake bytes and noise between frames
            if (frame_.size() < kFrameMax) frame_ += c;
            if (c != '}') continue;
            inFrame_ = false;
            frames_.push_back(frame_);
            complete.push_back(frame_);
        }
    }
    if (blockNews) news_.notify_all();
    for (const std::string& frame : complete) {
        // A test's responder runs without the lock, so that it may look at the model.
        Responder responder;
        {
            std::lock_guard lock(m_);
            responder = responder_;
        }
        std::optional<std::string> own;
        if (responder) own = responder(frame);
        {
            std::lock_guard lock(m_);
            if (!faults_.silent) {
                std::string answer = own ? *own : AnswerFor(frame);
                if (faults_.lostReplies != 0 && LosesReply(frame)) {
                    if (faults_.lostReplies > 0) --faults_.lostReplies;
                } else {
                    Queue(answer, nowTick);
                }
            }
            if (faults_.frames > 0 && --faults_.frames == 0) {
                Faults cleared;
                cleared.dsrLow = faults_.dsrLow;
                cleared.ctsLow = faults_.ctsLow;
                faults_ = cleared;
            }
        }
        news_.notify_all();
    }
}

std::size_t PrinterModel::Ready(uint32_t nowTick) const {
    std::lock_guard lock(m_);
    // Time only moves on, so the due prefix of the queue only grows until taken.
    while (due_ < out_.size() && platform::TickReached(nowTick, out_[due_].due)) ++due_;
    return due_;
}

std::size_t PrinterModel::Take(uint8_t* out, std::size_t n, uint32_t nowTick) {
    std::lock_guard lock(m_);
    const bool garbled = hostSpeed_ != 0 && hostSpeed_ != speed_;
    std::size_t got = 0;
    while (got < n && !out_.empty() && platform::TickReached(nowTick, out_.front().due)) {
        Out o = out_.front();
        out_.pop_front();
        if (due_ > 0) --due_;
        if (o.lost) break;
        out[got++] = garbled ? Garble(o.byte) : o.byte;
    }
    return got;
}

uint32_t PrinterModel::TakeErrors(uint32_t nowTick) {
    std::lock_guard lock(m_);
    uint32_t bits = 0;
    while (!errors_.empty() && platform::TickReached(nowTick, errors_.front().due)) {
        bits |= errors_.front().bits;
        errors_.pop_front();
    }
    return bits;
}

std::optional<uint32_t> PrinterModel::NextDue() const {
    std::lock_guard lock(m_);
    if (out_.empty()) return std::nullopt;
    return out_.front().due;
}

void PrinterModel::DropOutput() {
    std::lock_guard lock(m_);
    out_.clear();
    errors_.clear();
    due_ = 0;
    busy_ = false;
}

uint32_t PrinterModel::ModemBits(uint32_t nowTick) const {
    std::lock_guard lock(m_);
    if (busy_ && platform::TickReached(nowTick, busyUntil_)) busy_ = false;
    const bool cts = !faults_.ctsLow && !busy_;
    return (cts ? platform::kModemCts : 0) | (faults_.dsrLow ? 0 : platform::kModemDsr);
}

void PrinterModel::WaitForNews(uint32_t ms, uint32_t nowTick) {
    std::unique_lock lock(m_);
    // The end of a busy spell is news only until it has passed.
    if (busy_ && platform::TickReached(nowTick, busyUntil_)) busy_ = false;
    for (const uint32_t* due : {out_.empty() ? nullptr : &out_.front().due,
                                errors_.empty() ? nullptr : &errors_.front().due, busy_ ? &busyUntil_ : nullptr}) {
        if (!due) continue;
        if (platform::TickReached(nowTick, *due)) return;
        ms = std::min(ms, *due - nowTick);
    }
    if (ms == 0) return;
    const std::size_t before = out_.size() + errors_.size();
    const Faults faults = faults_;
    news_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        return out_.size() + errors_.size() != before || faults.dsrLow != faults_.dsrLow || faults.ctsLow != faults_.ctsLow;
    });
}

std::vector<std::string> PrinterModel::Frames() const {
    std::lock_guard lock(m_);
    return frames_;
}
void PrinterModel::ClearFrames() {
    std::lock_guard lock(m_);
    frames_.clear();
}

std::string PrinterModel::Command(const std::string& frame) {
    std::lock_guard lock(m_);
    frames_.push_back(frame);
    return AnswerFor(frame);
}

}  // namespace moldrin::sim
