// Opening a tty as a serial device on posix; the device itself lives in
// tty_posix.cpp, and the choice between a tty and a socket in serial_posix.cpp.
#pragma once
#include <memory>
#include <string>

#include "platform/serial_device.h"

namespace moldrin::platform::posix {

// How the device reaches its modem lines: the tty's own ioctls, unless a test puts
// a stand-in here to play a driver that has modem lines (no pseudo-terminal has).
struct ModemLineCalls {
    // TIOCMGET: 0 with *lines set, or -1 with errno.
    int (*get)(int fd, int* lines) = nullptr;
    // TIOCMIWAIT: blocks until one of the lines in mask changes; 0, or -1 with errno
    // when the driver cannot wait. Null: never asked. Close ends it by cancelling
    // its thread, so it must be a blocking system call that a signal interrupts,
    // keeping nothing on its stack.
    int (*waitChange)(int fd, int mask) = nullptr;
};
ModemLineCalls SystemModemLineCalls();

// Null when the device cannot be opened, is no terminal or is in use (EBUSY);
// *systemError keeps the reason.
std::unique_ptr<SerialDevice> OpenTty(const std::string& name, int* systemError,
                                      const ModemLineCalls& calls = SystemModemLineCalls());

}  // namespace moldrin::platform::posix
