// The local cloud: an HTTP server on 127.0.0.1 that speaks the server side of
// the account service and of the signed cloud services (relocation, device
// information, contact changes and listings, contact photo files, the
// gallery, over SignedEndpoints), the block storage node (KssNode) and the
// statistics service (StatsService), the push service (PushService) and
// the crash-reporting vendor's settings, onboarding (VendorService) and
// report intake (ReportService), the event analytics upload
// (AnalyticsService)
// over the Store in a data directory,
// with fault injection and an admin API ("/_admin/...") so
// that tests and the demo can seed accounts, read captcha and SMS codes,
// revoke tokens, set the relocation host list and inject faults.
//
// Ownership: create() opens the Store; the CloudServer owns it, the services
// and the listening thread. Threading: start(), stop() and every accessor
// may be called from any thread; requests are served on the HttpServer's
// worker threads. stop() (also run by the destructor) returns once the
// listener has ended; pending injected delays are cut short. Failures:
// create() and start() return nullptr / false with an error text.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/storage/BlobStore.h"
#include "server/storage/ContactStore.h"
#include "server/http/FaultInjector.h"
#include "server/http/HttpServer.h"
#include "server/services/PushService.h"
#include "server/services/SignedEndpoints.h"
#include "server/services/StatsService.h"
#include "server/storage/Store.h"
#include "server/services/UploadService.h"
#include "server/services/ReportService.h"
#include "server/services/AnalyticsService.h"
#include "server/services/BetaService.h"
#include "server/services/VendorService.h"

namespace localcloud {

class AccountService;
class CaService;
class ContactChangeLog;
class ContactSyncService;
class CoreInfoService;
class FeedbackService;
class FileService;
class GalleryService;
class KssNode;
class WebPages;

class CloudServer {
 public:
  static constexpr int kDefaultPort = 8765;
  // The largest request body read; a larger one is answered 413 unread, and
  // one of unannounced length (chunked) 411. Only the upload service's
  // streaming route takes more: up to kMaxUploadBody, written to disk as it
  // arrives.
  static constexpr std::size_t kMaxRequestBody = 8 * 1024 * 1024;
  // The longest request path served (decoded); a longer one is answered 414.
  static constexpr std::size_t kMaxPathLength = 1024;
  static constexpr std::size_t kMaxUploadBody = UploadService::kMaxFileBytes + 1024 * 1024;
  // Marks a reply that a "dropReply" fault breaks off once it is made.
  static constexpr const char* kDropReplyMark = "X-Lumora-Drop-Reply";

  static std::unique_ptr<CloudServer> create(const std::filesystem::path& dataDir,
                                             std::string* error = nullptr);
  ~CloudServer();
  CloudServer(const CloudServer&) = delete;
  CloudServer& operator=(const CloudServer&) = delete;

  // Listens on 127.0.0.1:port (0 = an ephemeral port). False when already
  // running or the port cannot be bound.
  bool start(int port = 0, std::string* error = nullptr);
  // The limits on connections that the next start() applies (the defaults
  // suit every client; tests shorten them).
  void setConnectionLimits(const ConnectionLimits& limits) {
    std::lock_guard lock(lifecycleMutex_);
    limits_ = limits;
  }
  void stop();
  bool running() const { return port_.load() != 0; }
  // The bound port, 0 when stopped.
  int port() const { return port_.load(); }
  // "http://127.0.0.1:PORT".
  std::string url() const;

