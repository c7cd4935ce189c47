// The simulated printer, free of any transport: frames in, timed reply records
// out, with fault switches per test. Status record contents are status_records.cpp's.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/block_model.h"
#include "sim/printer_state.h"

namespace moldrin::sim {

struct Faults {
    bool silent = false;             // takes frames, never answers
    bool dsrLow = false;
    bool ctsLow = false;
    std::string strayBefore;         // bytes sent ahead of each answer
    bool overlongRecord = false;     // the answer is 128 bytes with no "}"
    bool overrun = false;            // the answer's second byte comes before the first is taken:
                                     // it is lost, and the line reports an overrun as it happens
    bool loseByte = false;           // a byte is announced ahead of the answer but never delivered
                                     // (in-process only: a line delivers what it counts)
    uint32_t answerDelayMs = 0;      // the answer starts this long after the frame's "}"; the
                                     // printer holds CTS low meanwhile, as it works on the command
    uint32_t pauseAfterBytes = 0;    // with pauseMs: a pause inside the answer after so many bytes
    uint32_t pauseMs = 0;
    uint32_t byteGapMs = 0;          // each answer byte this long after the one before
    int lostReplies = 0;             // ordinary commands (not status queries nor the simulator's own
                                     // frames) that are carried out but whose answer is lost, as when
                                     // the line drops right after the printer took the command:
                                     // the next n, or every one with -1
    int frames = -1;                 // answer faults hold for the next n frames only (silent ones
                                     // count); -1 = for all. DSR and CTS stay as set.
};

// A test's own answer to a frame: the raw bytes to send, or nothing for the
// printer's usual answer. It runs without the model's lock and may use the model.
using Responder = std::function<std::optional<std::string>(std::string_view frame)>;

class PrinterModel {
public:
    explicit PrinterModel(uint32_t speed = 9600);

    // Configuration; safe to change from another thread while the host works.
    void SetSpeed(uint32_t bitsPerSecond);
    uint32_t Speed() const;
    void SetFaults(const Faults& faults);
    Faults GetFaults() const;
    void SetResponder(Responder responder);
    template <class F>
    void EditState(F edit) {
        std::lock_guard lock(m_);
        edit(state_);
    }
    PrinterState State() const;

    // The host side of the line.
    void HostSettings(uint32_t bitsPerSecond);
    void HostLines(bool dtr, bool rts);
    void HostBytes(const uint8_t* bytes, std::size_t n, uint32_t nowTick);

    // The printer side: answer bytes whose time has come.
    std::size_t Ready(uint32_t nowTick) const;
    // Takes up to n ready bytes, each garbled unless the host listens at the
    // printer's speed as it is taken. Stops early at a lost byte (which is
    // consumed without being delivered).
    std::size_t Take(uint8_t* out, std::size_t n, uint32_t nowTick);
    // Line errors that have happened by now, whether or not their bytes were
    // taken; each is handed out once.
    uint32_t TakeErrors(uint32_t nowTick);
    // Tick at which the next held byte is due, if any is held.
    std::optional<uint32_t> NextDue() const;
    void DropOutput();
    uint32_t ModemBits(uint32_t nowTick) const;  // platform::kModemCts | kModemDsr
    // Blocks (real time) until a byte may be due or the state changed, at most ms.
    void WaitForNews(uint32_t ms, uint32_t nowTick);

    // Answers one frame at once, as the line would but without timing or
    // faults: for replaying scripted days in-process.
    std::string Command(const std::string& frame);

    // What the printer saw, for tests and the tool.
    std::vector<std::string> Frames() const;
    void ClearFrames();
    bool HostDtr() const;
    bool HostRts() const;
    uint32_t HostSpeed() const;

    // The block protocol of the later models (its faults and what it accepted).
    BlockModel& Block() { return block_; }

    // Splits an answer text into records of at most 128 bytes; a last record of
    // exactly 128 is followed by an empty one when closeFull says so.
    static std::string Records(std::string_view content, bool closeFull);

private:
    struct Out {
        uint8_t byte;
        uint32_t due;
        bool lost;
    };
    struct LineError {
        uint32_t due;
        uint32_t bits;
    };
    std::string AnswerFor(const std::string& frame);
    void Queue(const std::string& answer, uint32_t nowTick);

    mutable std::mutex m_;
    std::condition_variable news_;
    uint32_t speed_;
    uint32_t hostSpeed_ = 0;
    bool dtr_ = false, rts_ = false;
    Faults faults_;
    Responder responder_;
    PrinterState state_;
    std::string frame_;
    bool inFrame_ = false;
    std::deque<Out> out_;
    std::deque<LineError> errors_;
    // Working on a command until this tick (CTS low); only while busy_.
    mutable bool busy_ = false;
    uint32_t busyUntil_ = 0;
    mutable std::size_t due_ = 0;  // leading entries of out_ known to be due
    std::vector<std::string> frames_;
    BlockModel block_;
};

}  // namespace moldrin::sim
