// The printer simulator on a Unix socket of a scratch MOLDRIN_ROOT, reached as
// COM1: the set-up of the tests that drive the library over a real line.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/virtual_line_server.h"
#include "sim/printer_model.h"
#include "support/recording_operator.h"
#include "support/scratch_root.h"

namespace moldrin::testing {

class SimulatorOnCom1 : public ::testing::Test {
protected:
    enum class Capture { Off, On };

    // With the capture off (c:\TALMA\talma.ini in the root), unless asked: its
    // own status queries would add frames of their own to the line under test.
    explicit SimulatorOnCom1(Capture capture = Capture::Off);
    // Closes the session a test left open and stops serving.
    ~SimulatorOnCom1() override;

    // Opens the printer end on first use, and serves the model on a thread of its own.
    void Serve();
    // The printer end stays connected, but nobody reads what the host sends.
    void StopServing();
    // The printer answers nothing to this frame; the host waits out its time-out.
    void LeaveUnanswered(const std::string& frame);

    ScratchRoot root_;
    RecordingOperator op_;
    std::string name_;  // what COM1 names: "unix:" and the socket's path
    std::unique_ptr<platform::VirtualLinePrinterEnd> end_;
    sim::PrinterModel printer_{9600};

private:
    std::atomic<bool> stop_{false};
    std::thread server_;
};

}  // namespace moldrin::testing
