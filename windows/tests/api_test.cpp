// Tests of Moldrin.dll as an application sees it, run under wine: the exports by name,
// the version resource, boxes through the operator hook, and a session against the
// simulator over the TCP line when MOLDRIN_COM1 names one (the runner starts it).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "moldrin.h"
#include "peer.h"

namespace {

HMODULE g_dll = nullptr;
std::string g_dllPath;

template <typename F>
F Export(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(g_dll, name)));
}

using OpenFn = int(MOLDRIN_STDCALL*)(int, unsigned, unsigned, int);
using CloseFn = int(MOLDRIN_STDCALL*)();
using WriteFn = int(MOLDRIN_STDCALL*)(const char*);
using ReadFn = int(MOLDRIN_STDCALL*)(char*, unsigned);
using VersionFn = void(MOLDRIN_STDCALL*)(char*);
using SetOperatorFn = void(MOLDRIN_STDCALL*)(const MoldrinOperator*);
using PathLogFn = int(MOLDRIN_STDCALL*)(char*);

// Boxes the library raised, as the application's operator saw them.
std::vector<std::string> g_boxes;
void RecordInfo(void*, const char* text) { g_boxes.push_back(std::string("info:") + text); }
int RecordQuestion(void*, const char* text) {
    g_boxes.push_back(std::string("question:") + text);
    return 1;
}
int RecordMessage(void*, const char* text, const char* caption, unsigned) {
    g_boxes.push_back(std::string("message:") + caption + ":" + text);
    return MOLDRIN_ID_OK;
}
// The operator identifies the application completely, so a capture that asks goes on.
int RecordIdentify(void*, const char* caption, MoldrinIdentification* f) {
    g_boxes.push_back(std::string("identify:") + caption);
    std::strcpy(f->orderNumber, "01");
    std::strcpy(f->appVersion, "1.0");
    std::strcpy(f->appName, "PDV TESTE WINE");
    std::strcpy(f->programData, "PDV.EXE");
    std::strcpy(f->developerId, "12345678000195");
    std::strcpy(f->stateReg, "123456789");
    std::strcpy(f->cityReg, "987654");
    std::strcpy(f->softwareHouse, "SOFTWARE HOUSE TESTE");
    std::strcpy(f->coo, "000001");
    return 1;
}
const MoldrinOperator kRecorder{nullptr, RecordInfo, RecordQuestion, RecordMessage, RecordIdentify};

