// The fiscal capture's process-wide state: the status cache and its freshness,
// the fields taken from status replies, counters and the per-command flags.
// Touched only under the capture semaphore; the worker and hand-off are capture.h's.
#pragma once
#include <array>
#include <cstdint>
#include <cstring>

#include "platform/clock.h"

namespace moldrin::capture {

// One cached status reply: 128 characters and a NUL, or empty.
using CachedReply = std::array<char, 130>;

struct StatusCache {
    CachedReply status1{}, status2{}, status3{}, status4{}, status5{}, status6{}, status7{};
    CachedReply statusF{}, statusG{}, status28{};
    std::array<CachedReply, 7> status8toE{};    // 8, 9, A, B, C, D, E in this order
    std::array<CachedReply, 6> table29{};       // status 29 types 1 to 6
    CachedReply table29F{};
    CachedReply table29HtoL{};                  // the last non-blank of H to L

    bool status1Current = false;
    bool groupCurrent = false;                  // statuses 2 to 7
    bool fCurrent = false;
    uint8_t gState = 0;                         // 0 not current, 1 current, 2 read again before 17 and 19
    uint8_t status28State = 0;                  // 1 current, 2 stale
};

// A calendar day as the RFD file names carry it.
struct CalendarDay {
    int day = 0, month = 0, year = 0;
    bool operator==(const CalendarDay&) const = default;
};

struct CaptureData {
    // 0 a full refresh is due, 1 current, 2 partly stale (after commands 30 to 39).
    uint8_t CaptureState = 0;
    StatusCache cache;

    std::array<char, 10> fiscalDate{};          // DDMMYY of the printer's fiscal day
    std::array<char, 7> refreshDate{};          // fiscal date at the last full refresh
    std::array<char, 13> printerClock{};        // DDMMYYhhmm00 from status 28
    platform::LocalTime printerClockReadAt{};   // the computer's time when it was read
    std::array<char, 10> factoryNumber{};       // the printer's, from status 3
    std::array<char, 10> lastFactoryNumber{};
    std::array<char, 21> savedCommand17{};
    int64_t currentCounter = 0, baseCounter = 0, expectedCounter = 0;
    char ModelLetter = static_cast<char>(0xFF);

    bool pendingStatus1 = false;                // "\x1B.271}" sent, reply not read yet
    // Status queries whose record did not reach the RFD file (a full disk): the
    // cache entries they filled are read again, and recorded, before they count as current.
    uint32_t unrecordedQueries = 0;
    bool clockMessageShown = false;             // cleared at the start of every command

    // What the RFD file's name follows across the resets above, until the
    // next capture start: the day of the file written last, the fiscal date
    // of a day seen closed by its Z reduction, and, while the command that
    // opens the next fiscal day and its reply are recorded, that next day.
    CalendarDay fileDay{};
    std::array<char, 7> closedDate{};
    bool openingDay = false;

    // Working areas of the fiscal file generation, emptied with the rest.
    std::array<char, 132> generationArea1{}, generationArea2{};
};

inline CaptureData g_capture;

// Empties all capture state: cache, freshness, counters, dates, factory
// numbers and the registration; ModelLetter becomes 0xFF.
void ResetCaptureState();

// True while the fiscal date read last is that of a day already closed by its
// Z reduction: the printer shows it until a new day's first document.
bool FiscalDayClosed();

// Copies a NUL-terminated text into a fixed buffer, cut to fit and terminated.
template <std::size_t N>
void CopyText(std::array<char, N>& dst, const char* src, std::size_t max = N - 1) {
    // Replayed days copy a reply into the cache for every status record.
    const std::size_t i = src ? strnlen(src, max < N - 1 ? max : N - 1) : 0;
    if (i) std::memcpy(dst.data(), src, i);
    dst[i] = 0;
}

}  // namespace moldrin::capture
