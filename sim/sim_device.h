// The simulated printer as a serial device inside the process: what the port
// table opens when a test (or a benchmark) puts the simulator on a COM port.
#pragma once
#include <memory>

#include "platform/serial_device.h"
#include "sim/printer_model.h"

namespace moldrin::sim {

class SimDevice : public platform::SerialDevice {
public:
    explicit SimDevice(std::shared_ptr<PrinterModel> model);

    bool GetTimeouts(platform::CommTimeouts& t) override;
    bool SetTimeouts(const platform::CommTimeouts& t) override;
    bool GetState(platform::LineSettings& s) override;
    bool SetState(const platform::LineSettings& s) override;
    bool SetupQueues(uint32_t rx, uint32_t tx) override;
    bool EscapeFunction(platform::Escape e) override;
    bool ClearErrors(uint32_t* errors, uint32_t* rxCount, uint32_t* txCount) override;
    bool SetEventMask(uint32_t mask) override;
    bool Write(const uint8_t* bytes, uint32_t n, uint32_t* written) override;
    bool Read(uint8_t* buffer, uint32_t n, uint32_t* got) override;
    bool Purge(uint32_t flags) override;
    bool ModemStatus(uint32_t* bits) override;
    void Wait(uint32_t ms) override;

private:
    std::shared_ptr<PrinterModel> model_;
    platform::LineSettings settings_;
    platform::CommTimeouts timeouts_;
    bool dtr_ = false, rts_ = false;
};

// Makes COM<comNumber> open the simulator (every other port does not exist)
// until the returned guard goes away, which puts the system's devices back.
class SimulatorOnPort {
public:
    SimulatorOnPort(std::shared_ptr<PrinterModel> model, int comNumber = 1);
    ~SimulatorOnPort();
    SimulatorOnPort(const SimulatorOnPort&) = delete;
    SimulatorOnPort& operator=(const SimulatorOnPort&) = delete;
};

}  // namespace moldrin::sim
