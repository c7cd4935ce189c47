// The information and question boxes: they obey the session's dialog switch
// and leave the showing to the operator of the platform.
#include "ui/boxes.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "session/session_state.h"
#include "platform/operator.h"

namespace moldrin::ui {

void InfoBox(const char* text) {
    if (g_session.DialogsEnabled == 0) return;
    platform::GetOperator().InfoBox(text ? text : "");
}

int QuestionBox(const char* text) {
    if (g_session.DialogsEnabled == 0) return 1;
    return platform::GetOperator().QuestionBox(text ? text : "");
}

void PumpMessages() { platform::PumpMessages(); }

namespace {

// The thread whose boxes are kept (none by default). The threads that keep
// them hold the capture's lock, so there is one at a time. Not a thread_local:
// a library loaded at run time would give every calling thread a dynamic TLS
// block of its own, which leak checkers stopping the process at exit walk.
std::atomic<std::thread::id> g_keeper{};

bool Keeping() { return g_keeper.load() == std::this_thread::get_id(); }

// A thread that keeps failing the same way says the same thing each pass; a
// few distinct boxes tell the operator all there is.
constexpr std::size_t kKeptMax = 8;

struct KeptBoxes {
    std::mutex m;
    std::deque<std::pair<std::string, std::string>> boxes;
};

// Never destroyed: a thread may still keep a box while the process exits.
KeptBoxes& Kept() {
    static auto& kept = *new KeptBoxes;
    return kept;
}

void Keep(const char* text, const char* caption) {
    KeptBoxes& k = Kept();
    std::lock_guard lock(k.m);
    for (const auto& [t, c] : k.boxes)
        if (t == text && c == caption) return;
    if (k.boxes.size() < kKeptMax) k.boxes.emplace_back(text, caption);
}

}  // namespace

KeepErrorBoxes::KeepErrorBoxes() : previous_(Keeping()) { g_keeper = std::this_thread::get_id(); }
KeepErrorBoxes::~KeepErrorBoxes() {
    if (!previous_) g_keeper = std::thread::id{};
}

void ShowKeptErrorBoxes() {
    if (Keeping()) return;
    for (;;) {
        std::pair<std::string, std::string> box;
        {
            KeptBoxes& k = Kept();
            std::lock_guard lock(k.m);
            if (k.boxes.empty()) return;
            box = std::move(k.boxes.front());
            k.boxes.pop_front();
        }
        ErrorBox(box.first.c_str(), box.second.c_str());
    }
}

void ErrorBox(const char* text, const char* caption) {
    if (Keeping()) {
        Keep(text ? text : "", caption ? caption : "");
        return;
    }
    platform::GetOperator().MessageBox(text ? text : "", caption, MOLDRIN_MB_OK | MOLDRIN_MB_ICONERROR);
}

void FileErrorBox(const char* what, const char* fileName, const char* caption) {
    char text[400];
    std::snprintf(text, sizeof text, "%s%s", what, fileName ? fileName : "");
    ErrorBox(text, caption);
}

}  // namespace moldrin::ui
