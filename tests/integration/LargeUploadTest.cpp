// A 1 GiB multipart upload through the signed request path to the local
// cloud's streaming upload route: the body is generated as it is read, so
// neither side ever holds it; progress is reported; a cancel half-way ends
// the upload at once with one completion, and the cloud commits nothing.
// The device's clock is set back a day while the uploads run.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "SignedRequestFixture.h"
#include "platform/http/UrlError.h"
#include "support/Sanitizers.h"
#include "support/SteppedClock.h"

namespace signedtest {
namespace {

constexpr std::uint64_t kSize = 1ull << 30;
constexpr const char* kUpload = "/lum/file/v3/user/10001/upload";

// Peak resident memory of this process since the last reset, in bytes.
std::int64_t peakResident() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
  }
  return -1;
}
void resetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Bytes made as they are read (a cycle of 1 MiB + 7 bytes), hashed on the way.
class GeneratedFile final : public platform::http::BodyStream {
 public:
  explicit GeneratedFile(std::shared_ptr<std::string> sha1) : sha1_(std::move(sha1)) {
    static const std::string pattern = [] {
      std::string bytes((1 << 20) + 7, '\0');
      for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 131) >> 3);
      return bytes;
    }();
    pattern_ = &pattern;
    EVP_DigestInit_ex(digest_, EVP_sha1(), nullptr);
  }
  ~GeneratedFile() override { EVP_MD_CTX_free(digest_); }

  platform::Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, kSize - offset_));
    for (std::size_t done = 0; done < n;) {
      std::size_t at = static_cast<std::size_t>((offset_ + done) % pattern_->size());
      std::size_t run = std::min(n - done, pattern_->size() - at);
      std::memcpy(buffer + done, pattern_->data() + at, run);
      done += run;
    }
    EVP_DigestUpdate(digest_, buffer, n);
    offset_ += n;
    if (offset_ == kSize) {
      unsigned char out[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      EVP_DigestFinal_ex(digest_, out, &length);
      *sha1_ = platform::hexString(platform::Bytes(out, out + length));
    }
    return n;
  }

 private:
  const std::string* pattern_;
  std::uint64_t offset_ = 0;
  EVP_MD_CTX* digest_ = EVP_MD_CTX_new();
  std::shared_ptr<std::string> sha1_;
};

class LargeUploadTest : public SignedRequestCloudTest {
 protected:
  // Ends of one operation as its blocks report them.
  struct Watch {
    std::mutex mutex;
    std::condition_variable changed;
    std::int64_t written = 0;
    std::int64_t expected = 0;
    int completions = 0;
  };

  std::shared_ptr<lumora::LMHTTPRequestOperation> makeUpload(const std::shared_ptr<std::string>& sha1,
                                                             Watch& watch) {
    auto operation = adapter_->httpRequestManager()->POST(
        url(kUpload), Json{{"_name", "big.bin"}}, "lumora",
        [sha1](lumora::LMStreamingMultipartFormData& form) {
          form.appendPartWithInputStream(
              {kSize, [sha1] { return std::make_unique<GeneratedFile>(sha1); }}, "file", "big.bin",
              "application/octet-stream");
        });
    operation->setUploadProgressBlock([&watch](std::int64_t, std::int64_t total, std::int64_t expected) {
      std::lock_guard<std::mutex> guard(watch.mutex);
      watch.written = total;
      watch.expected = expected;
      watch.changed.notify_all();
    });
    operation->setCompletionBlock([&watch](lumora::LMHTTPRequestOperation&) {
      std::lock_guard<std::mutex> guard(watch.mutex);
      ++watch.completions;
      watch.changed.notify_all();
    });
    return operation;
  }
};

TEST_F(LargeUploadTest, AGibibyteStreamsWithProgressAndACancelHalfWayEndsItAtOnce) {
  // The cloud keeps the whole file on disk: a machine without the room
  // would fail it for the disk's sake, not the upload's.
  std::error_code error;
  const auto space = std::filesystem::space(home_.root(), error);
  if (error || space.available < kSize + (512ull << 20)) {
    GTEST_SKIP() << "needs " << ((kSize >> 20) + 512) << " MiB free on the test disk, has "
                 << (error ? 0 : space.available >> 20) << " MiB";
  }
  signInWithKnownKey();
  auto clock = std::make_shared<testsupport::SteppedClock>();
  platform::ScopedClock scoped(clock);
  auto& uploads = server_->uploads();

  // The whole upload: client and cloud together stay far below its size.
  resetPeakResident();
  const std::int64_t before = peakResident();
  auto sha1 = std::make_shared<std::string>();
  Watch whole;
  auto upload = makeUpload(sha1, whole);
  std::thread sender([&] { upload->start(); });
  {
    std::unique_lock<std::mutex> lock(whole.mutex);
    whole.changed.wait(lock, [&] { return whole.written > static_cast<std::int64_t>(kSize / 2); });
  }
  clock->stepWallTime(-std::chrono::hours(24));
  sender.join();
  auto reply = upload->result();
  ASSERT_TRUE(reply.ok()) << reply.error().description();
  EXPECT_LT(peakResident() - before, 64ll << 20);
  RecordProperty("peakGrowthKiB", std::to_string((peakResident() - before) / 1024));
  EXPECT_EQ(whole.completions, 1);
  EXPECT_EQ(whole.expected, whole.written);
  EXPECT_GT(whole.written, static_cast<std::int64_t>(kSize));  // the file and the multipart framing
  EXPECT_EQ((*reply)["data"]["size"], kSize);
  EXPECT_EQ((*reply)["data"]["sha1"], *sha1);
  EXPECT_EQ(uploads.committedFiles(kUserId).size(), 1u);

  // Cancelled from another thread half-way: one completion within 100 ms (as
  // long as the build stretches them).
  Watch cancelled;
  auto second = makeUpload(std::make_shared<std::string>(), cancelled);
  std::thread secondSender([&] { second->start(); });
  {
    std::unique_lock<std::mutex> lock(cancelled.mutex);
    cancelled.changed.wait(lock, [&] { return cancelled.written > static_cast<std::int64_t>(kSize / 2); });
  }
  clock->stepWallTime(-std::chrono::hours(24));
  const auto cancelAt = clock->steadyNow();
  second->cancel();
  {
    std::unique_lock<std::mutex> lock(cancelled.mutex);
    cancelled.changed.wait(lock, [&] { return cancelled.completions > 0; });
  }
  const auto ended = clock->steadyNow();
  secondSender.join();
  EXPECT_LT(ended - cancelAt, testsupport::scaled(std::chrono::milliseconds(100)));
  RecordProperty("cancelMicroseconds",
                 std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(ended - cancelAt).count()));
  EXPECT_EQ(cancelled.completions, 1);
  ASSERT_TRUE(second->error());
  EXPECT_EQ(second->error()->code(), platform::http::kUrlErrorCancelled);
  second->cancel();  // too late: nothing more happens
  EXPECT_EQ(cancelled.completions, 1);
  ASSERT_TRUE(uploads.waitUntilIdle(testsupport::scaled(std::chrono::seconds(10))));
  EXPECT_EQ(uploads.committedFiles(kUserId).size(), 1u);
  EXPECT_EQ(uploads.pendingFiles(), 0u);
}

}  // namespace
}  // namespace signedtest
