// The operator: information boxes, questions, message boxes and the
// identification dialog. Windows shows the library's dialogs; on Linux the
// default writes boxes to standard error, answers questions yes and cancels
// the identification. Applications and tests install their own.
#pragma once
#include <string_view>

#include "moldrin.h"

namespace moldrin::platform {

class Operator {
public:
    virtual ~Operator() = default;
    virtual void InfoBox(const char* text) = 0;
    virtual int QuestionBox(const char* text) = 0;  // 1 yes, 0 no, -1 could not ask
    virtual int MessageBox(const char* text, const char* caption, unsigned style) = 0;
    virtual int Identify(const char* caption, MoldrinIdentification& fields) = 0;  // 1 OK, 0 cancel
};

Operator& GetOperator();
void SetOperator(Operator* op);           // nullptr puts the default back
void SetOperatorHooks(const MoldrinOperator* hooks);  // the exported hook; null = default
Operator& DefaultOperator();

// What a box ends with for a command identifier (1 OK/Sim, 2 cancel/Não, 13 Enter,
// 27 Esc): its end value, or -1 when the box ignores the command and stays up.
int InfoBoxCommandResult(int id);
int QuestionBoxCommandResult(int id);

// Window services of the boxes; no-ops where no windows exist.
void PumpMessages();

// Windows-1252 text as UTF-8, for operators that show it on a UTF-8 terminal.
std::string Cp1252ToUtf8(std::string_view text);

}  // namespace moldrin::platform
