// `moldrin send` and `moldrin log` against the tool's own simulator on a virtual
// line: exit statuses that tell a failure, the reason of a failed open, a readable log.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "support/scratch_root.h"
#include "tool_process.h"

namespace moldrin {
namespace {

using testing::RunTool;

class WithSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testing::WaitForPath(root.path() + "/line")) << "the simulator did not start";
    }
    std::string Line() const { return "MOLDRIN_COM1=unix:" + root.path() + "/line"; }

    testing::ScratchRoot root;
    testing::BackgroundTool sim{{"sim", "--listen", "unix:" + root.path() + "/line"},
                                root.path() + "/sim.err"};
};

TEST_F(WithSimulator, AnsweredCommandsExitZeroAndNameTheLog) {
    auto r = RunTool({"send", "--port", "1", "--timeout=2", "\\e.271}", "\\e.28}"}, {Line()});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream out(r.out);
    std::string first, second;
    std::getline(out, first);
    std::getline(out, second);
    EXPECT_EQ(first.rfind(".+C", 0), 0u) << r.out;
    EXPECT_EQ(second.rfind(".+", 0), 0u) << r.out;
    EXPECT_NE(r.err.find("traffic log: c:\\TEMP\\ECF-"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(root.path() + "/c/TEMP/ECF-"), std::string::npos) << r.err;
}

TEST_F(WithSimulator, RefusedCommandExitsOneAndStopsThere) {
    // No ESC "." at its start: the library refuses it and leaves a reply of its own.
    auto r = RunTool({"send", "--port", "1", "--timeout", "2", ".28}", "\\e.28}"}, {Line()});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind(".-", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "the second command was sent: " << r.out;
    EXPECT_NE(r.err.find("the rest were not sent"), std::string::npos) << r.err;
}

TEST_F(WithSimulator, FailedOpenGivesTheReasonFromTheLog) {
    const std::string device = root.path() + "/no-such-tty";
    auto r = RunTool({"send", "--port", "3", "\\e.28}"}, {"MOLDRIN_COM3=" + device});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.errLines().size(), 1u) << r.err;
    EXPECT_NE(r.err.find("ECFOpen(COM3) failed: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("CONFLITO DE PORTA NO SISTEMA"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(device + ": No such file or directory"), std::string::npos) << r.err;
}

TEST_F(WithSimulator, LogIsReadableUtf8WithEscapedControlBytes) {
    ASSERT_EQ(RunTool({"send", "--port", "1", "\\e.28}"}, {Line()}).status, 0);
    auto r = RunTool({"log", "--port=1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_EQ(r.out.find('\x1B'), std::string::npos);
    EXPECT_NE(r.out.find("== \\x1B.28}\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Executando a fun\xC3\xA7\xC3\xA3o ECFClose()"), std::string::npos) << "not UTF-8";
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_NE(r.err.find("traffic log: c:\\TEMP\\ECF-"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(root.path() + "/c/TEMP/ECF-"), std::string::npos) << r.err;
}

TEST_F(WithSimulator, FollowShowsWhatIsAddedLater) {
    const std::string outFile = root.path() + "/follow.out";
    {
        testing::BackgroundTool follow({"log", "--follow"}, root.path() + "/follow.err", outFile);
        ASSERT_TRUE(testing::WaitForPath(outFile));
        ASSERT_EQ(RunTool({"send", "--port", "1", "\\e.271}"}, {Line()}).status, 0);
        bool seen = false;
        for (int i = 0; i < 500 && !seen; ++i) {
            std::ifstream in(outFile);
            std::stringstream ss;
            ss << in.rdbuf();
            seen = ss.str().find("\\x1B.271}") != std::string::npos;
            if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(seen) << "the followed log never showed the command";
    }
}

}  // namespace
}  // namespace moldrin

namespace moldrin {
namespace {

// `moldrin sim --fault lost`: the printer carries each command out and its reply
// is lost; the status queries still answer and show what it did.
class WithLostReplies : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testing::WaitForPath(root.path() + "/line")) << "the simulator did not start";
        // The line's behaviour is under test, not the fiscal capture's.
        root.Write("c:\\TALMA\\talma.ini", "");
    }
    std::string Line() const { return "MOLDRIN_COM1=unix:" + root.path() + "/line"; }

    testing::ScratchRoot root;
    testing::BackgroundTool sim{{"sim", "--listen", "unix:" + root.path() + "/line", "--fault", "lost"},
                                root.path() + "/sim.err"};
};

TEST_F(WithLostReplies, TheCommandIsCarriedOutAndOnlyItsReplyIsLost) {
    auto r = testing::RunTool({"send", "--port", "1", "--timeout=1", "\\e.17}"}, {Line()});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.out, ".-P006}\n") << r.err;
    r = testing::RunTool({"send", "--port", "1", "--timeout=2", "\\e.28}"}, {Line()});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_GE(r.out.size(), 20u) << r.out;
    EXPECT_EQ(r.out.substr(9, 11), "P VENDAS 17") << "the coupon is open: " << r.out;
}

}  // namespace
}  // namespace moldrin
