// The tool's one convention, command by command: usage errors are one line naming
// the argument with status 2 and nothing written; --help prints and does nothing else.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/scratch_root.h"
#include "tool_process.h"

namespace moldrin {
namespace {

using testing::RunTool;

struct UsageCase {
    std::vector<std::string> args;
    std::string named;  // what the one error line must name
};

void PrintTo(const UsageCase& c, std::ostream* os) {
    for (const auto& a : c.args) *os << a << ' ';
}

bool IsEmptyDirectory(const std::string& dir) {
    return std::filesystem::is_empty(dir);
}

class UsageError : public ::testing::TestWithParam<UsageCase> {
protected:
    testing::ScratchRoot root;  // MOLDRIN_ROOT and the working directory: must stay empty
};

TEST_P(UsageError, OneLineNamingTheArgumentStatusTwoNothingWritten) {
    const UsageCase& c = GetParam();
    auto r = RunTool(c.args, {"MOLDRIN_COM1=unix:" + root.path() + "/no-line"}, root.path(), std::chrono::seconds(10));
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.errLines().size(), 1u) << r.err;
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    EXPECT_TRUE(IsEmptyDirectory(root.path())) << "a usage error wrote a file";
}

INSTANTIATE_TEST_SUITE_P(
    Tool, UsageError,
    ::testing::Values(
        UsageCase{{}, "no command"}, UsageCase{{"bogus"}, "'bogus'"}, UsageCase{{"-x"}, "'-x'"},
        // send
        UsageCase{{"send"}, "COMMAND"}, UsageCase{{"send", "\\e.28}"}, "--port"},
        UsageCase{{"send", "--port"}, "'--port' needs a value"}, UsageCase{{"send", "--port=", "c"}, "--port"},
        UsageCase{{"send", "--port", "0", "c"}, "'0'"}, UsageCase{{"send", "--port=17", "c"}, "'17'"},
        UsageCase{{"send", "--port", "1x", "c"}, "'1x'"}, UsageCase{{"send", "--port", "1", "--timeout", "61", "c"}, "'61'"},
        UsageCase{{"send", "--port", "1", "--timeout=0", "c"}, "'0'"},
        UsageCase{{"send", "--port", "1", "--log-mode", "x", "c"}, "--log-mode: 'x'"},
        UsageCase{{"send", "--port", "1", "--log-mode=-1", "c"}, "'-1'"},
        UsageCase{{"send", "--bogus", "c"}, "'--bogus'"}, UsageCase{{"send", "-p", "1", "c"}, "'-p'"},
        // sim
        UsageCase{{"sim"}, "--listen or --device"}, UsageCase{{"sim", "--listen"}, "'--listen' needs a value"},
        UsageCase{{"sim", "--listen", "tcp:localhost:99999"}, "tcp:localhost:99999"},
        UsageCase{{"sim", "--listen=tcp:localhost"}, "tcp:localhost"}, UsageCase{{"sim", "--listen", "tcp::5"}, "tcp::5"},
        UsageCase{{"sim", "--listen", "/tmp/x"}, "'/tmp/x'"}, UsageCase{{"sim", "--listen", "unix:"}, "unix:"},
        UsageCase{{"sim", "--listen", "unix:/x", "--speed", "1234"}, "'1234'"},
        UsageCase{{"sim", "--listen", "unix:/x", "--speed=0"}, "'0'"},
        UsageCase{{"sim", "--listen", "unix:/x", "--delay", "-5"}, "'-5'"},
        UsageCase{{"sim", "--listen", "unix:/x", "--delay=60001"}, "'60001'"},
        UsageCase{{"sim", "--listen", "unix:/x", "--model", "ZZ"}, "'ZZ'"},
        UsageCase{{"sim", "--listen", "unix:/x", "--model=b"}, "'b'"},
        UsageCase{{"sim", "--listen", "unix:/x", "--fault", "smoke"}, "'smoke'"},
        UsageCase{{"sim", "--listen", "unix:/x", "--fault", "lost-byte"}, "--fault lost-byte"},
        UsageCase{{"sim", "--listen", "unix:/x", "--device", "/dev/null"}, "either"},
        UsageCase{{"sim", "--device", "unix:/x"}, "unix:/x"}, UsageCase{{"sim", "--listen", "unix:/x", "extra"}, "'extra'"},
        // log
        UsageCase{{"log", "--port", "0"}, "'0'"}, UsageCase{{"log", "--port=abc"}, "'abc'"},
        UsageCase{{"log", "--follow=1"}, "--follow"}, UsageCase{{"log", "file"}, "'file'"},
        // register
        UsageCase{{"register", "--gate", "3", "--model", "B"}, "'3'"}, UsageCase{{"register", "--model=BB"}, "'BB'"},
        UsageCase{{"register", "--name"}, "'--name' needs a value"},
        UsageCase{{"register", "--order=1234", "--model", "B"}, "'1234'"},
        UsageCase{{"register", "--colour", "red"}, "'--colour'"},
        UsageCase{{"register", "--from-printer"}, "--port"}, UsageCase{{"register", "--port=1"}, "--from-printer"},
        UsageCase{{"register", "--from-printer", "--port", "1", "--factory=AB1234567"}, "--factory"},
        UsageCase{{"register", "--from-printer", "--port", "17"}, "'17'"},
        UsageCase{{"register", "--name", "x", "--model", "B"}, "required"},
        // rfd, keygen, sign, verify
        UsageCase{{"rfd"}, "decode"}, UsageCase{{"rfd", "encode", "f"}, "'encode'"}, UsageCase{{"rfd", "decode"}, "FILE"},
        UsageCase{{"rfd", "decode", "--all", "f"}, "'--all'"}, UsageCase{{"keygen"}, "OUT"},
        UsageCase{{"keygen", "a", "b"}, "'b'"}, UsageCase{{"keygen", "--bits", "512", "a"}, "'--bits'"},
        UsageCase{{"sign"}, "FILE"}, UsageCase{{"sign", "f", "--key"}, "'--key' needs a value"},
        UsageCase{{"sign", "a", "b"}, "'b'"}, UsageCase{{"verify", "--keys=k", "f"}, "'--keys=k'"},
        UsageCase{{"verify"}, "FILE"}));

// --help and -h print the usage on standard output and do nothing else, even beside
// what would otherwise write a file or open a port.
TEST(ToolHelp, EveryCommandPrintsItsUsageAndDoesNothingElse) {
    testing::ScratchRoot root;
    const std::vector<std::vector<std::string>> lines = {
        {"--help"}, {"-h"}, {"send", "--help"}, {"send", "--port", "1", "-h", "\\e.28}"}, {"sim", "--help"},
        {"sim", "--listen", "unix:" + root.path() + "/line", "-h"}, {"log", "--help"}, {"register", "-h"},
        {"register", "--name=x", "--help"}, {"rfd", "--help"}, {"rfd", "decode", "--help"}, {"keygen", "--help"},
        {"keygen", "OUT", "--help"}, {"sign", "--help"}, {"sign", "f", "-h"}, {"verify", "--help"}};
    for (const auto& args : lines) {
        auto r = RunTool(args, {}, root.path(), std::chrono::seconds(10));
        SCOPED_TRACE(args.size() > 1 ? args[0] + " " + args[1] : args[0]);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("usage: moldrin", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(IsEmptyDirectory(root.path()));
    }
}

TEST(ToolHelp, VersionNamesToolAndLibrary) {
    auto r = RunTool({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("moldrin 3.0.0", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("Moldrin 3, 0, 0, 19"), std::string::npos);
}

// Files that are missing or unreadable are failures (status 1) told in one line.
TEST(ToolFiles, MissingOrUnreadableFileIsOneLineStatusOne) {
    testing::ScratchRoot root;
    const std::string missing = root.path() + "/missing.txt";
    const std::string existing = root.path() + "/existing.bin";
    std::ofstream(existing) << "key";
    const std::vector<std::vector<std::string>> lines = {
        {"sign", missing, "--key", existing},  {"verify", existing, "--key", missing},
        {"verify", "--key=" + missing, existing}, {"rfd", "decode", missing},
        {"keygen", existing},                  {"log", "--port", "9"},
        {"sign", root.path(), "--key", existing}, {"verify", existing, "--key", root.path()},
        {"rfd", "decode", root.path()}};
    for (const auto& args : lines) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        auto r = RunTool(args, {}, root.path(), std::chrono::seconds(20));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        const auto lines = r.errLines();
        ASSERT_GE(lines.size(), 1u);
        EXPECT_NE(lines.back().find(args[0] == "keygen" ? "exists" : "/"), std::string::npos) << r.err;
    }
    std::ifstream in(existing);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "key") << "keygen overwrote a file";
}

// Every option a command's --help lists is in the manual page and in the tool's page of the
// reference manual: an option added without a word there is caught here.
TEST(ToolManual, EveryOptionOfSendSimAndRegisterIsDocumented) {
    const std::string docs = std::string(MOLDRIN_SIM_SCENARIOS) + "/../../docs/";
    auto read = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string manPage = read(docs + "moldrin.1");
    const std::string toolPage = read(docs + "simulator.md") + read(docs + "fiscal_day.md");
    ASSERT_FALSE(manPage.empty());
    ASSERT_FALSE(toolPage.empty());
    for (const char* command : {"send", "sim", "register"}) {
        auto r = RunTool({command, "--help"});
        ASSERT_EQ(r.status, 0) << command;
        std::istringstream lines(r.out);
        int options = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("  --", 0) != 0) continue;
            const std::string option = line.substr(2, line.find(' ', 2) - 2);
            if (option == "--help") continue;
            ++options;
            std::string roff;
            for (char c : option) roff += c == '-' ? "\\-" : std::string(1, c);
            EXPECT_NE(manPage.find(roff), std::string::npos) << command << " " << option << " is not in moldrin.1";
            EXPECT_NE(toolPage.find(option), std::string::npos) << command << " " << option << " is not in the manual";
        }
        EXPECT_GT(options, 3) << command;
    }
}

}  // namespace
}  // namespace moldrin
