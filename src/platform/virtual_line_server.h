// The printer end of a serial line, for the simulator and for tests: it listens
// on the virtual serial line (or drives a real tty); what a printer does is left to its user.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/virtual_line.h"

namespace moldrin::platform {

// One thing the host did.
struct PrinterEndEvent {
    enum class Kind : uint8_t {
        Data,          // `data` holds bytes the host wrote (one or more)
        HostLines,     // `hostLines` holds the host's DTR (bit 0) and RTS (bit 1)
        Settings,      // `settings` holds the line settings the host applied
        Disconnected,  // the host went away; Accept() takes the next one
    };
    Kind kind = Kind::Data;
    std::vector<uint8_t> data;
    uint8_t hostLines = 0;
    vline::WireSettings settings;
};

// Usage (one thread polls; Send* may be called from any thread):
//
//   int err = 0;
//   auto end = VirtualLinePrinterEnd::Open("unix:/tmp/ecf.sock", &err);
//   end->SendModem(vline::kPrinterCts | vline::kPrinterDsr);  // kept and sent on connect
//   while (!stop) {
//       if (!end->Accept(100)) continue;
//       PrinterEndEvent ev;
//       while (end->Poll(ev, 100) >= 0) { ... react, end->SendData(...) ... }
//   }
//
// or hand a handler to Serve(), which does that loop.
class VirtualLinePrinterEnd {
public:
    // "unix:PATH" listens on a Unix socket (a stale socket file is removed first);
    // "tcp:HOST:PORT" listens on TCP (port 0 picks a free one, see Address());
    // any other name is a tty wired to the host through a null-modem cable: our
    // RTS is the host's CTS, our DTR its DSR, and the host's RTS/DTR arrive as our
    // CTS/DSR. Null on failure, with the system's error in *systemError.
    static std::unique_ptr<VirtualLinePrinterEnd> Open(const std::string& name, int* systemError);
    virtual ~VirtualLinePrinterEnd() = default;

    // The name a host opens to reach this end ("unix:PATH", "tcp:HOST:PORT" with
    // the real port, or the tty path).
    virtual std::string Address() const = 0;

    // Waits up to timeoutMs for a host (a tty counts as always connected). True
    // once one is connected; the current modem status is sent to it at once.
    virtual bool Accept(int timeoutMs) = 0;
    virtual bool Connected() const = 0;

    // Waits up to timeoutMs for what the host does next. 1: `event` filled;
    // 0: time-out (or Wake()); -1: no host connected. A host that goes away gives
    // one Disconnected event, then -1.
    virtual int Poll(PrinterEndEvent& event, int timeoutMs) = 0;

    // Bytes to the host (split into messages as needed). False without a host.
    virtual bool SendData(const uint8_t* bytes, size_t n) = 0;
    // CTS (0x10) and DSR (0x20). Remembered, and sent on every later connect;
    // true even without a host.
    virtual bool SendModem(uint8_t bits) = 0;
    virtual uint8_t Modem() const = 0;
    // Line-error bits the host reads with its next error read. A tty cannot
    // carry them: false there.
    virtual bool SendErrors(uint8_t bits) = 0;
    // The host's DTR (bit 0) and RTS (bit 1) as last seen, and its last settings.
    virtual uint8_t HostLines() const = 0;
    virtual vline::WireSettings HostSettings() const = 0;
    // Only for a tty: the line settings this end uses (the host's are invisible there).
    virtual bool SetLineSettings(const vline::WireSettings& settings) = 0;

    // Drops the current host (a socket end then accepts the next one).
    virtual void Disconnect() = 0;
    // Makes a blocked Accept() or Poll() return at once; safe from any thread.
    virtual void Wake() = 0;
};

// Callbacks for Serve(). Each runs on the serving thread.
class PrinterEndHandler {
public:
    virtual ~PrinterEndHandler() = default;
    virtual void OnConnected(VirtualLinePrinterEnd&) {}
    virtual void OnData(VirtualLinePrinterEnd&, const uint8_t* bytes, size_t n) { (void)bytes; (void)n; }
    virtual void OnHostLines(VirtualLinePrinterEnd&, uint8_t hostLines) { (void)hostLines; }
    virtual void OnSettings(VirtualLinePrinterEnd&, const vline::WireSettings& settings) { (void)settings; }
    virtual void OnDisconnected(VirtualLinePrinterEnd&) {}
    // Called after every event and at least every idleMs: timed work goes here.
    virtual void OnIdle(VirtualLinePrinterEnd&) {}
};

// Accepts hosts one after another and hands their doings to the handler until
// `stop` is set (seen within idleMs, or at once after end.Wake()).
void ServePrinterEnd(VirtualLinePrinterEnd& end, PrinterEndHandler& handler, const std::atomic<bool>& stop,
                     int idleMs = 20);

}  // namespace moldrin::platform
