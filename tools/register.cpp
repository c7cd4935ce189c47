// "moldrin register": writes the application's registration (E00.BIN) from
// options, one per field, or asks for the fields at the terminal.
#include <cstdio>
#include <cstring>
#include <string>

#include "api/session_state.h"
#include "capture/capture_state.h"
#include "capture/registration.h"
#include "tools/command.h"
#include "tools/terminal_operator.h"

namespace moldrin::tools {

namespace {

struct Option {
    const char* name;
    char* value;
    std::size_t size;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: moldrin register [OPTION=VALUE...]\n"
                 "  --factory=N          printer factory number (9 characters)\n"
                 "  --cnpj=DIGITS        developer CNPJ/CPF\n"
                 "  --ie=DIGITS          developer state registration\n"
                 "  --im=DIGITS          developer municipal registration\n"
                 "  --software-house=T   software house name\n"
                 "  --coo=DIGITS         COO at the change of application\n"
                 "  --order=N            application order number\n"
                 "  --name=T             application name\n"
                 "  --version=T          application version\n"
                 "  --program-data=T     application program data\n"
                 "  --model=LETTER       printer model letter (default: the registered one)\n"
                 "  --gate=0|1           1 for a model with the extended status (default: the registered one)\n"
                 "Without field options the fields are asked at the terminal.\n"
                 "Files live under $MOLDRIN_ROOT (c:\\TALMA\\RFD\\E00.BIN).\n");
}

int Run(int argc, char** argv) {
    MoldrinIdentification entry{};
    const Option options[] = {
        {"--factory", entry.factoryNumber, sizeof entry.factoryNumber},
        {"--cnpj", entry.developerId, sizeof entry.developerId},
        {"--ie", entry.stateReg, sizeof entry.stateReg},
        {"--im", entry.cityReg, sizeof entry.cityReg},
        {"--software-house", entry.softwareHouse, sizeof entry.softwareHouse},
        {"--coo", entry.coo, sizeof entry.coo},
        {"--order", entry.orderNumber, sizeof entry.orderNumber},
        {"--name", entry.appName, sizeof entry.appName},
        {"--version", entry.appVersion, sizeof entry.appVersion},
        {"--program-data", entry.programData, sizeof entry.programData},
    };
    bool anyField = false;
    std::string model, gate;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* eq = std::strchr(arg, '=');
        if (!std::strcmp(arg, "--help") || !std::strcmp(arg, "-h")) {
            Usage();
            return 0;
        }
        if (!eq) {
            Usage();
            return 2;
        }
        const std::string name(arg, eq);
        const std::string value = Utf8ToCp1252(eq + 1);
        bool known = false;
        for (const Option& o : options) {
            if (name != o.name) continue;
            std::snprintf(o.value, o.size, "%s", value.c_str());
            anyField = known = true;
        }
        if (name == "--model") model = value, known = true;
        if (name == "--gate") gate = value, known = true;
        if (!known) {
            std::fprintf(stderr, "moldrin register: unknown option %s\n", name.c_str());
            return 2;
        }
    }

    TerminalOperator terminal;
    platform::SetOperator(&terminal);
    capture::ResetCaptureState();
    // The model comes from the record already there unless given.
    const auto existing = capture::LoadRegistrationFile(capture::kRegistrationFile);
    const bool haveExisting = existing == capture::RegistrationLoad::Loaded ||
                              existing == capture::RegistrationLoad::WrongSize;
    char letter = haveExisting ? capture::g_registration.modelLetter : 0;
    int flag = haveExisting ? capture::g_registration.modelFlag : 0;
    if (!model.empty()) letter = model[0];
    if (gate == "1") flag = 1;
    else if (gate == "0") flag = 0;
    else if (!gate.empty()) {
        std::fprintf(stderr, "moldrin register: --gate takes 0 or 1\n");
        return 2;
    }
    if (!letter) {
        std::fprintf(stderr, "moldrin register: no registered model letter; give --model\n");
        platform::SetOperator(nullptr);
        return 2;
    }
    capture::g_capture.ModelLetter = letter;
    g_session.ModelGate = static_cast<int8_t>(flag);

    int result;
    if (anyField) {
        capture::TakeIdentification(entry);
        if (capture::RegistrationRequiredBlank(capture::g_registration)) {
            std::fprintf(stderr, "moldrin register: --version, --name, --cnpj, --ie and --software-house are required\n");
            result = 1;
        } else {
            result = capture::WriteRegistrationFile(letter, static_cast<int8_t>(flag)) ? 0 : 1;
        }
    } else {
        result = capture::EnsureRegistration(1) == -1 ? 0 : 1;
    }
    platform::SetOperator(nullptr);
    if (result == 0) std::printf("E00.BIN written\n");
    else std::fprintf(stderr, "moldrin register: E00.BIN not written\n");
    return result;
}

RegisterCommand reg("register", "write the application's registration (E00.BIN)", Run);

}  // namespace

}  // namespace moldrin::tools
