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

// While one lives, the error boxes of the thread that made it are kept for
// another thread to show (ShowKeptErrorBoxes): a thread that holds a lock the
// application waits for must not wait for the operator as well.
class KeepErrorBoxes {
public:
    KeepErrorBoxes();
    ~KeepErrorBoxes();
    KeepErrorBoxes(const KeepErrorBoxes&) = delete;
    KeepErrorBoxes& operator=(const KeepErrorBoxes&) = delete;

private:
    bool previous_;
};

// Shows, on the calling thread, the boxes kept so far, oldest first.
void ShowKeptErrorBoxes();

}  // namespace moldrin::ui
