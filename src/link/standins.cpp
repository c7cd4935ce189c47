// Stand-ins for the printer link until it is built: nothing reaches the printer.
#include <cstring>

#include "api/session_state.h"
#include "link/block_protocol.h"
#include "link/exchange.h"
#include "link/receiver.h"
#include "link/status_queries.h"
#include "link/transmitter.h"

namespace moldrin::link {

int ExchangeCommand(char*) {
    SetText(g_session.ReplyBuffer, kReplyNotDelivered);
    return -1;
}
int TransmitFrame(const char*) { return -1; }
int ReceiveRecord(char* buffer) {
    buffer[0] = 0;
    return 0;
}
int ReceiveBlock(char* buffer, int) {
    buffer[0] = 0;
    return 0;
}
static int NotDelivered(char* buffer) {
    std::strcpy(buffer, kReplyNotDelivered);
    return -1;
}
int Status23(char* buffer) { return NotDelivered(buffer); }
int Status27(char* buffer, char) { return NotDelivered(buffer); }
int Status28(char* buffer) { return NotDelivered(buffer); }
int Status28Letter(char* buffer, char) { return NotDelivered(buffer); }
int Status29(char* buffer, char) { return NotDelivered(buffer); }
int DetectLineSpeed() { return 0; }
int BulkCommand(const char*) { return 0; }
int TxFast(const char*, uint32_t) { return 0; }

}  // namespace moldrin::link
