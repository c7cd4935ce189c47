// Off the loopback the service asks its token on every request: made at the first
// start, kept owner-only, the same after a restart; a missing or wrong one is refused.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "service_fixture.h"

namespace moldrin {
namespace {

class Token : public testing::ServiceFixture {};

TEST_F(Token, EveryRequestOffTheLoopbackCarriesIt) {
    StopService();
    StartService({"--listen", "0.0.0.0:0"});
    const std::string file = root_.path() + "/serve/token";
    struct stat st{};
    ASSERT_EQ(::stat(file.c_str(), &st), 0) << "no token made";
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string token = testing::ReadHost(file);
    while (!token.empty() && token.back() == '\n') token.pop_back();
    ASSERT_EQ(token.size(), 64u);

    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string query;
        int status;
    } cases[] = {
        {"none", {}, "", 401},
        {"a wrong one", {{"Authorization", "Bearer " + std::string(64, '0')}}, "", 401},
        {"another scheme", {{"Authorization", "Basic " + token}}, "", 401},
        {"the token", {{"Authorization", "Bearer " + token}}, "", 200},
        {"the token in the query (for event streams)", {}, "?token=" + token, 200},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Get("/v1/printers/1/status" + c.query, c.headers).status, c.status) << c.name;
        EXPECT_EQ(Get("/v1/openapi.json" + c.query, c.headers).status, c.status) << c.name;
    }
    // A sale without it sells nothing.
    const testing::HttpReply refused = Post("/v1/printers/1/ops/x-reading", "{}", "x-1");
    EXPECT_EQ(refused.status, 401);

    // The same token after a restart; a token file others may read is refused.
    StopService();
    StartService({"--listen", "0.0.0.0:0"});
    EXPECT_EQ(Get("/v1/printers/1/status", {{"Authorization", "Bearer " + token}}).status, 200);
    StopService();
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    const testing::ToolResult r = testing::RunToolAt(tool_, {"serve", "--listen", "0.0.0.0:0", "--printer", "1"}, {Line()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("only its owner may read"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace moldrin
