// Checked serial operations on the session's port. Each reports a missing or
// unopened port in its own words in the traffic log and answers -1; the raw
// byte operations are left to the printer link, which reports them itself.
#include "serial/checked.h"

#include "session/session_state.h"
#include "log/text.h"
#include "log/traffic_log.h"
#include "serial/port_table.h"

namespace moldrin::serial {

namespace {

// The driver's answer, or -1 after logging the misuse in the operation's words.
int Checked(int result, const char* notOpen, const char* noSuchPort) {
    if (result == kPortNotOpen) {
        log::LogSerial(notOpen);
        return -1;
    }
    if (result == kNoSuchPort) {
        log::LogSerial(noSuchPort);
        return -1;
    }
    return result;
}

uint32_t SpeedCode(uint32_t bitsPerSecond) {
    switch (bitsPerSecond) {
        case 1200: return 2;
        case 2400: return 3;
        case 4800: return 4;
        case 19200: return 6;
        case 38400: return 7;
        case 57600: return 8;
        case 115200: return 9;
        default: return 5;
    }
}

}  // namespace

int PortSetBaud(int index, uint32_t bitsPerSecond) {
    int r = PortSetSpeed(index, SpeedCode(bitsPerSecond));
    if (r == -1) return -1;
    if (g_session.LastPortStatus < 0) return -1;
    return r;
}

int Parms(int index) {
    int r = PortSetParms(index, 0, 0, 8);
    if (r == kNoSuchPort) {
        log::LogSerial("ERRO DE PORTA (Parms)");
        return -1;
    }
    if (r < 0) {
        log::LogSerialf("ERRO - CONFLITO DE PORTA NO SISTEMA - status =(%d) (Parms)", r);
        return -1;
    }
    return 0;
}

int PortFlushRx() {
    int r = PortRxDrain(g_session.PortIndex);
    return (r == kNoSuchPort || r == kPortNotOpen) ? -1 : 0;
}

int SioDTR() {
    return Checked(PortDtr(g_session.PortIndex, 'S'), CP1252("ERRO - PORTA NÃO ABERTA (SioDTR)"),
                   CP1252("ERRO - PORTA NÃO EXISTE (SioDTR)"));
}

int SioTxCLEAR() {
    return Checked(PortTxPurge(g_session.PortIndex), CP1252("ERRO - PORTA NÃO ABERTA (SioTxCLEAR)"),
                   CP1252("ERRO - PORTA NÃO EXISTE (SioTxCLEAR)"));
}

int SioRTSSet() {
    return Checked(PortRts(g_session.PortIndex, 'S'), CP1252("ERRO - PORTA NÃO ABERTA (SioRTS - set )"),
                   CP1252("ERRO - PORTA NÃO EXISTE (SioRTS - set )"));
}

int SioRTSClear() {
    return Checked(PortRts(g_session.PortIndex, 'C'), CP1252("ERRO - PORTA NÃO ABERTA (SioRTS - clear)"),
                   CP1252("ERRO - PORTA NÃO EXISTE (SioRTS - clear)"));
}

int SioCTS() {
    // With the CTS test off the line is taken as present without asking the port.
    if (g_session.CtsTestEnabled.load() == 0) return 1;
    return Checked(PortCts(g_session.PortIndex), CP1252("ERRO - PORTA NÃO ABERTA (SioCTS)"),
                   CP1252("ERRO - PORTA NÃO EXISTE (SioCTS)"));
}

int SioDSR() {
    return Checked(PortDsr(g_session.PortIndex), CP1252("ERRO - PORTA NÃO ABERTA (SioDSR)"),
                   CP1252("ERRO - PORTA NÃO EXISTE (SioDSR)"));
}

int SioTxQue() {
    return Checked(PortTxCount(g_session.PortIndex), CP1252("ERRO - PORTA NÃO ABERTA (SioTxQue)"),
                   CP1252("ERRO - PORTA NÃO EXISTE (SioTxQue)"));
}

int SioRxClear() {
    return Checked(PortRxDrain(g_session.PortIndex), CP1252("ERRO - PORTA NÃO ABERTA (SioRxClear)"),
                   CP1252("ERRO - PORTA NÃO EXISTE (SioRxClear)"));
}

int SioRxQue() {
    return Checked(PortRxCount(g_session.PortIndex), CP1252("ERRO - PORTA NÃO ABERTA (SioRxQue)"),
                   CP1252("ERRO - PORTA NÃO EXISTE (SioRxQue)"));
}

}  // namespace moldrin::serial
