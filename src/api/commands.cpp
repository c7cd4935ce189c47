// The command calls of an open session: ECFWrite and its routing, ECFRead,
// SetTimeoutRead, ECFPathLog, ECFswLFs, SetTesteCTS, ECFTxFast. Opening and
// closing the session and the API lock itself live in session.cpp.
#include <cstring>

#include "api/session.h"
#include "api/session_state.h"
#include "capture/capture.h"
#include "link/block_protocol.h"
#include "link/exchange.h"
#include "link/status_queries.h"
#include "log/file_helpers.h"
#include "log/text.h"
#include "log/traffic_log.h"
#include "moldrin.h"
#include "platform/clock.h"
#include "ui/boxes.h"

namespace moldrin::api {

namespace {

constexpr unsigned kReadMin = 132;
constexpr unsigned kSwLfsPauseMs = 100;

// Holds the API lock that ApiLock took; releases it once, on the way out.
class HeldLock {
public:
    HeldLock() = default;
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    ~HeldLock() { ApiUnlock(); }
};

void LogAndShow(const char* text) {
    log::LogSerial(text);
    ui::InfoBox(text);
}

// Characters 2 to 4 of a command, compared without reading past its end.
bool CodeIs(const char* command, const char* three) {
    for (int i = 0; i < 3; ++i)
        if (command[i] == 0 || command[2 + i] != three[i]) return false;
    return true;
}

int WriteLocked(const char* given) {
    if (g_session.PortIndex < 0) {
        LogAndShow(CP1252("ERRO SISTEMA - NÃO FOI CHAMADO ECFOpen()"));
        return -1;
    }
    SetText(g_session.ReplyBuffer, link::kReplyNotDelivered);
    const char* command = given;
    if (CodeIs(given, "27}")) command = "\x1B.271}";

    if (g_session.LineSpeed == 0) {
        link::DetectLineSpeed();
        if (g_session.LineSpeed == 0) return 0;
    }

    int bulk = link::BulkCommand(command);
    if (bulk == -1) {
        SetText(g_session.ReplyBuffer, link::kReplyNotDelivered);
        return -1;
    }
    if (bulk < 0) {
        SetText(g_session.ReplyBuffer, link::kReplyNoAnswer);
        return -1;
    }
    if (bulk > 0) return 0;

    if (std::strlen(command) > kMaxCommand) {
        LogAndShow("ERRO - tamanho do texto excede 1500 bytes");
        return -1;
    }
    char* copy = g_session.CommandBuffer.data();
    std::size_t n = 0;
    while (command[n] && n < kMaxCommand) {
        copy[n] = command[n];
        if (command[n++] == '}') break;
    }
    copy[n] = 0;

    if (g_session.ModelGate != 2) {
        int fed = capture::CaptureFeed(copy, g_session.CaptureEnabled);
        if (fed <= 0 && g_session.ModelGate < 2) return -1;
        if (fed != 2 && g_session.ModelGate != 2) return 0;
    }

    char* reply = g_session.ReplyBuffer.data();
    const char letter = copy[0] && copy[1] && copy[2] && copy[3] ? copy[4] : 0;
    switch (log::ParseNumber(copy + 2, 2)) {
        case 23: link::Status23(reply); break;
        case 27: link::Status27(reply, letter); break;
        case 28: link::Status28Letter(reply, letter); break;
        case 29: link::Status29(reply, letter); break;
        default:
            if (link::ExchangeCommand(copy) <= 0) return -1;
            break;
    }

    if (CodeIs(command, "271") && reply[1] == '+' && reply[2] == 'C' && reply[127] == '}' &&
        static_cast<unsigned char>(reply[124]) < 'G') {
        g_session.ModelGate = 0;
        g_session.LinkModelLetter = reply[124];
    }
    return 0;
}

}  // namespace

}  // namespace moldrin::api

using namespace moldrin;

extern "C" {

MOLDRIN_API int MOLDRIN_STDCALL ECFWrite(const char* command) {
    if (api::ApiLock() != 0) return -1;
    api::HeldLock held;
    if (!command) return -1;
    return api::WriteLocked(command);
}

MOLDRIN_API int MOLDRIN_STDCALL ECFRead(char* buffer, unsigned int length) {
    if (api::ApiLock() != 0) return -1;
    api::HeldLock held;
    if (g_session.PortIndex < 0) {
        api::LogAndShow(CP1252("ECFread() - ERRO SISTEMA - NÃO FOI CHAMADO ECFopen()"));
        return -1;
    }
    if (length < api::kReadMin) {
        api::LogAndShow(CP1252("ERRO - Extensão do status menor que 132 bytes"));
        return -1;
    }
    if (length > kBufferSize) {
        api::LogAndShow(CP1252("Erro - Extensão do status excede limite"));
        return -1;
    }
    if (!buffer) return -1;
    std::memset(buffer, 0, length);
    const char* reply = g_session.ReplyBuffer.data();
    for (unsigned i = 0; i + 1 < length && reply[i]; ++i) buffer[i] = reply[i];
    return 0;
}

MOLDRIN_API int MOLDRIN_STDCALL SetTimeoutRead(unsigned int seconds) {
    if (api::ApiLock() != 0) return -1;
    api::HeldLock held;
    if (seconds < 1 || seconds > 60) {
        log::LogSerialf("ERRO - TIMEOUT EXCEDE 1 MINUTO ou zero = %u", seconds);
        return 1;
    }
    g_session.ReadTimeoutSeconds = seconds;
    return 0;
}

MOLDRIN_API int MOLDRIN_STDCALL ECFPathLog(char* buffer) {
    if (api::ApiLock() != 0) return -1;
    api::HeldLock held;
    if (g_session.PortIndex < 0) {
        api::LogAndShow(CP1252("ECFPathLog() - ERRO SISTEMA - NÃO FOI CHAMADO ECFopen()"));
        return -1;
    }
    if (!buffer) return -1;
    const char* text = g_session.LogMode == 0 ? "   [ S E M   L O G ]" : g_session.LogPath.data();
    std::size_t i = 0;
    for (; text[i] && i + 1 < kLogPathSize; ++i) buffer[i] = text[i];
    buffer[i] = 0;
    return 0;
}

MOLDRIN_API int MOLDRIN_STDCALL ECFswLFs(void) {
    if (api::ApiLock() != 0) return -1;
    api::HeldLock held;
    if (g_session.PortIndex < 0) return -1;
    int sent = link::TxFast("\x1B.0893}", 0);
    platform::SleepMs(api::kSwLfsPauseMs);
    return sent;
}

MOLDRIN_API int MOLDRIN_STDCALL SetTesteCTS(int enabled) {
    g_session.CtsTestEnabled.store(enabled);
    return 0;
}

MOLDRIN_API int MOLDRIN_CDECL ECFTxFast(const char* bytes, unsigned int count) {
    if (!bytes) return -1;
    return link::TxFast(bytes, count);
}

}  // extern "C"
