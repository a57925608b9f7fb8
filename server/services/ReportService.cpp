#include "server/services/ReportService.h"

#include <zlib.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "server/http/HttpUtil.h"
#include "server/services/SdkHeaders.h"

namespace localcloud {
namespace {

using Json = nlohmann::json;

constexpr const char* kReportsPattern = R"(/sdk-api/v1/platforms/ios/apps/([A-Za-z0-9._-]+)/reports)";
constexpr const char* kReportsAdminPath = "/_admin/reports";
constexpr std::size_t kMaxReportParts = 64;
constexpr std::size_t kMaxPackedBytes = 16u << 20;
constexpr std::size_t kMaxUnpackedBytes = 64u << 20;
constexpr const char* kGzipSuffix = ".gz";

void replyReports(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(http::jsonText(body), "application/json; charset=utf-8");
}

void refuseReport(httplib::Response& res, const std::string& message) {
  replyReports(res, 400, Json{{"error", message}});
}

std::optional<std::string> reportHeaderProblem(const httplib::Request& req) {
  if (auto problem = sdkHeaderProblem(req)) return problem;
  auto length = onceHeader(req, "Content-Length");
  if (!length || length->empty()) return std::string("a missing header: Content-Length");
  const std::string type = req.get_header_value("Content-Type");
  constexpr std::string_view kMultipart = "multipart/form-data; boundary=";
  if (type.size() <= kMultipart.size() || type.compare(0, kMultipart.size(), kMultipart) != 0) {
    return std::string("the body must be multipart/form-data with a boundary");
  }
  return std::nullopt;
}

// The gzip stream unpacked; nullopt when it is not one whole gzip stream or
// unpacks past the bound.
std::optional<std::string> gunzipPart(const std::string& packed) {
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  stream.avail_in = static_cast<uInt>(packed.size());
  std::string out;
  char buffer[16384];
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) break;
    out.append(buffer, sizeof buffer - stream.avail_out);
    if (out.size() > kMaxUnpackedBytes) status = Z_MEM_ERROR;
  }
  bool whole = status == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  if (!whole) return std::nullopt;
  return out;
}

// "signal.bbxrecord.gz" -> "signal": the file name less two extensions.
std::string fieldNameForFile(std::string name) {
  for (int i = 0; i < 2; ++i) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) break;
    name.erase(dot);
  }
  return name;
}

bool isRecordFile(const std::string& unpackedName) {
  return unpackedName.find(".bbxrecord") != std::string::npos;
}

// One JSON object per non-empty line; nullopt at the first line that is not.
// A dying process may be cut off mid-line: a last line without its line end
// that is no object is dropped, and the whole lines before it are kept.
std::optional<std::vector<Json>> recordLines(const std::string& text) {
  std::vector<Json> lines;
  std::string_view rest(text);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    const bool cutOff = end == std::string_view::npos;
    rest.remove_prefix(cutOff ? rest.size() : end + 1);
    if (line.empty()) continue;
    Json parsed = http::parseJson(line);
    if (parsed.is_discarded() || !parsed.is_object()) {
      if (cutOff) break;
      return std::nullopt;
    }
    lines.push_back(std::move(parsed));
  }
  return lines;
}

struct ReportPart {
  std::string name;
  std::string fileName;
  std::string contentType;
  std::string value;
};

}  // namespace

void ReportService::registerOn(httplib::Server& server) {
  server.Post(kReportsPattern, [this](const httplib::Request& req, httplib::Response& res,
                                      const httplib::ContentReader& body) { receive(req, res, body); });
}

void ReportService::registerAdminOn(httplib::Server& server) {
  server.Get(kReportsAdminPath, [this](const httplib::Request&, httplib::Response& res) {
    std::lock_guard lock(mutex_);
    Json list = Json::array();
    for (const auto& id : order_) {
      const Report& report = reports_.at(id);
      Json files = Json::object();
      for (const auto& [name, bytes] : report.files) files[name] = {{"size", bytes.size()}};
      for (const auto& [name, lines] : report.records) files[name]["records"] = lines.size();
      list.push_back({{"id", id}, {"bundleId", report.bundleId}, {"apiKey", report.apiKey}, {"files", files}});
    }
    replyReports(res, 200, Json{{"reports", list}});
  });
  server.Delete(kReportsAdminPath, [this](const httplib::Request&, httplib::Response& res) {
    clear();
    replyReports(res, 200, Json::object());
  });
}

