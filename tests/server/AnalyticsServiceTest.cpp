#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "ServerFixture.h"

namespace servertest {
namespace {

constexpr const char* kAnalyticsBoundary = "8E2A1F3C-5D4B-4A69-B7C8-0F1E2D3C4B5A";

std::string analyticsGzip(const std::string& text) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&stream, text.size()) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string analyticsRecord(const std::string& key, const std::string& payload) {
  return "1449400000000\t" + key + "\t" + std::to_string(payload.size()) + "\t" + payload + "\n";
}

class AnalyticsServiceTest : public ServerTest {
 protected:
  static httplib::Headers headers() {
    return {{"User-Agent", "Tally iOS SDK/0.9.1"},
            {"X-BLACKBOX-DEVELOPER-TOKEN", "ZPQ_INTEGRATOR_CODE"},
            {"X-BLACKBOX-API-CLIENT-TYPE", "Tally iOS SDK"},
            {"X-BLACKBOX-API-CLIENT-VERSION", "2"},
            {"X-BLACKBOX-API-CLIENT-DISPLAY-VERSION", "0.9.1"},
            {"X-BLACKBOX-API-CLIENT-BUILD-VERSION", "2"},
            {"X-BLACKBOX-API-KEY", "key-1"}};
  }
  // One file part (name, type, bytes).
  int postPart(const httplib::Headers& headers, const std::string& name, const std::string& type,
           const std::string& bytes) {
    std::string body = std::string("--") + kAnalyticsBoundary + "\r\nContent-Disposition: form-data; name=\"" + name +
                       "\"; filename=\"" + name + "\"\r\nContent-Type: " + type + "\r\n\r\n" + bytes + "\r\n--" +
                       kAnalyticsBoundary + "--\r\n";
    auto reply = client()->Post(localcloud::AnalyticsService::kPath, headers, body,
                                std::string("multipart/form-data; boundary=") + kAnalyticsBoundary);
    return reply ? reply->status : -1;
  }
};

TEST_F(AnalyticsServiceTest, KeepsEventsOfWellFormedPartsAndRefusesTheRest) {
  const std::string metadata = analyticsRecord("metadata", R"({"session_id":"s-1"})");
  const std::string good = analyticsGzip(metadata + analyticsRecord("custom", "a\tb\nc") + "1449400000001\tx\n");
  httplib::Headers wrongKey = headers();
  wrongKey.erase("X-BLACKBOX-API-KEY");
  httplib::Headers wrongVersion = headers();
  wrongVersion.find("X-BLACKBOX-API-CLIENT-VERSION")->second = "3";
  const std::string type = "application/vnd.blackbox.ios.events";
  struct {
    httplib::Headers headers;
    std::string name, type, bytes;
    int status;
  } cases[] = {
      {wrongKey, "2.log.zip", type, good, 400},
      {wrongVersion, "2.log.zip", type, good, 400},
      {headers(), "3.log.zip", type, good, 400},
      {headers(), "2.log.zip", "application/zip", good, 400},
      {headers(), "2.log.zip", type, metadata, 400},  // not gzip
      {headers(), "2.log.zip", type, analyticsGzip(analyticsRecord("custom", "{}")), 400},  // no metadata first
      {headers(), "2.log.zip", type, analyticsGzip(metadata + "1\tcustom\t99\tshort\n"), 400},  // length past the end
      {headers(), "2.log.zip", type, good, 200},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(postPart(c.headers, c.name, c.type, c.bytes), c.status) << c.name << " " << c.type;
  }
  const auto events = server_->analytics().events("s-1");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].payload, "a\tb\nc");
  EXPECT_FALSE(events[1].payload);
}

}  // namespace
}  // namespace servertest
