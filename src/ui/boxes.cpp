// The information and question boxes: they obey the session's dialog switch
// and leave the showing to the operator of the platform.
#include "ui/boxes.h"

#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
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

thread_local bool t_keeping = false;

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

KeepErrorBoxes::KeepErrorBoxes() : previous_(t_keeping) { t_keeping = true; }
KeepErrorBoxes::~KeepErrorBoxes() { t_keeping = previous_; }

void ShowKeptErrorBoxes() {
    if (t_keeping) return;
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
    if (t_keeping) {
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
