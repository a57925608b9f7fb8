#include "server/services/AnalyticsService.h"

#include <zlib.h>

#include <regex>

#include "server/services/VendorForm.h"

namespace localcloud {

namespace {

constexpr std::size_t kAnalyticsMaxBody = 16u << 20;
constexpr std::size_t kAnalyticsMaxInflated = 64u << 20;

void refuseAnalytics(httplib::Response& res, const std::string& message) {
  res.status = 400;
  res.set_content(nlohmann::json{{"error", message}}.dump(), "application/json");
}

std::optional<std::string> analyticsHeaderProblem(const httplib::Request& req) {
  const std::pair<const char*, const char*> fixed[] = {
      {"User-Agent", "Tally iOS SDK/0.9.1"},
      {"X-BLACKBOX-DEVELOPER-TOKEN", "ZPQ_INTEGRATOR_CODE"},
      {"X-BLACKBOX-API-CLIENT-TYPE", "Tally iOS SDK"},
      {"X-BLACKBOX-API-CLIENT-VERSION", "2"},
      {"X-BLACKBOX-API-CLIENT-DISPLAY-VERSION", "0.9.1"},
      {"X-BLACKBOX-API-CLIENT-BUILD-VERSION", "2"},
  };
  for (const auto& [name, value] : fixed) {
    if (req.get_header_value_count(name) != 1 || req.get_header_value(name) != value) {
      return std::string("header ") + name + " is missing or wrong";
    }
  }
  if (req.get_header_value_count("X-BLACKBOX-API-KEY") != 1 || req.get_header_value("X-BLACKBOX-API-KEY").empty()) {
    return "X-BLACKBOX-API-KEY is missing";
  }
  return std::nullopt;
}

}  // namespace

void AnalyticsService::registerOn(httplib::Server& server) {
  server.Post(kPath, [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& body) {
    receive(req, res, body);
  });
}

void AnalyticsService::registerAdminOn(httplib::Server& server) {
  server.Get("/_admin/analytics", [this](const httplib::Request&, httplib::Response& res) {
    Json reply = Json::object();
    std::lock_guard lock(mutex_);
    for (const auto& [session, records] : events_) {
      Json list = Json::array();
      for (const auto& record : records) list.push_back({{"timestamp", record.timestamp}, {"key", record.key}});
      reply[session] = list;
    }
    res.set_content(reply.dump(), "application/json");
  });
  server.Delete("/_admin/analytics", [this](const httplib::Request&, httplib::Response& res) {
    reset();
    res.status = 204;
  });
}

void AnalyticsService::receive(const httplib::Request& req, httplib::Response& res,
                               const httplib::ContentReader& body) {
  if (!req.is_multipart_form_data() || vendor::multipartBoundary(req.get_header_value("Content-Type")).empty()) {
    return refuseAnalytics(res, "the body must be multipart/form-data with a boundary");
  }
  if (auto problem = analyticsHeaderProblem(req)) return refuseAnalytics(res, *problem);
  vendor::FormParts parts;
  std::size_t total = 0;
  const bool whole = body(
      [&](const httplib::MultipartFormData& part) {
        parts.push_back(vendor::FormPart{part.name, part.filename, part.content_type, {}});
        return true;
      },
      [&](const char* data, std::size_t length) {
        total += length;
        if (parts.empty() || total > kAnalyticsMaxBody) return false;
        parts.back().value.append(data, length);
        return true;
      });
  if (!whole) return refuseAnalytics(res, "the form did not arrive whole, or is too large");

  static const std::regex kFileName("[012]\\.log\\.zip");
  std::map<std::string, std::vector<Record>> received;
  Upload upload{req.get_header_value("X-BLACKBOX-API-KEY"), {}};
  for (const auto& part : parts) {
    if (!std::regex_match(part.fileName, kFileName) || part.name != part.fileName ||
        part.contentType != "application/vnd.blackbox.ios.events") {
      return refuseAnalytics(res, "a part is not a packaged log file: " + part.name);
    }
    auto inflated = gunzip(part.value);
    if (!inflated) return refuseAnalytics(res, part.fileName + " is not gzip data");
    auto records = parseRecords(*inflated);
    if (!records || records->empty()) return refuseAnalytics(res, part.fileName + " holds a malformed record");
    const Record& first = records->front();
    const Json metadata = first.payload ? Json::parse(*first.payload, nullptr, false) : Json();
    if (first.key != "metadata" || !metadata.is_object() || !metadata.contains("session_id") ||
        !metadata["session_id"].is_string()) {
      return refuseAnalytics(res, part.fileName + " does not begin with the session's metadata");
    }
    auto& events = received[metadata["session_id"].get<std::string>()];
    for (std::size_t i = 1; i < records->size(); ++i) {
      if ((*records)[i].key == "metadata") return refuseAnalytics(res, part.fileName + " repeats its metadata");
      events.push_back((*records)[i]);
    }
    upload.fileNames.push_back(part.fileName);
  }
  std::lock_guard lock(mutex_);
  for (auto& [session, events] : received) {
    auto& kept = events_[session];
    kept.insert(kept.end(), events.begin(), events.end());
  }
  uploads_.push_back(std::move(upload));
  res.status = 200;
}

std::optional<std::string> AnalyticsService::gunzip(const std::string& data) {
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char buffer[16384];
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) break;
    out.append(buffer, sizeof buffer - stream.avail_out);
    if (out.size() > kAnalyticsMaxInflated) status = Z_MEM_ERROR;
    if (status == Z_OK && stream.avail_in == 0 && stream.avail_out != 0) status = Z_BUF_ERROR;
  }
  const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  if (!whole) return std::nullopt;
  return out;
}

