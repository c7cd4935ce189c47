// Shows one of the library's own boxes, from its own resources and dialog procedures,
// so a person can look at it: the runner photographs the screen and answers the box.
#include "platform/win32/win32.h"

#include <cstdio>
#include <cstring>

#include "log/text.h"
#include "platform/module.h"
#include "platform/operator.h"

int main(int argc, char** argv) {
    // This program carries the library's resources itself.
    moldrin::platform::SetModuleHandle(::GetModuleHandleA(nullptr));
    auto& op = moldrin::platform::DefaultOperator();
    const char* which = argc > 1 ? argv[1] : "info";
    int result = 0;
    if (std::strcmp(which, "info") == 0) {
        op.InfoBox(CP1252("ERRO - TIMEOUT EXCEDE 1 MINUTO ou zero = 61"));
        result = 1;
    } else if (std::strcmp(which, "question") == 0) {
        result = op.QuestionBox(CP1252("Impressora não responde.\nDeseja tentar novamente?"));
    } else if (std::strcmp(which, "identify") == 0) {
        MoldrinIdentification fields{};
        std::strcpy(fields.appName, "PDV Exemplo");
        std::strcpy(fields.appVersion, "1.0");
        result = op.Identify(CP1252("IDENTIFICAÇÃO DO APLICATIVO - Moldrin 3, 0, 0, 19"), fields);
    } else {
        std::fprintf(stderr, "usage: wine_box_shot info|question|identify\n");
        return 2;
    }
    std::printf("box %s ended with %d\n", which, result);
    return result;
}
