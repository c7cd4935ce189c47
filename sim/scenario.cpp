// Parses and replays scripted days for the simulated printer. The frames'
// meaning is fiscal_day's; who carries them (model, line, library) is the caller's.
#include "sim/scenario.h"

#include <fstream>
#include <sstream>

#include "platform/operator.h"

namespace moldrin::sim {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

}  // namespace

std::string Unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        auto next = [&](std::size_t k) { return i + k < text.size() ? text[i + k] : '\0'; };
        switch (c) {
            case 'e': out += '\x1B'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case '\\': out += '\\'; break;
            case 'x': {
                int value = 0, digits = 0;
                while (digits < 2 && HexDigit(next(1)) >= 0) {
                    value = value * 16 + HexDigit(text[++i]);
                    ++digits;
                }
                if (digits == 0) out += 'x';
                else out += static_cast<char>(value);
                break;
            }
            default:
                if (c >= '0' && c <= '7') {
                    int value = c - '0', digits = 1;
                    while (digits < 3 && next(1) >= '0' && next(1) <= '7') {
                        value = value * 8 + (text[++i] - '0');
                        ++digits;
                    }
                    out += static_cast<char>(value & 0xFF);
                } else {
                    out += c;
                }
        }
    }
    return out;
}

bool ParseScenario(std::string_view text, std::vector<ScenarioStep>* steps, std::string* error) {
    int number = 0;
    std::string comment;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view raw = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        const std::string_view line = Trimmed(raw);
        if (line.empty()) continue;
        if (line[0] == '#') {
            // A blank line between comment and frame still leaves the comment to that frame.
            comment += std::string(Trimmed(line.substr(1))) + "\n";
            continue;
        }
        if (line[0] == '=') {
            if (steps->empty() || steps->back().expect) {
                *error = "line " + std::to_string(number) + ": a reply without its frame";
                return false;
            }
            steps->back().expect = Unescape(Trimmed(line.substr(1)));
            continue;
        }
        if (!comment.empty()) comment.pop_back();
        steps->push_back({Unescape(line), std::nullopt, number, std::move(comment)});
        comment.clear();
    }
    return true;
}

bool ReadScenario(const std::string& path, std::vector<ScenarioStep>* steps, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseScenario(text.str(), steps, error);
}

std::string Printable(std::string_view text) {
    std::string out;
    std::size_t plain = 0;  // the run of printable bytes not yet converted
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const auto b = i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
        if (i < text.size() && b >= 0x20 && b != 0x7F) continue;
        out += platform::Cp1252ToUtf8(text.substr(plain, i - plain));
        plain = i + 1;
        if (i == text.size()) break;
        if (b == 0x1B) {
            out += "\\e";
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

std::size_t ReplayScenario(const std::vector<ScenarioStep>& steps,
                           const std::function<std::string(const std::string&)>& send, std::FILE* transcript,
                           std::FILE* errors) {
    std::size_t mismatches = 0;
    for (const ScenarioStep& step : steps) {
        if (transcript && !step.comment.empty()) {
            std::istringstream lines(step.comment);
            for (std::string one; std::getline(lines, one);) std::fprintf(transcript, "# %s\n", one.c_str());
        }
        const std::string reply = send(step.frame);
        if (transcript) std::fprintf(transcript, "%s\n  %s\n", Printable(step.frame).c_str(), Printable(reply).c_str());
        if (step.expect && reply != *step.expect) {
            ++mismatches;
            if (errors)
                std::fprintf(errors, "line %d: expected %s, got %s\n", step.line, Printable(*step.expect).c_str(),
                             Printable(reply).c_str());
        }
    }
    return mismatches;
}

}  // namespace moldrin::sim
