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
