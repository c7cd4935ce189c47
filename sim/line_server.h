// Serves the printer model on the printer end of a serial line (the virtual
// line or a real tty): the glue between the model and the line's events.
#pragma once
#include <atomic>
#include <cstdio>
#include <memory>

#include "platform/virtual_line_server.h"
#include "sim/printer_model.h"

namespace moldrin::sim {

struct ServeOptions {
    bool tty = false;        // a real line: the host's settings are invisible, ours are set here
    FILE* trace = nullptr;   // each frame and answer, readable, when given
};

// Why a line cannot show these faults, or null when it can show them all.
const char* FaultsALineCannotShow(const Faults& faults);

// Runs until `stop` is set. Answers are released on the library's clock.
void ServeModel(platform::VirtualLinePrinterEnd& end, PrinterModel& model, const std::atomic<bool>& stop,
                const ServeOptions& options);

}  // namespace moldrin::sim
