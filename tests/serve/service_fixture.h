// A printer simulator, a copy of the tool with a key of its own, and `moldrin serve`
// for COM1 on a free loopback port, all under a scratch MOLDRIN_ROOT; with small
// helpers that call the service and read its JSON.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/scratch_root.h"
#include "tool_process.h"

namespace moldrin::testing {

struct HttpReply {
    int status = -1;  // -1: no reply
    std::string body;
    std::multimap<std::string, std::string> headers;
    nlohmann::json json() const { return nlohmann::json::parse(body, nullptr, false); }
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

class ServiceFixture : public ::testing::Test {
protected:
    // registered: the demo application's E00.BIN is written before the service starts
    // (the fiscal capture is on either way).
    explicit ServiceFixture(bool registered = true) : registered_(registered) {}
    void SetUp() override;
    void TearDown() override;

    // Starts (again) the service with `extra` options; its port in port_.
    void StartService(const std::vector<std::string>& extra = {});
    void StopService();

    HttpReply Get(const std::string& path, const std::vector<std::pair<std::string, std::string>>& headers = {});
    HttpReply Post(const std::string& path, const std::string& body, const std::string& key = {},
                   const std::vector<std::pair<std::string, std::string>>& headers = {});
    // A typed operation that must succeed; its result.
    nlohmann::json Op(const std::string& name, const nlohmann::json& body, const std::string& key);
    nlohmann::json Status();

    std::string Line() const { return "MOLDRIN_COM1=unix:" + root_.path() + "/line"; }

    // Set by a test's constructor: options of the simulator, and the capture off.
    std::vector<std::string> simOptions_;
    bool captureOff_ = false;
    std::vector<std::string> serviceOptions_;  // added to the first start

    ScratchRoot root_;
    std::string tool_;
    int port_ = 0;
    std::unique_ptr<BackgroundTool> sim_, service_;
    int starts_ = 0;

private:
    bool registered_;
};

}  // namespace moldrin::testing
