#include <zlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ServerFixture.h"

namespace servertest {
namespace {

constexpr const char* kReportBoundary = "7C1D2E3F-4A5B-4C6D-8E9F-0A1B2C3D4E5F";
constexpr const char* kReportPath = "/sdk-api/v1/platforms/ios/apps/com.example.app/reports";

std::string reportGzip(const std::string& plain) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&stream, plain.size()) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  stream.avail_in = static_cast<uInt>(plain.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

struct ReportTestPart {
  std::string name;
  std::string fileName;  // "" for a text part
  std::string contentType;
  std::string value;
};

std::string reportBody(const std::vector<ReportTestPart>& parts) {
  std::string body;
  for (const auto& part : parts) {
    body += std::string("--") + kReportBoundary + "\r\nContent-Disposition: form-data; name=\"" + part.name + "\"";
    if (!part.fileName.empty()) body += "; filename=\"" + part.fileName + "\"";
    body += "\r\n";
    if (!part.contentType.empty()) body += "Content-Type: " + part.contentType + "\r\n";
    body += "\r\n" + part.value + "\r\n";
  }
  return body + "--" + kReportBoundary + "--\r\n";
}

httplib::Headers reportHeaders() {
  return {{"User-Agent", "Blackbox iOS SDK/3.3.4"},
          {"Accept", "application/json"},
          {"Accept-Charset", "utf-8"},
          {"Accept-Language", "en_US"},
          {"Content-Language", "en_US"},
          {"X-Blackbox-Developer-Token", "5b1e93c07a4d2f86e0c9b7a13d58f2046ca9e17b"},
          {"X-Blackbox-API-Client-Id", "com.harbor.blackbox.ios"},
          {"X-Blackbox-API-Client-Display-Version", "3.3.4"},
          {"X-Blackbox-API-Client-Build-Version", "82"},
          {"X-Blackbox-API-Key", "key-1"}};
}

class ReportServiceTest : public ServerTest {
 protected:
  int send(const httplib::Headers& headers, const std::vector<ReportTestPart>& parts) {
    auto res = client()->Post(kReportPath, headers, reportBody(parts),
                              std::string("multipart/form-data; boundary=") + kReportBoundary);
    if (!res) return -1;
    if (res->status == 201) {
      EXPECT_EQ(res->get_header_value("Content-Type"), "application/json; charset=utf-8");
    }
    return res->status;
  }
};

TEST_F(ReportServiceTest, KeepsAWholePackageAndRefusesAnyOtherByItsHeadersOrParts) {
  const std::string record = "{\"signal\":{\"number\":11}}\n{\"threads\":[]}\n";
  // A dying process's last line, cut off: dropped, the whole lines kept.
  const std::vector<ReportTestPart> good = {
      {"api_key", "", "", "key-1"},
      {"report_id", "", "", "run-1"},
      {"signal", "signal.bbxrecord.gz", "application/x-gzip", reportGzip(record + "{\"runtime\":{\"objc_s")},
      {"signal.bbxrecord", "signal.bbxrecord.symbolicated.gz", "application/x-gzip", reportGzip("{}\n")},
      {"sdk", "sdk.log.gz", "application/x-gzip", reportGzip("not a record")}};
  ASSERT_EQ(send(reportHeaders(), good), 201);
  auto kept = server_->reports().report("run-1");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->files.at("sdk.log"), "not a record");
  EXPECT_EQ(kept->records.at("signal.bbxrecord").size(), 2u);
  EXPECT_EQ(kept->records.at("signal.bbxrecord.symbolicated").size(), 1u);

  auto headerChanged = [](const char* name, const char* value) {
    httplib::Headers headers = reportHeaders();
    headers.erase(name);
    if (value) headers.insert({name, value});
    return headers;
  };
  auto partChanged = [&](std::size_t index, ReportTestPart part) {
    auto parts = good;
    parts[index] = std::move(part);
    return parts;
  };
  struct RefusalCase {
    const char* what;
    httplib::Headers headers;
    std::vector<ReportTestPart> parts;
  };
  const RefusalCase cases[] = {
      {"agent", headerChanged("User-Agent", "io.harbor.sdk.ios/1.5.5 (30)"), good},
      {"accept", headerChanged("Accept", nullptr), good},
      {"client", headerChanged("X-Blackbox-API-Client-Build-Version", "81"), good},
      {"key", headerChanged("X-Blackbox-API-Key", nullptr), good},
      {"language", headerChanged("Content-Language", "de_DE"), good},
      {"no id", reportHeaders(), partChanged(1, {"other", "", "", "x"})},
      {"not gzip", reportHeaders(), partChanged(2, {"signal", "signal.bbxrecord.gz", "application/x-gzip", record})},
      {"type", reportHeaders(), partChanged(2, {"signal", "signal.bbxrecord.gz", "text/plain", reportGzip(record)})},
      {"field", reportHeaders(),
       partChanged(2, {"signal.bbxrecord", "signal.bbxrecord.gz", "application/x-gzip", reportGzip(record)})},
      {"record", reportHeaders(),
       partChanged(2, {"signal", "signal.bbxrecord.gz", "application/x-gzip", reportGzip("[1]\n")})},
      {"cut inside", reportHeaders(),
       partChanged(2, {"signal", "signal.bbxrecord.gz", "application/x-gzip", reportGzip("{\"a\":\n" + record)})},
  };
  for (const auto& c : cases) EXPECT_EQ(send(c.headers, c.parts), 400) << c.what;
  EXPECT_EQ(server_->reports().reportCount(), 1u);
}

}  // namespace
}  // namespace servertest
