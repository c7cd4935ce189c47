// The system clock on Windows: the tick counter, the local time and Sleep.
// Deadlines and their wrap-around are the portable clock's business.
#include "platform/win32/win32.h"

#include "platform/clock.h"

namespace moldrin::platform {

namespace {
class Win32Clock final : public Clock {
public:
    uint32_t TickMs() override { return static_cast<uint32_t>(::GetTickCount()); }
    LocalTime Now() override {
        SYSTEMTIME st{};
        ::GetLocalTime(&st);
        return FromSystemTime(st);
    }
    void Sleep(uint32_t ms) override { ::Sleep(ms); }
};
}  // namespace

Clock& SystemClock() {
    // Never destroyed: the unload path logs through it after exit handlers ran.
    static Win32Clock& clock = *new Win32Clock;
    return clock;
}

}  // namespace moldrin::platform
