// One diagnostic record of the cloud SDK: the expanded text, where it was
// logged and its severity. A plain value; copy it freely between threads.
#pragma once

#include <cstdint>
#include <string>

namespace lumora {

// Severity flags carried by every SDK log call.
inline constexpr std::uint64_t kLMLogFlagError = 1;
inline constexpr std::uint64_t kLMLogFlagWarning = 2;
inline constexpr std::uint64_t kLMLogFlagInfo = 3;
inline constexpr std::uint64_t kLMLogFlagDebug = 4;
inline constexpr std::uint64_t kLMLogFlagVerbose = 5;

class LMLogMessage {
 public:
  const std::string& message() const { return message_; }
  void setMessage(std::string message) { message_ = std::move(message); }

  // The source file path exactly as the caller passed it.
  const std::string& fileName() const { return fileName_; }
  void setFileName(std::string fileName) { fileName_ = std::move(fileName); }

  // The function name exactly as the caller passed it.
  const std::string& funcName() const { return funcName_; }
  void setFuncName(std::string funcName) { funcName_ = std::move(funcName); }

  std::uint64_t line() const { return line_; }
  void setLine(std::uint64_t line) { line_ = line; }

  // 1 error, 2 warning, 3 info, 4 debug, 5 verbose (kLMLogFlag...).
  std::uint64_t flag() const { return flag_; }
  void setFlag(std::uint64_t flag) { flag_ = flag; }

 private:
  std::string message_;
  std::string fileName_;
  std::string funcName_;
  std::uint64_t line_ = 0;
  std::uint64_t flag_ = 0;
};

}  // namespace lumora
