// "moldrin register": writes the application's registration (E00.BIN) from
// options, one per field, or asks for the fields at the terminal; with
// --from-printer the printer's factory number and model come from the printer.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "session/session_state.h"
#include "store/capture_state.h"
#include "store/registration.h"
#include "moldrin.h"
#include "sim/scenario.h"
#include "tools/command.h"
#include "tools/options.h"
#include "tools/session.h"
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

// What the printer tells about itself.
struct PrinterIdentity {
    char modelLetter = 0;
    int gate = 0;            // the registration's model flag: 1 for the extended status
    std::string factory;     // nine characters
    bool captureOn = true;   // the fiscal capture applied to the session
};

std::string Ask(const char* frame) {
    {
        // The first query brings the capture's whole status read (some thirty records).
        WaitNotice wait("moldrin register", "the printer's answer to " + sim::Printable(frame));
        ECFWrite(frame);
    }
    char reply[MOLDRIN_REPLY_MAX] = {};
    ECFRead(reply, sizeof reply);
    return reply;
}

bool FullStatus(const std::string& reply, char type) {
    return reply.size() == 128 && reply[1] == '+' && reply[2] == 'C' && reply[6] == type && reply[127] == '}';
}

// The model flag as the fiscal capture finds it when it cannot be taken from the capture:
// a typed status 28 means the extended status, and so does a digit at 30 of status G.
int GateFromStatus() {
    const std::string typed = Ask("\x1B.28C}");
    if (typed.size() == 128 && typed[9] != 'C' && typed[9] != 'P' && typed[9] != 'E')
        return std::toupper(static_cast<unsigned char>(typed[2])) == 'C' ? 1 : 0;
    const std::string g = Ask("\x1B.27G}");
    return FullStatus(g, 'G') && g[30] >= '0' && g[30] <= '9' ? 1 : 0;
}

// Reads status 1 (model letter at 124) and status 3 (factory number at 12 to 20) through
// the library, as an application does. With the capture on, the library answers both from
// the status it reads at the first command, which is also where the model flag comes from.
bool ReadPrinter(const Options& options, int port, unsigned timeout, PrinterIdentity* id) {
    if (!OpenSession(options, port, timeout, 500)) return false;
    if (g_session.LineSpeed == 0) {
        // Every command would search again for as long: nothing answered at any speed.
        ECFClose();
        options.Failure("nothing to read the factory number and model from on COM" + std::to_string(port) +
                        "; E00.BIN not written");
        return false;
    }
    std::string why;
    const std::string status1 = Ask("\x1B.271}");
    if (!FullStatus(status1, '1')) {
        why = "status 1 not read (reply " + status1 + ")";
    } else {
        id->modelLetter = status1[124];
        const std::string status3 = Ask("\x1B.273}");
        if (!FullStatus(status3, '3')) why = "status 3 not read (reply " + status3 + ")";
        else id->factory = status3.substr(12, 9);
    }
    if (why.empty()) {
        id->captureOn = g_session.CaptureEnabled == 1 && static_cast<unsigned char>(id->modelLetter) < 'G';
        if (id->captureOn) id->gate = g_session.ModelGate == 0 ? 0 : 1;
        else if (static_cast<unsigned char>(id->modelLetter) >= 'G') id->gate = 1;
        else id->gate = GateFromStatus();
    }
    ECFClose();
    if (!why.empty()) {
        options.Failure("the printer on COM" + std::to_string(port) + " did not tell its model and number: " + why);
        return false;
    }
    std::printf("printer on COM%d: factory number %s, model letter %c, %s\n", port, id->factory.c_str(),
                id->modelLetter,
                static_cast<unsigned char>(id->modelLetter) >= 'G'
                    ? "a later model (the fiscal capture does not apply to it)"
                    : id->gate ? "dot-matrix with the extended status" : "dot-matrix");
    if (!id->captureOn && static_cast<unsigned char>(id->modelLetter) < 'G')
        std::printf("note: the fiscal capture is off (c:\\TALMA\\talma.ini); the registration serves "
                    "'moldrin process' only\n");
    return true;
}

