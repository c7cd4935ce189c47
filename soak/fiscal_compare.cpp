// Comparing a lane's fiscal files of the faulted run with the reference run's.
#include "soak/fiscal_compare.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "sign/ead.h"
#include "soak/soak_files.h"

namespace moldrin::soak {

namespace fs = std::filesystem;

std::string FinishedDirectory(const std::string& root) {
    return root + "/c/TALMA/RFD/S E F A Z - ArqDigital = [CD] & [Transmitir]";
}

std::vector<std::string> FiscalFiles(const std::string& root) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(FinishedDirectory(root), ec))
        if (e.is_regular_file()) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> out;
    std::istringstream in(bytes);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("EAD", 0) != 0) out.push_back(line);
    return out;
}

std::string Shown(const std::string& line) {
    std::string s = line.substr(0, 100);
    if (!s.empty() && s.back() == '\r') s.pop_back();
    return s.empty() ? "(nothing)" : s;
}

}  // namespace

void CompareLane(const std::string& label, const std::string& referenceRoot, const std::string& faultedRoot,
                 const std::string& key, Comparison* out) {
    const auto reference = FiscalFiles(referenceRoot), faulted = FiscalFiles(faultedRoot);
    out->referenceFiles += static_cast<int>(reference.size());
    out->faultedFiles += static_cast<int>(faulted.size());
    const std::set<std::string> referenceSet(reference.begin(), reference.end());
    for (const std::string& name : faulted) {
        const std::string path = FinishedDirectory(faultedRoot) + "/" + name;
        const uint16_t code = sign::VerifyFileWithKey(path.c_str(), key.c_str());
        if (code == 0) ++out->verified;
        else out->mismatches.push_back(label + " " + name + ": signature check " + std::to_string(code) + " (" +
                                       sign::SignResultText(code) + ")");
        if (!referenceSet.count(name)) out->mismatches.push_back(label + " " + name + ": not made by the reference run");
    }
    const std::set<std::string> faultedSet(faulted.begin(), faulted.end());
    for (const std::string& name : reference) {
        if (!faultedSet.count(name)) {
            out->mismatches.push_back(label + " " + name + ": missing from the faulted run");
            continue;
        }
        std::string a, b;
        ReadWhole(FinishedDirectory(referenceRoot) + "/" + name, &a);
        ReadWhole(FinishedDirectory(faultedRoot) + "/" + name, &b);
        const auto la = Lines(a), lb = Lines(b);
        for (std::size_t i = 0; i < std::max(la.size(), lb.size()); ++i) {
            const std::string x = i < la.size() ? la[i] : "", y = i < lb.size() ? lb[i] : "";
            if (x == y) continue;
            out->mismatches.push_back(label + " " + name + ": line " + std::to_string(i + 1) + " reference \"" +
                                      Shown(x) + "\", faulted \"" + Shown(y) + "\"");
            break;
        }
    }
}

}  // namespace moldrin::soak
