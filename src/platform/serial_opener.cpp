// Which device a COM port number opens, and the seam where tests put their own.
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/serial_device.h"

namespace moldrin::platform {

namespace {
std::mutex g_openerMutex;
SerialOpener& Opener() {
    static SerialOpener opener;
    return opener;
}
}  // namespace

void SetSerialOpener(SerialOpener opener) {
    std::lock_guard lock(g_openerMutex);
    Opener() = std::move(opener);
}

std::unique_ptr<SerialDevice> OpenSerialDevice(int comNumber, int* systemError) {
    SerialOpener opener;
    {
        std::lock_guard lock(g_openerMutex);
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
