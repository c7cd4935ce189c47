#include "support/fake_clock.h"

#include "platform/serial_device.h"

namespace moldrin::testing {

namespace {
// Days from 1970-01-01 to a civil date (Howard Hinnant's algorithm).
int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}
void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}
}  // namespace

FakeClock::FakeClock(platform::LocalTime start) {
    SetDate(start.year, start.month, start.day, start.hour, start.minute, start.second);
    platform::SetClock(this);
}

FakeClock::~FakeClock() { platform::SetClock(nullptr); }

void FakeClock::SetDate(int year, int month, int day, int hour, int minute, int second) {
    wallMs_ = (DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second) * 1000;
}

platform::LocalTime FakeClock::Now() {
    int64_t ms = wallMs_.load();
    int64_t days = ms / 86400000;
    int64_t rest = ms % 86400000;
    platform::LocalTime t;
    CivilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rest / 3600000);
    t.minute = static_cast<int>(rest / 60000 % 60);
    t.second = static_cast<int>(rest / 1000 % 60);
    t.millisecond = static_cast<int>(rest % 1000);
    t.weekday = static_cast<int>((days + 4) % 7);  // 1970-01-01 was a Thursday
    return t;
}

void FakeClock::Advance(uint32_t ms) {
    tick_ += ms;
    slept_ += ms;
    wallMs_ += ms;
}

platform::WaitResult FakeClock::WaitSemaphore(platform::SemaphoreHandle h, uint32_t ms) {
    // Long enough for a thread that is about to release to do so even on a
    // loaded machine, short enough that a wait of many seconds costs little.
    constexpr uint32_t kRealMs = 50;
    const platform::WaitResult r = platform::SemaphoreWait(h, ms < kRealMs ? ms : kRealMs);
    if (r == platform::WaitResult::TimedOut) Advance(ms);
    return r;
}

void FakeClock::WaitDevice(platform::SerialDevice& device, uint32_t ms) {
    device.Wait(0);
    Advance(ms);
}

}  // namespace moldrin::testing
