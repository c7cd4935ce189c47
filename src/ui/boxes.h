// The information box and the yes/no question box, both governed by the
// session's dialog switch.
#pragma once

namespace moldrin::ui {

void InfoBox(const char* text);
int QuestionBox(const char* text);  // 1 yes, 0 no (-1: the box could not be shown)
void PumpMessages();

}  // namespace moldrin::ui
