// The check for newer test builds. A build handed out through the beta
// channel (install source 3) carries a beta token in the 'CRSH' table of the
// bundle's font "Blackbox". With a token, every settings download and every
// return to the foreground asks the beta service whether a newer build
// exists (one request at a time; after a reply, checks pause for the
// settings' suspend duration), and a reply with an install link shows an
// alert whose install button opens it.
//
// BBXBetaUpdate is the parsed reply: "url" (required) and "version_string".
//
// Ownership: created shared by the facade; its delegate is held weakly.
// Threading: checks on the queue "com.harbor.blackbox.ios.beta"; the
// suspension and the alert on the main queue. Failure: nothing reaches the
// user; a failed request leaves checks off for the rest of the process.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "blackbox/BBXSettings.h"
#include "harbor/HBRNetworkClient.h"
#include "platform/Error.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/ui/AlertView.h"

namespace lumora {

class BBXBetaUpdate {
 public:
  // An error of NSURLErrorDomain -1017 when `dictionary` gives no update.
  static platform::Result<BBXBetaUpdate> betaUpdateWithDictionary(const platform::Json& dictionary);
  // nullopt unless an object whose "url" is an absolute URL text.
  static std::optional<BBXBetaUpdate> initWithDictionary(const platform::Json& dictionary);

  const std::string& url() const { return url_; }
  const platform::Json& version() const { return version_; }

 private:
  std::string url_;
  platform::Json version_;
};

class BBXBetaController;

class BBXBetaControllerDelegate {
 public:
  virtual ~BBXBetaControllerDelegate() = default;
  virtual std::optional<std::string> APIKeyForBetaController(BBXBetaController& controller) = 0;
  virtual BBXSettings settingsForBetaController(BBXBetaController& controller) = 0;
};

inline constexpr std::uint32_t kBBXBetaTokenTableTag = 0x43525348;  // 'CRSH'

class BBXBetaController : public platform::ui::AlertViewDelegate,
                          public std::enable_shared_from_this<BBXBetaController> {
 public:
  static std::shared_ptr<BBXBetaController> create(std::weak_ptr<BBXBetaControllerDelegate> delegate);
  ~BBXBetaController() override;
  BBXBetaController(const BBXBetaController&) = delete;
  BBXBetaController& operator=(const BBXBetaController&) = delete;

  // Not inside an extension, and only for install source 3.
  static bool isBetaSupported();
  // "2:<token>" from the font's table; nullopt without font, table, version
  // 1 or the whole token.
  static std::optional<std::string> readBetaToken();

  // Without a token false; otherwise observes the settings and foreground
  // notifications.
  bool start();
  // Read once.
  std::optional<std::string> betaToken();

  BBXSettings settings();
  std::optional<std::string> APIKey();
  std::optional<std::string> betaUpdateURL();
  void checkForUpdate();
  void maybeGetUpdate(std::function<void(std::optional<BBXBetaUpdate>)> completion);
  void didGetUpdate(const std::optional<BBXBetaUpdate>& update);
  void showBetaAlertForUpdate(const BBXBetaUpdate& update);
  void alertViewClickedButtonAtIndex(platform::ui::AlertView& alert, int buttonIndex) override;

  bool checksSuspended() const { return checksSuspended_.load(); }
  const std::optional<BBXBetaUpdate>& activeUpdate() const { return activeUpdate_; }
  platform::SerialQueue& queue() { return queue_; }

 private:
  explicit BBXBetaController(std::weak_ptr<BBXBetaControllerDelegate> delegate);
  void loadUpdate(std::function<void(std::optional<BBXBetaUpdate>)> completion);
  void temporarilySuspendChecks();
  std::optional<BBXBetaUpdate> updateWithData(const platform::Bytes& data);

  std::weak_ptr<BBXBetaControllerDelegate> delegate_;
  platform::SerialQueue queue_{"com.harbor.blackbox.ios.beta"};
  std::once_flag tokenRead_;
  std::optional<std::string> betaToken_;
  std::shared_ptr<HBRNetworkClient> networkClient_;
  std::optional<BBXBetaUpdate> activeUpdate_;                     // main queue
  std::shared_ptr<platform::ui::AlertView> alert_;                // main queue
  std::uint64_t suspensionGeneration_ = 0;                        // main queue
  std::atomic<bool> checksSuspended_{false};
  bool retrying_ = false;  // beta queue
  std::vector<platform::ObserverToken> observers_;
};

}  // namespace lumora