int Run(int argc, char** argv) {
    MoldrinIdentification entry{};
    const Field fields[kIdentificationFields] = {
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
    bool given[kIdentificationFields] = {};
    bool anyField = false, fromPrinter = false;
    int64_t port = 0, timeout = 5;
    std::string model, gate;
    Options options("moldrin register", "[--from-printer --port N] [OPTION...]",
                    "With --from-printer the factory number, model letter and model flag are read from the\n"
                    "printer on COM<N> (its status records, through the library), and only the fields that\n"
                    "neither the options nor a complete registration already there give are asked at the\n"
                    "terminal. Without it and without field options every field is asked.\n"
                    "Files live under $MOLDRIN_ROOT (c:\\TALMA\\RFD\\E00.BIN).\n");
    options.Flag("from-printer", "read the factory number and model from the printer on --port", &fromPrinter);
    options.Number("port", "N", "COM port of the printer, 1 to 16 (with --from-printer)", 1, 16, &port);
    options.Number("timeout", "S", "reply time-out in seconds, 1 to 60 (default 5)", 1, 60, &timeout);
    for (int i = 0; i < kIdentificationFields; ++i) {
        const Field& f = fields[i];
        bool* mark = &given[i];
        options.Value(f.name, f.valueName, f.help, [&f, mark, &anyField](const std::string& v) -> std::string {
            const std::string value = Utf8ToCp1252(v.c_str());
            if (value.size() >= f.size)
                return "'" + v + "' is longer than " + std::to_string(f.size - 1) + " characters";
            std::snprintf(f.value, f.size, "%s", value.c_str());
            anyField = true;
            *mark = true;
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
    if (fromPrinter && port == 0) return options.UsageError("--from-printer needs --port");
    if (!fromPrinter && port != 0) return options.UsageError("--port goes with --from-printer");
    if (fromPrinter && (given[0] || !model.empty() || !gate.empty()))
        return options.UsageError("--factory, --model and --gate come from the printer with --from-printer");

    PrinterIdentity printer;
    if (fromPrinter && !ReadPrinter(options, static_cast<int>(port), static_cast<unsigned>(timeout), &printer))
        return kExitFailure;

    TerminalOperator terminal;
    platform::SetOperator(&terminal);
    capture::ResetCaptureState();
    // The model comes from the record already there unless given.
    const auto existing = capture::LoadRegistrationFile(capture::kRegistrationFile);
    const bool haveExisting = existing == capture::RegistrationLoad::Loaded ||
                              existing == capture::RegistrationLoad::WrongSize;
    char letter = haveExisting ? capture::g_registration.modelLetter : 0;
    int flag = haveExisting ? capture::g_registration.modelFlag : 0;
    if (fromPrinter) {
        letter = printer.modelLetter;
        flag = printer.gate;
    }
    if (!model.empty()) letter = model[0];
    if (gate == "1") flag = 1;
    else if (gate == "0") flag = 0;
    if (!letter) {
        platform::SetOperator(nullptr);
        return options.UsageError("no registered model letter; give --model (or --from-printer --port N)");
    }
    capture::g_capture.ModelLetter = letter;
    g_session.ModelGate = static_cast<int8_t>(flag);

    int result;
    if (fromPrinter) {
        // What is known: the printer's part, the options, and a complete registration already
        // there (a printer swap asks nothing); the rest is asked.
        MoldrinIdentification known = haveExisting ? capture::g_registration.fields : MoldrinIdentification{};
        const bool complete = haveExisting && !capture::RegistrationIncomplete(capture::g_registration) &&
                              !capture::RegistrationRequiredBlank(capture::g_registration);
        bool ask[kIdentificationFields] = {};
        bool asking = false;
        for (int i = 1; i < kIdentificationFields; ++i) {
            const std::size_t offset = static_cast<std::size_t>(fields[i].value - reinterpret_cast<char*>(&entry));
            if (given[i]) std::memcpy(reinterpret_cast<char*>(&known) + offset, fields[i].value, fields[i].size);
            ask[i] = !given[i] && !complete;
            asking = asking || ask[i];
        }
        std::snprintf(known.factoryNumber, sizeof known.factoryNumber, "%s", printer.factory.c_str());
        if (asking) {
            std::fprintf(stderr,
                         "The application's registration (Enter keeps the value shown; end of input cancels):\n");
            if (!terminal.AskFields(known, ask)) {
                platform::SetOperator(nullptr);
                std::fprintf(stderr,
                             "moldrin register: input ended before every field was given; E00.BIN not written\n");
                return kExitFailure;
            }
        }
        capture::TakeIdentification(known);
        if (capture::RegistrationRequiredBlank(capture::g_registration)) {
            platform::SetOperator(nullptr);
            return options.Failure("the version, name, CNPJ/CPF, state registration and software house are "
                                   "required; E00.BIN not written");
        }
        result = capture::WriteRegistrationFile(letter, static_cast<int8_t>(flag)) ? 0 : 1;
    } else if (anyField) {
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
