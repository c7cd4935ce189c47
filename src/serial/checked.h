// Checked serial operations on the session's port: each applies a port-table
// operation, logs the misuse (no such port, port not open) in its own words
// and folds it into -1.
#pragma once
#include <cstdint>

namespace moldrin::serial {

int PortSetBaud(int index, uint32_t bitsPerSecond);
int Parms(int index);
int PortFlushRx();
int SioDTR();        // set
int SioTxCLEAR();
int SioRTSSet();
int SioRTSClear();
int SioCTS();
int SioDSR();
int SioTxQue();
int SioRxClear();
int SioRxQue();

}  // namespace moldrin::serial
