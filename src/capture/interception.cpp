// The interception of one application command: the pass-through codes, the
// checks of day, counters, printer and registration before a fiscal command,
// the answers from the cache, the refusals, and the recording of the command
// and its reply. The queries and the cache are status_cache's, the file rfd_file's.
#include "capture/interception.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "session/session_state.h"
#include "capture/capture_queries.h"
#include "store/capture_state.h"
#include "store/registration.h"
#include "store/rfd_file.h"
#include "capture/status_refresh.h"
#include "store/status_cache.h"
#include "capture/triggers.h"
#include "fiscalfile/processing.h"
#include "link/exchange.h"
#include "log/file_helpers.h"
#include "log/text.h"
#include "log/traffic_log.h"
#include "platform/clock.h"
#include "serial/checked.h"
#include "ui/boxes.h"

namespace moldrin::capture {

namespace {

constexpr char kEsc = 0x1B;
constexpr std::size_t kRecord = 128;
// After a refused daily closing the printer is given this long to finish it.
constexpr uint32_t kClosingWaitMs = 45000;
constexpr int kClosingDsrMisses = 25;

StatusCache& Cache() { return g_capture.cache; }

// The characters of a command, with NUL past its end.
struct Text {
    const char* s;
    std::size_t n;
    char operator[](std::size_t i) const { return i < n ? s[i] : '\0'; }
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int CommandCode(const Text& c) {
    if (!IsDigit(c[2]) || !IsDigit(c[3])) return 0;
    return (c[2] - '0') * 10 + (c[3] - '0');
}

// Value of n characters that must all be digits; anything else counts as 0.
uint64_t DigitsValue(const char* text, std::size_t n) {
    if (n >= 40) return 0;
    uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!IsDigit(text[i])) return 0;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    return v;
}

// A field of the command from `at`, n characters, or 0 when the command is shorter.
uint64_t CommandAmount(const Text& c, std::size_t at, std::size_t n) {
    return c.n >= at + n ? DigitsValue(c.s + at, n) : 0;
}

bool Marked(char c) { return c == '|' || c == '#'; }

bool PassThrough(const Text& c, int code) {
    if (code == 8 || (code >= 20 && code <= 22) || (code >= 24 && code <= 26) || (code >= 40 && code <= 50))
        return true;
    if (c[2] == '+' && c[3] == '+') return true;
    if ((code == 13 || code == 18) && Marked(c[4])) return true;
    if (code == 15 && Marked(c[12])) return true;
    if (code == 16 && Marked(c[16])) return true;
    return false;
}

void Reply(const char* text) { SetText(g_session.ReplyBuffer, text); }
const char* ReplyText() { return g_session.ReplyBuffer.data(); }

void SetAllCounters(int64_t v) {
    g_capture.currentCounter = v;
    g_capture.baseCounter = v;
    g_capture.expectedCounter = v;
}

// The registered factory number as the file keeps it: nine characters, blank-filled.
bool FactoryNumbersDiffer() {
    const char* registered = g_registration.fields.factoryNumber;
    const char* printer = g_capture.factoryNumber.data();
    bool ended = false;
    for (std::size_t i = 0; i < 9; ++i) {
        ended = ended || registered[i] == 0;
        if ((ended ? ' ' : registered[i]) != printer[i]) return true;
    }
    return false;
}

void TakeMarker(int& marker, int result) {
    if (marker != -1) marker = result;
}

bool AllBlank(const char* text, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i <= to; ++i)
        if (text[i] != ' ') return false;
    return true;
}

// A short reply of the printer that refuses the command.
bool NegativeShort(const char* r) { return r[0] && r[1] == '-' && r[2] && r[3] && r[4] && r[5] && r[6] == '}'; }
bool PositiveShort(const char* r) { return r[0] && r[1] == '+' && r[2] && r[3] && r[4] && r[5] && r[6] == '}'; }

// Step 13: the registered printer must be the one connected.
int CheckFactoryNumber(int& marker) {
    while (FactoryNumbersDiffer()) {
        if (!RefreshStatus3()) return 0;
        if (!FactoryNumbersDiffer()) break;
        ui::ErrorBox(CP1252("Número de Fabricação do ECF não confere!"), "ERRO CADASTRO");
        const int r = EnsureRegistration(1);
        if (r == 0) return 0;
        TakeMarker(marker, r);
    }
    return 1;
}

// The item limit: a sale is refused while the printer's coupon is full.
bool ItemLimitReached() {
    const CachedReply& s28 = Cache().status28;
    if (strnlen(s28.data(), kRecord) < kRecord) return false;
    if (DigitsValue(s28.data() + 6, 3) <= 900) return false;
    return s28[9] == 'P' || (s28[9] == 'E' && !AllBlank(s28.data(), 10, 17));
}

// Steps 16 and 17 for codes 1 to 19: what the command makes stale.
// 1 go on (with *record telling whether to record); 0 a refresh failed.
int MarkStale(int code, bool* record) {
    StatusCache& c = Cache();
    *record = false;
    switch (code) {
        case 1: c.status1Current = false; break;
        case 2: case 3: case 4: case 7: case 10:
            if (!RefreshStatus28()) return 0;
            c.status28State = 2;
            break;
        case 5: case 11:
            c.fCurrent = false;
            c.groupCurrent = false;
            c.status1Current = false;
            c.status28State = 2;
            break;
        case 6: case 12: case 14:
            c.groupCurrent = false;
            c.status1Current = false;
            c.status28State = 2;
            break;
        case 13: case 15: case 16: case 17: case 18: case 19:
            c.status1Current = false;
            c.status28State = 2;
            break;
        default: return 1;  // 8, 9 and everything else: not recorded
    }
    *record = true;
    return 1;
}

void ClearCachedReplies(int code) {
    if (code == 8 || code == 21 || code == 22 || code == 23) return;
    StatusCache& c = Cache();
    c.status1[0] = 0;
    c.status28[0] = 0;
    if (code < 7 || code == 11 || code == 14 || code == 30 || code == 33) {
        c.status2[0] = 0;
        c.status3[0] = 0;
        c.status4[0] = 0;
        c.status5[0] = 0;
    }
    if (code == 5 || code == 10 || code == 14 || code == 30 || code == 39) {
        c.status6[0] = 0;
        c.status7[0] = 0;
        c.statusF[0] = 0;
    }
}

// The commands that begin a coupon or a non-fiscal receipt, and with it the
// printer's fiscal day when none is open.
bool OpensDocument(int code) { return code == 1 || code == 7 || code == 17; }

// Generation for the day just closed and the days before still without a fiscal file.
void ProcessClosedDay() {
    char fiscalDate[10];
    std::memcpy(fiscalDate, g_capture.fiscalDate.data(), sizeof fiscalDate);
    fiscalDate[9] = 0;
    // The day's file goes to the disk whole before a fiscal file is made of it.
    RfdFlush();
    ProcessLatestRfd();
    ProcessPendingDays(fiscalDate);
    NoteClosingDone();
    g_capture.CaptureState = 0;
}

// The closing is noted before anything of it is processed: if the
// application ends now, the next session makes the day's fiscal file.
// With the Z counter before the reduction, the note is written before it is sent.
void NoteClosing(const char* reductionCounter = nullptr) {
    char rfd[64];
    const CalendarDay d = g_capture.fileDay;
    const bool named = d.day != 0 ? RfdFileName(rfd, sizeof rfd, d.day, d.month, d.year)
                                  : RfdCurrentFileName(rfd, sizeof rfd, platform::Now());
    NoteClosingBegun(named ? rfd : "", g_capture.fiscalDate.data(), reductionCounter);
}

// After a refused daily closing: the printer is busy printing it. 1 when the
// wait ended (the printer answers again, or the time is up), 0 when it stayed
// without DSR.
int WaitForClosing() {
    const uint32_t deadline = platform::TickMs() + kClosingWaitMs;
    int misses = 0;
    while (!platform::TickReached(platform::TickMs(), deadline)) {
        ui::PumpMessages();
        platform::SleepMs(500);
        if (serial::SioDSR() <= 0) {
            if (misses > kClosingDsrMisses) return 0;
            platform::SleepMs(1000);
            ++misses;
        } else if (RefreshStatus28()) {
            break;
        }
    }
    return 1;
}

// The application's own status queries (step 15); *done says whether the
// command was answered here.
int ApplicationStatusQuery(const Text& c, int code, bool* done) {
    char* reply = g_session.ReplyBuffer.data();
    const char type = c[4];
    *done = true;
    if (code == 27) {
        const int r = QueryStatus27(type, reply);
        if (r >= 1) CacheStore(27, type, reply);
        return r;
    }
    if (code == 28) {
        const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(type)));
        if (upper >= 'B' && upper <= 'F') return QueryStatus28Type(upper, reply) < 0 ? -1 : 1;
        const int r = QueryStatus28(reply);
        if (r >= 1) CacheStore(28, type, reply);
        return r;
    }
    if (code == 29) {
        const int r = QueryStatus29(type, reply);
        if (r >= 1) CacheStore(29, type, reply);
        return r;
    }
    if (code == 1 && ItemLimitReached()) {
        const char* s28 = Cache().status28.data();
        std::snprintf(reply, kRecord + 1, CP1252(".-%4.4sERRO - VENDA EXCEDE LIMITE EM NÚMERO DE ITENS}"), s28 + 2);
        return 1;
    }
    *done = false;
    return 1;
}

