// Query, receive, accept, record: the capture's side of a status query. The
// frames and records themselves are the printer link's; the cache is status_cache's.
#include "capture/capture_queries.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "session/session_state.h"
#include "store/capture_state.h"
#include "store/rfd_file.h"
#include "link/exchange.h"
#include "link/receiver.h"
#include "link/transfer_settings.h"
#include "link/transmitter.h"
#include "log/file_helpers.h"
#include "log/traffic_log.h"

namespace moldrin::capture {

namespace {

constexpr int kAttempts = 5;
constexpr std::size_t kRecord = 128;

// The capture asks the printer on its own account: no box of the link's may
// interrupt the operator, and a slow printer gets 15 seconds. The settings
// hold for the asking thread only, so a time-out the application sets while
// the worker asks is neither seen by the worker nor undone by it.
class QuietLink {
public:
    QuietLink() : scoped_(Quiet()) {}

private:
    static link::TransferSettings Quiet() {
        link::TransferSettings s;
        s.timeoutSeconds = 15;
        s.showDialogs = 0;
        s.dialogsRestore = 0;
        return s;
    }
    link::ScopedTransferSettings scoped_;
};

void Put(char* out, const char* text) {
    std::snprintf(out, kRecord + 1, "%s", text);
}

// The paper-status record (". ? P ddd . + dddd }") answers no query of the capture.
bool PaperStatus(const char* r, int n) {
    return n >= 13 && r[2] == 'P' && r[6] == '.' && r[7] == '+' && r[12] == '}';
}

enum class Kind { S27, S28, S28Typed, S29 };

// One query: up to five attempts, each sending the frame and then taking
// records while they come until one is accepted. Returns the receive/send
// failure, 0 when no attempt found a record, or 1 with the record in out.
template <class Accept>
int Ask(const char* frame, char* out, Kind kind, bool receiveFirst, Accept accept) {
    char record[kRecord + 2];
    for (int attempt = 0; attempt < kAttempts;) {
        const bool send = !receiveFirst;
        if (send) {
            const int s = CaptureSend(frame);
            if (s < 0) {
                Put(out, link::kReplyNotDelivered);
                return s;
            }
        }
        for (;;) {
            std::memset(record, 0, sizeof record);
            const int r = CaptureReceive(record);
            if (kind == Kind::S27) g_capture.pendingStatus1 = false;
            if (r < 0) {
                Put(out, link::kReplyNoAnswer);
                return r;
            }
            if (r == 0) break;
            log::LogSerial(record);
            if (PaperStatus(record, r) || !accept(record, r)) continue;
            record[kRecord] = 0;
            std::memcpy(out, record, kRecord + 1);
            // A status 1 that shows a new fiscal day is that day's first record.
            if (kind == Kind::S27 && frame[4] == '1') CopyText(g_capture.fiscalDate, record + 7, 6);
            // The record goes to the RFD file with its query; a failed write
            // has been reported and does not fail the query.
            char query[16];
            std::snprintf(query, sizeof query, "%s", frame);
            char reply[kRecord + 2];
            std::memcpy(reply, record, kRecord + 1);
            if (RfdRecordQuery(query, reply) < 1) ++g_capture.unrecordedQueries;
            return 1;
        }
        // The pending status-1 answer did not come: the attempt is repeated with
        // sending, and does not count.
        if (receiveFirst) {
            receiveFirst = false;
            continue;
        }
        ++attempt;
    }
    Put(out, link::kReplyNoAnswer);
    return 0;
}

}  // namespace

int CaptureSend(const char* frame) {
    QuietLink quiet;
    return link::TransmitFrame(frame);
}

int CaptureReceive(char* buffer) {
    QuietLink quiet;
    return link::ReceiveRecord(buffer);
}

int QueryStatus27(char type, char* out) {
    char frame[8];
    std::snprintf(frame, sizeof frame, "\x1B.27%c}", type);
    const bool receiveFirst = type == '1' && g_capture.pendingStatus1;
    return Ask(frame, out, Kind::S27, receiveFirst, [type](const char* rec, int n) {
        return n == static_cast<int>(kRecord) && rec[1] == '+' && rec[2] == 'C' && rec[6] == type;
    });
}

int QueryStatus28(char* out) {
    const int r = Ask("\x1B.28}", out, Kind::S28, false, [](const char* rec, int n) {
        return n == static_cast<int>(kRecord) && (rec[9] == 'C' || rec[9] == 'E' || rec[9] == 'P') &&
               rec[1] == '+' && rec[2] != 'C' && rec[2] != 'T';
    });
    if (r != 1) return r;
    // The last command the printer carried out was a Z reduction: the fiscal
    // day it still shows is closed, even when this session did not see it go.
    if (out[18] == '1' && out[19] == '4' && out[9] != 'E' && g_capture.fiscalDate[0])
        CopyText(g_capture.closedDate, g_capture.fiscalDate.data(), 6);
    const int code = log::ParseNumber(out + 2, 4);
    return code != 0 ? code : 1;
}

int QueryStatus28Type(char type, char* out) {
    type = static_cast<char>(std::toupper(static_cast<unsigned char>(type)));
    if (type < 'B' || type > 'F') return QueryStatus28(out);
    char frame[8];
    std::snprintf(frame, sizeof frame, "\x1B.28%c}", type);
    const int r = Ask(frame, out, Kind::S28Typed, false,
                      [](const char*, int n) { return n == static_cast<int>(kRecord); });
    if (r < 0) return r;
    if (r == 0) return -2;
    if (out[9] == 'C' || out[9] == 'P' || out[9] == 'E') return 0;
    return std::toupper(static_cast<unsigned char>(out[2])) == type ? 1 : 0;
}

int QueryStatus29(char type, char* out) {
    char frame[8];
    std::snprintf(frame, sizeof frame, "\x1B.29%c}", type);
    const int r = Ask(frame, out, Kind::S29, false, [type](const char* rec, int n) {
        return n == static_cast<int>(kRecord) && rec[1] == '+' && rec[2] == 'T' && rec[6] == type;
    });
    return r == 0 ? -1 : r;
}

}  // namespace moldrin::capture
