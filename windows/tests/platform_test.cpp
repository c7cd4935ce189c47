// Tests of the win32 platform layer linked in, run under wine: semaphores and the worker
// thread, files, clock, version reader, the TCP line against a peer of its own, the dialogs.
#include "platform/win32/win32.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "check.h"
#include "peer.h"
#include "log/text.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/module.h"
#include "platform/operator.h"
#include "platform/serial_device.h"
#include "platform/sync.h"
#include "serial/port_table.h"

using namespace moldrin::platform;

namespace {


// Opens the line to the peer, the connection accepted on the side.
std::unique_ptr<SerialDevice> Connect(Peer& peer) {
    int err = -1;
    std::unique_ptr<SerialDevice> dev;
    std::thread opener([&] { dev = OpenSerialByName(peer.Name(), &err); });
    bool accepted = peer.Accept();
    opener.join();
    CHECK(accepted);
    CHECK(dev != nullptr);
    CHECK_EQ(err, 0);
    return dev;
}

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += static_cast<char>(c);
    return s;
}

uint32_t Modem(SerialDevice& dev) {
    uint32_t bits = 0;
    dev.ModemStatus(&bits);
    return bits;
}

// ---- Semaphores and threads ----------------------------------------------------

WINE_CASE("semaphore counts up to its maximum and no further") {
    uint32_t err = 99;
    SemaphoreHandle h = SemaphoreCreate(0, 1, &err);
    CHECK(h != 0);
    CHECK_EQ(err, 0);
    CHECK(SemaphoreWait(h, 0) == WaitResult::TimedOut);
    CHECK(SemaphoreRelease(h, 1));
    CHECK(!SemaphoreRelease(h, 1));
    CHECK(SemaphoreWait(h, 0) == WaitResult::Signaled);
    CHECK(SemaphoreWait(h, 20) == WaitResult::TimedOut);
    CHECK(SemaphoreClose(h));
    CHECK(!SemaphoreClose(h));
    CHECK(SemaphoreWait(h, kWaitForever) == WaitResult::Failed);
    CHECK(!SemaphoreRelease(h, 1));
    CHECK(SemaphoreWait(0, 0) == WaitResult::Failed);
}

WINE_CASE("closing a semaphore wakes its waiter with a failure") {
    SemaphoreHandle h = SemaphoreCreate(0, 1, nullptr);
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = static_cast<int>(SemaphoreWait(h, kWaitForever)); });
    ::Sleep(50);
    CHECK_EQ(result.load(), -1);
    SemaphoreClose(h);
    waiter.join();
    CHECK_EQ(result.load(), static_cast<int>(WaitResult::Failed));
}

WINE_CASE("with every other thread gone a wait never blocks") {
    SemaphoreHandle h = SemaphoreCreate(0, 1, nullptr);
    SetSoleThread(true);
    DWORD start = ::GetTickCount();
    CHECK(SemaphoreWait(h, kWaitForever) == WaitResult::Failed);
    CHECK(SemaphoreWait(h, 100) == WaitResult::Failed);
    SemaphoreRelease(h, 1);
    CHECK(SemaphoreWait(h, kWaitForever) == WaitResult::Signaled);
    SetSoleThread(false);
    CHECK(::GetTickCount() - start < 1000);
    SemaphoreClose(h);
}

WINE_CASE("a started thread runs its function on its own thread") {
    struct Ctx {
        SemaphoreHandle done;
        DWORD thread = 0;
    } ctx{SemaphoreCreate(0, 1, nullptr)};
    CHECK(ThreadStart(
        [](void* p) {
            auto* c = static_cast<Ctx*>(p);
            c->thread = ::GetCurrentThreadId();
            SemaphoreRelease(c->done, 1);
        },
        &ctx));
    CHECK(SemaphoreWait(ctx.done, 5000) == WaitResult::Signaled);
    CHECK(ctx.thread != 0 && ctx.thread != ::GetCurrentThreadId());
    SemaphoreClose(ctx.done);
}

// ---- Files -----------------------------------------------------------------------

std::string TempDir() {
    char buf[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, buf);
    std::string dir = std::string(buf) + "moldrin-test-" + std::to_string(::GetCurrentProcessId());
    return dir;
}