// The text kept from the last command 17: from position 4, at most 20
// characters, up to the "}" or the first byte that is not printable.
void SaveCommand17(const Text& c) {
    auto& saved = g_capture.savedCommand17;
    std::size_t n = 0;
    for (std::size_t i = 4; n < 20; ++i) {
        const auto b = static_cast<unsigned char>(c[i]);
        if (b == '}' || b < 0x20 || b >= 0x80) break;
        saved[n++] = static_cast<char>(b);
    }
    saved[n] = 0;
}

}  // namespace

int InterceptCommand(char* command) {
    const Text c{command, command ? std::strlen(command) : 0};
    const int code = CommandCode(c);
    Reply(link::kReplyNoAnswer);
    g_capture.clockMessageShown = false;
    StatusCache& cache = Cache();

    // 2. The reply to the "\x1B.271}" sent after the previous command.
    if (g_capture.pendingStatus1) {
        if (!RefreshStatus1()) return 0;
        g_capture.pendingStatus1 = false;
    }

    // A daily closing cut short in an earlier session is finished first, when
    // a session begins and after each closing, before the printer is asked anything.
    if (g_capture.CaptureState == 0) FinishInterruptedClosing();

    // 3. A drive letter and a colon: the path of a capture file to process.
    if (c[1] == ':') {
        if (fiscalfile::ProcessRfdFile(command) < 1) return 0;
        Reply(".+0001}");
        return 1;
    }

    // 4. The frame's form.
    if (c[0] != kEsc || c[1] != '.' || c.n < 5 || !std::strchr(command + 4, '}')) {
        Reply(CP1252(".-0000ERRO - FORMATO DO COMANDO INVÁLIDO}"));
        return 1;
    }

    // 5. Commands the fiscal record does not need.
    if (PassThrough(c, code)) return link::ExchangeCommand(command);

    int marker = 0;
    // 6. A full refresh first when the cache is unknown or stale for this command.
    const bool fullRefresh = g_capture.CaptureState == 0 ||
                             (g_capture.CaptureState == 2 && (code < 8 || code == 14 || code == 17 || code == 19));
    if (fullRefresh) {
        if (!RefreshAll()) return 0;
    } else {
        // 7. Another printer than the one whose days were last processed.
        if (g_capture.lastFactoryNumber[0] &&
            std::strncmp(g_capture.lastFactoryNumber.data(), g_capture.factoryNumber.data(), 9) != 0) {
            if (!RefreshAll()) return 0;
            marker = -1;
            SetAllCounters(g_capture.currentCounter);
        }

        // 8. The printer's counter may only have moved by what was captured.
        const int64_t current = g_capture.currentCounter;
        if (current == 0 || g_capture.expectedCounter == 0 || g_capture.baseCounter == 0) {
            g_capture.baseCounter = current;
            g_capture.expectedCounter = current;
        }
        if (code == 1) g_capture.expectedCounter += static_cast<int64_t>(CommandAmount(c, 33, 12));
        if (code == 11) g_capture.expectedCounter += static_cast<int64_t>(CommandAmount(c, 10, 11));
        if (current < g_capture.baseCounter || current > g_capture.expectedCounter) {
            if (!RefreshAll()) return 0;
            SetAllCounters(g_capture.currentCounter);
        }
    }

    // 9. The fiscal day moved on since the last full refresh.
    if (std::strncmp(g_capture.fiscalDate.data(), g_capture.refreshDate.data(), 6) != 0) {
        if (!RefreshAll()) return 0;
    }

    // 10. The cache up to date.
    if (!cache.status1Current && !RefreshStatus1()) return 0;
    if ((!cache.groupCurrent || code == 14) && !RefreshGroup()) return 0;
    if (!cache.fCurrent && !RefreshStatusF()) return 0;
    if (cache.gState == 0 && !RefreshStatusG()) return 0;
    if (cache.status28State == 2 && !RefreshStatus28()) return 0;

    // 11. Status the cache can answer.
    if ((code == 27 || code == 29) && CacheAnswer(code, c[4])) return 1;

    // 12. The application's registration.
    if (RegistrationIncomplete(g_registration) && code != 28) {
        const int r = EnsureRegistration(0);
        if (r == 0) return 0;
        TakeMarker(marker, r);
    }

    // 13. The registered printer must be this one.
    const bool skipFactory = (code == 13 && c[4] != 'S' && c[4] != 's') || code == 15 || code == 16 ||
                             code == 18 || code == 28;
    if (!skipFactory && !CheckFactoryNumber(marker)) return 0;

    // 14. A new printer or a new registration: the totals the file starts from.
    if (marker == -1) {
        char reply[kRecord + 2];
        for (char type : {'8', '9', 'A', 'B', 'C', 'D', 'E'})
            if (QueryStatus27(type, reply) != 1) return 0;
    }

    // 15. Status queries of the application, and the item limit.
    bool answered = false;
    const int status = ApplicationStatusQuery(c, code, &answered);
    if (answered) return status;

    // The Z counter before a reduction, for the note written before it is sent.
    char reductionCounter[5] = {};
    if (code == 14 && strnlen(cache.status1.data(), kRecord) >= 44)
        std::memcpy(reductionCounter, cache.status1.data() + 40, 4);

    // 16 and 17. What the command makes stale, and its record.
    ClearCachedReplies(code);
    bool record = false;
    if (code >= 1 && code <= 19 && !MarkStale(code, &record)) return 0;
    // A document after the Z reduction of the day the printer still shows
    // opens the next fiscal day: it and its reply start that day's file.
    const bool opening = record && OpensDocument(code) && FiscalDayClosed();
    g_capture.openingDay = opening;
    // A fiscal command the record of which is not on disk is not sent: the
    // printer would carry out what the day's file never shows.
    if (record && RfdWriteCommand(code == 12 ? "\x1B.12}" : command) < 1) {
        g_capture.openingDay = false;
        log::LogSerial(CP1252("ERRO - COMANDO NÃO ENVIADO AO ECF: FALHA NA GRAVAÇÃO DO ARQUIVO RFD"));
        Reply(link::kReplyNotDelivered);
        // Some of it may have reached the file all the same (a flush that
        // failed): the reply of a command never delivered says it had no effect.
        char text[kRecord + 16];
        std::snprintf(text, sizeof text, "\x1B.00%s", link::kReplyNotDelivered);
        RfdWriteLine(text);
        return 0;
    }

    // The buyer of the last command 17 goes with the coupon that command
    // opened, to its first item's reply at the latest: whatever comes of the
    // next recorded command (a reply lost, a refusal), it goes to no later coupon.
    const std::array<char, 21> saved17 = g_capture.savedCommand17;
    if (record && code != 17) g_capture.savedCommand17[0] = 0;

    // 18. Status G is read again right before these.
    if ((code == 17 || code == 19) && cache.gState == 2 && !RefreshStatusG()) {
        g_capture.openingDay = false;
        Reply(link::kReplyNoAnswer);
        g_capture.CaptureState = 0;
        return 0;
    }

    // 19. The command itself. A reduction is noted before it is sent: the
    // application may end once the printer took it, before its reply is read.
    if (code == 14 && reductionCounter[0]) NoteClosing(reductionCounter);
    const int exchanged = link::ExchangeCommand(command);
    if (code == 14) {
        const char* r = ReplyText();
        // No reply of the printer's own (".-P006}" and the like): whether it took
        // the reduction is for its Z counter to tell, as after a kill, so the
        // note written before the send stays.
        const bool unanswered = NegativeShort(r) && r[2] == 'P' && reductionCounter[0];
        if (!unanswered) {
            if (std::strlen(r) != kRecord && ((r[0] && r[1] == '+') || NegativeShort(r))) NoteClosing();
            else if (reductionCounter[0]) NoteClosingDone();
        }
    }
    if (record) {
        char text[kRecord + 16];
        std::snprintf(text, sizeof text, "\x1B.00%.128s", ReplyText());
        // The command was carried out: its reply is tried once more before
        // the loss is told.
        if (RfdWriteLine(text) < 1 && RfdWriteLine(text) < 1)
            log::LogSerial(CP1252("ERRO - RESPOSTA DO ECF NÃO GRAVADA NO ARQUIVO RFD"));
    }
    g_capture.openingDay = false;
    // The new day's date is read at once, so that its file holds the status
    // that confirms the document even when the session ends now.
    if (opening && exchanged >= 0 && !NegativeShort(ReplyText())) RefreshStatus1();

    // 20. The daily closing: the day's capture goes to the generation.
    if (code == 14 && std::strlen(ReplyText()) != kRecord) {
        const char* r = ReplyText();
        if (r[0] && r[1] == '+') {
            CopyText(g_capture.closedDate, g_capture.fiscalDate.data(), 6);
            ProcessClosedDay();
        } else if (NegativeShort(r)) {
            if (!WaitForClosing()) {
                g_capture.CaptureState = 0;
                return 0;
            }
            ProcessClosedDay();
        }
    }

    // 21. The result.
    const char* r = ReplyText();
    if (exchanged < 0) {
        g_capture.CaptureState = 0;
        return -2;
    }
    if (NegativeShort(r)) {
        g_capture.CaptureState = 0;
        return -1;
    }
    if (PositiveShort(r) && log::ParseNumber(r + 2, 4) > 900) cache.status28State = 2;
    if (code >= 30 && code <= 39) g_capture.CaptureState = 2;
    if (code == 1 && r[0] && r[1] == '+' && std::strlen(r) > 5 && r[5] == '2' && saved17[0]) {
        char text[40];
        std::snprintf(text, sizeof text, "\x1B.0900%.20s}", saved17.data());
        RfdWriteLine(text);
    }
    if (code == 17) SaveCommand17(c);
    if (!cache.status1Current && CaptureSend("\x1B.271}") > 0) g_capture.pendingStatus1 = true;
    return 1;
}

}  // namespace moldrin::capture
