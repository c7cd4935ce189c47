// `moldrin send`: opens a session, sends each command with ECFWrite, prints
// each reply as ECFRead gives it, and closes. The session itself is the library's.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "moldrin.h"
#include "platform/files.h"
#include "platform/operator.h"
#include "tools/command.h"
#include "tools/options.h"

namespace moldrin::tools {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// C escapes as a shell user types them: \e and \x1B for ESC, \n, \r, \t, \\,
// \xHH and octal \NNN. An unknown escape stands for itself.
std::string Unescape(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (*p != '\\' || !p[1]) {
            out += *p;
            continue;
        }
        char c = *++p;
        switch (c) {
            case 'e': out += '\x1B'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case '\\': out += '\\'; break;
            case 'x': {
                int value = 0, digits = 0;
                while (digits < 2 && HexDigit(p[1]) >= 0) {
                    value = value * 16 + HexDigit(*++p);
                    ++digits;
                }
                if (digits == 0) out += 'x';
                else out += static_cast<char>(value);
                break;
            }
            default:
                if (c >= '0' && c <= '7') {
                    int value = c - '0', digits = 1;
                    while (digits < 3 && p[1] >= '0' && p[1] <= '7') {
                        value = value * 8 + (*++p - '0');
                        ++digits;
                    }
                    out += static_cast<char>(value & 0xFF);
                } else {
                    out += c;
                }
        }
    }
    return out;
}

// The replies the library makes up when a command was not delivered or answered
// (".-P002}", ".-P006}", ".-P666}"), and the capture's refusals (".-0000ERRO - ...").
bool IsSyntheticFailure(const char* reply) {
    if (!std::strcmp(reply, ".-P002}") || !std::strcmp(reply, ".-P006}") || !std::strcmp(reply, ".-P666}")) return true;
    return std::strncmp(reply, ".-", 2) == 0 && std::strlen(reply) > 13 && std::strncmp(reply + 6, "ERRO - ", 7) == 0;
}

// What the traffic log says about the last ECFOpen: its lines after the banner, less the
// ones every open writes, without their time stamps, on one line.
std::string OpenFailureReason() {
    char logPath[300] = {};
    if (ECFPathLog(logPath) != 0 || logPath[0] != 'c') return "no traffic log to tell why (log mode 0?)";
    std::FILE* f = std::fopen(platform::HostPath(logPath).c_str(), "rb");
    if (!f) return "no traffic log to tell why";
    std::string text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
    std::fclose(f);
    const std::size_t banner = text.rfind("<<< Moldrin.DLL - Versao");
    if (banner == std::string::npos) return "no traffic log to tell why";
    std::string reason;
    std::size_t pos = text.find("\r\n", banner);
    while (pos != std::string::npos) {
        const std::size_t next = text.find("\r\n", pos + 2);
        std::string line = text.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
        pos = next;
        const std::size_t stamp = line.find(" == ");
        if (stamp != std::string::npos && stamp < 24) line.erase(0, stamp + 4);
        if (line.rfind("LOG habilitado", 0) == 0 || line.find("mostra CAIXA DE DIALOGO") != std::string::npos ||
            line.rfind("Timeout informado", 0) == 0 || line.empty())
            continue;
        if (!reason.empty()) reason += " / ";
        reason += platform::Cp1252ToUtf8(line);
    }
    return reason.empty() ? "the traffic log gives no reason" : reason;
}

int Run(int argc, char** argv) {
    int64_t port = 0, timeout = 10, logMode = 500;
    Options options("moldrin send", "--port N [--timeout S] [--log-mode M] COMMAND...",
                    "COMMAND may use C escapes: \\e or \\x1B for ESC, \\r, \\n, \\\\ ...\n"
                    "  e.g.  moldrin send --port 1 '\\e.271}' '\\e.28}'\n"
                    "Exit status: 0 every command answered, 1 a command failed or the session did not open,\n"
                    "2 a usage error. COM<N> is $MOLDRIN_COM<N> when set, else /dev/ttyS<N-1>.\n");
    options.Number("port", "N", "COM port number, 1 to 16 (required)", 1, 16, &port);
    options.Number("timeout", "S", "reply time-out in seconds, 1 to 60 (default 10)", 1, 60, &timeout);
    options.Number("log-mode", "M", "traffic log: 0 off, 1 weekly, 2 or more size limit in KB (default 500)", 0,
                   4194303, &logMode);
    options.Arguments("COMMAND", 1, -1);
    std::vector<std::string> args;
    if (int status = options.Parse(argc, argv, args); status >= 0) return status;
    if (port == 0) return options.UsageError("--port is required");

    const std::string var = "MOLDRIN_COM" + std::to_string(port);
    const char* device = std::getenv(var.c_str());
    if (!device || !*device)
        std::fprintf(stderr, "moldrin send: COM%d is /dev/ttyS%d (%s is not set)\n", static_cast<int>(port),
                     static_cast<int>(port - 1), var.c_str());

    if (ECFOpen(static_cast<int>(port), static_cast<unsigned>(timeout), static_cast<unsigned>(logMode), 0) != 0) {
        std::string reason = OpenFailureReason();
        // The log keeps the library's words; the system's own reason is added when the device is missing.
        std::string path = device && *device ? device : "/dev/ttyS" + std::to_string(port - 1);
        if (path.rfind("unix:", 0) == 0) path.erase(0, 5);
        if (path.rfind("tcp:", 0) != 0 && ::access(path.c_str(), F_OK) != 0)
            reason += " [" + path + ": " + std::strerror(errno) + "]";
        ECFClose();
        return options.Failure("ECFOpen(COM" + std::to_string(port) + ") failed: " + reason);
    }
    bool allAnswered = true;
    for (const std::string& arg : args) {
        const std::string command = Unescape(arg.c_str());
        const int r = ECFWrite(command.c_str());
        char reply[1728] = {};
        ECFRead(reply, sizeof reply);
        std::fwrite(reply, 1, std::strlen(reply), stdout);
        std::fputc('\n', stdout);
        if (r != 0 || IsSyntheticFailure(reply)) {
            allAnswered = false;
            // A printer that did not take one command would cost every later one the same wait.
            if (&arg != &args.back()) std::fprintf(stderr, "moldrin send: command failed; the rest were not sent\n");
            break;
        }
    }
    std::fflush(stdout);
    char logPath[300] = {};
    if (ECFPathLog(logPath) == 0) {
        if (logPath[0] == 'c') std::fprintf(stderr, "traffic log: %s (%s)\n", logPath, platform::HostPath(logPath).c_str());
        else std::fprintf(stderr, "traffic log: %s\n", logPath);
    }
    ECFClose();
    return allAnswered ? kExitOk : kExitFailure;
}

RegisterCommand reg("send", "open a session, send commands, print the replies, close", Run);

}  // namespace

}  // namespace moldrin::tools
