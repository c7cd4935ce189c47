// The default operator on posix: no windows, so every box becomes one line on
// standard error, questions are answered yes and the identification dialog is
// cancelled. Applications install their own through ECFSetOperator.
#include <cstdio>
#include <string>

#include "platform/operator.h"

namespace moldrin::platform {

namespace {
class StderrOperator final : public Operator {
public:
    void InfoBox(const char* text) override { Line("INFO", text); }
    int QuestionBox(const char* text) override {
        Line("PERGUNTA (sim)", text);
        return 1;
    }
    int MessageBox(const char* text, const char* caption, unsigned style) override {
        Line(caption ? caption : "", text);
        return (style & 0x0Fu) == MOLDRIN_MB_YESNO ? MOLDRIN_ID_YES : MOLDRIN_ID_OK;
    }
    int Identify(const char* caption, MoldrinIdentification&) override {
        Line("IDENTIFICACAO (cancelada)", caption);
        return 0;
    }

private:
    static void Line(const char* what, const char* text) {
        std::string line = "moldrin: [" + Cp1252ToUtf8(what ? what : "") + "] ";
        for (char c : Cp1252ToUtf8(text ? text : "")) line += (c == '\n' || c == '\r') ? ' ' : c;
        line += '\n';
        std::fputs(line.c_str(), stderr);
    }
};
}  // namespace

Operator& DefaultOperator() {
    // Never destroyed: a box may be shown from the unload path.
    static StderrOperator& op = *new StderrOperator;
    return op;
}

void PumpMessages() {}

}  // namespace moldrin::platform
