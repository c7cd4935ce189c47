#include "ui/boxes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/session_state.h"
#include "log/text.h"
#include "moldrin.h"
#include "platform/operator.h"
#include "support/library_state.h"
#include "support/recording_operator.h"

namespace moldrin::ui {
namespace {

class Boxes : public ::testing::Test {
protected:
    void SetUp() override { testing::ResetLibraryState(); }
    void TearDown() override { testing::ResetLibraryState(); }
};

TEST_F(Boxes, DialogSwitchGovernsBothBoxes) {
    testing::RecordingOperator op;
    op.questionAnswers = {0, 0};
    g_session.DialogsEnabled = 0;
    InfoBox("hidden");
    EXPECT_EQ(QuestionBox("hidden?"), 1) << "answers yes without asking";
    EXPECT_TRUE(op.shown().empty());

    g_session.DialogsEnabled = 1;
    InfoBox("shown");
    EXPECT_EQ(QuestionBox("asked?"), 0);
    ASSERT_EQ(op.shown().size(), 2u);
    EXPECT_EQ(op.shown()[0].text, "shown");
    EXPECT_EQ(op.shown()[1].kind, "question");
    InfoBox(nullptr);
    EXPECT_EQ(op.shown().back().text, "");
}

TEST_F(Boxes, CommandTables) {
    struct Case {
        int id, info, question;
    };
    const Case cases[] = {{1, 1, 1}, {2, -1, 0}, {13, 1, 1}, {27, 1, 0}, {3, -1, -1}, {0, -1, -1}};
    for (const Case& c : cases) {
        EXPECT_EQ(platform::InfoBoxCommandResult(c.id), c.info) << c.id;
        EXPECT_EQ(platform::QuestionBoxCommandResult(c.id), c.question) << c.id;
    }
}

struct HookLog {
    std::vector<std::string> seen;
};

TEST_F(Boxes, ApplicationHooksReceiveWindows1252TextAndNullRestoresTheDefault) {
    HookLog log;
    MoldrinOperator hooks{};
    hooks.context = &log;
    hooks.infoBox = [](void* ctx, const char* text) { static_cast<HookLog*>(ctx)->seen.push_back(text); };
    hooks.questionBox = [](void* ctx, const char* text) {
        static_cast<HookLog*>(ctx)->seen.push_back(std::string("?") + text);
        return 0;
    };
    ECFSetOperator(&hooks);
    InfoBox(CP1252("NÃO"));
    EXPECT_EQ(QuestionBox("q"), 0);
    // A hook left null keeps the default: message boxes still answer.
    EXPECT_EQ(platform::GetOperator().MessageBox("m", "ERRO", MOLDRIN_MB_ICONERROR), MOLDRIN_ID_OK);
    ASSERT_EQ(log.seen.size(), 2u);
    EXPECT_EQ(log.seen[0], "N\xC3O");
    EXPECT_EQ(log.seen[1], "?q");

    ECFSetOperator(nullptr);
    ::testing::internal::CaptureStderr();
    InfoBox(CP1252("PORTA NÃO ABERTA"));
    EXPECT_EQ(QuestionBox("Continua?"), 1);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("PORTA N\xC3\x83O ABERTA"), std::string::npos) << "the default shows UTF-8: " << err;
    EXPECT_EQ(log.seen.size(), 2u);
}

}  // namespace
}  // namespace moldrin::ui
