#include "blackbox/BBXBetaController.h"

#include <utility>

#include "blackbox/BBXApplication.h"
#include "blackbox/BBXReportsController.h"
#include "harbor/HBRBundle.h"
#include "harbor/HBRCertificatePinner.h"
#include "harbor/HBRDebug.h"
#include "harbor/HBRURLBuilder.h"
#include "harbor/Harbor.h"
#include "harbor/HBRSettingsOnboardingManager.h"
#include "platform/JsonParse.h"
#include "platform/app/Application.h"
#include "platform/device/Bundle.h"
#include "platform/diagnostics/Console.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/Url.h"
#include "platform/http/UrlError.h"
#include "platform/ui/FontFile.h"
#include "utils/LMLogRedaction.h"

namespace lumora {

namespace {

void bbxBetaDebugLog(const std::string& message) {
  if (HBRDebugEnabled()) platform::consoleLog("[Blackbox:Beta] " + message);
}

std::uint32_t bbxBetaBig32(const platform::Bytes& bytes, std::size_t at) {
  return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
         (std::uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
}

std::string bbxBetaText(const std::string& key, const std::string& fallback) {
  return platform::Bundle::localizedString(key, fallback, "Blackbox");
}

}  // namespace

// ---- the reply ----

std::optional<BBXBetaUpdate> BBXBetaUpdate::initWithDictionary(const platform::Json& dictionary) {
  if (!dictionary.is_object()) return std::nullopt;
  auto url = dictionary.find("url");
  if (url == dictionary.end() || !url->is_string() || !platform::http::Url::parse(url->get<std::string>())) {
    return std::nullopt;
  }
  BBXBetaUpdate update;
  update.url_ = url->get<std::string>();
  if (auto version = dictionary.find("version_string"); version != dictionary.end()) update.version_ = *version;
  return update;
}

platform::Result<BBXBetaUpdate> BBXBetaUpdate::betaUpdateWithDictionary(const platform::Json& dictionary) {
  if (auto update = initWithDictionary(dictionary)) return *update;
  return platform::Error(platform::http::kURLErrorDomain, -1017);
}

// ---- the controller ----

std::shared_ptr<BBXBetaController> BBXBetaController::create(std::weak_ptr<BBXBetaControllerDelegate> delegate) {
  return std::shared_ptr<BBXBetaController>(new BBXBetaController(std::move(delegate)));
}

BBXBetaController::BBXBetaController(std::weak_ptr<BBXBetaControllerDelegate> delegate)
    : delegate_(std::move(delegate)), networkClient_(HBRNetworkClient::create(nullptr, HBRPinnedCertificates())) {
  if (!networkClient_) bbxBetaDebugLog("Failed to configure networking");
}

BBXBetaController::~BBXBetaController() {
  for (platform::ObserverToken token : observers_) platform::NotificationCenter::defaultCenter().removeObserver(token);
}

bool BBXBetaController::isBetaSupported() { return !BBXApplicationIsExtension() && HBRInstallSource() == 3; }

std::optional<std::string> BBXBetaController::readBetaToken() {
  auto font = platform::ui::FontFile::named("Blackbox");
  if (!font) return std::nullopt;
  auto table = font->copyTable(kBBXBetaTokenTableTag);
  if (!table || table->size() < 8 || bbxBetaBig32(*table, 0) != 1) return std::nullopt;
  const std::uint64_t length = bbxBetaBig32(*table, 4);
  if (8 + length > table->size()) return std::nullopt;
  return "2:" + std::string(table->begin() + 8, table->begin() + 8 + static_cast<std::ptrdiff_t>(length));
}

std::optional<std::string> BBXBetaController::betaToken() {
  std::call_once(tokenRead_, [this] { betaToken_ = readBetaToken(); });
  return betaToken_;
}

bool BBXBetaController::start() {
  if (!betaToken()) return false;
  std::weak_ptr<BBXBetaController> weak = weak_from_this();
  auto check = [weak](const std::string&, const platform::Json&) {
    if (auto self = weak.lock()) self->checkForUpdate();
  };
  auto& center = platform::NotificationCenter::defaultCenter();
  observers_.push_back(center.addObserver(kHBRSettingsAvailableNotification, check));
  observers_.push_back(center.addObserver(platform::kApplicationWillEnterForegroundNotification, check));
  return true;
}

BBXSettings BBXBetaController::settings() {
  auto delegate = delegate_.lock();
  return delegate ? delegate->settingsForBetaController(*this) : BBXSettings(std::nullopt);
}

std::optional<std::string> BBXBetaController::APIKey() {
  auto delegate = delegate_.lock();
  return delegate ? delegate->APIKeyForBetaController(*this) : std::nullopt;
}

std::optional<std::string> BBXBetaController::betaUpdateURL() {
  const std::string bundle = HBRSanitizedBundleIdentifier().value_or("");
  HBRURLBuilder builder = HBRURLBuilder::URLWithBase(settings().betaEndpoint());
  builder.appendComponent("/spi/v2/platforms/");
  builder.escapeAndAppendComponent("ios");
  builder.appendComponent("/apps/");
  builder.escapeAndAppendComponent(bundle);
  builder.appendComponent("/beta_update_check");
  auto optionalText = [](const std::optional<std::string>& text) -> std::optional<platform::Json> {
    if (!text) return std::nullopt;
    return platform::Json(*text);
  };
  builder.appendValue(optionalText(HBRBundleBuildVersion()), "build_version");
  builder.appendValue(optionalText(HBRBundleDisplayVersion()), "display_version");
  builder.appendValue(platform::Json(Harbor::sharedSDK().instanceIdentifier()), "instance");
  builder.appendValue(platform::Json(HBRInstallSource()), "source");
  return builder.URL();
}

void BBXBetaController::checkForUpdate() {
  std::weak_ptr<BBXBetaController> weak = weak_from_this();
  maybeGetUpdate([weak](std::optional<BBXBetaUpdate> update) {
    if (auto self = weak.lock()) self->didGetUpdate(update);
  });
}

void BBXBetaController::maybeGetUpdate(std::function<void(std::optional<BBXBetaUpdate>)> completion) {
  auto self = shared_from_this();
  queue_.async([self, completion = std::move(completion)]() mutable {
    if (!isBetaSupported() || self->checksSuspended_.load() || self->retrying_) return;
    bbxBetaDebugLog("Loading beta update");
    self->loadUpdate(std::move(completion));
  });
}

void BBXBetaController::loadUpdate(std::function<void(std::optional<BBXBetaUpdate>)> completion) {
  auto url = betaUpdateURL();
  if (!url || !networkClient_) return;
  bbxBetaDebugLog("Beta Update-Check url string: '" + LMLoggableURL(*url) + "'");
  platform::http::Request request = BBXServiceRequest(*url, "GET", 10, APIKey().value_or(""));
  request.headers.set("X-Blackbox-Beta-Token", betaToken().value_or(""));
  // Only one request at a time: a second check that got this far stops here.
  if (retrying_) return;
  retrying_ = true;
  std::weak_ptr<BBXBetaController> weak = weak_from_this();
  networkClient_->startDataTaskWithRequest(
      request, HBRNetworkClient::kDefaultRetryLimit,
      [weak, completion = std::move(completion)](const std::optional<platform::Bytes>& data,
                                                 const std::optional<platform::http::Response>&,
                                                 const std::optional<platform::Error>& error) {
        auto self = weak.lock();
        if (!self) return;
        if (error || !data || data->empty()) {
          bbxBetaDebugLog("Failed to load update '" + (error ? error->description() : std::string("empty")) + "'");
          return;
        }
        self->queue_.async([self, data = *data, completion] {
          bbxBetaDebugLog("Beta update loaded");
          self->temporarilySuspendChecks();
          self->retrying_ = false;
          completion(self->updateWithData(data));
        });
      });
}

std::optional<BBXBetaUpdate> BBXBetaController::updateWithData(const platform::Bytes& data) {
  const platform::Json json = platform::parseJson(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  if (json.is_discarded()) {
    bbxBetaDebugLog("Unable to deserialize beta update data: " + platform::toString(data));
    return std::nullopt;
  }
  auto update = BBXBetaUpdate::betaUpdateWithDictionary(json);
  if (!update) {
    bbxBetaDebugLog("Unable to read beta update data: " + update.error().description());
    return std::nullopt;
  }
  return *update;
}

void BBXBetaController::temporarilySuspendChecks() {
  // Set here, on the beta queue, so a check queued right behind this one
  // already sees the pause; the timer that ends it runs on the main queue.
  checksSuspended_.store(true);
  const platform::Json duration = settings().betaSuspendDuration();
  const double seconds = duration.is_number() ? duration.get<double>() : 3600.0;
  std::weak_ptr<BBXBetaController> weak = weak_from_this();
  platform::MainQueue::main().async([weak, seconds] {
    auto self = weak.lock();
    if (!self) return;
    const std::uint64_t generation = ++self->suspensionGeneration_;
    platform::MainQueue::main().asyncAfter(
        std::chrono::duration_cast<platform::Clock::Duration>(std::chrono::duration<double>(seconds)),
        [weak, generation] {
          auto self = weak.lock();
          if (self && self->suspensionGeneration_ == generation) self->checksSuspended_.store(false);
        });
  });
}

void BBXBetaController::didGetUpdate(const std::optional<BBXBetaUpdate>& update) {
  if (!update || update->url().empty()) {
    bbxBetaDebugLog("Beta update url is invalid");
    return;
  }
  std::weak_ptr<BBXBetaController> weak = weak_from_this();
  platform::MainQueue::main().async([weak, update = *update] {
    if (auto self = weak.lock()) self->showBetaAlertForUpdate(update);
  });
}

void BBXBetaController::showBetaAlertForUpdate(const BBXBetaUpdate& update) {
  activeUpdate_ = update;
  const std::string name = HBRBundleDisplayName().value_or("");
  std::string prompt = bbxBetaText("BlackboxDistributionPromptMessage", "A new version of %@ is available for testing.");
  if (auto at = prompt.find("%@"); at != std::string::npos) prompt.replace(at, 2, name);
  const platform::Json& version = update.version();
  const std::string versionText = version.is_string() ? version.get<std::string>() : version.is_null() ? "" : version.dump();
  alert_ = platform::ui::AlertView::alert(bbxBetaText("BlackboxDistributionPromptTitle", "New Build Available"),
                                          prompt + "\n" + versionText,
                                          bbxBetaText("BlackboxDistributionPromptCancelTitle", "Cancel"),
                                          {bbxBetaText("BlackboxDistributionPromptInstallTitle", "Install")});
  alert_->setDelegate(std::weak_ptr<platform::ui::AlertViewDelegate>(shared_from_this()));
  alert_->show();
}

void BBXBetaController::alertViewClickedButtonAtIndex(platform::ui::AlertView& alert, int buttonIndex) {
  if (alert.cancelButtonIndex() != buttonIndex && activeUpdate_) {
    BBXApplicationOpenURL(activeUpdate_->url(), {}, [](bool success) {
      bbxBetaDebugLog(std::string("Beta update url open ") + (success ? "success" : "failure"));
    });
  }
  activeUpdate_.reset();
  alert_.reset();
}

}  // namespace lumora
