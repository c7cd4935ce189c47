// The ordinary command exchange: validates a frame, sends it and collects its
// reply record(s) into ReplyBuffer. Line work is the transmitter's and receiver's.
#include "link/exchange.h"

#include "session/session_state.h"
#include "link/receiver.h"
#include "link/transmitter.h"
#include "log/file_helpers.h"
#include "log/text.h"
#include "log/traffic_log.h"
#include "ui/boxes.h"

namespace moldrin::link {

namespace {

constexpr std::size_t kShownCommand = 128;

// Replies to these status codes fill exactly one record even at 128 bytes.
bool NeverContinued(const char* command) {
    if (command[2] == '+') return true;
    switch (log::ParseNumber(command + 2, 2)) {
        case 27: case 28: case 29: case 46: case 49: case 59: return true;
        default: return false;
    }
}

}  // namespace

int ExchangeCommand(char* command) {
    char* reply = g_session.ReplyBuffer.data();
    SetText(g_session.ReplyBuffer, kReplyNotDelivered);
    if (!command) return -1;
    // Library commands (a capture file path) are served by the capture, never sent.
    if (command[0] && command[1] == ':') return -1;

    std::size_t length = 0;
    bool closed = false;
    for (; command[length]; ++length) closed = closed || command[length] == '}';
    if (length > kMaxCommand) {
        log::LogSerial("<<<< ERRO - COMANDO A ENVIAR PARA O ECF COM EXTENSAO SUPERIOR A 1500 CARACTERES !!! >>>>");
        ui::InfoBox(CP1252("E R R O - EXTENSÃO DO COMANDO EXCEDE LIMITE !!!"));
        return -1;
    }
    if (command[0] != 0x1B || command[1] != '.') {
        if (length > kShownCommand) command[kShownCommand] = 0;
        log::LogSerial(command);
        log::LogSerial("<<<< ERRO - COMANDO A ENVIAR PARA O ECF SEM O ESCAPE E O PONTO NO INICIO !!! >>>>");
        ui::InfoBox("E R R O - NO FORMATO INICIAL DO COMANDO !!!");
        return -1;
    }
    if (!closed) {
        log::LogSerial("<<<< ERRO - COMANDO A ENVIAR PARA O ECF SEM O FECHA-HAVES !!! >>>>");
        ui::InfoBox("E R R O - NO FORMATO FINAL DO COMANDO !!!");
        return -1;
    }

    if (TransmitFrame(command) <= 0) {
        SetText(g_session.ReplyBuffer, kReplyNotDelivered);
        return -1;
    }
    int got = ReceiveRecord(reply);
    if (got <= 0) {
        SetText(g_session.ReplyBuffer, kReplyNoAnswer);
        return -1;
    }
    if (log::LogSerial(reply) < 0) return -1;
    if (got < static_cast<int>(kRecordMax)) return got;

    while (got == static_cast<int>(kRecordMax)) {
        if (NeverContinued(command)) return got;
        got = ReceiveRecord(reply);
        if (got <= 0) {
            SetText(g_session.ReplyBuffer, kReplyNoAnswer);
            return -1;
        }
        if (log::LogSerial(reply) < 0) return -1;
    }
    return got;
}

}  // namespace moldrin::link
