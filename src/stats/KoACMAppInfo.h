// The app part of a statistics crash record: who crashed, on what. Every
// value is a text gathered when the record is made; "CRASH_REPORTER_KEY" is
// never filled (it prints as "(null)"), and a key missing from a stored
// record reads back the same way.
//
// Plain value; any thread. current() reads device and bundle facts (files
// and the process table), so it is for ordinary code, never a signal path.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "platform/storage/KeyedArchive.h"

namespace lumora {

class KoACMAppInfo {
 public:
  using Text = std::optional<std::string>;

  Text strID;              // "INCIDENT_IDENTIFIER": the device identifier
  Text strDeviceAppHash;   // "CRASH_REPORTER_KEY": never filled
  Text strMachine;         // "HARDWARE_MODEL"
  Text strProcess;         // "PROCESS": "name [pid]"
  Text strPath;            // "PATH": bundle path and executable
  Text strIdentifier;      // "IDENTIFIER"
  Text strVersion;         // "VERSION": "short (build)"
  Text strCodeType;        // "CODE_TYPE": the processor architecture
  Text strParentProcess;   // "PARENT_PROCESS": "name [pid]"
  Text strOSVerion;        // "OS_VERSION": "name version (build)"
  Text strReportVersion;   // "REPORT_VERSION": "104"

  // Each archive key with its field, in the order written and printed.
  static constexpr std::pair<const char*, Text KoACMAppInfo::*> kFields[] = {
      {"INCIDENT_IDENTIFIER", &KoACMAppInfo::strID},
      {"CRASH_REPORTER_KEY", &KoACMAppInfo::strDeviceAppHash},
      {"HARDWARE_MODEL", &KoACMAppInfo::strMachine},
      {"PROCESS", &KoACMAppInfo::strProcess},
      {"PATH", &KoACMAppInfo::strPath},
      {"IDENTIFIER", &KoACMAppInfo::strIdentifier},
      {"VERSION", &KoACMAppInfo::strVersion},
      {"CODE_TYPE", &KoACMAppInfo::strCodeType},
      {"PARENT_PROCESS", &KoACMAppInfo::strParentProcess},
      {"OS_VERSION", &KoACMAppInfo::strOSVerion},
      {"REPORT_VERSION", &KoACMAppInfo::strReportVersion},
  };

  // The values of this process now.
  static KoACMAppInfo current();

  void encodeWithCoder(platform::KeyedArchive& coder) const;
  static KoACMAppInfo initWithCoder(const platform::KeyedArchive& coder);
  // "\n", then "KEY:value \n" per field ("(null)" for an absent value).
  std::string description() const;
};

}  // namespace lumora
