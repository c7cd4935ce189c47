// The printer's files: the day's capture records decoded, the signed fiscal files
// (list, download, signature check) and today's traffic log. A file is named by its
// identity, a name the service listed itself, never by a path from the request.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

#include "fiscalfile/final_assembly.h"
#include "log/traffic_log.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "serve/http.h"
#include "serve/request_json.h"
#include "serve/service.h"
#include "sign/ead.h"
#include "store/rfd_file.h"
#include "tools/printable.h"
#include "tools/rfd_records.h"

namespace moldrin::serve {

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kDownloadLimit = 64u << 20;  // no fiscal or capture file comes near this

// What may name a file: the characters of the names the library gives them.
bool ValidIdentity(const std::string& id) {
    static const std::regex kName("[A-Za-z0-9][A-Za-z0-9._-]{0,63}");
    return std::regex_match(id, kName) && id.find("..") == std::string::npos;
}

struct Listed {
    std::string name;
    std::uintmax_t size = 0;
    long long modified = 0;  // seconds since the epoch
};

// The regular files of a folder (links are not followed) whose names `keep` accepts.
std::vector<Listed> ListFolder(const std::string& hostDir, bool (*keep)(const std::string&)) {
    std::vector<Listed> out;
    std::error_code ec;
    for (fs::directory_iterator it(hostDir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::file_status st = it->symlink_status(ec);
        if (ec || !fs::is_regular_file(st)) continue;
        const std::string name = it->path().filename().string();
        if (!ValidIdentity(name) || !keep(name)) continue;
        struct stat sb{};
        if (::lstat(it->path().c_str(), &sb) != 0) continue;
        out.push_back({name, static_cast<std::uintmax_t>(sb.st_size), static_cast<long long>(sb.st_mtime)});
    }
    std::sort(out.begin(), out.end(), [](const Listed& a, const Listed& b) { return a.name < b.name; });
    return out;
}

bool IsFiscalFile(const std::string& name) { return name.rfind("TA", 0) == 0 || name.rfind("ta", 0) == 0; }
bool IsCaptureFile(const std::string& name) {
    return name.rfind("RFD-", 0) == 0 && name.size() > 8 && name.compare(name.size() - 4, 4, ".bin") == 0;
}

json ListJson(const std::vector<Listed>& files) {
    json list = json::array();
    for (const Listed& f : files) list.push_back({{"id", f.name}, {"size", f.size}, {"modified", f.modified}});
    return list;
}

// The identity of the request (match 2) among the files listed; false after answering 400 or 404.
bool Find(const httplib::Request& req, httplib::Response& res, const std::string& hostDir,
          bool (*keep)(const std::string&), std::string* name) {
    const std::string id = req.matches[2];
    if (!ValidIdentity(id)) {
        Service::Reply(res, 400, ErrorBody("bad-identity", "a file's identity is a name the listing gave, not a path"));
        return false;
    }
    for (const Listed& f : ListFolder(hostDir, keep))
        if (f.name == id) {
            *name = id;
            return true;
        }
    Service::Reply(res, 404, ErrorBody("no-such-file", "no file '" + id + "' here"));
    return false;
}

bool ReadWhole(const std::string& hostPath, std::string* bytes) {
    std::ifstream in(hostPath, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uintmax_t>(size) > kDownloadLimit) return false;
    bytes->resize(static_cast<std::size_t>(size));
    in.seekg(0);
    in.read(bytes->data(), size);
    return static_cast<bool>(in);
}

std::string FinishedDir() { return platform::HostPath(fiscalfile::kFinishedDirectory); }
std::string CaptureDir() { return platform::HostPath(capture::kRfdDirectory); }

bool CheckPrinter(Service& service, const httplib::Request& req, httplib::Response& res) {
    const std::string text = req.matches[1];
    if (text.size() <= 2 && service.FindPrinter(std::stoi(text))) return true;
    Service::Reply(res, 404, ErrorBody("no-such-printer", "this service serves no printer COM" + text));
    return false;
}

}  // namespace

void AddFileRoutes(httplib::Server& server, Service& service) {
    server.Get(R"(/v1/printers/(\d+)/fiscal-files)", [&service](const httplib::Request& req, httplib::Response& res) {
        if (!CheckPrinter(service, req, res)) return;
        Service::Reply(res, 200, {{"files", ListJson(ListFolder(FinishedDir(), IsFiscalFile))}});
    });
    server.Get(R"(/v1/printers/(\d+)/fiscal-files/([^/]+))",
               [&service](const httplib::Request& req, httplib::Response& res) {
                   if (!CheckPrinter(service, req, res)) return;
                   std::string name, bytes;
                   if (!Find(req, res, FinishedDir(), IsFiscalFile, &name)) return;
                   if (!ReadWhole(FinishedDir() + "/" + name, &bytes))
                       return Service::Reply(res, 500, ErrorBody("unreadable", "the file cannot be read"));
                   res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
                   res.set_content(bytes, "text/plain; charset=windows-1252");
               });
    server.Get(R"(/v1/printers/(\d+)/fiscal-files/([^/]+)/verify)",
               [&service](const httplib::Request& req, httplib::Response& res) {
                   if (!CheckPrinter(service, req, res)) return;
                   std::string name;
                   if (!Find(req, res, FinishedDir(), IsFiscalFile, &name)) return;
                   const std::string path = std::string(fiscalfile::kFinishedDirectory) + "\\" + name;
                   const uint16_t code = sign::VerifyFileWithKey(path.c_str(), service.Settings().keyPath.c_str());
                   Service::Reply(res, 200, {{"id", name}, {"code", code}, {"valid", code == 0},
                                             {"text", ToUtf8(sign::SignResultText(code))}});
               });

    server.Get(R"(/v1/printers/(\d+)/capture)", [&service](const httplib::Request& req, httplib::Response& res) {
        if (!CheckPrinter(service, req, res)) return;
        Service::Reply(res, 200, {{"files", ListJson(ListFolder(CaptureDir(), IsCaptureFile))}});
    });
    server.Get(R"(/v1/printers/(\d+)/capture/([^/]+))", [&service](const httplib::Request& req, httplib::Response& res) {
        if (!CheckPrinter(service, req, res)) return;
        std::string name;
        if (!Find(req, res, CaptureDir(), IsCaptureFile, &name)) return;
        std::vector<tools::RfdRecord> records;
        std::string why;
        const std::string path = std::string(capture::kRfdDirectory) + "\\" + name;
        if (!tools::ReadRfdRecords(path.c_str(), &records, &why))
            return Service::Reply(res, 500, ErrorBody("unreadable", why));
        static const char* kKinds[] = {"good", "bad-check", "undecodable", "cut"};
        json list = json::array();
        int good = 0;
        for (const tools::RfdRecord& r : records) {
            good += r.kind == tools::RfdRecord::Kind::Good;
            list.push_back({{"kind", kKinds[static_cast<int>(r.kind)]}, {"text", tools::Printable(r.line)}});
        }
        Service::Reply(res, 200, {{"id", name}, {"records", list}, {"good", good},
                                  {"bad", static_cast<int>(records.size()) - good}});
    });

    server.Get(R"(/v1/printers/(\d+)/log)", [&service](const httplib::Request& req, httplib::Response& res) {
        if (!CheckPrinter(service, req, res)) return;
        long long tail = 65536;
        if (req.has_param("bytes")) {
            const std::string v = req.get_param_value("bytes");
            if (v.empty() || v.size() > 8 || v.find_first_not_of("0123456789") != std::string::npos)
                return Service::Reply(res, 400, ErrorBody("bad-request", "'bytes' is a whole number up to 99999999"));
            tail = std::stoll(v);
        }
        const int port = std::stoi(std::string(req.matches[1]));
        const std::string path = log::TrafficLogPath(platform::Now(), port - 1);
        std::ifstream in(platform::HostPath(path.c_str()), std::ios::binary);
        std::string text;
        if (in) {
            in.seekg(0, std::ios::end);
            const long long size = in.tellg();
            const long long from = size > tail ? size - tail : 0;
            in.seekg(from);
            text.resize(static_cast<std::size_t>(size - from));
            in.read(text.data(), static_cast<std::streamsize>(text.size()));
            text.resize(static_cast<std::size_t>(in.gcount()));
        }
        res.set_header("X-Log-Path", ToUtf8(path));
        res.set_content(tools::Printable(text, true), "text/plain; charset=utf-8");
    });
}

}  // namespace moldrin::serve