std::optional<std::vector<AnalyticsService::Record>> AnalyticsService::parseRecords(const std::string& data) {
  auto readNumber = [&](std::size_t& at, char end) -> std::optional<std::uint64_t> {
    const std::size_t stop = data.find(end, at);
    if (stop == std::string::npos || stop == at || stop - at > 19) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = at; i < stop; ++i) {
      if (data[i] < '0' || data[i] > '9') return std::nullopt;
      value = value * 10 + static_cast<std::uint64_t>(data[i] - '0');
    }
    at = stop + 1;
    return value;
  };
  std::vector<Record> records;
  std::size_t at = 0;
  while (at < data.size()) {
    Record record;
    auto timestamp = readNumber(at, '\t');
    if (!timestamp) return std::nullopt;
    record.timestamp = *timestamp;
    const std::size_t keyEnd = data.find_first_of("\t\n", at);
    if (keyEnd == std::string::npos || keyEnd == at) return std::nullopt;
    record.key = data.substr(at, keyEnd - at);
    at = keyEnd + 1;
    if (data[keyEnd] == '\t') {
      auto length = readNumber(at, '\t');
      if (!length || *length > data.size() - at || data.size() - at - *length < 1) return std::nullopt;
      record.payload = data.substr(at, *length);
      at += *length;
      if (data[at] != '\n') return std::nullopt;
      ++at;
    }
    records.push_back(std::move(record));
  }
  return records;
}

std::vector<AnalyticsService::Record> AnalyticsService::events(const std::string& sessionId) const {
  std::lock_guard lock(mutex_);
  auto found = events_.find(sessionId);
  return found == events_.end() ? std::vector<Record>() : found->second;
}

std::vector<std::string> AnalyticsService::sessions() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& entry : events_) names.push_back(entry.first);
  return names;
}

std::vector<AnalyticsService::Upload> AnalyticsService::uploads() const {
  std::lock_guard lock(mutex_);
  return uploads_;
}

void AnalyticsService::reset() {
  std::lock_guard lock(mutex_);
  events_.clear();
  uploads_.clear();
}

}  // namespace localcloud
