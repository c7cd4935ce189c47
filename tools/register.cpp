// "moldrin register": writes the application's registration (E00.BIN) from
// options, one per field, or asks for the fields at the terminal.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "session/session_state.h"
#include "store/capture_state.h"
#include "store/registration.h"
#include "tools/command.h"
#include "tools/options.h"
#include "tools/terminal_operator.h"

namespace moldrin::tools {

namespace {

struct Field {
    const char* name;
    const char* valueName;
    const char* help;
    char* value;
    std::size_t size;
};

int Run(int argc, char** argv) {
    MoldrinIdentification entry{};
    const Field fields[] = {
        {"factory", "N", "printer factory number", entry.factoryNumber, sizeof entry.factoryNumber},
        {"cnpj", "DIGITS", "developer CNPJ/CPF", entry.developerId, sizeof entry.developerId},
        {"ie", "DIGITS", "developer state registration", entry.stateReg, sizeof entry.stateReg},
        {"im", "DIGITS", "developer municipal registration", entry.cityReg, sizeof entry.cityReg},
        {"software-house", "TEXT", "software house name", entry.softwareHouse, sizeof entry.softwareHouse},
        {"coo", "DIGITS", "COO at the change of application", entry.coo, sizeof entry.coo},
        {"order", "N", "application order number", entry.orderNumber, sizeof entry.orderNumber},
        {"name", "TEXT", "application name", entry.appName, sizeof entry.appName},
        {"version", "TEXT", "application version", entry.appVersion, sizeof entry.appVersion},
        {"program-data", "TEXT", "application program data", entry.programData, sizeof entry.programData},
    };
    bool anyField = false;
    std::string model, gate;
    Options options("moldrin register", "[OPTION...]",
                    "Without field options the fields are asked at the terminal.\n"
                    "Files live under $MOLDRIN_ROOT (c:\\TALMA\\RFD\\E00.BIN).\n");
    for (const Field& f : fields) {
        options.Value(f.name, f.valueName, f.help, [&f, &anyField](const std::string& v) -> std::string {
            const std::string value = Utf8ToCp1252(v.c_str());
            if (value.size() >= f.size)
                return "'" + v + "' is longer than " + std::to_string(f.size - 1) + " characters";
            std::snprintf(f.value, f.size, "%s", value.c_str());
            anyField = true;
            return {};
        });
    }
    options.Value("model", "LETTER", "printer model letter A to Z (default: the registered one)",
                  [&model](const std::string& v) -> std::string {
                      if (v.size() != 1 || v[0] < 'A' || v[0] > 'Z') return "'" + v + "' is not one capital letter A to Z";
                      model = v;
                      return {};
                  });
    options.Value("gate", "0|1", "1 for a model with the extended status (default: the registered one)",
                  [&gate](const std::string& v) -> std::string {
                      if (v != "0" && v != "1") return "'" + v + "' is neither 0 nor 1";
                      gate = v;
                      return {};
                  });
    std::vector<std::string> args;
    if (int status = options.Parse(argc, argv, args); status >= 0) return status;

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
    if (!letter) {
        platform::SetOperator(nullptr);
        return options.UsageError("no registered model letter; give --model");
    }
    capture::g_capture.ModelLetter = letter;
    g_session.ModelGate = static_cast<int8_t>(flag);

    int result;
    if (anyField) {
        capture::TakeIdentification(entry);
        if (capture::RegistrationRequiredBlank(capture::g_registration)) {
            platform::SetOperator(nullptr);
            return options.UsageError("--version, --name, --cnpj, --ie and --software-house are required");
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
