// The information box and the yes/no question box, both governed by the
// session's dialog switch.
#pragma once

namespace moldrin::ui {

void InfoBox(const char* text);
int QuestionBox(const char* text);  // 1 yes, 0 no (-1: the box could not be shown)
void PumpMessages();

// The fiscal capture's and the generation's faults: a stop box shown whatever
// the application chose for dialogs, since the fiscal record is at stake.
void ErrorBox(const char* text, const char* caption = "ERRO");
// The same with a file's name (or another detail) after the text.
void FileErrorBox(const char* what, const char* fileName, const char* caption = "ERRO");

}  // namespace moldrin::ui
