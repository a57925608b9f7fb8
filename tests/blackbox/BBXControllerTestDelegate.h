// The crash-reporting controller's delegate in the controller tests: no
// crash callback, no background sessions, the key "key-1" and the install
// "install-1"; it asks nothing about reports unless `submit` is set, and
// counts the reports it is told of.
#pragma once

#include <signal.h>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "blackbox/BBXCrashReportingController.h"

namespace bbxtest {

class BBXControllerTestDelegate : public lumora::BBXCrashReportingControllerDelegate {
 public:
  bool shouldInstallCrashCallback() override { return false; }
  void detectedCrash() override {}
  bool reportingControllerCanUseBackgroundSessions(lumora::BBXCrashReportingController&) override { return false; }
  bool reportingControllerMustInformDelegateOfReports(lumora::BBXCrashReportingController&) override {
    return static_cast<bool>(submit);
  }
  void reportingControllerDidDetectReportForLastExecution(lumora::BBXCrashReportingController&,
                                                          const std::shared_ptr<lumora::BBXInternalReport>&,
                                                          std::function<void(bool)> handler) override {
    handler(submit ? *submit : true);
  }
  void reportingControllerInternalDidDetectReportForLastExecution(
      lumora::BBXCrashReportingController&, const std::shared_ptr<lumora::BBXInternalReport>&) override {
    ++reportsSeen;
  }
  bool reportingControllerEnsureDeliveryOfUnixSignal(lumora::BBXCrashReportingController&, int signal) override {
    return signal == SIGTRAP || signal == SIGBUS;
  }
  std::optional<std::string> APIKeyForCrashReportingController(lumora::BBXCrashReportingController&) override {
    if (failKey) throw std::runtime_error("no key");
    return "key-1";
  }
  std::string installIDForCrashReportingController(lumora::BBXCrashReportingController&) override {
    return "install-1";
  }
  bool isFirstInstallForCrashReportingController(lumora::BBXCrashReportingController&) override { return false; }
  lumora::BBXSettings settingsForCrashReportingController(lumora::BBXCrashReportingController&) override {
    return lumora::BBXSettings(settings);
  }

  std::optional<bool> submit;  // set: the delegate is asked and answers this
  bool failKey = false;        // the key's look-up fails
  nlohmann::json settings = nullptr;
  int reportsSeen = 0;
};

}  // namespace bbxtest
