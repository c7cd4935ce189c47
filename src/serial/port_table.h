// The table of sixteen serial ports (COM1 to COM16 by zero-based index) and
// the raw operations on them. Answers in small codes; logs nothing (the
// checked operations and the printer link turn codes into messages).
#pragma once
#include <cstdint>

#include "platform/serial_device.h"

namespace moldrin::serial {

constexpr int kPortCount = 16;
constexpr int kNoSuchPort = -1;
constexpr int kPortNotOpen = -3;
constexpr int kNoByte = -100;
constexpr int kBadAction = -101;
constexpr int kPlatformFailed = -103;

int PortCheck(int index);
int PortOpen(int index, uint32_t rxQueue, uint32_t txQueue);
int PortClose(int index);
int PortSetSpeed(int index, uint32_t speed);  // speed code 0-9, or bit/s
int PortSetParms(int index, int parity, int stopBits, int dataBits);
int PortSetFlow(int index, char mode);
int SioPutc(int index, uint8_t byte);
int SioGetc(int index);
int PortDtr(int index, char action);
int PortRts(int index, char action);
int PortTxPurge(int index);
int PortRxDrain(int index);
int PortTxCount(int index);
int PortRxCount(int index);
int SioStatus(int index, uint32_t mask);
int PortCts(int index);
int PortDsr(int index);

// Blocks until the port may have something new (a byte, a modem-line change)
// or ms pass; returns at once for a port that is not open. The printer link
// waits here between polls so that waiting costs no CPU.
void PortWait(int index, uint32_t ms);

// What the table holds, for tests and diagnostics.
bool PortIsOpen(int index);
const platform::LineSettings* PortLineSettings(int index);
uint32_t DefaultSpeed();

}  // namespace moldrin::serial
