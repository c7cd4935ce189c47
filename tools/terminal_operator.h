// The moldrin tool's operator: boxes go to standard error as the default
// operator writes them, questions and the identification are asked at the terminal.
#pragma once
#include <cstdio>
#include <string>

#include "platform/operator.h"

namespace moldrin::tools {

class TerminalOperator final : public platform::Operator {
public:
    // Reads answers from `in`, prompts on `out`.
    explicit TerminalOperator(std::FILE* in = stdin, std::FILE* out = stderr) : in_(in), out_(out) {}
    void InfoBox(const char* text) override;
    int QuestionBox(const char* text) override;
    int MessageBox(const char* text, const char* caption, unsigned style) override;
    int Identify(const char* caption, MoldrinIdentification& fields) override;
    // Asks only the fields whose entry in `ask` is true, in the dialog's order (the order of
    // kIdentificationFields); the others stay as given. 1 when every one was answered, 0 when
    // the input ended first (nothing is changed then).
    int AskFields(MoldrinIdentification& fields, const bool* ask);

private:
    bool ReadLine(char* buffer, int size);
    std::FILE* in_;
    std::FILE* out_;
};

// The identification's fields in the order the dialog shows them.
constexpr int kIdentificationFields = 10;

// UTF-8 typed at a terminal as Windows-1252; characters without a form become "?".
std::string Utf8ToCp1252(const char* text);

}  // namespace moldrin::tools
