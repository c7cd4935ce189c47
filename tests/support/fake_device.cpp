#include "support/fake_device.h"

#include <cerrno>

namespace moldrin::testing {

FakePorts::FakePorts() {
    platform::SetSerialOpener([this](int com, int* err) -> std::unique_ptr<platform::SerialDevice> {
        auto s = state(com);
        if (!s) {
            if (err) *err = ENOENT;
            return nullptr;
        }
        {
            std::lock_guard lock(m_);
            ++opens;
        }
        {
            std::lock_guard lock(s->m);
            s->closed = false;
        }
        return std::make_unique<FakeDevice>(s);
    });
}

FakePorts::~FakePorts() { platform::SetSerialOpener(nullptr); }

std::shared_ptr<FakeDeviceState> FakePorts::Add(int comNumber) {
    auto s = std::make_shared<FakeDeviceState>();
    std::lock_guard lock(m_);
    ports_.emplace_back(comNumber, s);
    return s;
}

std::shared_ptr<FakeDeviceState> FakePorts::state(int comNumber) {
    std::lock_guard lock(m_);
    for (auto& [n, s] : ports_)
        if (n == comNumber) return s;
    return nullptr;
}

}  // namespace moldrin::testing
