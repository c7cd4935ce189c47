// The process-wide session state that every layer of the library reads: the
// session's port, time-out, dialog switches, log mode, reply and command
// buffers, and the few bytes the printer link shares with the fiscal capture.
// It lives from load to unload; ECFClose does not reset it.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>

#include "platform/sync.h"

namespace moldrin {

constexpr std::size_t kBufferSize = 1728;
constexpr std::size_t kMaxCommand = 1500;
constexpr std::size_t kLogPathSize = 260;

struct SessionState {
    // Read by ECFTxFast and the log without the API lock, so never torn.
    std::atomic<int32_t> PortIndex{-1};
    std::atomic<uint32_t> ReadTimeoutSeconds{10};
    int32_t ShowDialogs = 0;
    // Put back by the link after a hardware-error box, on whichever thread
    // asked the printer, while the application's calls read it.
    std::atomic<int32_t> DialogsEnabled{1};
    int32_t DialogsRestore = 1;
    std::atomic<uint32_t> LogMode{500};
    int32_t CaptureEnabled = 1;
    int32_t LastPortStatus = 0;
    std::atomic<int32_t> CtsTestEnabled{0};
    uint32_t LineSpeed = 0;
    std::array<char, kBufferSize> ReplyBuffer{};
    std::array<char, kBufferSize> CommandBuffer{};
    std::array<char, 300> TaxRateTable{};
    std::array<char, kLogPathSize> LogPath{};
    std::atomic<platform::SemaphoreHandle> ApiSemaphore{0};

    // Shared between the printer link and the fiscal capture.
    // Written by the capture worker's refresh as well as by the caller's thread,
    // and read by the link without the capture's lock: single bytes, kept whole.
    std::atomic<int8_t> ModelGate{0};       // 2 = capture bypassed for this printer
    std::atomic<char> LinkModelLetter{0};   // the link's copy of the model letter; 0 = unknown
    // Set by the capture; make the transmitter and the record receiver give up at once.
    std::atomic<int32_t> CaptureStopRequest{0};
    std::atomic<int32_t> ApplicationWaiting{0};
    // Set once the library is being unloaded: the printer link gives up at once
    // and no new exported call gets the API lock.
    std::atomic<int32_t> Unloading{0};
};

inline SessionState g_session;

// Copies a NUL-terminated text into a fixed buffer, always terminated, cut to fit.
template <std::size_t N>
void SetText(std::array<char, N>& dst, const char* src) {
    std::size_t i = 0;
    for (; src && src[i] && i + 1 < N; ++i) dst[i] = src[i];
    dst[i] = 0;
}

}  // namespace moldrin
