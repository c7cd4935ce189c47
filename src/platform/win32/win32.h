// The one include of the Windows headers for the win32 platform layer, with the
// macros that would rename the library's own functions (CreateDirectory, MessageBox,
// GetModuleHandle) taken back. Everything above src/platform/ never sees it.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#undef CreateDirectory
#undef MessageBox
#undef GetModuleHandle

#include "platform/clock.h"

namespace moldrin::platform {

// A system time as the library's local time.
inline LocalTime FromSystemTime(const SYSTEMTIME& st) {
    LocalTime lt;
    lt.year = st.wYear;
    lt.month = st.wMonth;
    lt.day = st.wDay;
    lt.hour = st.wHour;
    lt.minute = st.wMinute;
    lt.second = st.wSecond;
    lt.millisecond = st.wMilliseconds;
    lt.weekday = st.wDayOfWeek;
    return lt;
}

}  // namespace moldrin::platform
