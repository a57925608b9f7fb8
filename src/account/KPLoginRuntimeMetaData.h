// The login in progress: service id, the login page's query string ("qs")
// and sign, and the service-token callback URL.
//
// Ownership: one per session, owned by it. Threading: every accessor takes
// the object's lock, so the reply thread may update it while another thread
// reads it; reads return copies. Failures: none; any value may be absent.
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace lumora {

class KPLoginRuntimeMetaData {
 public:
  KPLoginRuntimeMetaData() = default;
  KPLoginRuntimeMetaData(const KPLoginRuntimeMetaData&) = delete;
  KPLoginRuntimeMetaData& operator=(const KPLoginRuntimeMetaData&) = delete;

  // Sets all four (nullopt included).
  void updateWithSid(std::optional<std::string> sid, std::optional<std::string> qs,
                     std::optional<std::string> sign, std::optional<std::string> callback);
  // sid = the given one, or "passport" when it is empty or absent; no qs or
  // sign; the callback as given.
  void resetWithSid(const std::optional<std::string>& sid, std::optional<std::string> callback);

  std::optional<std::string> sid() const;
  std::optional<std::string> qs() const;
  std::optional<std::string> sign() const;
  std::optional<std::string> callback() const;
  void setSid(std::optional<std::string> value);
  void setQs(std::optional<std::string> value);
  void setSign(std::optional<std::string> value);
  void setCallback(std::optional<std::string> value);

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> sid_;
  std::optional<std::string> qs_;
  std::optional<std::string> sign_;
  std::optional<std::string> callback_;
};

}  // namespace lumora
