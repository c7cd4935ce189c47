// The serial traffic log: picks the weekday file of the session's port on
// every call, renews it weekly or at its size limit, and appends one
// time-stamped line. The file is opened and closed on every line.
#include "log/traffic_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "session/session_state.h"
#include "log/file_helpers.h"
#include "log/text.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "ui/boxes.h"

namespace moldrin::log {

using platform::Files;

namespace {

// Lines from the application's thread and the capture worker never interleave.
// Never destroyed: the unload path logs the close after exit handlers ran.
std::mutex& LogMutex() {
    static std::mutex& m = *new std::mutex;
    return m;
}

const char* const kWeekdays[] = {"-domingo", "-segunda", "-terca", "-quarta", "-quinta", "-sexta", "-sabado"};

char PortCharacter(int32_t portIndex) {
    if (portIndex >= 0 && portIndex <= 8) return static_cast<char>('1' + portIndex);
    if (portIndex >= 9 && portIndex <= 13) return static_cast<char>('A' + (portIndex - 9));
    return 'F';
}

struct Date {
    int day, month, year;
};

// The date of the first time-stamped line ("\r\nDD/MM/YYYY HH:MM:SS == "), which
// stands in for the creation date where the file system keeps none.
bool FirstLineDate(FileHandle h, Date& out) {
    if (Files().Seek(h, 0, 0) < 0) return false;
    char head[256];
    int32_t n = FileReadBlock(h, head, sizeof head);
    Files().Seek(h, 0, 2);
    if (n <= 0) return false;
    for (int32_t i = 0; i + 25 <= n; ++i) {
        const char* p = head + i;
        if (p[0] != '\r' || p[1] != '\n' || p[4] != '/' || p[7] != '/' || p[12] != ' ') continue;
        auto digits = [](const char* s, int k) {
            int v = 0;
            for (int j = 0; j < k; ++j) {
                if (s[j] < '0' || s[j] > '9') return -1;
                v = v * 10 + (s[j] - '0');
            }
            return v;
        };
        int d = digits(p + 2, 2), m = digits(p + 5, 2), y = digits(p + 8, 4);
        if (d < 0 || m < 0 || y < 0) continue;
        out = {d, m, y};
        return true;
    }
    return false;
}

}  // namespace

std::string TrafficLogPath(const platform::LocalTime& when, int32_t portIndex) {
    char path[kLogPathSize];
    std::snprintf(path, sizeof path, "c:\\TEMP\\ECF%s.CM%c", kWeekdays[when.weekday % 7], PortCharacter(portIndex));
    return path;
}

int LogSerial(const char* text) {
    if (g_session.LogMode == 0) return 0;
    if (!text) text = "";

    std::string failure;  // the box to show once the lock is released
    {
        std::unique_lock lock(LogMutex(), std::defer_lock);
        // The log held by a thread the system ended at exit: the line is lost, the exit is not.
        if (!platform::LockUnlessAbandoned(lock)) return -1;
        const platform::LocalTime now = platform::Now();
        const std::string pathText = TrafficLogPath(now, g_session.PortIndex);
        const char* path = pathText.c_str();
        SetText(g_session.LogPath, path);
        auto fail = [&](const char* message) {
            failure = std::string(message) + path;
        };

        FileHandle h = FileOpenAppend(path);
        if (h == kInvalidFile) {
            Files().CreateDirectory("c:\\TEMP");
            h = FileRecreate(path);
        }
        if (h == kInvalidFile) {
            fail("ERRO ao abrir o LOG serial - ");
        } else {
            bool renew = false;
            char note[64] = "";
            if (g_session.LogMode >= 2) {
                if (Files().Size(h) >= static_cast<int64_t>(g_session.LogMode) * 1024) {
                    renew = true;
                    std::snprintf(note, sizeof note, "Log apagado porque excedeu tamanho limite = %d K",
                                  static_cast<int>(g_session.LogMode));
                }
            } else {
                Date created{};
                bool known = false;
                if (auto t = Files().CreationTime(h)) {
                    created = {t->day, t->month, t->year};
                    known = true;
                } else {
                    known = FirstLineDate(h, created);
                }
                if (known && !(created.day == now.day && created.month == now.month && created.year == now.year)) {
                    renew = true;
                    std::snprintf(note, sizeof note, "Log da semana passada apagado");
                }
            }

            bool ok = true;
            if (renew) {
                if (FileClose(h) != 0) {
                    failure = "ERRO ao fechar o LOG serial - \\temp";
                    ok = false;
                    h = kInvalidFile;
                } else {
                    Files().Delete(path);
                    h = FileRecreate(path);
                    if (h == kInvalidFile) {
                        fail("ERRO ao criar o LOG serial - ");
                        ok = false;
                    } else if (FileClose(h) != 0) {
                        h = kInvalidFile;
                        fail("ERRO ao fechar o LOG serial - ");
                        ok = false;
                    } else {
                        h = FileOpenAppend(path);
                        if (h == kInvalidFile) h = FileRecreate(path);
                        if (h == kInvalidFile) {
                            fail("ERRO ao abrir o LOG serial - ");
                            ok = false;
                        } else if (FileWriteText(h, note) != 0) {
                            fail(CP1252("ERRO de gravação do LOG serial - "));
                            ok = false;
                        }
                    }
                }
            }
            if (ok) {
                char stamp[64];
                std::snprintf(stamp, sizeof stamp, "\r\n%02d/%02d/%04d %02d:%02d:%02d == ", now.day, now.month,
                              now.year, now.hour, now.minute, now.second);
                if (FileWriteText(h, stamp) != 0 || FileWriteText(h, text) != 0) {
                    fail(CP1252("ERRO de gravação do LOG serial - "));
                    ok = false;
                }
            }
            if (h != kInvalidFile) {
                // A handle is never left open, whatever failed before.
                if (FileClose(h) != 0 && ok) {
                    fail("ERRO no Fechamento do Arquivo LOG serial em ");
                    ok = false;
                }
            }
            if (ok) return 0;
        }
    }
    ui::InfoBox(failure.c_str());
    return -1;
}

void ClearLogPath() {
    std::lock_guard lock(LogMutex());
    g_session.LogPath[0] = 0;
}

void CopyLogPath(char* out) {
    std::lock_guard lock(LogMutex());
    const std::size_t n = strnlen(g_session.LogPath.data(), kLogPathSize - 1);
    std::memcpy(out, g_session.LogPath.data(), n);
    out[n] = 0;
}

int LogSerialf(const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return LogSerial(text);
}

}  // namespace moldrin::log
