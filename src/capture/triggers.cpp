// The processing triggers: walking back through the calendar for the capture
// files to hand to the fiscal file generation. The generation itself is
// fiscalfile's; the capture file names are rfd_file's.
#include "capture/triggers.h"

#include <cstdio>
#include <cstring>

#include "session/session_state.h"
#include "capture/capture_queries.h"
#include "store/capture_state.h"
#include "store/registration.h"
#include "store/rfd_file.h"
#include "fiscalfile/final_assembly.h"
#include "fiscalfile/fiscal_state.h"
#include "fiscalfile/processing.h"
#include "fiscalfile/record_format.h"
#include "log/file_helpers.h"
#include "platform/files.h"
#include "platform/clock.h"
#include "ui/boxes.h"

namespace moldrin::capture {

namespace {

constexpr int kDaysLooked = 32;
constexpr std::size_t kRecord = 128;
// The third line of a note written before the Z reduction was sent.
constexpr const char kSentMark[] = "Z ENVIADA ";
constexpr std::size_t kSentMarkLength = sizeof kSentMark - 1;
constexpr std::size_t kNameSize = 64;

int LastDayOf(int month, int year) {
    switch (month) {
        case 4: case 6: case 9: case 11: return 30;
        case 2: return year % 4 == 0 ? 29 : 28;
        default: return 31;
    }
}

// The registered printer is the one whose files are looked for. Its serial
// number names them too: the generation may have left another printer's there.
void TakeRegisteredPrinter() {
    const char* factory = g_registration.fields.factoryNumber;
    CopyText(g_capture.factoryNumber, factory, 9);
    CopyText(g_capture.lastFactoryNumber, factory, 9);
    fiscalfile::SetField(fiscalfile::g_fiscal.SerialNumber, fiscalfile::TextOf(factory, 9));
    g_capture.ModelLetter = g_registration.modelLetter;
    g_session.ModelGate = static_cast<int8_t>(g_registration.modelFlag);
}

// One day of a catching-up pass: 1 its capture file was processed, 0 nothing
// to do, -1 a file could not be closed.
int CatchUpDay(const CalendarDay& d) {
    char rfd[kNameSize];
    if (!RfdFileName(rfd, sizeof rfd, d.day, d.month, d.year)) return 0;
    const log::FileHandle capture = log::FileOpenRead(rfd);
    if (capture == log::kInvalidFile) return 0;
    if (log::FileClose(capture) != 0) {
        ui::FileErrorBox("ERRO no Fechamento do Arquivo RFD antes de efetuar o processamento: ", rfd);
        return -1;
    }
    char date[40];
    std::snprintf(date, sizeof date, "%02d%02d%02d", d.day, d.month, d.year % 100);
    char finalName[fiscalfile::kFinalNameSize];
    if (!fiscalfile::FinalFileName(finalName, date)) return 0;
    const log::FileHandle done = log::FileOpenRead(finalName);
    if (done != log::kInvalidFile) {
        if (log::FileClose(done) != 0) {
            ui::FileErrorBox("ERRO no Fechamento do Arquivo RFD final antes de processar: ", finalName);
            return -1;
        }
        return 0;
    }
    fiscalfile::ProcessRfdFile(rfd);
    TakeRegisteredPrinter();
    return 1;
}

// kDaysLooked days from `from` backwards. -1 on a close failure, else whether
// any day was processed.
int CatchUpFrom(CalendarDay from) {
    bool processed = false;
    for (int i = 0; i < kDaysLooked; ++i, from = DayBefore(from)) {
        const int r = CatchUpDay(from);
        if (r < 0) return -1;
        processed = processed || r > 0;
    }
    return processed ? 1 : 0;
}

// The printer's status 1, asked without a record in the capture file: the
// day's file must end as the killed session left it. false when it did not answer.
bool ReductionCounterRead(char* out) {
    if (CaptureSend("\x1B.271}") < 0) return false;
    char record[kRecord + 2];
    for (int tries = 0; tries < 4; ++tries) {
        std::memset(record, 0, sizeof record);
        const int r = CaptureReceive(record);
        if (r <= 0) return false;
        if (r == static_cast<int>(kRecord) && record[1] == '+' && record[2] == 'C' && record[6] == '1') {
            std::memcpy(out, record, kRecord + 1);
            return true;
        }
    }
    return false;
}

}  // namespace

CalendarDay DayBefore(CalendarDay d) {
    if (d.day > 1) return {d.day - 1, d.month, d.year};
    const int month = d.month == 1 ? 12 : d.month - 1;
    const int year = d.month == 1 ? d.year - 1 : d.year;
    return {LastDayOf(month, year), month, year};
}

int ProcessLatestRfd() {
    const platform::LocalTime now = platform::Now();
    CalendarDay d{now.day, now.month, now.year};
    for (int i = 0; i < kDaysLooked; ++i, d = DayBefore(d)) {
        char name[kNameSize];
        if (!RfdFileName(name, sizeof name, d.day, d.month, d.year)) continue;
        const log::FileHandle h = log::FileOpenRead(name);
        if (h == log::kInvalidFile) continue;
        if (log::FileClose(h) != 0) {
            ui::FileErrorBox("ERRO no Fechamento do Arquivo RFD antes de processar: ", name);
            return -1;
        }
        return fiscalfile::ProcessRfdFile(name);
    }
    return 0;
}

int ProcessPendingDays(const char* fiscalDate) {
    if (EnsureRegistration(0) == 0) return 0;
    TakeRegisteredPrinter();
    const platform::LocalTime now = platform::Now();
    const int first = CatchUpFrom(DayBefore({now.day, now.month, now.year}));
    if (first < 0) return -1;
    // The second pass is for when the first found nothing to do, and needs a
    // fiscal date to walk back from.
    if (first > 0 || !fiscalDate || strnlen(fiscalDate, 6) < 6) return 1;
    const CalendarDay fiscal{log::ParseNumber(fiscalDate, 2), log::ParseNumber(fiscalDate + 2, 2),
                             2000 + log::ParseNumber(fiscalDate + 4, 2)};
    if (fiscal.day < 1 || fiscal.day > 31 || fiscal.month < 1 || fiscal.month > 12) return 1;
    return CatchUpFrom(fiscal) < 0 ? -1 : 1;
}

int NoteClosingBegun(const char* rfdFile, const char* fiscalDate, const char* reductionCounter) {
    char text[kNameSize + 48];
    std::snprintf(text, sizeof text, "%.6s\r\n%s\r\n", fiscalDate ? fiscalDate : "", rfdFile ? rfdFile : "");
    if (reductionCounter) {
        const std::size_t used = std::strlen(text);
        std::snprintf(text + used, sizeof text - used, "%s%.4s\r\n", kSentMark, reductionCounter);
    }
    const log::FileHandle h = log::FileCreate(kClosingNote);
    if (h == log::kInvalidFile) return 0;
    const bool written = log::FileWriteText(h, text) > 0 && platform::Files().Flush(h);
    return log::FileClose(h) == 0 && written ? 1 : 0;
}

void NoteClosingDone() { platform::Files().Delete(kClosingNote); }

int FinishInterruptedClosing() {
    if (!platform::Files().Exists(kClosingNote)) return 0;
    // A note cut short by the kill itself names nothing: the latest capture
    // file is then the closing's, as right after a closing.
    char note[kNameSize + 32] = {};
    const log::FileHandle h = log::FileOpenRead(kClosingNote);
    if (h != log::kInvalidFile) {
        const int32_t n = log::FileReadBlock(h, note, sizeof note - 1);
        note[n > 0 ? n : 0] = 0;
        log::FileClose(h);
    }
    char fiscalDate[8] = {};
    char rfd[kNameSize] = {};
    const char* end = std::strstr(note, "\r\n");
    if (end && end - note == 6) {
        std::memcpy(fiscalDate, note, 6);
        const char* name = end + 2;
        const char* nameEnd = std::strstr(name, "\r\n");
        const std::size_t length = nameEnd ? static_cast<std::size_t>(nameEnd - name) : 0;
        if (length > 0 && length < sizeof rfd) std::memcpy(rfd, name, length);
    }
    // A note written before the reduction was sent: the application may have
    // ended before the printer took it, or after, before its reply was read.
    // The printer's Z counter tells which; the capture file then ends with the
    // reduction's command, whose outcome the replay is told.
    bool replyUnread = false;
    if (end) {
        const char* third = std::strstr(end + 2, "\r\n");
        if (third && std::strncmp(third + 2, kSentMark, kSentMarkLength) == 0) {
            const char* before = third + 2 + kSentMarkLength;
            char now[kRecord + 2] = {};
            if (!ReductionCounterRead(now) || std::strncmp(now + 40, before, 4) == 0) {
                // Not taken (or the printer does not say): nothing closed.
                // An unreadable printer keeps the note for the next session.
                if (now[0]) NoteClosingDone();
                return 0;
            }
            replyUnread = true;
        }
    }
    const log::FileHandle capture = rfd[0] ? log::FileOpenRead(rfd) : log::kInvalidFile;
    if (capture != log::kInvalidFile) {
        log::FileClose(capture);
        if (replyUnread) fiscalfile::ReductionTakenAtEnd();
        fiscalfile::ProcessRfdFile(rfd);
    } else {
        ProcessLatestRfd();
    }
    ProcessPendingDays(fiscalDate[0] ? fiscalDate : nullptr);
    NoteClosingDone();
    g_capture.CaptureState = 0;
    return 1;
}

}  // namespace moldrin::capture
