// The serve loop over any printer end: accept, dispatch, repeat; the ends
// themselves (sockets, ttys) live in the system's own files.
#include "platform/virtual_line_server.h"

namespace moldrin::platform {

void ServePrinterEnd(VirtualLinePrinterEnd& end, PrinterEndHandler& handler, const std::atomic<bool>& stop,
                     int idleMs) {
    if (idleMs < 1) idleMs = 1;
    while (!stop.load()) {
        if (!end.Connected()) {
            if (end.Accept(idleMs)) handler.OnConnected(end);
            handler.OnIdle(end);
            continue;
        }
        PrinterEndEvent ev;
        if (end.Poll(ev, idleMs) > 0) {
            switch (ev.kind) {
                case PrinterEndEvent::Kind::Data: handler.OnData(end, ev.data.data(), ev.data.size()); break;
                case PrinterEndEvent::Kind::HostLines: handler.OnHostLines(end, ev.hostLines); break;
                case PrinterEndEvent::Kind::Settings: handler.OnSettings(end, ev.settings); break;
                case PrinterEndEvent::Kind::Disconnected: handler.OnDisconnected(end); break;
            }
        }
        handler.OnIdle(end);
    }
}

}  // namespace moldrin::platform
