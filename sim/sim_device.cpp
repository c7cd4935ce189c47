// The in-process serial device over the printer model, timed on the library's
// clock so that a fake clock drives slow answers too. Protocol is the model's.
#include "sim/sim_device.h"

#include <cerrno>

#include "platform/clock.h"

namespace moldrin::sim {

SimDevice::SimDevice(std::shared_ptr<PrinterModel> model) : model_(std::move(model)) {}

bool SimDevice::GetTimeouts(platform::CommTimeouts& t) {
    t = timeouts_;
    return true;
}
bool SimDevice::SetTimeouts(const platform::CommTimeouts& t) {
    timeouts_ = t;
    return true;
}
bool SimDevice::GetState(platform::LineSettings& s) {
    s = settings_;
    return true;
}
bool SimDevice::SetState(const platform::LineSettings& s) {
    settings_ = s;
    model_->HostSettings(s.baudRate);
    return true;
}
bool SimDevice::SetupQueues(uint32_t, uint32_t) { return true; }

bool SimDevice::EscapeFunction(platform::Escape e) {
    switch (e) {
        case platform::Escape::SetDtr: dtr_ = true; break;
        case platform::Escape::ClrDtr: dtr_ = false; break;
        case platform::Escape::SetRts: rts_ = true; break;
        case platform::Escape::ClrRts: rts_ = false; break;
        case platform::Escape::ResetDev: return true;
    }
    model_->HostLines(dtr_, rts_);
    return true;
}

// As on a real port, an error is there from the moment it happens on the line,
// and every call clears it, the queue-count reads too: a caller sees it only if
// it asks before anything else does.
bool SimDevice::ClearErrors(uint32_t* errors, uint32_t* rxCount, uint32_t* txCount) {
    const uint32_t now = platform::TickMs();
    const uint32_t bits = model_->TakeErrors(now);
    if (errors) *errors = bits;
    if (rxCount) *rxCount = static_cast<uint32_t>(model_->Ready(now));
    if (txCount) *txCount = 0;  // a write has left by the time it returns
    return true;
}

bool SimDevice::SetEventMask(uint32_t) { return true; }

bool SimDevice::Write(const uint8_t* bytes, uint32_t n, uint32_t* written) {
    model_->HostBytes(bytes, n, platform::TickMs());
    if (written) *written = n;
    return true;
}

bool SimDevice::Read(uint8_t* buffer, uint32_t n, uint32_t* got) {
    *got = static_cast<uint32_t>(model_->Take(buffer, n, platform::TickMs()));
    return true;
}

bool SimDevice::Purge(uint32_t) { return true; }

bool SimDevice::ModemStatus(uint32_t* bits) {
    *bits = model_->ModemBits(platform::TickMs());
    return true;
}

void SimDevice::Wait(uint32_t ms) { model_->WaitForNews(ms, platform::TickMs()); }

SimulatorOnPort::SimulatorOnPort(std::shared_ptr<PrinterModel> model, int comNumber) {
    platform::SetSerialOpener([model, comNumber](int com, int* systemError) -> std::unique_ptr<platform::SerialDevice> {
        if (com != comNumber) {
            if (systemError) *systemError = ENOENT;
            return nullptr;
        }
        return std::make_unique<SimDevice>(model);
    });
}

SimulatorOnPort::~SimulatorOnPort() { platform::SetSerialOpener(nullptr); }

}  // namespace moldrin::sim
