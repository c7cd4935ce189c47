// Carries the printer model over a printer end: host bytes, lines and settings
// in; due answer bytes, modem lines and line errors out. The protocol is the model's.
#include "sim/line_server.h"

#include <string>

#include "platform/clock.h"

namespace moldrin::sim {

namespace {

// How often held answers and modem changes are looked at while the host is quiet.
constexpr int kIdleMs = 5;

std::string Readable(const uint8_t* bytes, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        uint8_t b = bytes[i];
        if (b == 0x1B) out += "<ESC>";
        else if (b < 0x20 || b >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", b);
            out += hex;
        } else {
            out += static_cast<char>(b);
        }
    }
    return out;
}

class ModelHandler final : public platform::PrinterEndHandler {
public:
    ModelHandler(PrinterModel& model, const ServeOptions& options) : model_(model), options_(options) {}

    void OnConnected(platform::VirtualLinePrinterEnd& end) override {
        model_.DropOutput();
        modem_ = static_cast<uint8_t>(model_.ModemBits(platform::TickMs()));
        end.SendModem(modem_);
        Trace("host connected");
    }
    void OnData(platform::VirtualLinePrinterEnd& end, const uint8_t* bytes, size_t n) override {
        if (options_.trace) std::fprintf(options_.trace, "host> %s\n", Readable(bytes, n).c_str());
        model_.HostBytes(bytes, n, platform::TickMs());
        Flush(end);
    }
    void OnHostLines(platform::VirtualLinePrinterEnd&, uint8_t lines) override {
        model_.HostLines((lines & 1) != 0, (lines & 2) != 0);
    }
    void OnSettings(platform::VirtualLinePrinterEnd&, const platform::vline::WireSettings& s) override {
        model_.HostSettings(s.baudRate);
        if (options_.trace) std::fprintf(options_.trace, "host line at %u bit/s\n", s.baudRate);
    }
    void OnDisconnected(platform::VirtualLinePrinterEnd&) override { Trace("host gone"); }
    void OnIdle(platform::VirtualLinePrinterEnd& end) override { Flush(end); }

private:
    void Trace(const char* what) {
        if (options_.trace) std::fprintf(options_.trace, "-- %s\n", what);
    }
    void Flush(platform::VirtualLinePrinterEnd& end) {
        uint8_t modem = static_cast<uint8_t>(model_.ModemBits(platform::TickMs()));
        if (modem != modem_) {
            modem_ = modem;
            end.SendModem(modem);
        }
        uint8_t buffer[256];
        for (;;) {
            const uint32_t now = platform::TickMs();
            std::size_t n = model_.Take(buffer, sizeof buffer, now);
            const uint32_t errors = model_.TakeErrors(now);
            if (n == 0 && errors == 0) {
                // A lost byte is taken without delivery; look again before giving up.
                if (model_.Ready(now) == 0) break;
                continue;
            }
            if (n) end.SendData(buffer, n);
            // A tty cannot carry them; the byte an overrun lost is missing all the same.
            if (errors) end.SendErrors(static_cast<uint8_t>(errors));
            if (options_.trace && n) std::fprintf(options_.trace, "<ecf %s\n", Readable(buffer, n).c_str());
        }
        if (options_.trace) std::fflush(options_.trace);
    }

    PrinterModel& model_;
    const ServeOptions& options_;
    uint8_t modem_ = 0;
};

}  // namespace

const char* FaultsALineCannotShow(const Faults& faults) {
    // The host counts only what has reached it, and nothing on a line takes a
    // byte back after it was counted.
    if (faults.loseByte) return "--fault lost-byte: a line delivers every byte it counts, so a lost byte exists only in the "
               "in-process simulator";
    return nullptr;
}

void ServeModel(platform::VirtualLinePrinterEnd& end, PrinterModel& model, const std::atomic<bool>& stop,
                const ServeOptions& options) {
    if (options.tty) {
        platform::vline::WireSettings settings;
        settings.baudRate = model.Speed();
        end.SetLineSettings(settings);
        // Both ends of a cable run at the speed set here; a host at another one
        // only ever reads garbage, which the real line produces by itself.
        model.HostSettings(model.Speed());
    }
    ModelHandler handler(model, options);
    platform::ServePrinterEnd(end, handler, stop, kIdleMs);
}

}  // namespace moldrin::sim
