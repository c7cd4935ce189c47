// Strict request bodies: what is not asked for is refused rather than ignored,
// so a misspelt field never sells with a default in its place.
#include "serve/request_json.h"

namespace moldrin::serve {

using nlohmann::json;

std::string ReadBody(const std::string& body, const std::vector<FieldRule>& fields, json* out) {
    json j = body.find_first_not_of(" \t\r\n") == std::string::npos ? json::object()
                                                                     : json::parse(body, nullptr, false);
    if (j.is_discarded()) return "the body is not JSON";
    if (!j.is_object()) return "the body is a JSON object";
    for (auto& [key, value] : j.items()) {
        const FieldRule* rule = nullptr;
        for (const FieldRule& f : fields)
            if (key == f.name) rule = &f;
        if (!rule) {
            std::string known;
            for (const FieldRule& f : fields) known += (known.empty() ? "" : ", ") + std::string(f.name);
            return "unknown field '" + key + "'" + (known.empty() ? " (this call takes none)" : " (it takes " + known + ")");
        }
        if (rule->type == FieldRule::Type::Text && !value.is_string())
            return "'" + key + "' is a text";
        if (rule->type == FieldRule::Type::Whole) {
            if (!value.is_number_integer()) return "'" + key + "' is a whole number";
            const bool tooBig = value.is_number_unsigned() && value.get<unsigned long long>() > 9223372036854775807ULL;
            if (tooBig || value.get<long long>() < rule->min || value.get<long long>() > rule->max)
                return "'" + key + "' is out of range (" + std::to_string(rule->min) + " to " +
                       std::to_string(rule->max) + ")";
        }
    }
    for (const FieldRule& f : fields)
        if (f.required && !j.contains(f.name)) return "'" + std::string(f.name) + "' is required";
    *out = std::move(j);
    return {};
}

json ErrorBody(const std::string& code, const std::string& message) {
    return {{"error", {{"code", code}, {"message", message}}}};
}

std::string DumpJson(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace moldrin::serve
