// The serve loop over any printer end: accept, dispatch, repeat; the ends
// themselves (sockets, ttys) live in the system's own files.
#include "platform/virtual_line_server.h"

namespace moldrin::platform {

void ServePrinterEnd(VirtualLinePrinterEnd& end, PrinterEndHandler& handler, const std::atomic<bool>& stop,
                     int idleMs) {
    if (idleMs < 1) idleMs = 1;
    // Tracked here, not asked of the end: a tty is connected from the start and
    // its handler must still hear of it once.
    bool connected = false;
    while (!stop.load()) {
        if (!connected) {
            connected = end.Accept(idleMs);
            if (connected) handler.OnConnected(end);
            handler.OnIdle(end);
            continue;
        }
        PrinterEndEvent ev;
        int r = end.Poll(ev, idleMs);
        if (r > 0) {
            switch (ev.kind) {
                case PrinterEndEvent::Kind::Data: handler.OnData(end, ev.data.data(), ev.data.size()); break;
                case PrinterEndEvent::Kind::HostLines: handler.OnHostLines(end, ev.hostLines); break;
                case PrinterEndEvent::Kind::Settings: handler.OnSettings(end, ev.settings); break;
                case PrinterEndEvent::Kind::Disconnected:
                    connected = false;
                    handler.OnDisconnected(end);
                    break;
            }
        } else if (r < 0) {
            connected = false;
        }
        handler.OnIdle(end);
    }
}

}  // namespace moldrin::platform
