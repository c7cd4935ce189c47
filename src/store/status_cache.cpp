// The status cache's lookups and stores: what a reply read from the printer, or
// replayed from a capture file, leaves in it. Filling it from the printer is the
// live capture's (status_refresh); the cache's layout is capture_state's.
#include "store/status_cache.h"

#include <cctype>
#include <cstring>

#include "session/session_state.h"
#include "store/capture_state.h"

namespace moldrin::capture {

namespace {

constexpr std::size_t kRecord = 128;

StatusCache& Cache() { return g_capture.cache; }
void Store(CachedReply& entry, const char* reply) { CopyText(entry, reply, kRecord); }
bool Filled(const CachedReply& entry) { return entry[0] != 0; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A number of all-digit characters; anything else in the field makes it 0.
int64_t DigitsAt(const char* text, std::size_t at, std::size_t width) {
    int64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9') return 0;
        v = v * 10 + (c - '0');
    }
    return v;
}

}  // namespace

void TakeCounter(const char* status1) { g_capture.currentCounter = DigitsAt(status1, 19, 17); }

void TakeFactoryNumber(const char* status3) {
    std::memcpy(g_capture.factoryNumber.data(), status3 + 12, 9);
    g_capture.factoryNumber[9] = 0;
}

namespace {

// The entry of status 27 of a type, for the types the cache keeps.
CachedReply* Entry27(char type) {
    StatusCache& c = Cache();
    switch (type) {
        case '1': return &c.status1;
        case '2': return &c.status2;
        case '3': return &c.status3;
        case '4': return &c.status4;
        case '5': return &c.status5;
        case '6': return &c.status6;
        case '7': return &c.status7;
        case '8': return &c.status8toE[0];
        case '9': return &c.status8toE[1];
        case 'A': case 'B': case 'C': case 'D': case 'E': return &c.status8toE[static_cast<std::size_t>(type - 'A' + 2)];
        case 'F': return &c.statusF;
        case 'G': return &c.statusG;
        default: return nullptr;
    }
}

}  // namespace

int CacheAnswer(int family, char type) {
    if (g_capture.CaptureState != 1) return 0;
    type = static_cast<char>(std::toupper(static_cast<unsigned char>(type)));
    const StatusCache& c = Cache();
    const CachedReply* entry = nullptr;
    if (family == 27) {
        if (type >= '2' && type <= '7') entry = c.groupCurrent ? Entry27(type) : nullptr;
        else if (type == '1') entry = c.status1Current ? &c.status1 : nullptr;
        else if (type == 'F') entry = c.fCurrent ? &c.statusF : nullptr;
        else if (type == 'G') entry = c.gState == 1 ? &c.statusG : nullptr;
    } else if (family == 29 && type >= '1' && type <= '6') {
        entry = &c.table29[static_cast<std::size_t>(type - '1')];
    }
    if (!entry || !Filled(*entry)) return 0;
    SetText(g_session.ReplyBuffer, entry->data());
    return 1;
}

void CacheStore(int family, char type, const char* reply) {
    if (!reply) return;
    StatusCache& c = Cache();
    if (family == 28) {
        if (type == '|' || IsDigit(type)) Store(c.status28, reply);
        return;
    }
    if (family == 29) {
        if (type >= '1' && type <= '6') Store(c.table29[static_cast<std::size_t>(type - '1')], reply);
        return;
    }
    if (family != 27) return;
    // Positions past the end of a short reply are never looked at.
    const std::size_t length = strnlen(reply, kRecord);
    auto at = [&](std::size_t i) { return i < length ? reply[i] : '\0'; };
    CachedReply* entry = Entry27(type);
    if (!entry) return;
    if (type == '1') {
        if (static_cast<unsigned char>(at(124)) >= 'G') return;
        Store(*entry, reply);
        if (length > 35) TakeCounter(reply);
        c.status1Current = true;
        return;
    }
    Store(*entry, reply);
    if (type == '3' && length > 20) TakeFactoryNumber(reply);
    if (type == 'F') c.fCurrent = true;
    if (type == 'G') g_session.ModelGate = IsDigit(at(30)) ? 1 : 0;
}

}  // namespace moldrin::capture