void ReportService::receive(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& body) {
  if (auto problem = reportHeaderProblem(req)) return refuseReport(res, *problem);
  std::vector<ReportPart> parts;
  std::size_t total = 0;
  bool whole = body(
      [&](const httplib::MultipartFormData& part) {
        parts.push_back(ReportPart{part.name, part.filename, part.content_type, {}});
        return parts.size() <= kMaxReportParts;
      },
      [&](const char* data, std::size_t length) {
        total += length;
        if (parts.empty() || total > kMaxPackedBytes) return false;
        parts.back().value.append(data, length);
        return true;
      });
  if (!whole) return refuseReport(res, "the package did not arrive whole, or is too large");
  // httplib reads exactly the length announced: a shorter one cuts the
  // body, which then does not parse as a whole package.
  const std::string announced = req.get_header_value("Content-Length");
  if (announced.find_first_not_of("0123456789") != std::string::npos) {
    return refuseReport(res, "Content-Length is no decimal number");
  }

  Report report;
  report.bundleId = req.matches[1];
  for (auto& part : parts) {
    if (part.fileName.empty()) {
      if (part.name == "api_key" && report.apiKey.empty() && !part.value.empty()) {
        report.apiKey = std::move(part.value);
      } else if (part.name == "report_id" && report.id.empty() && !part.value.empty()) {
        report.id = std::move(part.value);
      } else {
        return refuseReport(res, "an unexpected text part: " + part.name);
      }
      continue;
    }
    const std::string& file = part.fileName;
    if (file.size() <= 3 || file.compare(file.size() - 3, 3, kGzipSuffix) != 0 ||
        file.find('/') != std::string::npos) {
      return refuseReport(res, "a file part that is no gzip file: " + file);
    }
    if (part.contentType != "application/x-gzip") return refuseReport(res, "a file part of another type: " + file);
    if (part.name != fieldNameForFile(file)) return refuseReport(res, "a file part under the wrong name: " + file);
    auto unpacked = gunzipPart(part.value);
    if (!unpacked) return refuseReport(res, "a file part that does not unpack: " + file);
    const std::string unpackedName = file.substr(0, file.size() - 3);
    if (report.files.count(unpackedName)) return refuseReport(res, "a file sent twice: " + file);
    if (isRecordFile(unpackedName)) {
      auto lines = recordLines(*unpacked);
      if (!lines) return refuseReport(res, "a record file with a line that is no JSON object: " + file);
      report.records[unpackedName] = std::move(*lines);
    }
    report.files[unpackedName] = std::move(*unpacked);
  }
  if (report.apiKey.empty()) return refuseReport(res, "the package names no API key");
  if (report.id.empty()) return refuseReport(res, "the package names no report id");
  if (report.files.empty()) return refuseReport(res, "the package holds no report file");

  const std::string id = report.id;
  {
    std::lock_guard lock(mutex_);
    if (reports_.count(id)) {
      order_.erase(std::remove(order_.begin(), order_.end(), id), order_.end());
    } else if (order_.size() >= kMaxReports) {
      reports_.erase(order_.front());
      order_.erase(order_.begin());
    }
    reports_[id] = std::move(report);
    order_.push_back(id);
  }
  replyReports(res, 201, Json{{"id", id}});
}

std::optional<ReportService::Report> ReportService::report(const std::string& id) const {
  std::lock_guard lock(mutex_);
  auto found = reports_.find(id);
  if (found == reports_.end()) return std::nullopt;
  return found->second;
}

std::vector<std::string> ReportService::reportIds() const {
  std::lock_guard lock(mutex_);
  return order_;
}

std::size_t ReportService::reportCount() const {
  std::lock_guard lock(mutex_);
  return reports_.size();
}

void ReportService::clear() {
  std::lock_guard lock(mutex_);
  reports_.clear();
  order_.clear();
}

}  // namespace localcloud
