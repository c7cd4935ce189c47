// The information and question boxes: they obey the session's dialog switch
// and leave the showing to the operator of the platform.
#include "ui/boxes.h"

#include "api/session_state.h"
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

int InfoBoxCommandResult(int id) {
    switch (id) {
        case 1: case 13: case 27: return 1;
        default: return -1;  // cancel (2) included: the box stays up
    }
}

int QuestionBoxCommandResult(int id) {
    switch (id) {
        case 1: case 13: return 1;
        case 2: case 27: return 0;
        default: return -1;
    }
}

}  // namespace moldrin::ui
