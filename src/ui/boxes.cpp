// The information and question boxes: they obey the session's dialog switch
// and leave the showing to the operator of the platform.
#include "ui/boxes.h"

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

}  // namespace moldrin::ui
