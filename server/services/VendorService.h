// The crash-reporting vendor's service in the local cloud: the per-app
// settings document and the onboarding of apps.
//
// - GET /spi/v2/platforms/ios/apps/{bundle id}/settings?build_version&
//   display_version&instance[&icon_hash]&source: checks the SDK's common
//   headers and the download's own (VendorForm.h), then answers the app's
//   document as "application/json; charset=utf-8". Its "app" member is the
//   service's view: "status" "new" for an app not onboarded, else
//   "activated", and "update_required" while an update is asked for. The
//   other members are the defaults, or those an admin set.
// - POST /spi/v1/platforms/ios/apps creates the app from its multipart app
//   form (201); PUT /spi/v1/platforms/ios/apps/{bundle id} updates a known
//   one (200) and clears its update request. Both keep the form part by
//   part. A request of an app under another API key than the one it was
//   created with is refused (403).
// - Refusals: 400 with {"error"} for a bad request, 404 for an update of an
//   unknown app, 409 for a create of a known one.
// - Admin: POST /_admin/vendor/document {"bundleId","document"} sets the
//   members of an app's document; POST /_admin/vendor/update {"bundleId"}
//   asks a known app for an update; GET /_admin/vendor lists the apps and
//   the requests received; DELETE /_admin/vendor forgets everything.
//
// State is kept in memory (the newest kMaxJournal requests of each kind).
// Ownership: owned by the CloudServer. Threading: handlers run
// concurrently; all state is under one lock. Nothing throws.
#pragma once

#include <httplib.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/services/VendorForm.h"

namespace localcloud {

class VendorService {
 public:
  using Json = nlohmann::json;
  static constexpr std::size_t kMaxJournal = 256;

  struct SettingsRequest {
    std::string bundleId;
    vendor::QueryPairs query;
    std::map<std::string, std::string> headers;  // every header, by name as sent
  };
  struct OnboardingRequest {
    std::string method;  // "POST" or "PUT"
    std::string bundleId;
    vendor::FormParts parts;
  };
  struct App {
    std::string apiKey;
    vendor::FormParts form;  // of the last create or update
    bool updateRequired = false;
    int updates = 0;
  };

  void registerOn(httplib::Server& server);
  void registerAdminOn(httplib::Server& server);

  // The document an app is answered (its "app" member included).
  Json document(const std::string& bundleId) const;
  void setDocument(const std::string& bundleId, Json document);
  // False for an unknown app.
  bool requestUpdate(const std::string& bundleId);
  std::optional<App> app(const std::string& bundleId) const;
  std::vector<SettingsRequest> settingsRequests() const;
  std::vector<OnboardingRequest> onboardingRequests() const;
  void reset();

 private:
  void serveSettings(const httplib::Request& req, httplib::Response& res);
  void onboard(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& body,
               bool create);
  Json documentLocked(const std::string& bundleId) const;

  mutable std::mutex mutex_;
  std::map<std::string, App> apps_;
  std::map<std::string, Json> documents_;
  std::vector<SettingsRequest> settingsJournal_;
  std::vector<OnboardingRequest> onboardingJournal_;
};

}  // namespace localcloud
