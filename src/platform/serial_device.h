// One serial device as the port table sees it: the handful of operations of a
// communications port, each answering like the system call it stands for
// (true = done). Back ends: a termios tty, the virtual serial line, Win32.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace moldrin::platform {

// The line settings block, with the fields of the system's device-control block.
struct LineSettings {
    uint32_t length = 28;
    uint32_t baudRate = 9600;
    uint8_t byteSize = 8;
    uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
    bool binary = true;
    bool parityCheck = false;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    uint8_t dtrControl = 0;  // 0 disable, 1 enable, 2 handshake
    bool dsrSensitivity = false;
    bool txContinueOnXoff = false;
    bool outX = false;
    bool inX = false;
    bool errorChar = false;
    bool nullStrip = false;
    uint8_t rtsControl = 0;  // 0 disable, 1 enable, 2 handshake, 3 toggle
    bool abortOnError = false;
    uint16_t xonLim = 0;
    uint16_t xoffLim = 0;
    char xonChar = 0x11;
    char xoffChar = 0x13;
};
constexpr uint8_t kDtrControlDisable = 0;
constexpr uint8_t kRtsControlDisable = 0;
constexpr uint8_t kRtsControlHandshake = 2;

struct CommTimeouts {
    uint32_t readInterval = 0, readTotalMultiplier = 0, readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0, writeTotalConstant = 0;
};

enum class Escape { SetDtr, ClrDtr, SetRts, ClrRts, ResetDev };

// Line-error bits.
constexpr uint32_t kErrRxOver = 1, kErrOverrun = 2, kErrParity = 4, kErrFrame = 8, kErrBreak = 16;
// Modem-status bits.
constexpr uint32_t kModemCts = 0x10, kModemDsr = 0x20;

class SerialDevice {
public:
    virtual ~SerialDevice() = default;
    virtual bool GetTimeouts(CommTimeouts& t) = 0;
    virtual bool SetTimeouts(const CommTimeouts& t) = 0;
    virtual bool GetState(LineSettings& s) = 0;
    virtual bool SetState(const LineSettings& s) = 0;
    virtual bool SetupQueues(uint32_t rx, uint32_t tx) = 0;
    virtual bool EscapeFunction(Escape e) = 0;
    // Reads and clears the line errors; fills the queue counts.
    virtual bool ClearErrors(uint32_t* errors, uint32_t* rxCount, uint32_t* txCount) = 0;
    virtual bool SetEventMask(uint32_t mask) = 0;
    virtual bool Write(const uint8_t* bytes, uint32_t n, uint32_t* written) = 0;
    // Never waits: takes what has arrived, up to n.
    virtual bool Read(uint8_t* buffer, uint32_t n, uint32_t* got) = 0;
    virtual bool Purge(uint32_t flags) = 0;
    virtual bool ModemStatus(uint32_t* bits) = 0;
    // Blocks until a byte, a line change or a line error may have arrived, or ms pass.
    // May run while another thread makes any of the calls above on the same device.
    virtual void Wait(uint32_t ms) = 0;
    // How long a later Write may wait for the line to take its bytes before it
    // fails. Only a line that can stop taking bytes altogether needs it.
    virtual void SetWriteLimit(uint32_t ms) { (void)ms; }
};

// Opens COM<n>: what "\\.\COM<n>" names on Windows; on Linux $MOLDRIN_COM<n>
// (a tty, "unix:PATH" or "tcp:HOST:PORT") or else /dev/ttyS<n-1>.
// Null when the device cannot be opened; *systemError keeps the reason.
using SerialOpener = std::function<std::unique_ptr<SerialDevice>(int comNumber, int* systemError)>;
std::unique_ptr<SerialDevice> OpenSerialDevice(int comNumber, int* systemError);
void SetSerialOpener(SerialOpener opener);  // empty puts the system's back
// Opens a device by its name (tty path, "unix:PATH", "tcp:HOST:PORT").
std::unique_ptr<SerialDevice> OpenSerialByName(const std::string& name, int* systemError);

}  // namespace moldrin::platform
