// The way in for a newcomer: `moldrin register --from-printer` reads the printer's
// number and model and asks only for the rest; `moldrin send` says when a missing
// registration is why the fiscal commands fail, and its exit status keeps its word.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "store/registration.h"
#include "support/scratch_root.h"
#include "tool_process.h"

namespace moldrin {
namespace {

using testing::RunTool;
using testing::RunToolWithInput;

const std::vector<std::string> kFieldOptions = {
    "--cnpj=12345678000199", "--ie=111222333", "--im=4455", "--software-house=Casa do Software",
    "--coo=1", "--order=1", "--name=Caixa", "--version=1.0", "--program-data=loja"};

// A field as the record keeps it, without its blank fill.
std::string Field(const char* text) {
    std::string s(text);
    return s.erase(s.find_last_not_of(' ') + 1);
}

// A registration as the library reads it back from the root.
capture::RegistrationRecord Registered(const testing::ScratchRoot& root) {
    capture::g_registration = {};
    EXPECT_EQ(capture::LoadRegistrationFile(capture::kRegistrationFile), capture::RegistrationLoad::Loaded)
        << "under " << root.path();
    return capture::g_registration;
}

class GuidedRegistration : public ::testing::Test {
protected:
    void Start(std::vector<std::string> simOptions = {}) {
        std::vector<std::string> args{"sim", "--listen", "unix:" + root.path() + "/line"};
        args.insert(args.end(), simOptions.begin(), simOptions.end());
        sim = std::make_unique<testing::BackgroundTool>(args, root.path() + "/sim.err");
        ASSERT_TRUE(testing::WaitForPath(root.path() + "/line")) << "the simulator did not start";
    }
    std::vector<std::string> Env() const { return {"MOLDRIN_COM1=unix:" + root.path() + "/line"}; }
    std::vector<std::string> Register(std::vector<std::string> extra = {}) const {
        std::vector<std::string> args{"register", "--from-printer", "--port", "1", "--timeout", "2"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    testing::ScratchRoot root;
    std::unique_ptr<testing::BackgroundTool> sim;
};

struct PrinterCase {
    std::vector<std::string> simOptions;
    char letter;
    int flag;
    const char* described;
};

class FromPrinter : public GuidedRegistration, public ::testing::WithParamInterface<PrinterCase> {};

TEST_P(FromPrinter, NumberAndModelComeFromThePrinterTheRestFromTheOptions) {
    Start(GetParam().simOptions);
    std::vector<std::string> args = Register(kFieldOptions);
    auto r = RunTool(args, Env());
    ASSERT_FALSE(r.timedOut);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("factory number MS0300019"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(GetParam().described), std::string::npos) << r.out;
    const capture::RegistrationRecord reg = Registered(root);
    EXPECT_EQ(Field(reg.fields.factoryNumber), "MS0300019");
    EXPECT_EQ(reg.modelLetter, GetParam().letter);
    EXPECT_EQ(reg.modelFlag, GetParam().flag);
    EXPECT_EQ(Field(reg.fields.appName), "Caixa");
}

INSTANTIATE_TEST_SUITE_P(
    Models, FromPrinter,
    ::testing::Values(PrinterCase{{}, 'B', 0, "model letter B, dot-matrix"},
                      PrinterCase{{"--extended"}, 'B', 1, "dot-matrix with the extended status"},
                      PrinterCase{{"--model", "D", "--extended"}, 'D', 1, "model letter D"},
                      PrinterCase{{"--model", "H"}, 'H', 1, "a later model"}));

TEST_F(GuidedRegistration, AsksOnlyWhatThePrinterAndTheOptionsDoNotGive) {
    Start();
    // Given: name and version. Asked, in the dialog's order: CNPJ/CPF, I.E., I.M., software
    // house, COO, order number, program data; never the factory number.
    auto r = RunToolWithInput(Register({"--name=Caixa Rápido", "--version=2.0"}),
                              "12345678000199\n111222333\n\nSoftware Ltda\n7\n3\nfrente de loja\n", Env());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Fabrica"), std::string::npos) << "the factory number was asked: " << r.err;
    EXPECT_EQ(r.err.find("Nome do Aplicativo"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("CNPJ/CPF do Desenvolvedor:"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Dados do Programa Aplicativo:"), std::string::npos) << r.err;
    const capture::RegistrationRecord reg = Registered(root);
    EXPECT_EQ(Field(reg.fields.factoryNumber), "MS0300019");
    EXPECT_EQ(Field(reg.fields.appName), "Caixa R\xE1pido") << "kept in Windows-1252";
    EXPECT_EQ(Field(reg.fields.developerId), "12345678000199");
    EXPECT_EQ(Field(reg.fields.softwareHouse), "Software Ltda");
    EXPECT_EQ(Field(reg.fields.coo), "000007");
    EXPECT_EQ(Field(reg.fields.programData), "frente de loja");
}

TEST_F(GuidedRegistration, InputEndingEarlyWritesNothing) {
    Start();
    auto r = RunToolWithInput(Register(), "12345678000199\n", Env());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("E00.BIN not written"), std::string::npos) << r.err;
    EXPECT_FALSE(root.Exists(capture::kRegistrationFile));
}

TEST_F(GuidedRegistration, APrinterSwapKeepsTheApplicationAndAsksNothing) {
    Start();
    std::vector<std::string> old{"register", "--model=B", "--gate=0", "--factory=XX1111111"};
    old.insert(old.end(), kFieldOptions.begin(), kFieldOptions.end());
    ASSERT_EQ(RunTool(old).status, 0);
    auto r = RunTool(Register(), Env());  // standard input is empty: nothing may be asked
    ASSERT_EQ(r.status, 0) << r.err;
    const capture::RegistrationRecord reg = Registered(root);
    EXPECT_EQ(Field(reg.fields.factoryNumber), "MS0300019");
    EXPECT_EQ(Field(reg.fields.softwareHouse), "Casa do Software");
}

TEST_F(GuidedRegistration, NoPrinterNoFileAndTheReason) {
    // Nothing listens on the line: the open fails and says so; nothing is written.
    auto r = RunTool(Register(kFieldOptions), {"MOLDRIN_COM1=unix:" + root.path() + "/no-line"});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ECFOpen(COM1) failed"), std::string::npos) << r.err;
    EXPECT_FALSE(root.Exists(capture::kRegistrationFile));
}

TEST_F(GuidedRegistration, SendWithoutRegistrationFailsAndSaysWhatToDo) {
    Start();
    auto r = RunTool({"send", "--port", "1", "--timeout", "2", "\\e.1712345678909}"}, Env());
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, ".-P006}\n");
    EXPECT_NE(r.err.find("moldrin register --from-printer --port 1"), std::string::npos) << r.err;
}

TEST_F(GuidedRegistration, ScriptWithoutExpectedRepliesFailsWhenItsCommandsFail) {
    Start();
    root.Write("c:\\script.txt", "\\e.13}\n\\e.28}\n");
    const std::string script = root.Host("c:\\script.txt");
    auto refused = RunTool({"send", "--port", "1", "--timeout", "2", "--script", script}, Env());
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.err.find("1 command without an expected reply failed"), std::string::npos) << refused.err;

    std::vector<std::string> args = Register(kFieldOptions);
    ASSERT_EQ(RunTool(args, Env()).status, 0);
    auto answered = RunTool({"send", "--port", "1", "--timeout", "2", "--script", script}, Env());
    EXPECT_EQ(answered.status, 0) << answered.out << answered.err;
}

TEST_F(GuidedRegistration, TheReadmeDayWorksOnAFreshRoot) {
    Start();
    ASSERT_EQ(RunTool(Register(kFieldOptions), Env()).status, 0);
    auto r = RunTool({"send", "--port", "1", "--script", MOLDRIN_SIM_SCENARIOS "/short_day.txt"}, Env());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\\e.14}\n  .+0001}"), std::string::npos) << r.out;
}

TEST_F(GuidedRegistration, LongWaitsAreAnnounced) {
    // Every answer 1.2 s late: the line-speed search and the command both wait
    // (with the capture off, or its own status queries would each wait as long).
    root.Write("c:\\TALMA\\talma.ini", "");
    Start({"--delay", "1200"});
    auto r = RunTool({"send", "--port", "1", "--timeout", "5", "\\e.271}"},
                     {Env()[0], "MOLDRIN_ROOT=" + root.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("moldrin send: waiting for the printer on COM1: finding its line speed"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("moldrin send: the printer answers at 9600 bit/s"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("moldrin send: waiting for the printer's answer to \\e.271} (time-out 5 s a record)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.rfind(".+C", 0), 0u) << r.out;
}

}  // namespace
}  // namespace moldrin
