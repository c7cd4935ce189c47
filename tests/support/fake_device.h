// A serial device that records what the port table asks of it and answers as
// a test scripts it; installed for a COM number through the serial opener.
#pragma once
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial_device.h"

namespace moldrin::testing {

struct FakeDeviceState {
    std::mutex m;
    platform::LineSettings state;
    platform::CommTimeouts timeouts{1, 2, 3, 4, 5};  // what the port had before it was opened
    std::vector<platform::Escape> escapes;
    std::string written;
    std::deque<uint8_t> rx;
    uint32_t txQueue = 0;
    uint32_t modem = platform::kModemCts | platform::kModemDsr;
    uint32_t errors = 0;
    int setStateCalls = 0;
    int purgeCalls = 0;
    bool closed = false;
    // Faults.
    bool refuseEscape = false;
    bool refuseSetState = false;
    bool refuseWrite = false;
    bool refuseModem = false;
};

class FakeDevice final : public platform::SerialDevice {
public:
    explicit FakeDevice(std::shared_ptr<FakeDeviceState> s) : s_(std::move(s)) {}
    ~FakeDevice() override {
        std::lock_guard lock(s_->m);
        s_->closed = true;
    }
    bool GetTimeouts(platform::CommTimeouts& t) override { return Locked([&] { t = s_->timeouts; return true; }); }
    bool SetTimeouts(const platform::CommTimeouts& t) override { return Locked([&] { s_->timeouts = t; return true; }); }
    bool GetState(platform::LineSettings& st) override { return Locked([&] { st = s_->state; return true; }); }
    bool SetState(const platform::LineSettings& st) override {
        return Locked([&] {
            ++s_->setStateCalls;
            if (s_->refuseSetState) return false;
            s_->state = st;
            return true;
        });
    }
    bool SetupQueues(uint32_t, uint32_t) override { return true; }
    bool EscapeFunction(platform::Escape e) override {
        return Locked([&] {
            s_->escapes.push_back(e);
            return !s_->refuseEscape;
        });
    }
    bool ClearErrors(uint32_t* errors, uint32_t* rx, uint32_t* tx) override {
        return Locked([&] {
            if (errors) *errors = s_->errors;
            s_->errors = 0;
            if (rx) *rx = static_cast<uint32_t>(s_->rx.size());
            if (tx) *tx = s_->txQueue;
            return true;
        });
    }
    bool SetEventMask(uint32_t) override { return true; }
    bool Write(const uint8_t* b, uint32_t n, uint32_t* w) override {
        return Locked([&] {
            if (s_->refuseWrite) return false;
            s_->written.append(reinterpret_cast<const char*>(b), n);
            *w = n;
            return true;
        });
    }
    bool Read(uint8_t* b, uint32_t n, uint32_t* got) override {
        return Locked([&] {
            *got = 0;
            while (*got < n && !s_->rx.empty()) {
                b[(*got)++] = s_->rx.front();
                s_->rx.pop_front();
            }
            return true;
        });
    }
    bool Purge(uint32_t) override { return Locked([&] { ++s_->purgeCalls; return true; }); }
    bool ModemStatus(uint32_t* bits) override {
        return Locked([&] {
            if (s_->refuseModem) return false;
            *bits = s_->modem;
            return true;
        });
    }
    void Wait(uint32_t) override {}

private:
    template <class F>
    bool Locked(F f) {
        std::lock_guard lock(s_->m);
        return f();
    }
    std::shared_ptr<FakeDeviceState> s_;
};

// Makes COM<n> open a fake device (a fresh one on each open, sharing `state`);
// other COM numbers do not exist. Restores the system opener on destruction.
class FakePorts {
public:
    FakePorts();
    ~FakePorts();
    std::shared_ptr<FakeDeviceState> Add(int comNumber);
    std::shared_ptr<FakeDeviceState> state(int comNumber);
    int opens = 0;

private:
    std::mutex m_;
    std::vector<std::pair<int, std::shared_ptr<FakeDeviceState>>> ports_;
};

}  // namespace moldrin::testing
