// The process-wide photo sync adapter. On top of the adapter base (task and
// data-request queues, the syncing / cancelled / suspended flags, signed
// requests, host list) it owns the gallery store, its report delegate, the
// gallery work queue "com.quenby.lumora.sdk.gallery.queue" and the semaphore
// on which a suspended backup waits. Here: the reserved album names, the
// stop rule for image errors, storing an album relation, removing a cached
// download file, and suspension, resumption and cancellation with the state
// check that every stage of a backup or download calls.
//
// Ownership: sharedAdapter() lives for the process (tests may make their
// own); it owns its store (made on first use) and queues; the delegate is
// held weakly.
// Threading: suspendSync / resumeSync / cancelSync are called by the screens
// from any thread; they and checkSyncState's look at the flags hold one
// recursive state lock, so a resume or cancel cannot slip between a backup's
// decision to wait and its wait. checkSyncState blocks its caller (the
// backup thread) while the run is suspended.
// Failure: cancellation is the -10012 "Backup process is cancelled." error;
// the rest reports through its results or the SDK log.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "cloud/lumora/LMAdapterMembers.h"
#include "cloud/lumora/LMImageSyncAdapterDelegate.h"
#include "cloud/lumora/LMSyncAdapter.h"
#include "cloud/modal/LMAlbum.h"
#include "cloud/modal/LMManagedAssetContext.h"
#include "platform/Error.h"
#include "platform/Semaphore.h"
#include "platform/SerialQueue.h"
#include "platform/photos/Types.h"

namespace lumora {

class LMImageSyncAdapter : public LMSyncAdapter,
                           public LMAdapterMembers<LMManagedAssetContext, LMImageSyncAdapterDelegate> {
 public:
  static constexpr const char* kGalleryQueueLabel = "com.quenby.lumora.sdk.gallery.queue";

  // The one adapter of the process; the first call also builds the set of
  // reserved album names.
  static std::shared_ptr<LMImageSyncAdapter> sharedAdapter();

  LMImageSyncAdapter() = default;
  ~LMImageSyncAdapter() override;

  // context() (the gallery store, made on its first read), setContext(),
  // delegate(), setDelegate() and notifyDelegate(): LMAdapterMembers.
  // The gallery work queue, made on first use.
  platform::SerialQueue& dispatchQueue();

  // A non-empty name whose lower-case form is one of the reserved names
  // (the system's own album names, which the cloud keeps for itself).
  static bool isAlbumNameReserved(const std::optional<std::string>& name);

  // Whether an error met while backing up or downloading one image ends the
  // whole run: every POSIX error, cancellation (-10012), lost or missing
  // network, library access refused, and the server's and account's fatal
  // codes. When it does and `syncError` is given, the error goes there.
  static bool shouldStopBackupImageWithError(const std::optional<platform::Error>& error,
                                             std::optional<platform::Error>* syncError = nullptr);

  // Stores (adds or updates) the relation between a local album and its
  // cloud album. Reports no failure of the store.
  std::optional<platform::Error> saveRelationServerAlbum(const LMAlbum& serverAlbum,
                                                         const platform::photos::AssetCollection& localAlbum);

  // Removes the file or folder of that name in the caches directory. A name
  // that is not a plain file name is refused (logged), so neither the
  // caches directory itself nor anything outside it is ever removed.
  void removeImageObjectWithFileName(const std::string& fileName);

  // Only while syncing: suspend (not when cancelled or suspended already)
  // stops new block transfers; resume (only when suspended and not
  // cancelled) wakes the waiting backup; cancel (not twice) wakes a
  // suspended backup, breaks off library requests and exports and cancels
  // the block transfers. Each answers whether it changed anything.
  bool suspendSync() override;
  bool resumeSync() override;
  bool cancelSync() override;

  // Called by the backup between steps: nil when not syncing or not
  // stopped; the cancellation error when cancelled; while suspended, waits
  // until resumed (nil) or cancelled (the error).
  std::optional<platform::Error> checkSyncState();

  // The cancellation error (-10012, "Backup process is cancelled.").
  static platform::Error cancellationError();

 private:
  std::unique_ptr<platform::SerialQueue> dispatchQueue_;  // under memberMutex_

  // Guards the run-state changes of this adapter (the base's flag setters
  // take the base's own lock inside).
  std::recursive_mutex stateLock_;
  std::shared_ptr<platform::Semaphore> suspendSemaphore_;
};

}  // namespace lumora