WINE_CASE("files: create, write, seek, read, size, times, rename and delete") {
    FileSystem& fs = SystemFileSystem();
    std::string dir = TempDir();
    CHECK(fs.CreateDirectory(dir.c_str()));
    CHECK(!fs.CreateDirectory(dir.c_str()));
    CHECK(fs.IsDirectory(dir.c_str()));
    std::string a = dir + "\\A.TXT", b = dir + "\\B.TXT";
    CHECK(!fs.IsDirectory(a.c_str()));
    CHECK(fs.Open(a.c_str(), kAccessRead, kShareRead, FileCreation::OpenExisting) == kInvalidFile);

    FileHandle h = fs.Open(a.c_str(), kAccessRead | kAccessWrite, kShareNone, FileCreation::CreateAlways);
    CHECK(h != kInvalidFile);
    uint32_t done = 0;
    CHECK(fs.Write(h, "hello world", 11, &done));
    CHECK_EQ(done, 11);
    CHECK(fs.Flush(h));
    CHECK_EQ(fs.Size(h), 11);
    CHECK_EQ(fs.Seek(h, 6, 0), 6);
    char buf[16] = {};
    CHECK(fs.Read(h, buf, sizeof buf, &done));
    CHECK_EQ(done, 5);
    CHECK_EQ_STR(std::string(buf, done), "world");
    CHECK_EQ(fs.Seek(h, -5, 2), 6);
    CHECK_EQ(fs.Seek(h, 0, 7), -1);
    auto created = fs.CreationTime(h);
    CHECK(created.has_value() && created->year >= 2020);
    // Opened without sharing: a second opener is refused, as the system does.
    CHECK(fs.Open(a.c_str(), kAccessRead, kShareRead | kShareWrite, FileCreation::OpenExisting) == kInvalidFile);
    CHECK(fs.Close(h));

    FileHandle hb = fs.Open(b.c_str(), kAccessWrite, kShareNone, FileCreation::CreateAlways);
    CHECK(fs.Write(hb, "old", 3, &done));
    fs.Close(hb);
    CHECK(fs.Rename(a.c_str(), b.c_str()));
    hb = fs.Open(b.c_str(), kAccessRead, kShareRead, FileCreation::OpenExisting);
    CHECK_EQ(fs.Size(hb), 11);
    fs.Close(hb);
    CHECK(!fs.Delete(a.c_str()));
    CHECK(fs.Delete(b.c_str()));
    CHECK(!fs.Delete(dir.c_str()));
    CHECK(::RemoveDirectoryA(dir.c_str()));
    CHECK(!fs.Close(kInvalidFile));
}

WINE_CASE("files: Windows-1252 names are used as the bytes they are") {
    FileSystem& fs = SystemFileSystem();
    std::string dir = TempDir() + "-n";
    fs.CreateDirectory(dir.c_str());
    std::string name = dir + "\\" + CP1252("Ação.txt");
    FileHandle h = fs.Open(name.c_str(), kAccessWrite, kShareNone, FileCreation::CreateAlways);
    CHECK(h != kInvalidFile);
    fs.Close(h);
    WIN32_FIND_DATAW found{};
    std::wstring pattern = std::wstring(dir.begin(), dir.end()) + L"\\*.txt";
    HANDLE f = ::FindFirstFileW(pattern.c_str(), &found);
    CHECK(f != INVALID_HANDLE_VALUE);
    if (f != INVALID_HANDLE_VALUE) {
        CHECK(std::wstring(found.cFileName) == L"A\u00e7\u00e3o.txt");
        ::FindClose(f);
    }
    fs.Delete(name.c_str());
    ::RemoveDirectoryA(dir.c_str());
}

// ---- Clock, module, version -------------------------------------------------------

WINE_CASE("clock: the tick moves on, the local time is today's") {
    uint32_t t0 = GetClock().TickMs();
    GetClock().Sleep(100);
    uint32_t t1 = GetClock().TickMs();
    // The tick moves in steps of about 16 ms: a 100 ms sleep shows as at least 80.
    CHECK(t1 - t0 >= 50 && t1 - t0 < 10000);
    LocalTime now = GetClock().Now();
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    CHECK_EQ(now.year, st.wYear);
    CHECK_EQ(now.month, st.wMonth);
    CHECK_EQ(now.weekday, WeekdayOf(now.year, now.month, now.day));
}

