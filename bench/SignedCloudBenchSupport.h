// The in-process local cloud of the signed-request benchmarks: a fresh data
// directory (gone with it), a user whose service token the store issued for
// a known key, and that user's relocation record POST, signed and ready to
// replay byte for byte; plus a kept-alive raw libcurl handle to replay it
// (or to GET a plain route) with. One cloud per benchmark binary, made on
// first use; each thread uses a handle of its own.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "LocalCloudBenchSupport.h"
#include "server/services/Crypto.h"

namespace benchcloud {

inline constexpr std::int64_t kUserId = 9001;
inline constexpr const char* kUserIdText = "9001";
inline constexpr const char* kKey = "MDEyMzQ1Njc4OWFiY2RlZg==";  // 16 ASCII bytes
inline constexpr const char* kPath = "/lum/relocation/v3/user/9001/record";
inline constexpr const char* kSid = "lumora";

inline std::string escape(CURL* curl, const std::string& text) {
  char* out = curl_easy_escape(curl, text.c_str(), static_cast<int>(text.size()));
  std::string escaped = out ? out : "";
  curl_free(out);
  return escaped;
}

class SignedCloud {
 public:
  explicit SignedCloud(const char* name) : cloud_(name) {
    token_ = cloud_.serviceToken(kUserId, kKey);
    cookie_ = "Cookie: userId=" + std::string(kUserIdText) + "; serviceToken=" + token_;
    std::map<std::string, std::string> params{
        {"romCountry", *localcloud::crypto::aesEncryptBase64("CN", kKey)}};
    auto signature = localcloud::crypto::requestSignature("POST", kPath, params, kKey);
    CURL* curl = curl_easy_init();
    body_ = "romCountry=" + escape(curl, params["romCountry"]) + "&signature=" + escape(curl, *signature);
    curl_easy_cleanup(curl);
    url_ = cloud_.server().url() + kPath;
  }
  SignedCloud(const SignedCloud&) = delete;
  SignedCloud& operator=(const SignedCloud&) = delete;

  const std::filesystem::path& dir() const { return cloud_.dir(); }
  std::string baseURL() { return cloud_.server().url(); }
  // The signed relocation record POST: URL, form body, "Cookie: ..." line.
  const std::string& url() const { return url_; }
  const std::string& body() const { return body_; }
  const std::string& cookie() const { return cookie_; }
  const std::string& serviceToken() const { return token_; }

 private:
  cloudbench::BenchCloud cloud_;
  std::string token_;
  std::string url_;
  std::string body_;
  std::string cookie_;
};

// A kept-alive raw libcurl handle: POSTs `body` with the header line
// `header` (or the lines `headers`) when given, else GETs.
class RawHandle {
 public:
  RawHandle(const std::string& url, const std::string* body, const std::string* header)
      : RawHandle(url, body, header ? std::vector<std::string>{*header} : std::vector<std::string>{}) {}
  RawHandle(const std::string& url, const std::string* body, const std::vector<std::string>& headers) {
    curl_ = curl_easy_init();
    for (const auto& line : headers) headers_ = curl_slist_append(headers_, line.c_str());
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    if (body) curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body->c_str());
    if (headers_) curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &discard);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  }
  ~RawHandle() {
    curl_slist_free_all(headers_);
    curl_easy_cleanup(curl_);
  }
  RawHandle(const RawHandle&) = delete;
  RawHandle& operator=(const RawHandle&) = delete;

  // One round trip; true when it ended with status 200.
  bool perform() {
    long status = 0;
    return curl_easy_perform(curl_) == CURLE_OK &&
           curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
  }

 private:
  static std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

  CURL* curl_ = nullptr;
  curl_slist* headers_ = nullptr;
};

}  // namespace benchcloud
