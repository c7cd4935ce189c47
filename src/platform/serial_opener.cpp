// Which device a COM port number opens, and the seam where tests put their own.
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/serial_device.h"

namespace moldrin::platform {

namespace {
// Never destroyed: a session reopened from an exit handler still opens its port.
std::mutex& OpenerMutex() {
    static std::mutex& m = *new std::mutex;
    return m;
}
SerialOpener& Opener() {
    static SerialOpener& opener = *new SerialOpener;
    return opener;
}
}  // namespace

void SetSerialOpener(SerialOpener opener) {
    std::lock_guard lock(OpenerMutex());
    Opener() = std::move(opener);
}

std::unique_ptr<SerialDevice> OpenSerialDevice(int comNumber, int* systemError) {
    SerialOpener opener;
    {
        std::lock_guard lock(OpenerMutex());
        opener = Opener();
    }
    if (opener) return opener(comNumber, systemError);
    std::string var = "MOLDRIN_COM" + std::to_string(comNumber);
    const char* value = std::getenv(var.c_str());
    std::string name;
    if (value && *value) {
        name = value;
    } else {
#if defined(_WIN32)
        name = "\\\\.\\COM" + std::to_string(comNumber);
#else
        name = "/dev/ttyS" + std::to_string(comNumber - 1);
#endif
    }
    return OpenSerialByName(name, systemError);
}

}  // namespace moldrin::platform
