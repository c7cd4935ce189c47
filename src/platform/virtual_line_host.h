// The host end of the virtual serial line as a serial device, the same on every system;
// each system brings only the stream it runs over (a socket), through LineTransport.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/serial_device.h"

namespace moldrin::platform {

// A connected, non-blocking byte stream to the printer end. Implementations keep the
// system's own error where the system keeps it (errno, the thread's last error), so
// that a refused write reads the same as one on a real port.
class LineTransport {
public:
    virtual ~LineTransport() = default;
    // Non-blocking: how many bytes the stream took (possibly fewer than n), 0 when it
    // has no room now, negative when it failed (the reason left as said above).
    virtual long Send(const uint8_t* bytes, size_t n) = 0;
    // Non-blocking: >0 bytes, 0 nothing now, <0 peer closed or failed.
    virtual long Receive(uint8_t* buffer, size_t n) = 0;
    enum : int { kReadable = 1, kWritable = 2 };
    // Blocks until the stream is readable (a closed or failed stream counts), or, when
    // kWritable is asked, can take more; or until ms pass. Answers the bits that came.
    virtual int Wait(int events, uint32_t ms) = 0;
    // Lets ms pass without looking at the stream.
    virtual void Sleep(uint32_t ms) = 0;
    // Leaves the system's "broken pipe" as the reason of the next refusal.
    virtual void SetBrokenPipe() = 0;
};

// Makes a new connection to the printer end; null with the system's reason in
// *systemError (which may be null) when it cannot.
using LineConnector = std::function<std::unique_ptr<LineTransport>(int* systemError)>;

// The serial device over the connections `connect` makes. Opening connects and
// waits (briefly) for the printer's first modem status, so that the first modem
// read sees the real lines; a printer end that closes the connection before or
// instead of that status is serving another host, and the open fails (EBUSY).
// A printer end that goes away later is connected again when the line is next used.
std::unique_ptr<SerialDevice> OpenVirtualLineHost(LineConnector connect, int* systemError);
// Over one stream already open, with no second connection to make.
std::unique_ptr<SerialDevice> OpenVirtualLineHost(std::unique_ptr<LineTransport> transport);

}  // namespace moldrin::platform
