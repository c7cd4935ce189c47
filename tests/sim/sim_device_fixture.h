// The simulated printer behind its in-process device, as the port table sees
// it, on the fake clock: bytes written to the line and all it has answered.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "sim/printer_model.h"
#include "sim/sim_device.h"
#include "support/fake_clock.h"

namespace moldrin::sim {

class SimDeviceTest : public ::testing::Test {
protected:
    void Send(const std::string& bytes) {
        uint32_t written = 0;
        device.Write(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()), &written);
    }
    std::string ReadAll() {
        std::string out;
        uint8_t b[64];
        uint32_t got = 0;
        while (device.Read(b, sizeof b, &got) && got > 0) out.append(reinterpret_cast<char*>(b), got);
        return out;
    }
    testing::FakeClock clock;
    std::shared_ptr<PrinterModel> printer = std::make_shared<PrinterModel>(9600);
    SimDevice device{printer};
};

}  // namespace moldrin::sim
