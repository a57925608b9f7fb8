// The command-line main job: runs the client's work against the configured
// cloud (the local cloud in the demo) and prints each step with its outcome:
// sign-in, relocation, device registration, then a contact sync of a seeded
// address book with a progress bar, and what went up and came down.
//
// Runs on the calling thread, which it binds as the main queue's thread and
// pumps while the account and cloud work is under way. The steps and their
// outcomes go to `out`; the first failure ends the run and is told once on
// `err`, with what to do and where the log files are, and its kind is the
// exit status (DemoExit). Nothing is thrown. A step whose work does not
// move for the step's limit (on the clock) is a failure: its requests are
// cancelled, and what it may still deliver goes to state it shares, never
// to the frame that stopped waiting. requestStop() (from a signal handler
// too) ends the run the same way, at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/ui/StringFormat.h"

namespace lumora {

// The run's exit status.
enum DemoExit : int {
  kDemoExitOk = 0,
  kDemoExitLocalFailure = 1,   // this machine: the app home, the stores
  kDemoExitUsage = 2,          // a wrong command line (main's)
  kDemoExitSignInRefused = 3,  // the account service said no
  kDemoExitUnreachable = 4,    // the cloud cannot be reached or does not answer
  kDemoExitCloudFailure = 5,   // the cloud answered a request with an error
  kDemoExitStopped = 130,      // stopped by the user (Ctrl-C)
};

struct DemoOptions {
  std::string login = "demo";
  std::string password = "demo-password";
  // Also print the SDK's log lines of information and above, and the
  // console's debug dumps; otherwise they only go to the log files.
  bool verbose = false;
  // How long the sign-in may go without an answer before the demo gives up.
  std::chrono::milliseconds signInLimit = std::chrono::seconds(60);
  // How long any other step may go without its work moving (no reply, no
  // photo sent, no block moved) before the demo gives up; while its work
  // moves, a step goes on to its end however long it takes.
  std::chrono::milliseconds stepLimit = std::chrono::minutes(5);
  // How long a step that runs on (the backup) goes at most without saying
  // how far it is.
  std::chrono::milliseconds progressEvery = std::chrono::minutes(1);
  // Whether `out` is a terminal, where the progress bars are redrawn in
  // place; unset: whether its descriptor is one (a stream without one, as
  // a memory stream, is none).
  std::optional<bool> outputIsTerminal;
};

// What the user reads of a failure: a photo that cannot be read (or is
// damaged), or a folder of the library that cannot be read, by its place in
// the library and the reason, the screens' message for its code, else
// a general sentence around the error's own description.
std::string failureText(const platform::Error& error);
// The same for a failure of a backup's photo or folder: an error that does
// not name the photo itself (the cloud's refusal of it) is told after the
// photo's place in the library.
std::string photoFailureText(const platform::Error& error);
// A count in the demo's report, with its form for one as the window counts
// ("1 person", "2 people"). The report is English whatever the language,
// as its step titles are; only failures are told in the app's language.
std::string reportCount(const std::string& formatKey, const std::vector<platform::ui::FormatArgument>& arguments);

class DemoJob {
 public:
  DemoJob(DemoOptions options, std::FILE* out, std::FILE* err = stderr);
  int run();

  // Ends the run at the next moment it waits. Async-signal-safe.
  static void requestStop();

 private:
  void step(const std::string& text);
  // "ok: text", or a failure of this machine's (kDemoExitLocalFailure).
  void outcome(bool ok, const std::string& text);
  // A failure of `kind` (the first one is kept and told at the end), with
  // what to do about it when that is not the kind's own advice.
  void fail(DemoExit kind, const std::string& text, std::optional<std::string> advice = std::nullopt);
  // A failure from an error: a network error is an unreachable cloud, an
  // error of the SDK's own domain, or of a photo of the library, a local
  // failure (the photo's told with its path), any other the cloud's.
  void fail(const platform::Error& error);
  bool signIn();
  bool relocate();
  bool registerDevice();
  bool listDevices();
  // Fills an empty address book with the demo's people.
  bool seedAddressBook();
  // A failure of the address book's: told as a book that cannot be read
  // when its file is damaged, else as `text`, a failure of the app home.
  void failAddressBook(const std::string& text);
  // Loads the cloud's changes, prints the estimate, runs one full sync with
  // a progress bar and prints what went each way.
  bool syncContacts(const std::string& title);
  // The phone's people against the cloud's contacts.
  bool compareWithCloud();
  // Backs up the photo library with a progress bar, after adding the demo's
  // pictures as new files when it holds no photos or videos.
  bool backupPhotos();
  // Restores the demo's cloud album (when this phone's library has it)
  // into a second phone's library and checks every file byte for byte.
  bool restoreAlbum();
  // How far a step's work has moved: a count that grows with each sign of
  // it (a reply, a photo, a block), read on this thread.
  using Moves = std::function<std::uint64_t()>;
  // Runs `work` on a global queue (cloud calls block their thread) while
  // this thread keeps pumping the main queue; its operation, or nullptr
  // after a failure printed here (no answer in time: the request loop is
  // cancelled).
  using CloudCall = std::function<std::shared_ptr<class LMHTTPRequestOperation>()>;
  std::shared_ptr<class LMHTTPRequestOperation> offMain(CloudCall work);
  // The same for work that leaves its results in state it shares (never in
  // this frame, which may have given up): false (a failure printed) when
  // it did not finish, nor move, within the step's limit, its request loops
  // cancelled.
  bool offMainWork(std::function<void()> work, const Moves& moves = nullptr,
                   const std::function<void()>& whileWaiting = nullptr);
  // Pumps the main queue until `completed` holds; false (a failure printed)
  // when the limit passed on the clock first with nothing moved, counted
  // from the start or from the last move `moves` tells. `whileWaiting` runs
  // on this thread between pumps, at least every quarter of a second.
  bool waitFor(const std::function<bool()>& completed, std::chrono::milliseconds limit,
               const Moves& moves = nullptr, const std::function<void()>& whileWaiting = nullptr);

  DemoOptions options_;
  std::shared_ptr<class LMSyncAdapter> adapter_;
  std::shared_ptr<class LMContactSyncAdapter> contacts_;
  std::shared_ptr<class LMImageSyncAdapter> gallery_;  // this phone's
  std::FILE* out_;
  bool terminal_;  // out_ is a terminal
  std::FILE* err_;
  int stepNumber_ = 0;
  bool signingIn_ = false;  // a refusal now is a refused sign-in
  struct Failure {
    DemoExit kind;
    std::string text;
    std::optional<std::string> advice;
  };
  std::optional<Failure> failure_;  // the first
};

}  // namespace lumora
