// A log file of analytics records: appends an event's record bytes.
// Ownership, threading and failure as BBXEventLogFile.
#pragma once

#include "harbor/analytics/BBXEventLogEvent.h"
#include "harbor/analytics/BBXEventLogFile.h"

namespace lumora {

class BBXEventLogEventFile : public BBXEventLogFile {
 public:
  static std::unique_ptr<BBXEventLogEventFile> open(const std::filesystem::path& fileURL) {
    return openAs<BBXEventLogEventFile>(fileURL);
  }

  platform::Status appendEvent(const BBXEventLogEvent& event) { return appendData(event.eventData()); }

 private:
  friend class BBXEventLogFile;
  using BBXEventLogFile::BBXEventLogFile;
};

}  // namespace lumora
