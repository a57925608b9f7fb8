// What the contact sync adapter reports to the contacts screen. Every method
// is optional: a delegate provides one by assigning its hook (normally in its
// constructor, before it is set on the adapter), and the adapter calls only
// hooks that are set. The adapter holds its delegate weakly.
//
// Threading: every hook runs on the main thread while the adapter's task
// waits for it (so the hooks see the reports in order). Hooks must not throw
// and must not wait for the adapter's task queue.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/Error.h"

namespace lumora {

class LMManagedRecordContext;

// Progress codes of didAdapterSyncProcess.
inline constexpr std::int32_t kLMSyncProcessBegin = 0;             // a run starts
inline constexpr std::int32_t kLMSyncProcessPushBatch = 1;         // before each pushed batch
inline constexpr std::int32_t kLMSyncProcessCloudApplied = 2;      // cloud changes written
inline constexpr std::int32_t kLMSyncProcessSaved = 3;             // after the final save
inline constexpr std::int32_t kLMSyncProcessPhotoData = 4;         // before a photo's data is sent
inline constexpr std::int32_t kLMSyncProcessPhotoUpload = 5;       // a photo upload starts
inline constexpr std::int32_t kLMSyncProcessPhotoDownloaded = 6;   // after each downloaded photo
inline constexpr std::int32_t kLMSyncProcessPhotoDownloadFailed = 7;  // a cloud photo skipped, tried next sync

class LMContactSyncAdapterDelegate {
 public:
  virtual ~LMContactSyncAdapterDelegate() = default;

  // A full run starts.
  std::function<void()> willAdapterBeginSynchronize;
  // Part of the report set for screens that want it; the adapter never
  // sends it.
  std::function<void(LMManagedRecordContext& context)> didAdapterLoadChangedLumoraRecordsInContext;
  // The group phase starts.
  std::function<void()> willAdapterSynchronizeGroups;
  // Cloud group changes applied to the address book.
  std::function<void(std::uint64_t add, std::uint64_t modify, std::uint64_t remove)>
      didAdapterSynchronizeLocalGroups;
  // Local group changes accepted by the cloud.
  std::function<void(std::uint64_t add, std::uint64_t modify, std::uint64_t remove)>
      didAdapterSynchronizeLumoraGroups;
  // The contact phase starts.
  std::function<void()> willAdapterSynchronizeContacts;
  // Cloud contact changes applied to the address book.
  std::function<void(std::uint64_t add, std::uint64_t modify, std::uint64_t remove)>
      didAdapterSynchronizeLocalContacts;
  // Local contact changes accepted by the cloud.
  std::function<void(std::uint64_t add, std::uint64_t modify, std::uint64_t remove)>
      didAdapterSynchronizeLumoraContacts;
  // A run is about to end successfully.
  std::function<void()> willAdapterFinishSynchronize;
  // A run ended successfully (the flag is always false).
  std::function<void(bool)> didAdapterFinishSynchronize;
  // A run stopped on an error.
  std::function<void(const platform::Error& error)> didAdapterFailSynchronize;
  // A progress code (kLMSyncProcess...).
  std::function<void(std::int32_t process)> didAdapterSyncProcess;
};

}  // namespace lumora