WINE_CASE("module: executable directory and the version read from the resource") {
    std::string dir = ExecutableDirectory();
    CHECK(!dir.empty() && dir.back() == '\\');
    char exe[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
    CHECK(std::string(exe).rfind(dir, 0) == 0);

    // This program carries the library's resources, so its own file answers.
    SetModuleHandle(::GetModuleHandleA(nullptr));
    std::string name = "x", version = "y";
    ReadVersion(name, version);
    CHECK_EQ_STR(name, "Moldrin");
    CHECK_EQ_STR(version, "3, 0, 0, 19");

    // A module without a version resource gives two empty parts.
    HMODULE ws = ::GetModuleHandleA("ws2_32.dll");
    if (ws) {
        char path[MAX_PATH] = {};
        ::GetModuleFileNameA(ws, path, MAX_PATH);
        DWORD ignored = 0;
        // Wine's own DLLs carry version resources in English only: no 0416 table.
        if (::GetFileVersionInfoSizeA(path, &ignored) != 0) {
            SetModuleHandle(ws);
            ReadVersion(name, version);
            CHECK_EQ_STR(name, "");
            CHECK_EQ_STR(version, "");
        }
    }
    SetModuleHandle(::GetModuleHandleA(nullptr));
}

// ---- The TCP line -----------------------------------------------------------------

WINE_CASE("tcp line: modem lines, settings and data reach the printer and come back") {
    Peer peer;
    auto dev = Connect(peer);
    if (!dev) return;
    peer.Send(Bytes({'M', 0x30}));
    CHECK(WaitUntil([&] { return Modem(*dev) == 0x30; }, 3000));

    LineSettings s;
    s.baudRate = 9600;
    s.byteSize = 8;
    s.parity = 0;
    s.stopBits = 0;
    CHECK(dev->SetState(s));
    CHECK(peer.Receive(8) == Bytes({'S', 0x80, 0x25, 0, 0, 8, 0, 0}));
    LineSettings back;
    CHECK(dev->GetState(back) && back.baudRate == 9600);

    CHECK(dev->EscapeFunction(Escape::SetDtr));
    CHECK(dev->EscapeFunction(Escape::SetRts));
    CHECK(dev->EscapeFunction(Escape::ClrDtr));
    CHECK(dev->EscapeFunction(Escape::ResetDev));
    CHECK(peer.Receive(6) == Bytes({'M', 1, 'M', 3, 'M', 2}));

    std::string out(300, 'x');
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(i);
    uint32_t written = 0;
    CHECK(dev->Write(reinterpret_cast<const uint8_t*>(out.data()), 300, &written));
    CHECK_EQ(written, 300);
    std::string got = peer.Receive(304);
    CHECK(got.size() == 304 && got.substr(0, 2) == Bytes({'D', 255}) && got.substr(2, 255) == out.substr(0, 255) &&
          got.substr(257, 2) == Bytes({'D', 45}) && got.substr(259) == out.substr(255));

    uint32_t errors = 9, rx = 9, tx = 9;
    CHECK(dev->ClearErrors(&errors, &rx, &tx));
    CHECK_EQ(rx, 0);
    CHECK_EQ(tx, 0);
    uint8_t buf[16];
    uint32_t n = 9;
    CHECK(dev->Read(buf, sizeof buf, &n));
    CHECK_EQ(n, 0);

    peer.Send(Bytes({'D', 3, 'a', 'b', 'c', 'E', 0x08, 'M', 0x10}));
    CHECK(WaitUntil([&] { return dev->ClearErrors(&errors, &rx, &tx) && rx == 3; }, 3000));
    CHECK_EQ(errors, 8);
    dev->ClearErrors(&errors, &rx, &tx);
    CHECK_EQ(errors, 0);
    CHECK_EQ(Modem(*dev), 0x10);
    CHECK(dev->Read(buf, 2, &n));
    CHECK_EQ_STR(std::string(reinterpret_cast<char*>(buf), n), "ab");
    CHECK(dev->Read(buf, sizeof buf, &n));
    CHECK_EQ_STR(std::string(reinterpret_cast<char*>(buf), n), "c");
}

WINE_CASE("tcp line: a message split across segments is put back together") {
    Peer peer;
    auto dev = Connect(peer);
    if (!dev) return;
    peer.Send(Bytes({'D', 4, '.', '+'}));
    ::Sleep(50);
    uint8_t buf[8];
    uint32_t n = 9;
    CHECK(dev->Read(buf, sizeof buf, &n));
    CHECK_EQ(n, 0);
    peer.Send(Bytes({'0', '}'}));
    std::string got;
    CHECK(WaitUntil([&] {
        dev->Read(buf, sizeof buf, &n);
        got.append(reinterpret_cast<char*>(buf), n);
        return got.size() >= 4;
    }, 3000));
    CHECK_EQ_STR(got, ".+0}");
}

WINE_CASE("tcp line: a wait returns when a byte arrives, not at its end") {
    Peer peer;
    auto dev = Connect(peer);
    if (!dev) return;
    std::thread later([&] {
        ::Sleep(100);
        peer.Send(Bytes({'D', 1, 'z'}));
    });
    DWORD start = ::GetTickCount();
    dev->Wait(5000);
    DWORD took = ::GetTickCount() - start;
    later.join();
    CHECK(took < 3000);
    uint32_t errors = 0, rx = 0, tx = 0;
    CHECK(WaitUntil([&] { return dev->ClearErrors(&errors, &rx, &tx) && rx == 1; }, 3000));
}

WINE_CASE("tcp line: a printer that goes away drops the lines and refuses writes") {
    Peer peer;
    auto dev = Connect(peer);
    if (!dev) return;
    peer.Send(Bytes({'M', 0x30, 'D', 2, 'o', 'k'}));
    CHECK(WaitUntil([&] { return Modem(*dev) == 0x30; }, 3000));
    peer.Hang();
    CHECK(WaitUntil([&] { return Modem(*dev) == 0; }, 3000));
    uint8_t buf[4];
    uint32_t n = 0;
    dev->Read(buf, sizeof buf, &n);
    CHECK_EQ_STR(std::string(reinterpret_cast<char*>(buf), n), "ok");  // what had arrived stays
    uint32_t written = 0;
    uint8_t byte = 'x';
    bool ok = true;
    for (int i = 0; i < 50 && ok; ++i) ok = dev->Write(&byte, 1, &written);
    CHECK(!ok);
}

WINE_CASE("tcp line: garbled bytes read as line noise, a framing error, and the line goes on") {
    Peer peer;
    auto dev = Connect(peer);
    if (!dev) return;
    peer.Send("HTTP/1.0 200 OK\r\n");
    peer.Send(Bytes({'D', 2, 'o', 'k'}));
    uint32_t errors = 0, rx = 0, tx = 0;
    CHECK(WaitUntil([&] {
        uint32_t e = 0;
        dev->ClearErrors(&e, &rx, &tx);
        errors |= e;
        return rx == 2;
    }, 3000));
    CHECK(errors & kErrFrame);
    uint8_t buf[4];
    uint32_t n = 0;
    dev->Read(buf, sizeof buf, &n);
    CHECK_EQ_STR(std::string(reinterpret_cast<char*>(buf), n), "ok");
}

WINE_CASE("tcp line: applying settings moves DTR and RTS the way the control fields say") {
    Peer peer;
    auto dev = Connect(peer);
    if (!dev) return;
    LineSettings s;
    s.baudRate = 19200;
    s.dtrControl = 1;  // enable
    s.rtsControl = 0;  // disable
    CHECK(dev->SetState(s));
    CHECK(peer.Receive(10) == Bytes({'S', 0x00, 0x4B, 0, 0, 8, 0, 0, 'M', 1}));
    CHECK(dev->SetState(s));  // lines unchanged: settings only
    CHECK(peer.Receive(8) == Bytes({'S', 0x00, 0x4B, 0, 0, 8, 0, 0}));
    s.dtrControl = 0;
    CHECK(dev->SetState(s));
    CHECK(peer.Receive(10) == Bytes({'S', 0x00, 0x4B, 0, 0, 8, 0, 0, 'M', 0}));
}

WINE_CASE("tcp line: the printer's lines are there from the open on") {
    Peer peer;
    int err = -1;
    std::unique_ptr<SerialDevice> dev;
    std::thread opener([&] { dev = OpenSerialByName(peer.Name(), &err); });
    CHECK(peer.Accept());
    peer.Send(Bytes({'M', 0x30}));
    opener.join();
    CHECK(dev != nullptr);
    if (dev) CHECK_EQ(Modem(*dev), 0x30);
}

WINE_CASE("serial names: refused connections, bad names and missing devices fail with a reason") {
    struct Row {
        std::string name;
    };
    std::string refused;
    {
        Peer gone;
        refused = gone.Name();
    }
    const Row rows[] = {{refused}, {"tcp:nocolon"}, {"tcp::5"}, {"tcp:127.0.0.1:"}, {"unix:/tmp/x"},
                        {"\\\\.\\COM99"}, {"tcp:no-such-host.invalid:1"}};
    for (const auto& row : rows) {
        int err = 0;
        auto dev = OpenSerialByName(row.name, &err);
        if (dev || err == 0) std::printf("    name %s\n", row.name.c_str());
        CHECK(dev == nullptr);
        CHECK(err != 0);
    }
}

WINE_CASE("port table over the TCP line named by MOLDRIN_COM5") {
    using namespace moldrin::serial;
    Peer peer;
    std::string var = "MOLDRIN_COM5=" + peer.Name();
    _putenv(var.c_str());
    int r = -999;
    std::thread opener([&] { r = PortOpen(4, 1600, 1600); });
    bool accepted = peer.Accept();
    opener.join();
    CHECK(accepted);
    CHECK_EQ(r, 0);
    if (r != 0) return;
    // The open programs the line: its settings reach the printer.
    std::string s = peer.Receive(1);
    CHECK_EQ_STR(s, "S");
    peer.Receive(7);
    peer.Send(Bytes({'M', 0x10}));
    CHECK(WaitUntil([&] { return PortCts(4) == 16; }, 3000));
    CHECK_EQ(PortDsr(4), 0);
    CHECK(PortDtr(4, 'S') != 0);
    CHECK(peer.Receive(2) == Bytes({'M', 1}));
    CHECK_EQ(SioPutc(4, 'A'), 0);
    CHECK(peer.Receive(3) == Bytes({'D', 1, 'A'}));
    peer.Send(Bytes({'D', 1, 'B'}));
    CHECK(WaitUntil([&] { return PortRxCount(4) == 1; }, 3000));
    CHECK_EQ(SioGetc(4), 'B');
    CHECK_EQ(SioGetc(4), kNoByte);
    CHECK(PortClose(4) >= 0);
    _putenv("MOLDRIN_COM5=");
}

// ---- The dialog templates, as the resource compiler stored them -------------------------

struct TemplateItem {
    int id;
    int x, y, cx, cy;
    WORD cls;           // 0x80 button, 0x81 edit, 0x82 static
    std::string text;   // caption, or "#n" for a resource ordinal (the icon)
    DWORD style;
    DWORD exStyle;
};
struct DialogTemplate {
    bool ok = false;
    DWORD style = 0, exStyle = 0;
    int cx = 0, cy = 0;
    std::string caption;
    int pointSize = 0;
    std::string face;
    std::vector<TemplateItem> items;
};

// Reads a DLGTEMPLATEEX and its items; texts come back as Windows-1252.
DialogTemplate ReadTemplate(const char* name) {
    DialogTemplate t;
    HRSRC r = ::FindResourceA(nullptr, name, MAKEINTRESOURCEA(5));  // RT_DIALOG
    if (!r) return t;
    const auto* p = static_cast<const BYTE*>(::LockResource(::LoadResource(nullptr, r)));
    const BYTE* end = p + ::SizeofResource(nullptr, r);
    auto word = [&](const BYTE*& q) { WORD w; std::memcpy(&w, q, 2); q += 2; return w; };
    auto dword = [&](const BYTE*& q) { DWORD d; std::memcpy(&d, q, 4); q += 4; return d; };
    auto text = [&](const BYTE*& q) {
        std::wstring w;
        for (WORD c; (c = word(q)) != 0;) w += static_cast<wchar_t>(c);
        char buf[512] = {};
        ::WideCharToMultiByte(1252, 0, w.c_str(), -1, buf, sizeof buf, nullptr, nullptr);
        return std::string(buf);
    };
    auto sz_or_ord = [&](const BYTE*& q) -> std::string {
        WORD first;
        std::memcpy(&first, q, 2);
        if (first == 0) { q += 2; return ""; }
        if (first == 0xFFFF) { q += 2; return "#" + std::to_string(word(q)); }
        return text(q);
    };
    const BYTE* q = p;
    if (word(q) != 1 || word(q) != 0xFFFF) return t;
    dword(q);  // help id
    t.exStyle = dword(q);
    t.style = dword(q);
    WORD count = word(q);
    word(q), word(q);  // x, y
    t.cx = static_cast<short>(word(q));
    t.cy = static_cast<short>(word(q));
    sz_or_ord(q);  // menu
    sz_or_ord(q);  // class
    t.caption = text(q);
    if (t.style & DS_SETFONT) {
        t.pointSize = word(q);
        word(q);  // weight
        q += 2;   // italic, charset
        t.face = text(q);
    }
    for (WORD i = 0; i < count && q < end; ++i) {
        q = p + ((q - p + 3) & ~3);
        TemplateItem it{};
        dword(q);  // help id
        it.exStyle = dword(q);
        it.style = dword(q);
        it.x = static_cast<short>(word(q));
        it.y = static_cast<short>(word(q));
        it.cx = static_cast<short>(word(q));
        it.cy = static_cast<short>(word(q));
        it.id = static_cast<int>(dword(q));
        std::string cls = sz_or_ord(q);
        // A class given by name is the same window class as its ordinal.
        if (cls.size() > 1 && cls[0] == '#') it.cls = static_cast<WORD>(std::atoi(cls.c_str() + 1));
        else if (!_stricmp(cls.c_str(), "Button")) it.cls = 0x80;
        else if (!_stricmp(cls.c_str(), "Edit")) it.cls = 0x81;
        else if (!_stricmp(cls.c_str(), "Static")) it.cls = 0x82;
        it.text = sz_or_ord(q);
        q += word(q);  // creation data
        t.items.push_back(it);
    }
    t.ok = true;
    return t;
}

void CheckItem(const DialogTemplate& t, const TemplateItem& want, DWORD styleBits) {
    for (const auto& it : t.items) {
        if (it.x != want.x || it.y != want.y) continue;
        if (it.id != want.id || it.cx != want.cx || it.cy != want.cy || it.cls != want.cls || it.text != want.text ||
            (it.style & styleBits) != styleBits || (it.exStyle & want.exStyle) != want.exStyle)
            std::printf("    item at %d,%d: id %d %dx%d class %x \"%s\" style %lx ex %lx\n", it.x, it.y, it.id, it.cx,
                        it.cy, it.cls, it.text.c_str(), it.style, it.exStyle);
        CHECK_EQ(it.id, want.id);
        CHECK_EQ(it.cx, want.cx);
        CHECK_EQ(it.cy, want.cy);
        CHECK_EQ(it.cls, want.cls);
        CHECK_EQ_STR(it.text, want.text);
        CHECK_EQ(it.style & styleBits, styleBits);
        CHECK_EQ(it.exStyle & want.exStyle, want.exStyle);
        return;
    }
    std::printf("    no item at %d,%d\n", want.x, want.y);
    CHECK(false);
}

WINE_CASE("templates: IDD_INFO and IDD_PERGUNTA as drawn up, control by control") {
    const DWORD kBoxStyle = DS_SYSMODAL | DS_3DLOOK | DS_SETFOREGROUND | WS_POPUP | WS_CAPTION;
    const DWORD kField = SS_CENTER | WS_GROUP;
    const DWORD kFieldEx = WS_EX_CLIENTEDGE | WS_EX_DLGMODALFRAME;
    struct Row {
        const char* name;
        int cx, cy;
        DWORD style, noStyle, exStyle;
        int pointSize;
        const char* face;
        size_t count;
        std::vector<std::pair<TemplateItem, DWORD>> items;  // item, style bits it must have
    };
    const Row rows[] = {
        {"IDD_INFO", 220, 63, kBoxStyle | DS_MODALFRAME, WS_SYSMENU, WS_EX_CLIENTEDGE | WS_EX_STATICEDGE, 10,
         "Arial Black", 4,
         {{{1, 94, 48, 33, 11, 0x80, "&OK", 0, 0}, BS_DEFPUSHBUTTON | WS_TABSTOP},
          {{-1, 6, 3, 20, 20, 0x82, "#103", 0, 0}, SS_ICON | SS_SUNKEN},
          {{-1, 87, 10, 47, 8, 0x82, CP1252("Informação"), 0, 0}, SS_CENTER | WS_GROUP},
          {{1063, 7, 26, 206, 19, 0x82, "", 0, kFieldEx}, kField}}},
        {"IDD_PERGUNTA", 333, 81, kBoxStyle | WS_SYSMENU, 0, WS_EX_CLIENTEDGE, 8, "MS Sans Serif", 5,
         {{{1, 8, 62, 50, 14, 0x80, "&Sim", 0, 0}, BS_DEFPUSHBUTTON | WS_TABSTOP},
          {{2, 268, 62, 50, 14, 0x80, CP1252("&Não"), 0, 0}, WS_TABSTOP},
          {{-1, 6, 3, 20, 20, 0x82, "#103", 0, 0}, SS_ICON | SS_SUNKEN},
          {{-1, 145, 12, 36, 13, 0x82, CP1252("Questão:"), 0, 0}, WS_GROUP},
          {{1063, 9, 30, 309, 22, 0x82, "", 0, kFieldEx}, kField}}},
    };
    for (const auto& row : rows) {
        DialogTemplate t = ReadTemplate(row.name);
        CHECK(t.ok);
        if (!t.ok) continue;
        CHECK_EQ(t.cx, row.cx);
        CHECK_EQ(t.cy, row.cy);
        CHECK_EQ(t.style & row.style, row.style);
        CHECK_EQ(t.style & row.noStyle, 0);
        CHECK_EQ(t.exStyle & row.exStyle, row.exStyle);
        CHECK_EQ_STR(t.caption, "M o l d r i n");
        CHECK_EQ(t.pointSize, row.pointSize);
        CHECK_EQ_STR(t.face, row.face);
        CHECK_EQ(t.items.size(), row.count);
        for (const auto& [item, bits] : row.items) CheckItem(t, item, bits);
    }
}

WINE_CASE("templates: the identification dialog has every field's control and the OK button") {
    DialogTemplate t = ReadTemplate(MAKEINTRESOURCEA(105));
    CHECK(t.ok);
    CHECK_EQ(t.cx, 364);
    CHECK_EQ(t.cy, 229);
    CHECK_EQ_STR(t.caption, CP1252("IDENTIFICAÇÃO DO APLICATIVO"));
    CHECK_EQ(t.pointSize, 11);
    CHECK_EQ_STR(t.face, "Courier New");
    struct Want {
        int id;
        bool digits;
    };
    const Want edits[] = {{1000, true},  {1001, false}, {1002, false}, {1004, false}, {1006, true},
                          {1007, true},  {1008, true},  {1009, false}, {1010, true},  {1011, false}};
    for (const auto& want : edits) {
        bool found = false;
        for (const auto& it : t.items) {
            if (it.id != want.id) continue;
            found = true;
            CHECK_EQ(it.cls, 0x81);
            CHECK_EQ((it.style & ES_NUMBER) != 0, want.digits);
        }
        if (!found) std::printf("    no control %d\n", want.id);
        CHECK(found);
    }
    bool ok = false, icon = false;
    for (const auto& it : t.items) {
        ok = ok || (it.id == 1 && it.cls == 0x80 && it.text == "OK");
        icon = icon || (it.cls == 0x82 && it.text == "#103");
    }
    CHECK(ok);
    CHECK(icon);
}

// ---- The dialogs -----------------------------------------------------------------

// The box once it is up: created, initialised and shown.
HWND FindBox(const char* caption, DWORD ms = 30000) {
    HWND w = nullptr;
    WaitUntil([&] { return (w = ::FindWindowA(nullptr, caption)) != nullptr && ::IsWindowVisible(w); }, ms);
    return w && ::IsWindowVisible(w) ? w : nullptr;
}

std::string ControlText(HWND dialog, int id) {
    char buf[512] = {};
    ::GetDlgItemTextA(dialog, id, buf, sizeof buf);
    return buf;
}

bool Centred(HWND w) {
    RECT r{};
    ::GetWindowRect(w, &r);
    int cx = (r.left + r.right) / 2, cy = (r.top + r.bottom) / 2;
    return std::abs(cx - ::GetSystemMetrics(SM_CXSCREEN) / 2) <= 1 &&
           std::abs(cy - ::GetSystemMetrics(SM_CYSCREEN) / 2) <= 1;
}

// Runs a box on its own thread, as the library does on the caller's; the test
// thread plays the operator.
struct BoxRun {
    std::atomic<int> result{-100};
    std::atomic<bool> done{false};
    std::thread t;
    template <typename F>
    explicit BoxRun(F f) : t([this, f] {
          result = f();
          done = true;
      }) {}
    ~BoxRun() {
        if (t.joinable()) t.join();
    }
};

bool HaveDisplay() {
    if (::GetSystemMetrics(SM_CXSCREEN) > 0 && std::getenv("DISPLAY")) return true;
    wine_check::Skip("no display (run under Xvfb)");
    return false;
}

WINE_CASE("information box: shows the text, centred; Esc does not close it, OK does") {
    if (!HaveDisplay()) return;
    SetModuleHandle(::GetModuleHandleA(nullptr));
    const char* text = CP1252("Informação de teste\nsegunda linha");
    BoxRun run([&] {
        DefaultOperator().InfoBox(text);
        return 1;
    });
    HWND box = FindBox("M o l d r i n");
    CHECK(box != nullptr);
    if (!box) return;
    CHECK_EQ_STR(ControlText(box, 1063), text);
    CHECK(Centred(box));
    ::PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
    ::Sleep(300);
    CHECK(!run.done.load());
    ::PostMessageA(box, WM_COMMAND, 13, 0);
    CHECK(WaitUntil([&] { return run.done.load(); }, 5000));
}

WINE_CASE("question box: Sim and Enter answer 1; Não, Esc and the close box answer 0") {
    if (!HaveDisplay()) return;
    SetModuleHandle(::GetModuleHandleA(nullptr));
    struct Row {
        WPARAM command;
        int expected;
    };
    const Row rows[] = {{IDOK, 1}, {13, 1}, {IDCANCEL, 0}, {27, 0}};
    for (const auto& row : rows) {
        BoxRun run([] { return DefaultOperator().QuestionBox(CP1252("Continua a impressão?")); });
        HWND box = FindBox("M o l d r i n");
        CHECK(box != nullptr);
        if (!box) return;
        CHECK_EQ_STR(ControlText(box, 1063), CP1252("Continua a impressão?"));
        ::PostMessageA(box, WM_COMMAND, 0x7777, 0);  // an unknown command leaves it up
        ::PostMessageA(box, WM_COMMAND, row.command, 0);
        CHECK(WaitUntil([&] { return run.done.load(); }, 5000));
        CHECK_EQ(run.result.load(), row.expected);
        WaitUntil([] { return ::FindWindowA(nullptr, "M o l d r i n") == nullptr; }, 2000);
    }
    BoxRun closed([] { return DefaultOperator().QuestionBox("Fechar?"); });
    HWND box = FindBox("M o l d r i n");
    if (box) ::PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
    CHECK(WaitUntil([&] { return closed.done.load(); }, 5000));
    CHECK_EQ(closed.result.load(), 0);
}

WINE_CASE("identification dialog: pre-filled, read back cut to each field, cancel keeps the fields") {
    if (!HaveDisplay()) return;
    SetModuleHandle(::GetModuleHandleA(nullptr));
    MoldrinIdentification fields{};
    std::strcpy(fields.appName, "PDV Teste");
    std::strcpy(fields.softwareHouse, CP1252("Software Ltda"));
    const char* caption = CP1252("IDENTIFICAÇÃO DO APLICATIVO - Moldrin 3, 0, 0, 19");
    {
        BoxRun run([&] { return DefaultOperator().Identify(caption, fields); });
        HWND dlg = FindBox(caption);
        CHECK(dlg != nullptr);
        if (!dlg) return;
        CHECK_EQ_STR(ControlText(dlg, 1002), "PDV Teste");
        CHECK(Centred(dlg));
        ::SetDlgItemTextA(dlg, 1011, "ABCDEFGH");
        ::SetDlgItemTextA(dlg, 1006, "123.456");
        ::SetDlgItemTextA(dlg, 1010, "12");
        ::SetDlgItemTextA(dlg, 1001, "1.0");
        ::PostMessageA(dlg, WM_COMMAND, IDOK, 0);
        CHECK(WaitUntil([&] { return run.done.load(); }, 5000));
        CHECK_EQ(run.result.load(), 1);
    }
    CHECK_EQ_STR(fields.factoryNumber, "ABCDEFGH ");
    CHECK_EQ_STR(fields.developerId, "123");
    CHECK_EQ_STR(fields.coo, "12");
    CHECK_EQ_STR(fields.appVersion, "1.0");
    CHECK_EQ_STR(fields.appName, "PDV Teste");
    CHECK_EQ_STR(fields.stateReg, "");
    {
        BoxRun run([&] { return DefaultOperator().Identify(caption, fields); });
        HWND dlg = FindBox(caption);
        if (!dlg) return;
        ::SetDlgItemTextA(dlg, 1002, "Outro nome");
        ::PostMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
        CHECK(WaitUntil([&] { return run.done.load(); }, 5000));
        CHECK_EQ(run.result.load(), 0);
    }
    CHECK_EQ_STR(fields.appName, "PDV Teste");
}

}  // namespace

int main(int argc, char** argv) {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    return wine_check::RunAll("wine_platform", argc > 1 ? argv[1] : nullptr);
}
