// The information and question boxes: they obey the session's dialog switch
// and leave the showing to the operator of the platform.
#include "ui/boxes.h"

#include <cstdio>

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

void ErrorBox(const char* text, const char* caption) {
    platform::GetOperator().MessageBox(text ? text : "", caption, MOLDRIN_MB_OK | MOLDRIN_MB_ICONERROR);
}

void FileErrorBox(const char* what, const char* fileName, const char* caption) {
    char text[400];
    std::snprintf(text, sizeof text, "%s%s", what, fileName ? fileName : "");
    ErrorBox(text, caption);
}

}  // namespace moldrin::ui
