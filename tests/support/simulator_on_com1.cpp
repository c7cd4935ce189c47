#include "support/simulator_on_com1.h"

#include <cstdlib>
#include <optional>
#include <string_view>

#include "moldrin.h"
#include "sim/line_server.h"
#include "support/library_state.h"

namespace moldrin::testing {

SimulatorOnCom1::SimulatorOnCom1(Capture capture) {
    ResetLibraryState();
    if (capture == Capture::Off) root_.Write("c:\\TALMA\\talma.ini", "");
    name_ = "unix:" + root_.path() + "/line";
    setenv("MOLDRIN_COM1", name_.c_str(), 1);
}

SimulatorOnCom1::~SimulatorOnCom1() {
    ECFClose();
    unsetenv("MOLDRIN_COM1");
    StopServing();
    ResetLibraryState();
}

void SimulatorOnCom1::Serve() {
    if (!end_) {
        int err = 0;
        end_ = platform::VirtualLinePrinterEnd::Open(name_, &err);
        ASSERT_TRUE(end_) << err;
    }
    stop_ = false;
    server_ = std::thread([this] { sim::ServeModel(*end_, printer_, stop_, {}); });
}

void SimulatorOnCom1::StopServing() {
    stop_ = true;
    if (end_) end_->Wake();
    if (server_.joinable()) server_.join();
}

void SimulatorOnCom1::LeaveUnanswered(const std::string& frame) {
    printer_.SetResponder([frame](std::string_view f) -> std::optional<std::string> {
        if (f == frame) return std::string();
        return std::nullopt;
    });
}

}  // namespace moldrin::testing