// Every traffic log in c:\TEMP, concatenated; the logs are removed first by ClearLogs.
const char* kLogDir = "c:\\TEMP\\";
std::vector<std::string> LogFiles() {
    std::vector<std::string> out;
    WIN32_FIND_DATAA found{};
    HANDLE f = ::FindFirstFileA("c:\\TEMP\\ECF*.CM*", &found);
    if (f == INVALID_HANDLE_VALUE) return out;
    do out.push_back(std::string(kLogDir) + found.cFileName);
    while (::FindNextFileA(f, &found));
    ::FindClose(f);
    return out;
}
void ClearLogs() {
    for (const auto& p : LogFiles()) ::DeleteFileA(p.c_str());
}
std::string ReadLogs() {
    std::string all;
    for (const auto& p : LogFiles()) {
        HANDLE h = ::CreateFileA(p.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        char buf[4096];
        DWORD got = 0;
        while (::ReadFile(h, buf, sizeof buf, &got, nullptr) && got) all.append(buf, got);
        ::CloseHandle(h);
    }
    return all;
}
bool Contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

const char* kExports[] = {"ECFOpen",    "ECFClose",    "ECFWrite",  "ECFRead",           "SetTimeoutRead", "ECFPathLog",
                          "ECFswLFs",   "SetTesteCTS", "ECFTxFast", "SistemaGetVersion", "ECFSetOperator"};

WINE_CASE("every export is found by its plain name") {
    for (const char* name : kExports) {
        if (!::GetProcAddress(g_dll, name)) std::printf("    missing %s\n", name);
        CHECK(::GetProcAddress(g_dll, name) != nullptr);
    }
    CHECK(::GetProcAddress(g_dll, "_ECFOpen@16") == nullptr);
    CHECK(::GetProcAddress(g_dll, "ECFOpen@16") == nullptr);
}

WINE_CASE("SistemaGetVersion reads name and version from the library's version resource") {
    char text[1025];
    std::memset(text, 'x', sizeof text);
    Export<VersionFn>("SistemaGetVersion")(text);
    CHECK_EQ_STR(text, "Moldrin 3, 0, 0, 19");
}

WINE_CASE("version resource: numbers 3.0.0.19 and the Portuguese (Brazil) string table") {
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeA(g_dllPath.c_str(), &ignored);
    CHECK(size > 0);
    if (!size) return;
    std::vector<char> info(size);
    CHECK(::GetFileVersionInfoA(g_dllPath.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    CHECK(::VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &len) && fixed);
    if (fixed) {
        CHECK_EQ(fixed->dwFileVersionMS, 0x00030000u);
        CHECK_EQ(fixed->dwFileVersionLS, 0x00000013u);
        CHECK_EQ(fixed->dwProductVersionMS, 0x00030000u);
        CHECK_EQ(fixed->dwProductVersionLS, 0x00000013u);
        CHECK_EQ(fixed->dwFileType, VFT_DLL);
    }
    WORD* translation = nullptr;
    CHECK(::VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len));
    if (translation && len >= 4) {
        CHECK_EQ(translation[0], 0x0416);
        CHECK_EQ(translation[1], 0x04b0);
    }
    char* value = nullptr;
    CHECK(::VerQueryValueA(info.data(), "\\StringFileInfo\\041604b0\\ProductName", reinterpret_cast<void**>(&value), &len));
    CHECK_EQ_STR(value ? value : "", "Moldrin");
    CHECK(::VerQueryValueA(info.data(), "\\StringFileInfo\\041604b0\\ProductVersion", reinterpret_cast<void**>(&value),
                           &len));
    CHECK_EQ_STR(value ? value : "", "3, 0, 0, 19");
}

WINE_CASE("without a session: calls fail quietly, boxes reach the application's operator") {
    Export<SetOperatorFn>("ECFSetOperator")(&kRecorder);
    g_boxes.clear();
    ClearLogs();
    CHECK_EQ(Export<WriteFn>("ECFWrite")("\x1B.23}"), -1);
    CHECK_EQ(Export<CloseFn>("ECFClose")(), -1);
    CHECK(g_boxes.empty());
    CHECK(ReadLogs().empty());

    CHECK_EQ(Export<OpenFn>("ECFOpen")(0, 10, 1, 1), -1);
    CHECK(g_boxes.size() == 1 && g_boxes[0] == "info:ERRO - Aplicativo informou Porta ZERO !!!");
    std::string log = ReadLogs();
    CHECK(Contains(log, "<<< Moldrin.DLL - Versao Moldrin 3, 0, 0, 19- TALMA INFORMATICA >>>"));
    CHECK(Contains(log, "LOG habilitado - renovacao semanal"));
    CHECK(Contains(log, "ERRO - Aplicativo informou Porta ZERO !!!"));

    // A port nobody serves: the open fails in the log, not in a box.
    _putenv("MOLDRIN_COM16=tcp:127.0.0.1:1");
    g_boxes.clear();
    CHECK_EQ(Export<OpenFn>("ECFOpen")(16, 10, 1, 0), -1);
    CHECK(g_boxes.empty());
    CHECK(Contains(ReadLogs(), "CONFLITO DE PORTA NO SISTEMA"));
    CHECK_EQ(Export<CloseFn>("ECFClose")(), 0);
    CHECK_EQ(Export<CloseFn>("ECFClose")(), -1);
    _putenv("MOLDRIN_COM16=");
    Export<SetOperatorFn>("ECFSetOperator")(nullptr);
}

bool HaveSimulator() {
    const char* com1 = std::getenv("MOLDRIN_COM1");
    if (com1 && std::strncmp(com1, "tcp:", 4) == 0) return true;
    wine_check::Skip("MOLDRIN_COM1 names no simulator (tcp:HOST:PORT)");
    return false;
}

bool LooksLikeReply(const char* r) {
    size_t n = std::strlen(r);
    return n >= 2 && r[0] == '.' && r[n - 1] == '}' && std::strcmp(r, ".-P002}") != 0 && std::strcmp(r, ".-P006}") != 0;
}

WINE_CASE("session with the simulator: open, status queries, write and read, close, all logged") {
    if (!HaveSimulator()) return;
    // The link on its own: c:\TALMA\talma.ini keeps the fiscal capture out of this session.
    ::CreateDirectoryA("c:\\TALMA", nullptr);
    HANDLE ini = ::CreateFileA("c:\\TALMA\\talma.ini", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CHECK(ini != INVALID_HANDLE_VALUE);
    ::CloseHandle(ini);
    Export<SetOperatorFn>("ECFSetOperator")(&kRecorder);
    g_boxes.clear();
    ClearLogs();
    CHECK_EQ(Export<OpenFn>("ECFOpen")(1, 10, 1, 0), 0);
    char reply[1728];
    const char* commands[] = {"\x1B.23}", "\x1B.271}", "\x1B.28}"};
    for (const char* cmd : commands) {
        std::memset(reply, 0, sizeof reply);
        CHECK_EQ(Export<WriteFn>("ECFWrite")(cmd), 0);
        CHECK_EQ(Export<ReadFn>("ECFRead")(reply, sizeof reply), 0);
        if (!LooksLikeReply(reply)) std::printf("    %s -> %s\n", cmd + 1, reply);
        CHECK(LooksLikeReply(reply));
    }
    // An ordinary command goes through the exchange and the printer's own answer comes
    // back: a paper feed, which the simulated printer takes at any moment of its day.
    std::memset(reply, 0, sizeof reply);
    CHECK_EQ(Export<WriteFn>("ECFWrite")("\x1B.08}"), 0);
    CHECK_EQ(Export<ReadFn>("ECFRead")(reply, sizeof reply), 0);
    CHECK_EQ_STR(reply, ".+0008}");
    // The log the library names is the file the lines above went to.
    char logPath[600] = {};
    CHECK_EQ(Export<PathLogFn>("ECFPathLog")(logPath), 0);
    std::string path = logPath;
    CHECK(path.rfind("c:\\TEMP\\ECF", 0) == 0 && path.size() > 4 && path.substr(path.size() - 4) == ".CM1");
    CHECK(::GetFileAttributesA(logPath) != INVALID_FILE_ATTRIBUTES);
    CHECK_EQ(Export<CloseFn>("ECFClose")(), 0);
    std::string log = ReadLogs();
    CHECK(Contains(log, "<<< Moldrin.DLL - Versao Moldrin 3, 0, 0, 19- TALMA INFORMATICA >>>"));
    CHECK(Contains(log, "porta COM1  inicializada"));
    CHECK(Contains(log, "Executando a fun\xE7\xE3o ECFClose()"));
    // The capture may ask for the identification and say why; the link shows nothing.
    for (const auto& b : g_boxes) {
        if (b.rfind("identify:", 0) != 0) std::printf("    box %s\n", b.c_str());
        CHECK(b.rfind("info:", 0) != 0);
    }
    Export<SetOperatorFn>("ECFSetOperator")(nullptr);
    ::DeleteFileA("c:\\TALMA\\talma.ini");
}

// A printer that is cabled but switched off (CTS and DSR low): a session still opens
// on it, on COM2, without the simulator, and the speed search gives up at once.
class QuietPrinter {
public:
    QuietPrinter() : t_([this] {
          if (!peer_.Accept(20000)) return;
          while (!stop_) peer_.Receive(1, 200);
      }) {
        std::string var = "MOLDRIN_COM2=" + peer_.Name();
        _putenv(var.c_str());
    }
    ~QuietPrinter() {
        stop_ = true;
        t_.join();
        _putenv("MOLDRIN_COM2=");
    }

private:
    Peer peer_;
    std::atomic<bool> stop_{false};
    std::thread t_;
};

// Run in a child process: opens a session and leaves without closing it.
int LeaveWithSession(bool unload) {
    Export<SetOperatorFn>("ECFSetOperator")(&kRecorder);
    auto* printer = new QuietPrinter;  // still serving while the process goes
    (void)printer;
    if (Export<OpenFn>("ECFOpen")(2, 1, 1, 0) != 0) return 3;
    if (unload) {
        ::FreeLibrary(g_dll);
        return 0;
    }
    ::ExitProcess(0);
}

int RunChild(const char* how) {
    char exe[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string cmd = std::string("\"") + exe + "\" " + how;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    DWORD waited = ::WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 999;
    if (waited == WAIT_OBJECT_0) ::GetExitCodeProcess(pi.hProcess, &code);
    else ::TerminateProcess(pi.hProcess, 998);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return waited == WAIT_OBJECT_0 ? static_cast<int>(code) : -2;
}

WINE_CASE("unloading, or leaving the process, with a session open closes it without hanging") {
    for (const char* how : {"--exit-with-session", "--unload-with-session"}) {
        ClearLogs();
        int code = RunChild(how);
        if (code != 0) std::printf("    %s: exit %d\n", how, code);
        CHECK_EQ(code, 0);
        std::string log = ReadLogs();
        CHECK(Contains(log, "porta COM2  inicializada"));
        CHECK(Contains(log, "Executando a fun\xE7\xE3o ECFClose()"));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* env = std::getenv("MOLDRIN_DLL");
    if (env && *env) {
        g_dllPath = env;
    } else {
        char exe[MAX_PATH] = {};
        ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
        g_dllPath = exe;
        g_dllPath = g_dllPath.substr(0, g_dllPath.find_last_of("\\/") + 1) + "..\\Moldrin.dll";
    }
    g_dll = ::LoadLibraryA(g_dllPath.c_str());
    if (!g_dll) {
        std::printf("cannot load %s (error %lu)\n", g_dllPath.c_str(), ::GetLastError());
        std::printf("wine_api: 0 passed, 1 failed\n");
        return 1;
    }
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    if (argc > 1 && std::strcmp(argv[1], "--exit-with-session") == 0) return LeaveWithSession(false);
    if (argc > 1 && std::strcmp(argv[1], "--unload-with-session") == 0) return LeaveWithSession(true);
    return wine_check::RunAll("wine_api", argc > 1 ? argv[1] : nullptr);
}
