// The refresh operations over the status cache: the capture's own queries, each
// reply stored where the cache keeps it.
#include "capture/status_refresh.h"

#include <cstdio>
#include <cstring>

#include "capture/capture_queries.h"
#include "platform/clock.h"
#include "session/session_state.h"
#include "store/capture_state.h"
#include "store/status_cache.h"

namespace moldrin::capture {

namespace {

constexpr std::size_t kRecord = 128;

StatusCache& Cache() { return g_capture.cache; }
void Store(CachedReply& entry, const char* reply) { CopyText(entry, reply, kRecord); }
void Empty(CachedReply& entry) { entry[0] = 0; }
bool Filled(const CachedReply& entry) { return entry[0] != 0; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whether any tax entry of the status-29 tables is of the "S" kind.
bool AnyTaxEntryS() {
    const StatusCache& c = Cache();
    struct Table {
        const CachedReply& reply;
        std::size_t at, count;
    } tables[] = {{c.table29[2], 48, 4}, {c.table29[3], 7, 7}, {c.table29[4], 7, 4}};
    for (const auto& t : tables)
        for (std::size_t i = 0; i < t.count; ++i)
            if (t.reply[t.at + 7 * i] == 'S') return true;
    return false;
}

bool AllBlank(const char* text, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i <= to; ++i)
        if (text[i] != ' ') return false;
    return true;
}

}  // namespace

int RefreshStatus1() {
    StatusCache& c = Cache();
    c.status1Current = false;
    const uint32_t unrecorded = g_capture.unrecordedQueries;
    char reply[kRecord + 2];
    if (QueryStatus27('1', reply) != 1) return 0;
    Store(c.status1, reply);
    TakeCounter(reply);
    g_capture.ModelLetter = reply[124];
    g_session.LinkModelLetter = reply[124];
    c.status1Current = g_capture.unrecordedQueries == unrecorded;
    return 1;
}

int RefreshStatus3() {
    char reply[kRecord + 2];
    if (QueryStatus27('3', reply) != 1) return 0;
    Store(Cache().status3, reply);
    TakeFactoryNumber(reply);
    return 1;
}

int RefreshStatusF() {
    StatusCache& c = Cache();
    c.fCurrent = false;
    char reply[kRecord + 2];
    if (QueryStatus27('F', reply) != 1) return 0;
    Store(c.statusF, reply);
    c.fCurrent = true;
    return 1;
}

int RefreshStatusG() {
    StatusCache& c = Cache();
    c.gState = 0;
    char reply[kRecord + 2];
    if (QueryStatus27('G', reply) != 1) return 0;
    Store(c.statusG, reply);
    c.gState = 1;
    return 1;
}

int RefreshStatus28() {
    char reply[kRecord + 2];
    if (QueryStatus28(reply) < 1) return 0;
    Store(Cache().status28, reply);
    Cache().status28State = 1;
    std::memcpy(g_capture.printerClock.data(), reply + 46, 10);
    g_capture.printerClock[10] = '0';
    g_capture.printerClock[11] = '0';
    g_capture.printerClock[12] = 0;
    g_capture.printerClockReadAt = platform::Now();
    return 1;
}

int RefreshGroup() {
    StatusCache& c = Cache();
    c.groupCurrent = false;
    const uint32_t unrecorded = g_capture.unrecordedQueries;
    if (!RefreshStatus28()) return 0;
    char reply[kRecord + 2];
    if (AnyTaxEntryS()) {
        if (QueryStatus27('2', reply) != 1) return 0;
        Store(c.status2, reply);
    } else {
        Empty(c.status2);
    }
    if (QueryStatus27('4', reply) != 1) return 0;
    Store(c.status4, reply);
    if (Filled(c.table29[3]) && !AllBlank(c.table29[3].data(), 35, 41)) {
        if (QueryStatus27('5', reply) != 1) return 0;
        Store(c.status5, reply);
    } else {
        Empty(c.status5);
    }
    if (QueryStatus27('6', reply) != 1) return 0;
    Store(c.status6, reply);
    if (QueryStatus27('7', reply) != 1) return 0;
    Store(c.status7, reply);
    if (!RefreshStatus3()) return 0;
    // Read, but not all of it recorded: the day's file must see it, so it is read again.
    c.groupCurrent = g_capture.unrecordedQueries == unrecorded;
    return 1;
}

int ReadTables29() {
    StatusCache& c = Cache();
    char reply[kRecord + 2];
    for (char type = '1'; type <= '6'; ++type) {
        if (QueryStatus29(type, reply) < 1) return 0;
        Store(c.table29[static_cast<std::size_t>(type - '1')], reply);
    }
    if (QueryStatus29('F', reply) < 1) return 0;
    Store(c.table29F, reply);
    for (char type : {'H', 'I', 'J', 'K', 'L'}) {
        if (QueryStatus29(type, reply) < 1) return 0;
        if (AllBlank(reply, 7, 65)) break;
        Store(c.table29HtoL, reply);
    }
    return 1;
}

int RefreshAll() {
    ResetCaptureState();
    if (!RefreshStatus3() || !RefreshStatus1()) return 0;
    g_session.ModelGate = static_cast<signed char>(g_capture.ModelLetter) < 'G' ? 0 : 2;
    if (g_session.ModelGate == 2) return 0;

    StatusCache& c = Cache();
    std::memcpy(g_capture.fiscalDate.data(), c.status1.data() + 7, 6);
    g_capture.fiscalDate[6] = 0;
    std::memcpy(g_capture.refreshDate.data(), c.status1.data() + 7, 6);
    g_capture.refreshDate[6] = 0;

    const platform::LocalTime now = platform::Now();
    char today[16];
    std::snprintf(today, sizeof today, "%02d%02d%02d", now.day, now.month, now.year - 2000);
    if (std::strcmp(g_capture.fiscalDate.data(), today) != 0 && !RefreshStatus3()) return 0;

    if (!RefreshStatusG()) return 0;
    char reply[kRecord + 2];
    const int typed = QueryStatus28Type('C', reply);
    g_session.ModelGate = static_cast<int8_t>(typed);
    if (typed < 0) return 0;
    if (typed == 0 && IsDigit(c.statusG[30])) g_session.ModelGate = 1;

    if (!ReadTables29() || !RefreshStatusF() || !RefreshGroup()) return 0;
    c.gState = 2;
    g_capture.CaptureState = 1;
    return 1;
}

}  // namespace moldrin::capture
