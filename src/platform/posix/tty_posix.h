// Opening a tty as a serial device on posix; the device itself lives in
// tty_posix.cpp, and the choice between a tty and a socket in serial_posix.cpp.
#pragma once
#include <memory>
#include <string>

#include "platform/serial_device.h"

namespace moldrin::platform::posix {

// Null when the device cannot be opened or is no terminal; *systemError keeps the reason.
std::unique_ptr<SerialDevice> OpenTty(const std::string& name, int* systemError);

}  // namespace moldrin::platform::posix
