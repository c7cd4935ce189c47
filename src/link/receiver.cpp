// Takes the printer's answer off the line: one reply record, or one STX/ETX
// block. Sending the frame is the transmitter's; judging the reply, the caller's.
#include "link/receiver.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "session/session_state.h"
#include "link/line_wait.h"
#include "log/text.h"
#include "log/traffic_log.h"
#include "serial/checked.h"
#include "serial/port_table.h"
#include "ui/boxes.h"

namespace moldrin::link {

using namespace detail;

namespace {

constexpr uint32_t kStatusMask = platform::kErrOverrun | platform::kErrFrame;  // 10
constexpr uint32_t kOverrunPauseMs = 100;
constexpr std::size_t kDiscardSize = 512;
constexpr char kStx = 0x02, kEtx = 0x03, kAck = 0x06, kNak = 0x15;

void LogAndShow(const char* text) {
    log::LogSerial(text);
    ui::InfoBox(text);
}

// The byte taken off the line, or why there is none.
enum class Take { Byte, Lost, Fault, Overrun };

// One byte with SioGetc, then the line errors with SioStatus. Port faults are
// reported here; *result carries the caller's answer for Fault.
Take TakeByte(uint8_t* byte, int* result) {
    int c = serial::SioGetc(g_session.PortIndex);
    if (c == serial::kNoByte) {
        log::LogSerial("ERRO - caracter sumiu !!! ??? (SioGetc)");
        return Take::Lost;
    }
    if (c < 0) {
        *result = -1;
        if (c == serial::kPortNotOpen) {
            LogAndShow(CP1252("ERRO - PORTA NÃO ABERTA (SioGetc)"));
        } else if (c == serial::kNoSuchPort) {
            LogAndShow(CP1252("ERRO - PORTA NÃO EXISTE (SioGetc)"));
        } else {
            char text[96];
            std::snprintf(text, sizeof text, "ERRO - CONFLITO DE PORTA NO SISTEMA - status =(%d) (SioGetc)", c);
            LogAndShow(text);
        }
        return Take::Fault;
    }
    *byte = static_cast<uint8_t>(c);
    int status = serial::SioStatus(g_session.PortIndex, kStatusMask);
    if (status == serial::kPortNotOpen) {
        LogAndShow(CP1252("ERRO - PORTA NÃO ABERTA (SioStatus)"));
        *result = -1;
        return Take::Fault;
    }
    if (status == serial::kNoSuchPort) {
        LogAndShow(CP1252("ERRO - PORTA NÃO EXISTE (SioStatus)"));
        *result = -1;
        return Take::Fault;
    }
    if (status != 0) {
        log::LogSerial("ocorreu overrun/error frame");
        // Let the burst that overran the queue finish before it is thrown away.
        platform::SleepMs(kOverrunPauseMs);
        return Take::Overrun;
    }
    return Take::Byte;
}

void LogDiscarded(std::array<char, kDiscardSize>& discard, std::size_t& kept) {
    if (kept == 0) return;
    log::LogSerial("<<<< Veio resposta do ECF mas o caracter inicial nao e' o PONTO !!!!(registro abaixo ignorado)>>>>");
    log::LogSerial(discard.data());
    kept = 0;
    discard[0] = 0;
}

}  // namespace

int ReceiveRecord(char* buffer) {
    std::memset(buffer, 0, kRecordMax + 1);
    std::array<char, kDiscardSize> discard{};
    std::size_t kept = 0;
    if (serial::SioDTR() < 0 || serial::SioRTSClear() < 0) return -1;

    const uint32_t overall = DeadlineIn(TimeoutMs());
    std::size_t stored = 0;  // bytes of the record in buffer
    int length = 0;          // what the call answers
    bool complete = false;

    for (;;) {
        if (Passed(overall)) break;
        const uint32_t byteDeadline = DeadlineIn(TimeoutMs());
        bool waiting = false;
        int dsr = 0;
        for (;;) {
            if (Abandoned()) return -1;
            dsr = serial::SioDSR();
            if (dsr < 0) return -1;
            int queued = serial::SioRxQue();
            if (queued < 0) return -1;
            if (queued > 0) {
                waiting = true;
                break;
            }
            if (Passed(byteDeadline)) break;
            WaitForLine(byteDeadline);
        }
        if (!waiting) {
            log::LogSerial(dsr > 0 ? "<<<< Tem DSR, mas nao Veio a Resposta do ECF !!!! >>>>"
                                   : "<<<< Nem Resposta e nem DSR do ECF !!!! >>>>");
            break;
        }

        uint8_t byte = 0;
        int fault = 0;
        Take take = TakeByte(&byte, &fault);
        if (take == Take::Lost) return 0;
        if (take == Take::Fault) return fault;
        if (take == Take::Overrun) {
            if (serial::SioRxClear() < 0) return -1;
            break;
        }

        if (stored == 0 && byte != '.') {
            if (kept < kDiscardSize - 1) {
                discard[kept++] = static_cast<char>(byte);
                discard[kept] = 0;
            }
            continue;
        }
        LogDiscarded(discard, kept);
        // A NUL cannot be part of a reply text: the application would read the
        // record only up to it. The record is dropped as incomplete.
        if (byte == 0) break;
        buffer[stored++] = static_cast<char>(byte);
        buffer[stored] = 0;
        if (byte == '}') {
            complete = true;
            length = static_cast<int>(stored);
            break;
        }
        if (stored >= kRecordMax) {
            log::LogSerial("<<<< Registro recebido do ECF excede tamanho maximo de 128 bytes !!!! >>>>");
            HardwareErrorBox("ERRO - FORMATO DE RESPOSTA INCORRETO !!!!");
            break;
        }
    }

    LogDiscarded(discard, kept);
    if (stored > 0 && (length == 0 || !complete)) {
        log::LogSerial("<<<< formato incompleto - (registro abaixo ignorado)>>>>");
        log::LogSerial(buffer);
    }
    return length;
}

int ReceiveBlock(char* buffer, int max) {
    if (max < 0) max = 0;
    std::memset(buffer, 0, static_cast<std::size_t>(max) + 1);
    if (serial::SioDTR() < 0 || serial::SioRTSClear() < 0) return -1;
    if (max < 1) return 0;

    // Junk that never turns into a block must not hold the caller forever.
    const uint32_t overall = DeadlineIn(TimeoutMs());
    int stored = 0;
    bool junkLogged = false;
    while (stored < max) {
        if (Passed(overall)) return 0;
        const uint32_t byteDeadline = DeadlineIn(TimeoutMs());
        for (;;) {
            if (Unloading()) return -1;
            int dsr = serial::SioDSR();
            if (dsr < 0) return -1;
            int queued = serial::SioRxQue();
            if (queued < 0) return -1;
            if (queued > 0) break;
            if (Passed(byteDeadline)) {
                if (dsr == 0) {
                    log::LogSerial("<<<< Nem Resposta e nem DSR do ECF !!!! >>>>");
                    return 0;
                }
                break;
            }
            WaitForLine(byteDeadline);
        }

        uint8_t byte = 0;
        int fault = 0;
        Take take = TakeByte(&byte, &fault);
        if (take == Take::Lost) return 0;
        if (take == Take::Fault) return fault;
        if (take == Take::Overrun) return serial::SioRxClear() < 0 ? -1 : 0;

        if (stored > 0 || byte == kStx) {
            buffer[stored++] = static_cast<char>(byte);
            buffer[stored] = 0;
            if (byte == kEtx) break;
            continue;
        }
        if (byte == kAck) continue;
        if (byte == kNak) return 0;
        if (!junkLogged) {
            log::LogSerial("<<<< Veio caracter do ECF mas o caracter inicial nao e' o PONTO !!!! (registro ignorado)>>>>");
            junkLogged = true;
        }
    }
    return stored;
}

}  // namespace moldrin::link
