// Sends one command frame byte by byte, checking CTS, DSR and the transmit
// queue before each byte. The reply is the receiver's business.
#include "link/transmitter.h"

#include <array>

#include "session/session_state.h"
#include "link/line_wait.h"
#include "log/text.h"
#include "log/traffic_log.h"
#include "platform/operator.h"
#include "serial/checked.h"
#include "serial/port_table.h"
#include "ui/boxes.h"

namespace moldrin::link {

namespace detail {
void HardwareErrorBox(const char* text) {
    if (const TransferSettings* own = ThreadTransferSettings()) {
        // A transfer on the capture's account: its own choice decides the box,
        // and the session's switch, the application's, is left as it was.
        if (own->showDialogs != 0) platform::GetOperator().InfoBox(text);
        return;
    }
    g_session.DialogsEnabled = g_session.ShowDialogs;
    ui::InfoBox(text);
    g_session.DialogsEnabled = g_session.DialogsRestore;
}
}  // namespace detail

using namespace detail;

namespace {

constexpr uint32_t kTxQueueWaitMs = 100;
// The transmit queue drains without telling the device, so it is looked at often.
constexpr uint32_t kTxQueueSliceMs = 1;

enum class Poll { Present, Abandon, Fault, TimedOut };

// Polls a modem line of the checked operations until it reports present.
Poll WaitForLinePresent(int (*read)(), uint32_t deadline) {
    for (;;) {
        if (Abandoned()) return Poll::Abandon;
        int r = read();
        if (r < 0) return Poll::Fault;
        if (r > 0) return Poll::Present;
        if (Passed(deadline)) return Poll::TimedOut;
        WaitForLine(deadline);
    }
}

}  // namespace

int TransmitFrame(const char* frame) {
    if (serial::SioDTR() < 0) return -1;
    if (serial::SioTxCLEAR() < 0) return -1;
    if (serial::SioRTSSet() < 0) return -1;
    std::array<char, kMaxCommand + 1> echo{};
    std::size_t echoed = 0;
    serial::SioRxClear();

    int count = 0;
    // A frame longer than a command may be is cut where the echo would overflow.
    for (std::size_t i = 0; frame && frame[i] && i < kMaxCommand; ++i) {
        const char b = frame[i];

        Poll cts = WaitForLinePresent(serial::SioCTS, DeadlineIn(TimeoutMs()));
        if (cts == Poll::Abandon || cts == Poll::Fault) return -1;
        if (cts == Poll::TimedOut) {
            log::LogSerial("<<<< RTS ativado, mas nao tem CTS !!! >>>>");
            HardwareErrorBox("Printer conectada ? sem CTS - \n");
            return -1;
        }

        Poll dsr = WaitForLinePresent(serial::SioDSR, DeadlineIn(TimeoutMs()));
        if (dsr == Poll::Abandon || dsr == Poll::Fault) return -1;
        if (dsr == Poll::TimedOut) {
            log::LogSerial("<<<< nao vem DSR !!!  -  ECF ligado?   OCUPADO? "
                           "sem TAMPA?    sem PAPEL?   CABO desconectado? >>>>");
            HardwareErrorBox("ERRO - VERIFICAR IMPRESSORA          ( LIGADA?\n"
                             "OCUPADA?    SEM TAMPA?        SEM PAPEL?   "
                             "CABO SOLTO?   ) \n");
            return -1;
        }

        const uint32_t queueDeadline = DeadlineIn(kTxQueueWaitMs);
        for (;;) {
            if (Abandoned()) return -1;
            int queued = serial::SioTxQue();
            if (queued < 0) return -1;
            if (queued == 0) break;
            if (Passed(queueDeadline)) {
                log::LogSerial("<<<< TXque nunca fica vazia ??? >>>>");
                break;
            }
            WaitForLine(queueDeadline, kTxQueueSliceMs);
        }

        if (b == '}' && serial::SioRxClear() < 0) return -1;

        int put = serial::SioPutc(g_session.PortIndex, static_cast<uint8_t>(b));
        echo[echoed++] = b;
        echo[echoed] = 0;
        if (put == serial::kPortNotOpen) {
            log::LogSerial(CP1252("ERRO - PORTA NÃO ABERTA (SioPutc)"));
            ui::InfoBox(CP1252("ERRO - PORTA NÃO ABERTA (SioPutc)"));
            return -1;
        }
        if (put == serial::kNoSuchPort) {
            log::LogSerial(CP1252("ERRO - PORTA NÃO EXISTE (SioPutc)"));
            ui::InfoBox(CP1252("ERRO - PORTA NÃO EXISTE (SioPutc)"));
            return -1;
        }
        if (b == '}') break;
        ++count;
    }
    log::LogSerial(echo.data());
    return count;
}

}  // namespace moldrin::link
