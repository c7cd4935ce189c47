// Reading a request's JSON body against the fields an endpoint takes: bad JSON,
// unknown fields, missing ones and wrong types are refused with a reason.
#pragma once
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace moldrin::serve {

struct FieldRule {
    enum class Type { Text, Whole };
    const char* name;
    Type type;
    bool required;
    long long min = -9223372036854775807LL - 1;  // whole numbers only
    long long max = 9223372036854775807LL;
};

// The body as an object holding only `fields`, each of its type; an empty body is an
// empty object. Empty when taken, else the reason (the request is answered 400).
std::string ReadBody(const std::string& body, const std::vector<FieldRule>& fields, nlohmann::json* out);

// An error body: {"error": {"code": code, "message": message}}.
nlohmann::json ErrorBody(const std::string& code, const std::string& message);

// JSON text for a reply; text that is not UTF-8 is replaced, never thrown on.
std::string DumpJson(const nlohmann::json& j);

}  // namespace moldrin::serve
