// Writing records to the day's RFD file: naming the file, stamping and checking
// the line, the clock warning and the error boxes. Packing is rfd_codec's.
#include "store/rfd_file.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/capture_state.h"
#include "store/rfd_codec.h"
#include "log/file_helpers.h"
#include "log/text.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "ui/boxes.h"

namespace moldrin::capture {

namespace {

constexpr std::size_t kNameSize = 64;
// A recorded text longer than this cannot make a line of 510 characters anyway.
constexpr std::size_t kTextMax = 1600;

bool Known(const char* s) { return s[0] != 0; }

// The computer's date as DDMMYY.
void Ddmmyy(char (&out)[16], const platform::LocalTime& t) {
    std::snprintf(out, sizeof out, "%02d%02d%02d", t.day, t.month, t.year - 2000);
}

// Minutes since 1 March of year 0 on the proleptic calendar: enough to tell
// how long ago a local time was.
int64_t MinuteOf(const platform::LocalTime& t) {
    const int64_t y = t.month <= 2 ? t.year - 1 : t.year;
    const int64_t m = t.month <= 2 ? t.month + 9 : t.month - 3;
    const int64_t days = 365 * y + y / 4 - y / 100 + y / 400 + (153 * m + 2) / 5 + t.day - 1;
    return (days * 24 + t.hour) * 60 + t.minute;
}

// A printer clock read longer ago than this says nothing about the
// computer's clock now: after a quiet night both have moved on.
constexpr int64_t kPrinterClockFreshMinutes = 10;

bool PrinterClockFresh(const platform::LocalTime& now) {
    const int64_t age = MinuteOf(now) - MinuteOf(g_capture.printerClockReadAt);
    return g_capture.printerClockReadAt.year != 0 && age >= 0 && age <= kPrinterClockFreshMinutes;
}

void ClockCheck(const platform::LocalTime& now) {
    const auto& fiscal = g_capture.fiscalDate;
    const auto& clock = g_capture.printerClock;
    char today[16];
    Ddmmyy(today, now);
    if (!Known(fiscal.data()) || CompareDdmmyy(fiscal.data(), today) == 0) return;
    if (!Known(clock.data()) || !PrinterClockFresh(now) || CompareDdmmyy(clock.data(), today) == 0) return;
    if (clock[6] == '0' && clock[7] == '0') return;
    if (now.hour == 0 || g_capture.clockMessageShown) return;

    char text[256];
    std::snprintf(text, sizeof text,
                  CP1252("relógio PC  = %2d/%02d/%04d    %02d:%02d:%02d\r\n"
                         "relógio ECF = %2.2s/%2.2s/20%2.2s    %2.2s:%2.2s:00\r\n"
                         "ECF data fiscal  =  %2.2s/%2.2s/20%2.2s\r\n"),
                  now.day, now.month, now.year, now.hour, now.minute, now.second, clock.data(),
                  clock.data() + 2, clock.data() + 4, clock.data() + 6, clock.data() + 8, fiscal.data(),
                  fiscal.data() + 2, fiscal.data() + 4);
    ui::ErrorBox(text, "ERRO RELOGIO DO COMPUTADOR ???");
    g_capture.clockMessageShown = true;
}

// The day of a DDMMYY date, when it is one that can name a file.
bool DayOf(const char* ddmmyy, CalendarDay* out) {
    if (!Known(ddmmyy)) return false;
    const CalendarDay d{log::ParseNumber(ddmmyy, 2), log::ParseNumber(ddmmyy + 2, 2),
                        2000 + log::ParseNumber(ddmmyy + 4, 2)};
    if (d.day < 1 || d.day > 31 || !MonthName(d.month)) return false;
    *out = d;
    return true;
}

// The day whose file a record written at `now` goes to.
CalendarDay RecordDay(const platform::LocalTime& now) {
    const CalendarDay computer{now.day, now.month, now.year};
    char today[16];
    Ddmmyy(today, now);
    // The printer still shows the day it closed; the document that opens the
    // next one will carry the date of the printer's clock (read lately), else
    // of the computer's, which follows it.
    if (g_capture.openingDay && FiscalDayClosed()) {
        const char* fiscal = g_capture.fiscalDate.data();
        const char* clock = g_capture.printerClock.data();
        CalendarDay opened;
        if (Known(clock) && PrinterClockFresh(now) && DayOf(clock, &opened)) {
            if (CompareDdmmyy(clock, fiscal) > 0) return opened;
        } else if (CompareDdmmyy(today, fiscal) > 0) {
            return computer;
        }
    }
    CalendarDay d;
    if (DayOf(g_capture.fiscalDate.data(), &d)) return d;
    // Between a reset and the next status 1 the file in use stays.
    if (g_capture.fileDay.day != 0) return g_capture.fileDay;
    return computer;
}

}  // namespace

const char* MonthName(int month) {
    static const char* const kNames[12] = {
        "Janeiro", "Fevereiro", CP1252("Março"), "Abril",    "Maio",     "Junho",
        "Julho",   "Agosto",    "Setembro",      "Outubro",  "Novembro", "Dezembro"};
    return month >= 1 && month <= 12 ? kNames[month - 1] : nullptr;
}

bool RfdFileName(char* out, std::size_t size, int day, int month, int year) {
    const char* name = MonthName(month);
    if (!out || !name) return false;
    const int n = std::snprintf(out, size, "c:\\TALMA\\RFD\\RFD-%02d-%s-%04d.bin", day, name, year);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

bool RfdCurrentFileName(char* out, std::size_t size, const platform::LocalTime& now) {
    const CalendarDay d = RecordDay(now);
    return RfdFileName(out, size, d.day, d.month, d.year);
}

int CompareDdmmyy(const char* a, const char* b) {
    static constexpr int kOrder[6] = {4, 5, 2, 3, 0, 1};
    for (int i : kOrder) {
        const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return 0;
}

void MakeDirectoryPath(const char* path) {
    if (!path) return;
    constexpr std::size_t kLookMax = 260, kComponentMax = 128;
    char prefix[kLookMax + 2];
    std::size_t componentLength = 0;
    std::size_t i = 0;
    for (; i < kLookMax && path[i]; ++i) {
        const char c = path[i];
        if (c == '\\' || c == '/') {
            // The drive's root is asked for too: where drives are directories
            // under a root of their own, it may not exist yet.
            if (componentLength > 0 || (i > 0 && path[i - 1] == ':')) {
                prefix[i] = c;
                prefix[i + 1] = 0;
                platform::Files().CreateDirectory(prefix);
            }
            componentLength = 0;
        } else if (++componentLength > kComponentMax) {
            return;
        }
        prefix[i] = c;
    }
    if (componentLength > 0 && (i == 0 || path[i - 1] != ':')) {
        prefix[i] = 0;
        platform::Files().CreateDirectory(prefix);
    }
}

namespace {

// Length of the part of `text` that the check value covers.
std::size_t CheckedLength(const char* text) {
    std::size_t n = 0;
    for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p >= 0x20 || *p == 0x1B; ++p) ++n;
    return n;
}

// The recorded text of one record: `first` followed by `second`.
struct RecordText {
    const char* first;
    const char* second;
};

// The stored form of the record of `text` stamped at `now`, appended to `out`.
// False when the line cannot be stored whole, or would not read back as it is.
bool EncodeRecord(std::string& out, const RecordText& text, const platform::LocalTime& now) {
    // The check value covers the recorded text, seeded from the stamp it carries.
    const uint32_t seed = static_cast<uint32_t>(now.millisecond) * static_cast<uint32_t>(now.minute) *
                          static_cast<uint32_t>(now.second) * static_cast<uint32_t>(now.day);
    uint16_t check = RfdLineChecksum(text.first, seed);
    if (CheckedLength(text.first) == std::strlen(text.first))
        check = static_cast<uint16_t>(check + RfdLineChecksum(text.second, seed));
    std::array<char, kTextMax + 64> line{};
    const int length = std::snprintf(line.data(), line.size(), "%02d/%02d/%04d %02d:%02d:%02d.%03d <%04X> = %s%s\r\n",
                                     now.day, now.month, now.year, now.hour, now.minute, now.second,
                                     now.millisecond, check, text.first, text.second);
    if (length <= 0 || static_cast<std::size_t>(length) >= line.size()) return false;
    std::array<char, kRfdRecordBuffer> record{};
    // An over-long text is refused by the encoder, never stored cut.
    const int stored = RfdEncodeRecord(record, line.data());
    if (stored <= 0) return false;
    std::array<char, kRfdLineBuffer> back{};
    if (RfdDecodeRecord(back, {record.data(), static_cast<std::size_t>(stored)}) != length ||
        std::memcmp(back.data(), line.data(), static_cast<std::size_t>(length)) != 0)
        return false;
    out.append(record.data(), static_cast<std::size_t>(stored));
    return true;
}

// Records written but not yet on disk: the file they are in, and since when.
// Only the holder of the capture semaphore writes records, so this needs no
// lock of its own. A name, not a handle: the file is opened per write, so
// that nothing in the capture holds a file that the processing, another
// program or a test's fault layer expects to find closed.
struct Unflushed {
    std::array<char, kNameSize> fileName{};
    uint32_t sinceMs = 0;
};
Unflushed g_unflushed;

bool AnyUnflushed() { return g_unflushed.fileName[0] != 0; }

void NoteUnflushed(const char* fileName) {
    if (AnyUnflushed()) return;
    g_unflushed.sinceMs = platform::TickMs();
    CopyText(g_unflushed.fileName, fileName);
}

// Brings what was written to `fileName` to the disk: one flush covers every
// record of the file, whichever handle wrote it. A file no longer there has
// nothing left to bring.
bool FlushFile(const char* fileName) {
    const log::FileHandle h = log::FileOpenShared(fileName);
    if (h == log::kInvalidFile) return !platform::Files().Exists(fileName);
    const bool flushed = platform::Files().Flush(h);
    return log::FileClose(h) == 0 && flushed;
}

// The records of another file than `fileName` that are not on disk yet go
// there before anything is written to this one: a later record never
// reaches the disk ahead of an earlier one.
void FlushOtherFile(const char* fileName) {
    if (!AnyUnflushed() || std::strcmp(g_unflushed.fileName.data(), fileName) == 0) return;
    if (!FlushFile(g_unflushed.fileName.data())) ui::FileErrorBox(CP1252("ERRO de gravação RFD: "), g_unflushed.fileName.data());
    g_unflushed.fileName[0] = 0;
}

// The stored records of `texts`, in order; false (and the operator told)
// when any of them cannot be stored whole.
bool EncodeRecords(std::string& records, std::span<const RecordText> texts, const platform::LocalTime& now,
                   const char* fileName) {
    for (const RecordText& t : texts) {
        if (!EncodeRecord(records, t, now)) {
            ui::FileErrorBox(CP1252("ERRO de gravação RFD: "), fileName);
            return false;
        }
    }
    return true;
}

// Whether a write must be on disk before it counts: a fiscal command's record
// must be, since the command is sent only once it is; any other record need
// only reach the system, which keeps it through the end of the process, and
// goes to the disk with the next command's (or at RfdFlush).
enum class Durable { No, Yes };

// Records that a full disk kept out of their file: they go there first, in
// their order, with the next write to it, and a command is sent only once
// they are on disk with its own record. So a disk full for a moment costs
// the day's file nothing, the reply and the status reads of the command
// before it included. Bounded: past it a record is lost, and told.
struct Held {
    std::array<char, kNameSize> fileName{};
    std::string records;
};
Held g_held;
constexpr std::size_t kHeldMax = 256 * 1024;

// Writes `bytes` at the end of the open file: all of them, or none (a write the
// disk cut short is taken back, so no part of a record stays in the file).
bool AppendWhole(log::FileHandle h, const std::string& bytes) {
    const int64_t before = platform::Files().Size(h);
    const auto size = static_cast<uint32_t>(bytes.size());
    if (log::FileWrite(h, bytes.data(), size) == size) return true;
    if (before >= 0) platform::Files().Truncate(h, before);
    return false;
}

// Opens the file for appending, making it (and its folder) when nothing is
// there; the operator is told when it cannot be.
log::FileHandle OpenForAppend(const char* fileName) {
    log::FileHandle h = log::FileOpenAppend(fileName);
    if (h != log::kInvalidFile) return h;
    // A capture file that exists but cannot be written to is evidence all
    // the same, even when it cannot be read either (another opener holds it):
    // it is never deleted nor replaced by an empty one.
    if (!platform::Files().Exists(fileName)) {
        MakeDirectoryPath(kRfdDirectory);
        // Created only where nothing is, so one that appeared meanwhile is kept too.
        h = log::FileCreateNew(fileName);
    }
    if (h == log::kInvalidFile) ui::FileErrorBox("ERRO ao abrir RFD: ", fileName);
    return h;
}

// The held records to their file; false when they still cannot go.
bool WriteHeld() {
    if (g_held.records.empty()) return true;
    const log::FileHandle h = OpenForAppend(g_held.fileName.data());
    if (h == log::kInvalidFile) return false;
    const bool written = AppendWhole(h, g_held.records);
    if (written) {
        NoteUnflushed(g_held.fileName.data());
        g_held.records.clear();
    }
    log::FileClose(h);
    return written;
}

// The held records of another file than `fileName` go to theirs before
// anything is written to this one; false when they still cannot.
bool WriteHeldElsewhere(const char* fileName) {
    return std::strcmp(g_held.fileName.data(), fileName) == 0 || WriteHeld();
}

// Appends already stored records to the file of `now` with one write, after
// what a full disk held back. 1 when written (and, when durable, on disk
// with everything written before them), or, when not durable, held for the
// next write to their file; -1 when they could not be, and then none was stored.
int AppendRecords(const std::string* encoded, std::span<const RecordText> texts, const platform::LocalTime& now,
                  Durable durable) {
    ClockCheck(now);

    const CalendarDay day = RecordDay(now);
    char fileName[kNameSize];
    if (!RfdFileName(fileName, sizeof fileName, day.day, day.month, day.year)) return -1;
    g_capture.fileDay = day;

    std::string own;
    if (!encoded) {
        if (!EncodeRecords(own, texts, now, fileName)) return -1;
        encoded = &own;
    }
    // A record that cannot be written now is held, when it need not be on disk
    // before anything happens, for the next write to its file.
    const auto hold = [&]() {
        if (durable == Durable::Yes || g_held.records.size() + encoded->size() > kHeldMax) return -1;
        if (g_held.records.empty()) CopyText(g_held.fileName, fileName);
        if (std::strcmp(g_held.fileName.data(), fileName) != 0) return -1;
        g_held.records += *encoded;
        return 1;
    };
    if (!WriteHeldElsewhere(fileName)) {
        ui::FileErrorBox(CP1252("ERRO de gravação RFD: "), g_held.fileName.data());
        return -1;
    }
    FlushOtherFile(fileName);

    const log::FileHandle h = OpenForAppend(fileName);
    if (h == log::kInvalidFile) return -1;
    const bool withHeld = !g_held.records.empty();
    const bool written = AppendWhole(h, withHeld ? g_held.records + *encoded : *encoded);
    if (!written) {
        ui::FileErrorBox(CP1252("ERRO de gravação RFD: "), fileName);
        log::FileClose(h);
        return hold();
    }
    g_held.records.clear();
    if (durable == Durable::Yes) {
        // One flush brings this record and every one written before it to the disk.
        if (!platform::Files().Flush(h)) {
            ui::FileErrorBox(CP1252("ERRO de gravação RFD: "), fileName);
            log::FileClose(h);
            NoteUnflushed(fileName);
            return -1;
        }
        g_unflushed.fileName[0] = 0;
    } else {
        NoteUnflushed(fileName);
    }
    if (log::FileClose(h) != 0) {
        ui::FileErrorBox("ERRO no Fechamento do Arquivo RFD: ", fileName);
        return -1;
    }
    return 1;
}

int WriteRecord(const char* first, const char* second) {
    const RecordText text{first, second};
    return AppendRecords(nullptr, {&text, 1}, platform::Now(), Durable::No);
}

// How much of a long command each of its records carries: with every
// character a control byte the record still packs well within its room.
constexpr std::size_t kPieceMax = 200;

}  // namespace

int RfdWriteLine(const char* text) {
    if (!text) return -1;
    return WriteRecord(text, "");
}

int RfdWriteCommand(const char* command) {
    if (!command) return -1;
    const std::string_view c(command, strnlen(command, kTextMax));
    const platform::LocalTime now = platform::Now();
    // Most commands make one record; a text that would not fit one, or not
    // read back from it, is carried in pieces.
    const RecordText whole{command, ""};
    std::string encoded;
    if (c.size() < kTextMax && EncodeRecord(encoded, whole, now))
        return AppendRecords(&encoded, {&whole, 1}, now, Durable::Yes);
    if (c.empty() || c.back() != '}') return AppendRecords(nullptr, {&whole, 1}, now, Durable::Yes);
    const std::string_view body = c.substr(0, c.size() - 1);
    std::vector<std::string> pieces;
    pieces.emplace_back(std::string(body.substr(0, kPieceMax)) + "}");
    for (std::size_t at = kPieceMax; at < body.size(); at += kPieceMax)
        pieces.emplace_back(kRfdContinuation + std::string(body.substr(at, kPieceMax)) + "}");
    std::vector<RecordText> texts;
    for (const std::string& p : pieces) texts.push_back({p.c_str(), ""});
    return AppendRecords(nullptr, texts, now, Durable::Yes);
}

int RfdFlush() {
    // What is written goes to the disk even when the held records still find no room.
    const bool heldWritten = WriteHeld();
    if (!heldWritten) ui::FileErrorBox(CP1252("ERRO de gravação RFD: "), g_held.fileName.data());
    if (!AnyUnflushed()) return heldWritten ? 1 : -1;
    const bool flushed = FlushFile(g_unflushed.fileName.data());
    if (!flushed) ui::FileErrorBox(CP1252("ERRO de gravação RFD: "), g_unflushed.fileName.data());
    g_unflushed.fileName[0] = 0;
    return flushed && heldWritten ? 1 : -1;
}

int RfdFlushIdle(uint32_t idleMs) {
    if (!AnyUnflushed() || !platform::TickReached(platform::TickMs(), g_unflushed.sinceMs + idleMs)) return 1;
    return RfdFlush();
}

int RfdRecordQuery(char* query, char* reply) {
    if (!query || !query[0]) return 0;
    query[std::strlen(query) - 1] = '|';
    if (reply && strnlen(reply, 129) > 128) reply[128] = 0;
    return WriteRecord(query, reply ? reply : "");
}

void RfdDropHeld() {
    g_held.records.clear();
    g_held.fileName[0] = 0;
}

}  // namespace moldrin::capture
