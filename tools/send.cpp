// `moldrin send`: opens a session, sends each command with ECFWrite, prints
// each reply as ECFRead gives it, and closes. The session itself is the library's.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/block_frames.h"
#include "moldrin.h"
#include "tools/command.h"

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

void PrintBlockTrace(const char* line) { std::fprintf(stderr, "%s\n", line); }

int Usage() {
    std::fprintf(stderr,
                 "usage: moldrin send --port N [--timeout S] [--log-mode M] [--trace] COMMAND...\n"
                 "  COMMAND may use C escapes: \\e or \\x1B for ESC, \\r, \\n, \\\\ ...\n"
                 "  --trace  print the block traffic of the later models on standard error\n"
                 "  e.g.  moldrin send --port 1 '\\e.271}' '\\e.28}'\n");
    return 2;
}

int Run(int argc, char** argv) {
    int port = 0;
    unsigned timeout = 10, logMode = 500;
    std::vector<std::string> commands;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--port" && v) {
            port = std::atoi(v);
            ++i;
        } else if (a == "--timeout" && v) {
            timeout = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
            ++i;
        } else if (a == "--log-mode" && v) {
            logMode = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
            ++i;
        } else if (a == "--trace") {
            moldrin::link::SetBlockTrace(PrintBlockTrace);
        } else if (a.rfind("--", 0) == 0) {
            return Usage();
        } else {
            commands.push_back(Unescape(argv[i]));
        }
    }
    if (port <= 0 || commands.empty()) return Usage();

    if (ECFOpen(port, timeout, logMode, 0) != 0) {
        std::fprintf(stderr, "moldrin send: ECFOpen(COM%d) failed\n", port);
        ECFClose();
        return 1;
    }
    bool allSent = true;
    for (const std::string& command : commands) {
        int r = ECFWrite(command.c_str());
        allSent = allSent && r == 0;
        char reply[1728] = {};
        ECFRead(reply, sizeof reply);
        std::fwrite(reply, 1, std::strlen(reply), stdout);
        std::fputc('\n', stdout);
    }
    char logPath[300] = {};
    if (ECFPathLog(logPath) == 0) std::fprintf(stderr, "traffic log: %s\n", logPath);
    ECFClose();
    return allSent ? 0 : 1;
}

RegisterCommand reg("send", "open a session, send commands, print the replies, close", Run);

}  // namespace

}  // namespace moldrin::tools
