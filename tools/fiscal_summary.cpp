// The summary of a fiscal file, read from the records' fixed columns: counts
// per type, then coupons (E14), items (E15), documents (E16) and payments (E21).
#include "tools/fiscal_summary.h"

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "fiscalfile/record_format.h"
#include "platform/files.h"
#include "tools/printable.h"

namespace moldrin::tools {

namespace {

// Columns `from` to `to`, 1-based and inclusive as the record layouts count them;
// empty when the line is too short.
std::string_view Col(std::string_view line, std::size_t from, std::size_t to) {
    if (line.size() < to) return {};
    return line.substr(from - 1, to - from + 1);
}

// A column of digits as a number, as the generation reads them: a damaged
// column counts as nothing.
uint64_t Value(std::string_view digits) { return fiscalfile::DigitsValue(digits, digits.size()); }

// Cents the way a Brazilian receipt shows them: "R$ 1.234,56".
std::string Money(uint64_t cents) {
    std::string units = std::to_string(cents / 100);
    for (int at = static_cast<int>(units.size()) - 3; at > 0; at -= 3) units.insert(static_cast<std::size_t>(at), ".");
    char rest[4];
    std::snprintf(rest, sizeof rest, ",%02u", static_cast<unsigned>(cents % 100));
    return "R$ " + units + rest;
}

std::string Trimmed(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return Printable(text);
}

// " a, b, c" from each entry as `show` puts it; " none" for no entries.
template <class Entries, class Show>
std::string Listed(const Entries& entries, Show show) {
    std::string out;
    for (const auto& entry : entries) out += (out.empty() ? " " : ", ") + show(entry);
    return out.empty() ? " none" : out;
}

}  // namespace

std::string FiscalSummary(const std::string& bytes) {
    std::map<std::string, int> types;
    int coupons = 0, cancelledCoupons = 0, items = 0, cancelledItems = 0;
    uint64_t sales = 0;
    std::map<std::string, int> documents;
    std::string reduction;
    // Payment methods in the order the file first names them.
    std::vector<std::pair<std::string, uint64_t>> payments;

    std::istringstream in(bytes);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 3) continue;
        const std::string type = line.substr(0, 3);
        ++types[type];
        if (type == "E14") {
            ++coupons;
            if (Col(line, 123, 123) == "N")
                sales += Value(Col(line, 109, 122));
            else
                ++cancelledCoupons;
        } else if (type == "E15") {
            ++items;
            cancelledItems += Col(line, 231, 231) == "S";
        } else if (type == "E16") {
            const std::string kind(Col(line, 75, 76));
            ++documents[kind.empty() ? "??" : kind];
            if (kind == "RZ") reduction = Col(line, 69, 74);
        } else if (type == "E21") {
            const std::string name = Trimmed(Col(line, 65, 79));
            const uint64_t paid = Value(Col(line, 80, 92));
            auto it = payments.begin();
            while (it != payments.end() && it->first != name) ++it;
            if (it == payments.end())
                payments.emplace_back(name, paid);
            else
                it->second += paid;
        }
    }

    std::ostringstream out;
    out << "records:" << Listed(types, [](const auto& t) { return Printable(t.first) + " " + std::to_string(t.second); })
        << "\ncoupons: " << coupons << " (" << cancelledCoupons << " cancelled), items " << items << " ("
        << cancelledItems << " cancelled), sales " << Money(sales) << "\ndocuments:"
        << Listed(documents, [](const auto& d) { return Printable(d.first) + " " + std::to_string(d.second); });
    if (!reduction.empty()) out << "; Z reduction number " << Printable(reduction);
    out << "\npayments:"
        << Listed(payments, [](const auto& p) { return (p.first.empty() ? "(no name)" : p.first) + " " + Money(p.second); })
        << "\nsigned: " << (types.count("EAD") ? "yes (EAD line present)" : "no EAD line") << "\n";
    return out.str();
}

std::string FiscalFileFault(const std::string& bytes) {
    if (bytes.empty()) return "the file is empty";
    std::size_t number = 1;
    for (std::size_t at = 0, end = 0; at < bytes.size(); at = end + 1, ++number) {
        end = bytes.find('\n', at);
        const std::string where = "line " + std::to_string(number);
        if (end == std::string::npos || end == at || bytes[end - 1] != '\r') return where + " does not end in CR LF";
        std::string_view line(bytes.data() + at, end - at);
        line.remove_suffix(1);
        const std::size_t width = fiscalfile::RecordWidth(line.substr(0, 3));
        if (width == 0) return where + " is not a record: " + Printable(line.substr(0, 20));
        if (line.size() != width)
            return where + ", " + std::string(line.substr(0, 3)) + ", has " + std::to_string(line.size()) +
                   " characters instead of " + std::to_string(width);
    }
    return {};
}

bool SummarizeFiscalFile(const std::string& path, const std::string& indent, std::string* summary, std::string* why) {
    std::ifstream in(platform::HostPath(path.c_str()), std::ios::binary);
    if (!in) {
        if (why) *why = "cannot read it";
        return false;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    // Counting the lines of some other file would pass it off as a day's records.
    if (const std::string fault = FiscalFileFault(bytes.str()); !fault.empty()) {
        if (why) *why = "not a fiscal file: " + fault;
        return false;
    }
    std::istringstream lines(FiscalSummary(bytes.str()));
    summary->clear();
    for (std::string line; std::getline(lines, line);) *summary += indent + line + "\n";
    return true;
}

}  // namespace moldrin::tools
