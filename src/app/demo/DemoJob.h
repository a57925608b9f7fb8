// The command-line main job: runs the client's work against the configured
// cloud (the local cloud in the demo) and prints each step with its outcome:
// sign-in, relocation, device registration, then a contact sync of a seeded
// address book with a progress bar, and what went up and came down.
//
// Runs on the calling thread, which it binds as the main queue's thread and
// pumps while the account and cloud work is under way. Returns 0 when every
// step succeeded, 1 otherwise; failures are printed, never thrown. A step
// that brings no answer in time is a failure: its requests are cancelled,
// and what it may still deliver goes to state it shares, never to the
// frame that stopped waiting.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "platform/Error.h"

namespace lumora {

struct DemoOptions {
  std::string login = "demo";
  std::string password = "demo-password";
  bool verbose = false;  // also print the SDK's info-level log lines
  // How long a step may go without an answer before the demo gives up.
  std::chrono::milliseconds signInLimit = std::chrono::seconds(60);
  std::chrono::milliseconds stepLimit = std::chrono::minutes(5);
};

// What the user reads of a failure: the screens' message for its code, else
// a general sentence around the error's own description.
std::string failureText(const platform::Error& error);

class DemoJob {
 public:
  DemoJob(DemoOptions options, std::FILE* out);
  int run();

 private:
  void step(const std::string& text);
  void outcome(bool ok, const std::string& text);
  void failed(const platform::Error& error) { outcome(false, failureText(error)); }
  bool signIn();
  bool relocate();
  bool registerDevice();
  bool listDevices();
  // Fills an empty address book with the demo's people.
  bool seedAddressBook();
  // Loads the cloud's changes, prints the estimate, runs one full sync with
  // a progress bar and prints what went each way.
  bool syncContacts(const std::string& title);
  // The phone's people against the cloud's contacts.
  bool compareWithCloud();
  // Backs up the photo library (seeded when empty) with a progress bar.
  bool backupPhotos();
  // Restores one cloud album into a second phone's library and checks
  // every file byte for byte.
  bool restoreAlbum();
  // Runs `work` on a global queue (cloud calls block their thread) while
  // this thread keeps pumping the main queue; its operation, or nullptr
  // after a failure printed here (no answer in time: the request loop is
  // cancelled).
  using CloudCall = std::function<std::shared_ptr<class LMHTTPRequestOperation>()>;
  std::shared_ptr<class LMHTTPRequestOperation> offMain(CloudCall work);
  // The same for work that leaves its results in state it shares (never in
  // this frame, which may have given up): false (a failure printed) when
  // it did not finish in time, its request loops cancelled.
  bool offMainWork(std::function<void()> work);
  // Pumps the main queue until `completed` holds or the limit passes; false
  // (a failure printed) when it did not.
  bool waitFor(const std::function<bool()>& completed, std::chrono::milliseconds limit);

  DemoOptions options_;
  std::shared_ptr<class LMSyncAdapter> adapter_;
  std::shared_ptr<class LMContactSyncAdapter> contacts_;
  std::FILE* out_;
  int stepNumber_ = 0;
};

}  // namespace lumora
