// Shows one of the library's own boxes, from its own resources and dialog procedures,
// so a person can look at it: the runner photographs the screen and answers the box.
#include "platform/win32/win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "log/text.h"
#include "platform/module.h"
#include "platform/operator.h"

namespace {

// Tells the runner (through the file MOLDRIN_SHOT_READY names) once the box is on
// screen, and answers it after a minute if nobody did, so a run never hangs here.
void Watch(const char* caption) {
    HWND box = nullptr;
    for (int i = 0; i < 600 && !box; ++i) {
        box = ::FindWindowA(nullptr, caption);
        if (!box) ::Sleep(100);
    }
    if (!box) return;
    ::Sleep(500);  // let it paint
    if (const char* ready = std::getenv("MOLDRIN_SHOT_READY")) {
        if (FILE* f = std::fopen(ready, "w")) std::fclose(f);
    }
    for (int i = 0; i < 600; ++i) {
        if (!::IsWindow(box)) return;
        ::Sleep(100);
    }
    std::printf("nobody answered the box; closing it\n");
    std::fflush(stdout);
    ::PostMessageA(box, WM_COMMAND, IDOK, 0);
}

}  // namespace

int main(int argc, char** argv) {
    // This program carries the library's resources itself.
    moldrin::platform::SetModuleHandle(::GetModuleHandleA(nullptr));
    auto& op = moldrin::platform::DefaultOperator();
    const char* which = argc > 1 ? argv[1] : "info";
    const char* boxCaption = "M o l d r i n";
    const char* idCaption = CP1252("IDENTIFICAÇÃO DO APLICATIVO - Moldrin 3, 0, 0, 19");
    int result = 0;
    if (std::strcmp(which, "info") == 0) {
        std::thread(Watch, boxCaption).detach();
        op.InfoBox(CP1252("ERRO - TIMEOUT EXCEDE 1 MINUTO ou zero = 61"));
        result = 1;
    } else if (std::strcmp(which, "question") == 0) {
        std::thread(Watch, boxCaption).detach();
        result = op.QuestionBox(CP1252("Impressora não responde. Deseja tentar novamente?"));
    } else if (std::strcmp(which, "identify") == 0) {
        std::thread(Watch, idCaption).detach();
        MoldrinIdentification fields{};
        std::strcpy(fields.appName, "PDV Exemplo");
        std::strcpy(fields.appVersion, "1.0");
        result = op.Identify(idCaption, fields);
    } else {
        std::fprintf(stderr, "usage: wine_box_shot info|question|identify\n");
        return 2;
    }
    std::printf("box %s ended with %d\n", which, result);
    std::fflush(stdout);
    return result;
}
