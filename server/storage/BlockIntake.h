// One sending of a block to the storage node, taken in as it arrives. The
// receiving thread only decrypts each piece (combining it with the upload's
// key stream, made ahead: KeyStreams) into runs; each full run goes to
// helper threads of the sending's own: one feeds the block's SHA-1, one the
// upload's running digest (when this block is the next in order), one
// creates the staged file and writes the run to it. So these costs, about
// alike, overlap while the next run is received. A failure is remembered
// and the rest of the body read and dropped.
//
// Ownership: owned by the handler of the sending; borrows the BlobStore;
// owns its helpers (joined by finish() or the destructor). Threading: take()
// and finish() on the receiving thread. Failures: finish() gives nullopt
// when the block could not be decrypted or stored (helpers that cannot be
// started leave their work to the receiving thread).
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/storage/BlobStore.h"
#include "server/services/FileCrypto.h"
#include "server/storage/KeyStreams.h"

namespace localcloud {

class BlockIntake {
 public:
  struct Taken {
    std::uint64_t size = 0;
    std::string sha1;
    std::unique_ptr<crypto::Sha1Stream> running;
  };

  // Stages into the BlobStore file `name`. `keyStream` covers `expected`
  // bytes at least; bytes past `expected` are counted, not kept. `running`
  // (when given) is fed the block after what it has digested.
  BlockIntake(BlobStore& blobs, std::string name, std::shared_ptr<KeyStreams::Stream> keyStream,
              std::uint64_t expected, std::unique_ptr<crypto::Sha1Stream> running);
  ~BlockIntake();
  BlockIntake(const BlockIntake&) = delete;
  BlockIntake& operator=(const BlockIntake&) = delete;

  // Takes the next piece of the body; always true (the body is read whole).
  bool take(const char* data, std::size_t size);
  // What was taken; nullopt when it could not be decrypted or stored.
  std::optional<Taken> finish();

 private:
  // Small runs: the last one, handed over at the end, is soon done.
  static constexpr std::size_t kRun = 64 * 1024;
  static constexpr std::size_t kRuns = 16;

  // One helper: its work, the runs handed to it (in order) and its thread.
  enum class Work { Digest, Running, Write };
  struct Stage {
    Work work = Work::Digest;
    bool active = false;
    std::deque<std::pair<std::size_t, std::size_t>> ready;  // run, bytes
    std::thread thread;
  };

  std::size_t acquire();
  void handOver();
  void serve(Stage& stage);
  void perform(Work work, std::size_t run, std::size_t size);
  // Makes the staged file (off the receiving thread, unless no writer could
  // be had).
  void createFile();
  void release(std::size_t run);
  void close();

  BlobStore& blobs_;
  const std::string name_;
  std::optional<BlobStore::Writer> file_;  // the writer's
  std::shared_ptr<KeyStreams::Stream> keyStream_;
  const std::uint64_t expected_;
  crypto::Sha1Stream sha1_;                      // the digester's
  std::unique_ptr<crypto::Sha1Stream> running_;  // its helper's
  std::array<std::vector<char>, kRuns> runs_;
  std::array<int, kRuns> pending_{};  // helpers still to do a run
  int activeStages_ = 0;
  std::optional<std::size_t> current_;  // the run being filled
  std::size_t filled_ = 0;
  std::uint64_t size_ = 0;
  bool decrypted_ = false;  // the receiving thread's
  bool stored_ = true;      // the writer's
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::size_t> free_;
  std::array<Stage, 3> stages_;
  bool closing_ = false;
};

}  // namespace localcloud