  Store& store() { return *store_; }
  FaultInjector& faults() { return faults_; }
  ContactStore& contacts() { return *contacts_; }
  // The contacts' change log (listings by sync tag).
  ContactChangeLog& contactLog() { return *contactLog_; }
  // The signed-request layer: where further services register their
  // endpoints (before start()), and its journal of signed requests.
  SignedEndpoints& signedEndpoints() { return *signed_; }
  // The feedback service (log uploads kept under DIR/feedback).
  FeedbackService& feedback() { return *feedback_; }
  // The CA token and CA login side of the account service.
  CaService& ca() { return *ca_; }
  // The account service's user API (core user information).
  CoreInfoService& coreInfo() { return *coreInfo_; }
  UploadService& uploads() { return *uploads_; }
  // The block storage node and the file API's side of it.
  KssNode& kss() { return *kss_; }
  // The gallery service (albums, images, their uploads).
  GalleryService& gallery() { return *gallery_; }
  // The one content-addressed store of files and blocks (DIR/blobs).
  BlobStore& blobs() { return *blobs_; }
  // The statistics service (forms received, reply data).
  StatsService& stats() { return *stats_; }
  // The push service (production and sandbox hosts, apps, registrations,
  // requests received).
  PushService& push() { return *push_; }
  // The crash-reporting vendor's settings and onboarding service.
  VendorService& vendor() { return *vendor_; }
  // The crash-reporting vendor's report intake.
  ReportService& reports() { return *reports_; }
  // The event analytics upload.
  AnalyticsService& analytics() { return *analytics_; }
  // The crash-reporting vendor's beta update check.
  BetaService& beta() { return *beta_; }

  // The Lumora app as its push service knows it: the ids, key and secrets
  // its bundle carries. registerLumoraApp() adds it (again: it is kept as
  // it is); lumora-cloud does so at every start.
  static const PushApp& lumoraApp();
  bool registerLumoraApp(std::string* error = nullptr) { return push_->addApp(lumoraApp(), error); }

  // Seeding and inspection for tests (the same as the admin endpoints).
  bool seedAccount(std::int64_t userId, const std::string& loginName,
                   const std::string& password, const AccountOptions& options = {},
                   std::string* error = nullptr);
  // The expected text of a captcha session, or of the newest unused one.
  std::optional<std::string> captchaCode(const std::string& ick = {});
  // The SMS code last sent for the user's pending phone verification.
  std::optional<std::string> phoneTicket(const std::string& user);
  // The host list the relocation service hands out; false unless a JSON
  // object whose values are strings.
  bool setHostList(const nlohmann::json& hostList);

 private:
  CloudServer(std::unique_ptr<Store> store, const std::filesystem::path& dataDir);
  void registerRoutes(httplib::Server& server);
  void registerAdminRoutes(httplib::Server& server);
  // Applies an injected fault; true when the fault answered the request.
  bool applyFault(const httplib::Request& req, httplib::Response& res);
  // Refuses a body above the limit of its route before it is read.
  bool refuseOversizedBody(const httplib::Request& req, httplib::Response& res) const;

  std::unique_ptr<Store> store_;
  std::unique_ptr<BlobStore> blobs_;
  FaultInjector faults_;
  std::unique_ptr<AccountService> accounts_;
  std::unique_ptr<WebPages> pages_;
  std::unique_ptr<ContactStore> contacts_;
  std::unique_ptr<ContactChangeLog> contactLog_;
  ContactSyncService* contactSync_ = nullptr;  // one of services_
  FileService* files_ = nullptr;               // one of services_
  std::unique_ptr<KssNode> kss_;
  GalleryService* gallery_ = nullptr;         // one of services_
  std::unique_ptr<SignedEndpoints> signed_;
  UploadService* uploads_ = nullptr;  // one of services_
  std::vector<std::unique_ptr<SignedService>> services_;
  std::unique_ptr<FeedbackService> feedback_;
  std::unique_ptr<StatsService> stats_;
  std::unique_ptr<PushService> push_;
  std::unique_ptr<VendorService> vendor_;
  std::unique_ptr<ReportService> reports_;
  std::unique_ptr<AnalyticsService> analytics_;
  std::unique_ptr<BetaService> beta_;
  std::unique_ptr<CaService> ca_;
  CoreInfoService* coreInfo_ = nullptr;  // one of services_

  std::mutex lifecycleMutex_;
  ConnectionLimits limits_;
  std::unique_ptr<HttpServer> server_;
  std::thread listener_;
  std::atomic<int> port_{0};
};

}  // namespace localcloud
