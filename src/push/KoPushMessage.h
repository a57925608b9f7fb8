// A message for the server-side send interface: title, text, extra fields
// (kept as "extra." + name) and a time to live in milliseconds. Only the
// platform subclasses (KoPushIOSMessage, KoPushAndroidMessage) produce the
// fields that go into a send form.
// Ownership: a plain value held by its sender. Threading: build it on one
// thread; a message handed to a send is only read. Failures: none.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "push/KoPushNetWorkBaseUtils.h"

namespace lumora {

class KoPushMessage {
 public:
  using Fields = KoPushNetWorkBaseUtils::Form;

  KoPushMessage(std::string title, std::string description);
  virtual ~KoPushMessage() = default;

  // The time to live: `seconds` x 1000 milliseconds.
  void setTTL(double seconds);
  // extras["extra." + name] = value, when both are non-empty.
  void addExtraItem(const std::string& name, const std::string& value);
  // The fields merged into a send form; nullopt for a plain message.
  virtual std::optional<Fields> getMessage() const;

  const std::string& strTitle() const { return strTitle_; }
  const std::string& strDescription() const { return strDescription_; }
  const std::map<std::string, std::string>& dicExtra() const { return dicExtra_; }
  const std::optional<double>& nTimeToLive() const { return nTimeToLive_; }

 protected:
  // "timeToLive" / "time_to_live": the milliseconds as decimal text, "0"
  // when unset.
  std::string timeToLiveText() const;
  // Every extra, "extra." names.
  void appendExtras(Fields& fields) const;

 private:
  std::string strTitle_;
  std::string strDescription_;
  std::map<std::string, std::string> dicExtra_;
  std::optional<double> nTimeToLive_;
};

}  // namespace lumora
