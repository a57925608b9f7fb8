#include "app/WindowMode.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "app/AppBundle.h"
#include "app/AppScenes.h"
#include "app/WindowPanel.h"
#include "applog/LoggerRegistry.h"
#include "platform/PrintableText.h"
#include "platform/app/Application.h"
#include "platform/device/DeviceIdentifier.h"
#include "platform/diagnostics/Console.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/AppHome.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "platform/ui/ViewController.h"
#include "platform/uiqt/PhoneWindow.h"
#include "platform/uiqt/QtGuiSupport.h"
#include "screens/common/LMStoryboard.h"
#include "screens/shell/AppDelegate.h"
#include "utils/SHA1.h"

namespace lumora {

namespace ui = platform::ui;

namespace {
bool setIn(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// The token this machine's push service stands in for: the phone's system
// hands one to every app that registers, the same for as long as the app
// stays installed. Made from the device's identifier (32 bytes, as the
// phone's are).
platform::Bytes deviceToken() {
  const std::string seed = "remote-notifications:" + platform::DeviceIdentifier::value().value_or("lumora");
  platform::Bytes token = sha1Data(platform::Bytes(seed.begin(), seed.end()));
  const platform::Bytes more = sha1Data(token);
  token.insert(token.end(), more.begin(), more.begin() + 12);
  return token;
}
}  // namespace

bool claimAppHome(std::FILE* err) {
  // Told in the user's language; the home's own settings may be another
  // process's, so the language is the environment's.
  const std::string language = platform::UserDefaults::languageFromLocale(std::getenv("LANG"));
  // A copy that takes a moment is said, so that nobody takes the pause for
  // a hang.
  constexpr std::uintmax_t kSaidFrom = 32'000'000;
  platform::Status claimed = platform::AppHome::claim([&](std::uintmax_t bytes) {
    if (bytes < kSaidFrom) return;
    const std::string size = std::to_string((bytes + 999'999) / 1'000'000) + " MB";
    std::fprintf(err, "lumora: %s\n",
                 ui::stringWithFormat(ui::localizedString("App Home Copying Format", language), {size}).c_str());
    std::fflush(err);
  });
  if (claimed.ok()) return true;
  if (claimed.error().domain() == platform::kPOSIXErrorDomain && claimed.error().code() == EWOULDBLOCK) {
    std::fprintf(err, "lumora: %s\n",
                 ui::stringWithFormat(ui::localizedString("App Home In Use Format", language),
                                      {platform::printablePath(platform::AppHome::rootPath())})
                     .c_str());
    return false;
  }
  // Its own words, never the error's domain and code.
  const platform::Json& info = claimed.error().userInfo();
  const auto said = info.is_object() ? info.find(platform::Error::kLocalizedDescriptionKey) : info.end();
  const std::string what =
      said != info.end() && said->is_string() ? said->get<std::string>() : claimed.error().description();
  const int code = static_cast<int>(claimed.error().code());
  const bool posix = claimed.error().domain() == platform::kPOSIXErrorDomain;
  const bool full = posix && (code == ENOSPC || code == EDQUOT || code == EFBIG);
  // A store the other home's process kept writing while it was copied.
  const bool busy = posix && code == EBUSY;
  // The home's path is the user's: printed as it may be.
  std::fprintf(err, "lumora: %s\n  %s\n", platform::printableText(what).c_str(),
               full   ? "Free space on its disk and start again, or set LUMORA_HOME to another folder."
               : busy ? "Start again in a moment."
                      : "Set LUMORA_HOME to a folder you can write in.");
  return false;
}

bool hasDisplay() { return setIn("DISPLAY") || setIn("WAYLAND_DISPLAY") || setIn("QT_QPA_PLATFORM"); }

int runWindow(const WindowOptions& options, std::FILE* err) {
  auto device = ui::DeviceProfile::named(options.device);
  if (!device) {
    std::fprintf(err, "lumora: unknown device '%s' (320x480, 320x568, 375x667 or 414x736)\n",
                 options.device.c_str());
    return 2;
  }
  if (!hasDisplay()) {
    // A virtual screen that holds the window beside its panel, either way up.
    const double side = std::max(device->size.width, device->size.height) * device->scale;
    const int width = static_cast<int>(side) + platform::uiqt::PhoneWindow::kPanelWidth;
    const int height = static_cast<int>(side);
    std::fprintf(err,
                 "lumora: there is no display to open the window on (none of DISPLAY, WAYLAND_DISPLAY or\n"
                 "QT_QPA_PLATFORM is set). Run it from a desktop session, under a virtual display:\n"
                 "  xvfb-run -a -s '-screen 0 %dx%dx24' lumora%s%s\n"
                 "or offscreen (QT_QPA_PLATFORM=offscreen lumora --screenshot FILE);\n"
                 "`lumora --demo` runs without a window.\n",
                 width, height, options.device == WindowOptions{}.device ? "" : " --device ",
                 options.device == WindowOptions{}.device ? "" : options.device.c_str());
    return 2;
  }
  if (!claimAppHome(err)) return 1;
  installAppBundle();
  // The phone's console is the system log, which nobody reads in normal
  // use (the statistics kit dumps every form it sends there): the window
  // keeps it off the terminal. What the app logs goes to its log files.
  platform::setConsoleSink([](std::string_view) {});
  platform::MainQueue::main().bindToCurrentThread();
  // Qt's notes on its surroundings (a desktop without XDG_RUNTIME_DIR under
  // xvfb-run, say) go to the app's log; what stops it still reaches the
  // terminal.
  platform::uiqt::setQtNoteSink([](const std::string& note) { QB_LOG_WARN("Qt: {}", note); });
  platform::uiqt::ensureGuiApplication();
  ui::TextMeasurer::setCurrent(std::make_shared<platform::uiqt::QtTextMeasurer>());
  ui::Screen::main().setProfile(*device);
  registerAppScenes();
  // Pages open in the desktop's browser.
  for (const char* scheme : {"http", "https"}) {
    platform::Application::shared().registerURLScheme(
        scheme, [](const std::string& url) { platform::uiqt::openInDesktopBrowser(url); });
  }
  // The app's services start with a running app, not for a screenshot of
  // its first frame.
  auto services = AppDelegate::Services::standard();
  services.pages = appBackgroundPages();
  auto delegate = AppDelegate::create(std::move(services));
  if (!options.screenshot) {
    platform::Application::shared().setIssuedDeviceToken(deviceToken());
    platform::Application::shared().setDelegate(delegate);
    platform::Json launchOptions;
    if (options.locationLaunch) launchOptions = {{platform::kApplicationLaunchOptionsLocationKey, true}};
    platform::Application::shared().finishLaunching(launchOptions);
  }

  auto root = LMStoryboard::instantiateInitialViewController();
  if (!root) root = std::make_shared<ui::ViewController>();
  auto window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window->setRootViewController(root);
  window->makeKeyAndVisible();

  platform::uiqt::PhoneWindow phone(!options.screenshot.has_value());
  std::vector<platform::uiqt::PanelEntry> entries;
  for (auto& row : windowPanelRows()) entries.push_back({std::move(row.label), std::move(row.action)});
  phone.setPanelEntries(std::move(entries));
  if (options.screenshot) {
    platform::MainQueue::main().runUntilIdle();
    auto written = phone.saveScreen(*options.screenshot);
    if (!written.ok()) {
      std::fprintf(err, "lumora: cannot write %s\n", platform::printableText(*options.screenshot).c_str());
      return 1;
    }
    return 0;
  }
  phone.show();
  return platform::uiqt::runEventLoop();
}

}  // namespace lumora
