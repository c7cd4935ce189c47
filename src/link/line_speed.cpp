// Finds the printer's line speed by asking for status 28 at each speed of a
// fixed list. Setting the speed on the port is the serial driver's.
#include <array>
#include <cstdint>

#include "session/session_state.h"
#include "link/receiver.h"
#include "link/status_queries.h"
#include "link/transmitter.h"
#include "log/traffic_log.h"
#include "serial/checked.h"

namespace moldrin::link {

namespace {

constexpr std::array<uint32_t, 5> kSpeeds = {9600, 115200, 57600, 38400, 19200};
constexpr uint32_t kLastSpeed = 19200;
constexpr uint32_t kDetectTimeoutSeconds = 2;
constexpr int kTriesPerSpeed = 2;

}  // namespace

int DetectLineSpeed() {
    uint32_t speed = g_session.LineSpeed;
    std::size_t next = 0;
    if (speed == 0) {
        speed = kSpeeds[0];
        next = 1;
    }
    bool secondPass = false;
    std::array<char, kRecordMax + 1> record{};

    for (;;) {
        serial::PortSetBaud(g_session.PortIndex, speed);
        serial::PortFlushRx();
        int received = 0;
        for (int tryNo = 0; tryNo < kTriesPerSpeed; ++tryNo) {
            log::LogSerialf("Tentando descobrir a velocidade serial: %u", speed);
            if (TransmitFrame("\x1B.28}") < 0) return 0;
            const uint32_t saved = g_session.ReadTimeoutSeconds;
            g_session.ReadTimeoutSeconds = kDetectTimeoutSeconds;
            received = ReceiveRecord(record.data());
            g_session.ReadTimeoutSeconds = saved;
            if (received == static_cast<int>(kRecordMax) && record[0] == '.' && record[kRecordMax - 1] == '}') {
                log::LogSerial(record.data());
                log::LogSerialf("velocidade detectada = %u", speed);
                g_session.LineSpeed = speed;
                return 1;
            }
        }
        if (received < 0) return 0;
        if (speed == kLastSpeed) {
            if (secondPass) return 0;
            secondPass = true;
            next = 0;
        }
        // A remembered speed outside the list is followed by the whole list twice.
        if (next >= kSpeeds.size()) return 0;
        speed = kSpeeds[next++];
    }
}

}  // namespace moldrin::link
