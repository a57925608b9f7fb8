#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ServerFixture.h"
#include "server/services/FileCrypto.h"

namespace servertest {
namespace {

constexpr const char* kVendorBoundary = "0D5F3C2A-1B4E-4F6A-9C8D-7E6F5A4B3C2D";
constexpr const char* kVendorSlicesUuid = "00112233445566778899aabbccddeeff";

class VendorServiceTest : public ServerTest {
 protected:
  static httplib::Headers commonHeaders() {
    return {{"User-Agent", "io.harbor.sdk.ios/1.5.5 (30)"},
            {"Accept-Charset", "utf-8"},
            {"Accept-Language", "en_US"},
            {"Content-Language", "en_US"},
            {"X-Blackbox-Developer-Token", "5b1e93c07a4d2f86e0c9b7a13d58f2046ca9e17b"},
            {"X-Blackbox-API-Client-Id", "io.harbor.sdk.ios"},
            {"X-Blackbox-API-Client-Display-Version", "1.5.5"},
            {"X-Blackbox-API-Client-Build-Version", "30"},
            {"X-Blackbox-API-Key", "key-1"}};
  }
  static httplib::Headers downloadHeaders() {
    httplib::Headers headers = commonHeaders();
    headers.insert({{"Accept", "application/json"},
                    {"X-Blackbox-Installation-ID", "6B29FC40-CA47-1067-B31D-00DD010662DA"},
                    {"X-Blackbox-Device-Model", "iPhone7,2"},
                    {"X-Blackbox-OS-Build-Version", "12B411"},
                    {"X-Blackbox-OS-Display-Version", "8.1.0"},
                    {"X-Blackbox-API-Client-Version", "1.5.5"}});
    return headers;
  }
  static std::string instance() { return localcloud::crypto::sha1Hex(kVendorSlicesUuid); }
  Reply settings(const httplib::Headers& headers, const std::string& query = {}) {
    std::string q = query.empty() ? "build_version=7&display_version=1.2&instance=" + instance() + "&source=1" : query;
    return plainJsonReply(client()->Get(("/spi/v2/platforms/ios/apps/com.example.app/settings?" + q).c_str(), headers));
  }
  // The app form as the SDK writes it; `parts` are (name, value, file name).
  static std::vector<std::vector<std::string>> appParts() {
    return {{"app[identifier]", "com.example.app"},
            {"app[instance_identifier]", instance()},
            {"app[name]", "Example"},
            {"app[build_version]", "7"},
            {"app[display_version]", "1.2"},
            {"app[source]", "1"},
            {"app[minimum_sdk_version]", "0.0.0"},
            {"app[built_sdk_version]", "0.0.0"},
            {"app[build][libraries][io.harbor.sdk.ios]", "1.5.5"},
            {"app[slices][][arch]", "x86_64"},
            {"app[slices][][uuid]", kVendorSlicesUuid},
            {"app[icon][hash]", std::string(40, 'a')},
            {"app[icon][prerendered]", "false"},
            {"app[icon][width]", "152"},
            {"app[icon][height]", "152"},
            {"app[icon][data]", std::string("\x89PNG\r\n\x1a\n", 8) + "pixels", "icon.png"}};
  }
  static std::string encode(const std::vector<std::vector<std::string>>& parts) {
    std::string body = "MIME-Version: 1.0\r\n";
    for (const auto& part : parts) {
      body += std::string("--") + kVendorBoundary + "\r\nContent-Disposition: form-data; name=\"" + part[0] + "\"";
      if (part.size() > 2) {
        body += "; filename=\"" + part[2] + "\"\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: binary\r\n\r\n";
      } else {
        body += "\r\nContent-Type: text/plain\r\n\r\n";
      }
      body += part[1] + "\r\n";
    }
    return body + "--" + kVendorBoundary + "--\r\n";
  }
  Reply onboard(bool create, const std::string& body) {
    std::string type = std::string("multipart/form-data; boundary=") + kVendorBoundary;
    auto c = client();
    return plainJsonReply(create ? c->Post("/spi/v1/platforms/ios/apps", commonHeaders(), body, type.c_str())
                                 : c->Put("/spi/v1/platforms/ios/apps/com.example.app", commonHeaders(), body,
                                          type.c_str()));
  }
};

TEST_F(VendorServiceTest, SettingsRequestsAreCheckedHeaderByHeaderAndQueryInOrder) {
  Reply fresh = settings(downloadHeaders());
  ASSERT_EQ(fresh.status, 200) << fresh.body;
  EXPECT_EQ(fresh.json["app"]["status"], "new");
  auto journal = server_->vendor().settingsRequests();
  ASSERT_EQ(journal.size(), 1u);
  EXPECT_EQ(journal[0].headers.count("X-Blackbox-Advertising-Token"), 0u);

  for (const char* name : {"User-Agent", "Accept", "Accept-Charset", "Content-Language", "X-Blackbox-Developer-Token",
                           "X-Blackbox-API-Key", "X-Blackbox-Installation-ID", "X-Blackbox-Device-Model",
                           "X-Blackbox-OS-Build-Version", "X-Blackbox-OS-Display-Version",
                           "X-Blackbox-API-Client-Version"}) {
    httplib::Headers headers = downloadHeaders();
    headers.erase(name);
    EXPECT_EQ(settings(headers).status, 400) << name;
    headers.insert({name, "wrong"});
    headers.insert({name, "twice"});
    EXPECT_EQ(settings(headers).status, 400) << name;
  }
  const std::string id = instance();
  for (const std::string& query : {"display_version=1.2&build_version=7&instance=" + id + "&source=1",
                                   std::string("build_version=7&display_version=1.2&instance=ABC&source=1"),
                                   "build_version=7&display_version=1.2&instance=" + id + "&source=2"}) {
    EXPECT_EQ(settings(downloadHeaders(), query).status, 400) << query;
  }
}

TEST_F(VendorServiceTest, OnboardingKeepsTheFormPartByPartAndDrivesTheDocument) {
  auto bad = [&](auto change) {
    auto parts = appParts();
    change(parts);
    return onboard(true, encode(parts)).status;
  };
  EXPECT_EQ(bad([](auto& p) { std::swap(p[2], p[3]); }), 400);                 // order
  EXPECT_EQ(bad([](auto& p) { p[15][2] = "icon.jpg"; }), 400);                 // icon file name
  EXPECT_EQ(bad([](auto& p) { p[1][1] = std::string(40, '0'); }), 400);        // instance vs slices
  EXPECT_EQ(bad([](auto& p) { p[14][1] = "153"; }), 400);                      // icon area
  EXPECT_EQ(bad([](auto& p) { p.erase(p.begin() + 8); }), 400);                // SDK library
  EXPECT_EQ(bad([](auto& p) { p[15].resize(2); }), 400);                      // icon as text
  EXPECT_EQ(onboard(false, encode(appParts())).status, 404);

  auto withoutIcon = appParts();
  withoutIcon.resize(11);
  ASSERT_EQ(onboard(true, encode(withoutIcon)).status, 201);
  EXPECT_EQ(onboard(true, encode(appParts())).status, 409);
  auto app = server_->vendor().app("com.example.app");
  ASSERT_TRUE(app);
  ASSERT_EQ(app->form.size(), 11u);
  EXPECT_EQ(app->form[10].value, kVendorSlicesUuid);
  EXPECT_EQ(settings(downloadHeaders()).json["app"], (Json{{"status", "activated"}, {"update_required", false}}));

  ASSERT_TRUE(server_->vendor().requestUpdate("com.example.app"));
  EXPECT_EQ(settings(downloadHeaders()).json["app"]["update_required"], true);
  ASSERT_EQ(onboard(false, encode(appParts())).status, 200);
  app = server_->vendor().app("com.example.app");
  ASSERT_EQ(app->form.size(), 16u);
  EXPECT_EQ(app->form[15].fileName, "icon.png");
  EXPECT_EQ(app->form[15].contentType, "image/png");
  EXPECT_EQ(settings(downloadHeaders()).json["app"]["update_required"], false);
}

}  // namespace
}  // namespace servertest
