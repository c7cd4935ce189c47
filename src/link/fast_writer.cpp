// The fast byte writer (ECFTxFast): bytes out under the hand-shake with short
// waits, no frame checks and no reply. Blocks and their answers are block_frames.cpp's.
#include "session/session_state.h"
#include "link/block_protocol.h"
#include "link/line_wait.h"
#include "serial/checked.h"
#include "serial/port_table.h"

namespace moldrin::link {

using namespace detail;

namespace {
constexpr uint32_t kTextLimit = 512;
constexpr uint32_t kTxQueueWaitMs = 50;
}  // namespace

int TxFast(const char* bytes, uint32_t count) {
    const bool text = count == 0;
    const uint32_t limit = text ? kTextLimit : count;
    if (serial::SioDTR() < 0 || serial::SioTxCLEAR() < 0) return 0;
    if (!bytes) return 0;

    int sent = 0;
    for (uint32_t i = 0; i < limit; ++i) {
        const char b = bytes[i];
        // Text mode stops at the end of the text as well as at the "}".
        if (text && b == 0) return sent;
        if (serial::SioRTSSet() < 0) return 0;
        if (serial::SioCTS() <= 0) return 0;
        if (text) {
            if (serial::SioDSR() <= 0) return 0;
        } else {
            const uint32_t deadline = DeadlineIn(TimeoutMs());
            for (;;) {
                int dsr = serial::SioDSR();
                if (dsr < 0) return -1;
                if (dsr > 0) break;
                if (Passed(deadline) || Unloading()) return 0;
                WaitForLine(deadline);
            }
        }
        const uint32_t queueDeadline = DeadlineIn(kTxQueueWaitMs);
        for (;;) {
            int queued = serial::SioTxQue();
            if (queued < 0) return 0;
            if (queued == 0 || Passed(queueDeadline)) break;
            WaitForLine(queueDeadline, 1);
        }
        int put = serial::SioPutc(g_session.PortIndex, static_cast<uint8_t>(b));
        if (put == serial::kPortNotOpen || put == serial::kNoSuchPort) return 0;
        if (text && b == '}') return sent;
        if (i + 1 == limit) serial::SioRxClear();
        ++sent;
    }
    return sent;
}

}  // namespace moldrin::link
