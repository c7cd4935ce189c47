// The status queries 23, 27, 28, 28 with a letter and 29: which record each
// accepts, how often it asks again, and what it leaves when nothing fits.
#include "link/status_queries.h"

#include <cstdio>
#include <cstring>

#include "link/exchange.h"
#include "link/receiver.h"
#include "link/transmitter.h"
#include "log/file_helpers.h"
#include "log/traffic_log.h"

namespace moldrin::link {

namespace {

constexpr int kAttempts = 4;
constexpr int kFull = static_cast<int>(kRecordMax);

bool PaperForm(const char* r) { return r[2] == 'P' && r[6] == '.' && r[7] == '+' && r[12] == '}'; }
bool FullRecord(const char* r, int length) { return length == kFull && r[kFull - 1] == '}'; }

enum class Kind { S23, S27, S28, S28Letter, S29 };

struct Query {
    Kind kind;
    char letter;
    // Whether a record that does not fit is followed by reading the next one.
    bool readOn() const { return kind == Kind::S27 || kind == Kind::S28 || kind == Kind::S29; }
};

// Acceptance of one record; *result gets the query's answer when accepted.
bool Accept(const Query& q, const char* r, int length, int* result) {
    switch (q.kind) {
        case Kind::S23:
            if (!PaperForm(r)) return false;
            *result = 1;
            return true;
        case Kind::S27:
        case Kind::S29:
            if (!FullRecord(r, length) || r[1] != '+' || r[2] != (q.kind == Kind::S27 ? 'C' : 'T') ||
                r[6] != q.letter)
                return false;
            *result = 1;
            return true;
        case Kind::S28: {
            if (!FullRecord(r, length) || r[1] != '+' || r[2] == 'C' || r[2] == 'T') return false;
            if (r[9] != 'C' && r[9] != 'E' && r[9] != 'P') return false;
            int number = log::ParseNumber(r + 2, 4);
            *result = number == 0 ? 1 : number;
            return true;
        }
        case Kind::S28Letter: {
            if (!FullRecord(r, length) || PaperForm(r)) return false;
            if (r[9] == 'C' || r[9] == 'P' || r[9] == 'E') {
                *result = 0;
            } else {
                char c = r[2];
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
                *result = c == q.letter ? 1 : 0;
            }
            return true;
        }
    }
    return false;
}

// What is left after four attempts without an acceptable record.
int GiveUp(const Query& q, char* buffer) {
    if (q.kind == Kind::S27 && buffer[1] == '+' && buffer[2] == 'C' && (buffer[6] == 'L' || buffer[6] == 'l')) {
        // A record cut short is closed as a full one; the gap is blank so the
        // application never reads a record that stops in the middle.
        for (int i = 0; i < kFull - 1; ++i)
            if (buffer[i] == 0) buffer[i] = ' ';
        buffer[kFull - 1] = '}';
        buffer[kFull] = 0;
        return 0;
    }
    std::strcpy(buffer, kReplyNoAnswer);
    switch (q.kind) {
        case Kind::S23: return -2;
        case Kind::S27: return 0;
        case Kind::S28: return 0;
        case Kind::S28Letter: return -2;
        case Kind::S29: return -1;
    }
    return 0;
}

int RunQuery(const Query& q, const char* frame, char* buffer) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        int sent = TransmitFrame(frame);
        if (sent <= 0) {
            std::strcpy(buffer, kReplyNotDelivered);
            return sent;
        }
        for (;;) {
            int got = ReceiveRecord(buffer);
            if (got < 0) {
                std::strcpy(buffer, kReplyNoAnswer);
                return got;
            }
            if (got == 0) break;
            log::LogSerial(buffer);
            int result = 0;
            if (Accept(q, buffer, got, &result)) return result;
            if (!q.readOn()) break;
        }
    }
    return GiveUp(q, buffer);
}

}  // namespace

int Status23(char* buffer) { return RunQuery({Kind::S23, 0}, "\x1B.23}", buffer); }

int Status27(char* buffer, char letter) {
    char frame[8];
    std::snprintf(frame, sizeof frame, "\x1B.27%c}", letter);
    return RunQuery({Kind::S27, letter}, frame, buffer);
}

int Status28(char* buffer) { return RunQuery({Kind::S28, 0}, "\x1B.28}", buffer); }

int Status28Letter(char* buffer, char letter) {
    if (static_cast<unsigned char>(letter) >= 'a') letter = static_cast<char>(letter - 32);
    if (letter < 'B' || letter > 'F') return Status28(buffer);
    char frame[8];
    std::snprintf(frame, sizeof frame, "\x1B.28%c}", letter);
    return RunQuery({Kind::S28Letter, letter}, frame, buffer);
}

int Status29(char* buffer, char letter) {
    char frame[8];
    std::snprintf(frame, sizeof frame, "\x1B.29%c}", letter);
    return RunQuery({Kind::S29, letter}, frame, buffer);
}

}  // namespace moldrin::link
