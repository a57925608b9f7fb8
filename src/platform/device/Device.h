// Facts about the device the app runs on. On Linux the kernel parameters come
// from uname(); the model identifier and the system name and version can be
// configured (API or LUMORA_DEVICE_MODEL / LUMORA_SYSTEM_NAME /
// LUMORA_SYSTEM_VERSION / LUMORA_SYSTEM_BUILD), since the cloud expects
// phone-like values. Process names come from /proc.
// The device's physical orientation is set by whoever plays the device (the
// app, tests); a change posts kDeviceOrientationDidChangeNotification on the
// default notification centre.
// Ownership: one process-wide set of facts. Thread-safe. Failure: a kernel
// parameter that cannot be read is nullopt; the other facts have defaults.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct DeviceFacts {
  std::optional<std::string> modelIdentifier;  // "hw.machine"; uname machine if unset
  std::optional<std::string> model;            // generic model text; "iPhone" if unset
  std::optional<std::string> systemName;       // "iPhone OS" if unset
  std::optional<std::string> systemVersion;    // "9.3" if unset
  std::optional<std::string> name;             // device name; host name if unset
  std::optional<std::string> systemBuild;      // "kern.osversion"; uname version if unset
  // Where the phone's own file system is looked at (its "/bin/sh" and the
  // like, which every Linux host has); an empty folder of the app home
  // (<root>/Device) if unset.
  std::optional<std::string> filesystemRoot;
};

// The values the phone gives its orientations.
enum class DeviceOrientation {
  Unknown = 0,
  Portrait = 1,
  PortraitUpsideDown = 2,
  LandscapeLeft = 3,
  LandscapeRight = 4,
  FaceUp = 5,
  FaceDown = 6,
};

inline constexpr const char* kDeviceOrientationDidChangeNotification = "UIDeviceOrientationDidChangeNotification";

class Device {
 public:
  // A kernel parameter by its sysctl name: "hw.machine", "kern.ostype",
  // "kern.osrelease", "kern.osversion", "kern.version", "kern.hostname";
  // nullopt for a name we cannot read.
  static std::optional<std::string> sysInfo(std::string_view name);
  // The command name of process `pid`; nullopt when there is no such process.
  static std::optional<std::string> processName(int pid);
  // The processor architecture the system runs on (uname's machine, never
  // the configured model); nullopt when it cannot be read.
  static std::optional<std::string> architectureName();

  static std::string model();
  static std::string systemName();
  static std::string systemVersion();
  // Whether the system version, read as a number ("7.1.2" as 7.1), is
  // `version` or later: the test by which callers pick a platform interface.
  static bool systemVersionIsAtLeast(double version);
  static std::string name();
  // The configured file-system root, else <app home>/Device (not created).
  static std::string filesystemRoot();

  // Replaces the configured facts (unset fields fall back to the defaults).
  static void configure(const DeviceFacts& facts);
  static DeviceFacts configured();

  // Unknown until set.
  static DeviceOrientation orientation();
  // Posts the change notification (on the calling thread) when it changes.
  static void setOrientation(DeviceOrientation orientation);
};

}  // namespace platform
