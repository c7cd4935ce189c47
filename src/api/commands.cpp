// The exported command calls: ECFWrite routes a command to the block protocol,
// the fiscal capture, a status query or the ordinary exchange; ECFRead hands
// out the reply; and the small setters around them.
#include <cstring>

#include "api/session.h"
#include "session/session_state.h"
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

// How long the fast writer waits for a call using the port: as long as a
// call waits for the capture.
constexpr uint32_t kFastWriterWaitMs = 60000;

using log::LogSerial;

// Logs a message and shows it in the information box.
void Report(const char* text) {
    LogSerial(text);
    ui::InfoBox(text);
}

int Write(const char* command) {
    if (ApiLock() != 0) return -1;
    SessionState& s = g_session;
    auto done = [](int result) {
        ApiUnlock();
        return result;
    };
    if (s.PortIndex < 0) {
        Report(CP1252("ERRO SISTEMA - NÃO FOI CHAMADO ECFOpen()"));
        return done(-1);
    }
    SetText(s.ReplyBuffer, link::kReplyNotDelivered);

    // "27}" asks for the full status record 1.
    const std::size_t length = std::strlen(command);
    if (length >= 5 && std::memcmp(command + 2, "27}", 3) == 0) command = "\x1B.271}";

    if (s.LineSpeed == 0) {
        link::DetectLineSpeed();
        if (s.LineSpeed == 0) return done(0);
    }

    int bulk = link::BulkCommand(command);
    if (bulk == -1) {
        SetText(s.ReplyBuffer, link::kReplyNotDelivered);
        return done(-1);
    }
    if (bulk < 0) {
        SetText(s.ReplyBuffer, link::kReplyNoAnswer);
        return done(-1);
    }
    if (bulk > 0) return done(0);

    if (std::strlen(command) > kMaxCommand) {
        Report("ERRO - tamanho do texto excede 1500 bytes");
        return done(-1);
    }

    // Only the frame up to its first "}" goes on; what follows is dropped.
    char* copy = s.CommandBuffer.data();
    std::size_t n = 0;
    while (n < kMaxCommand && command[n]) {
        copy[n] = command[n];
        if (command[n++] == '}') break;
    }
    copy[n] = 0;

    if (s.ModelGate != 2) {
        int fed = capture::CaptureFeed(copy, s.CaptureEnabled);
        if (fed <= 0 && s.ModelGate < 2) return done(-1);
        if (fed != 2 && s.ModelGate != 2) return done(0);
    }

    char* reply = s.ReplyBuffer.data();
    const char letter = n > 4 ? copy[4] : 0;
    switch (n > 2 ? log::ParseNumber(copy + 2, 2) : 0) {
        case 23: link::Status23(reply); break;
        case 27: link::Status27(reply, letter); break;
        case 28: link::Status28Letter(reply, letter); break;
        case 29: link::Status29(reply, letter); break;
        default:
            if (link::ExchangeCommand(copy) <= 0) return done(-1);
            break;
    }

    // The model letter of a full status record 1.
    if (n >= 5 && std::memcmp(copy + 2, "271", 3) == 0 && reply[1] == '+' && reply[2] == 'C' &&
        std::strlen(reply) >= 128 && reply[127] == '}' && static_cast<unsigned char>(reply[124]) < 'G') {
        s.ModelGate = 0;
        s.LinkModelLetter = reply[124];
    }
    return done(0);
}

int Read(char* buffer, unsigned int length) {
    if (ApiLock() != 0) return -1;
    const SessionState& s = g_session;
    int result = 0;
    if (s.PortIndex < 0) {
        Report(CP1252("ECFread() - ERRO SISTEMA - NÃO FOI CHAMADO ECFopen()"));
        result = -1;
    } else if (length < 132) {
        Report(CP1252("ERRO - Extensão do status menor que 132 bytes"));
        result = -1;
    } else if (length > kBufferSize) {
        Report(CP1252("Erro - Extensão do status excede limite"));
        result = -1;
    } else {
        std::memset(buffer, 0, length);
        // Every reply is at most 128 characters; the copy is bounded by the buffer all the same.
        std::size_t n = strnlen(s.ReplyBuffer.data(), length - 1);
        std::memcpy(buffer, s.ReplyBuffer.data(), n);
    }
    ApiUnlock();
    return result;
}

}  // namespace
}  // namespace moldrin::api

using moldrin::g_session;

extern "C" {

MOLDRIN_API int MOLDRIN_STDCALL ECFWrite(const char* command) {
    if (!command) return -1;
    return moldrin::api::Write(command);
}

MOLDRIN_API int MOLDRIN_STDCALL ECFRead(char* buffer, unsigned int length) {
    if (!buffer) return -1;
    return moldrin::api::Read(buffer, length);
}

MOLDRIN_API int MOLDRIN_STDCALL SetTimeoutRead(unsigned int seconds) {
    if (moldrin::api::ApiLock() != 0) return -1;
    int result = 0;
    if (seconds >= 1 && seconds <= 60) {
        g_session.ReadTimeoutSeconds = seconds;
    } else {
        moldrin::log::LogSerialf("ERRO - TIMEOUT EXCEDE 1 MINUTO ou zero = %u", seconds);
        result = 1;
    }
    moldrin::api::ApiUnlock();
    return result;
}

MOLDRIN_API int MOLDRIN_STDCALL ECFPathLog(char* buffer) {
    if (!buffer) return -1;
    if (moldrin::api::ApiLock() != 0) return -1;
    int result = 0;
    if (g_session.PortIndex < 0) {
        moldrin::api::Report(CP1252("ECFPathLog() - ERRO SISTEMA - NÃO FOI CHAMADO ECFopen()"));
        result = -1;
    } else if (g_session.LogMode == 0) {
        std::strcpy(buffer, "   [ S E M   L O G ]");
    } else {
        moldrin::log::CopyLogPath(buffer);
    }
    moldrin::api::ApiUnlock();
    return result;
}

MOLDRIN_API int MOLDRIN_STDCALL ECFswLFs(void) {
    if (moldrin::api::ApiLock() != 0) return -1;
    if (g_session.PortIndex < 0) {
        moldrin::api::ApiUnlock();
        return -1;
    }
    // The printer is given its moment to feed the lines before the worker asks it anything.
    int sent = moldrin::capture::CaptureFastSend("\x1B.0893}", 0, 100);
    moldrin::api::ApiUnlock();
    return sent;
}

MOLDRIN_API int MOLDRIN_STDCALL SetTesteCTS(int enabled) {
    g_session.CtsTestEnabled = enabled;
    return 0;
}

MOLDRIN_API int MOLDRIN_CDECL ECFTxFast(const char* bytes, unsigned int count) {
    if (!bytes) return -1;
    // The port is shared: the bytes wait for the exported call using it, and
    // for the capture's query under way, instead of going out in between.
    const int locked = moldrin::api::ApiLockWithin(moldrin::api::kFastWriterWaitMs);
    if (locked == -2 || g_session.Unloading.load() != 0) return 0;
    const int sent = moldrin::capture::CaptureFastSend(bytes, count);
    if (locked == 0) moldrin::api::ApiUnlock();
    return sent;
}

}  // extern "C"
