#include "blackbox/BBXPackageReportOperation.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blackbox/BBXContext.h"
#include "blackbox/BBXFile.h"
#include "blackbox/BBXFileManager.h"
#include "blackbox/BBXInternalReport.h"
#include "platform/device/Bundle.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace {

namespace fs = std::filesystem;
using lumora::BBXPackageReportOperation;

std::string bbxPackageRead(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string bbxPackageGunzip(const std::string& packed) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 16 + MAX_WBITS), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  stream.avail_in = static_cast<uInt>(packed.size());
  std::string out;
  char buffer[4096];
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  }
  EXPECT_EQ(status, Z_STREAM_END);
  inflateEnd(&stream);
  return out;
}

struct BBXPackagePart {
  std::string fileName;
  std::string contentType;
  std::string body;
};

// The parts of a multipart file by field name.
std::map<std::string, BBXPackagePart> bbxPackageParts(const std::string& body, const std::string& boundary) {
  std::map<std::string, BBXPackagePart> parts;
  const std::string delimiter = "--" + boundary;
  std::size_t at = body.find(delimiter);
  while (at != std::string::npos) {
    std::size_t start = at + delimiter.size();
    if (body.compare(start, 2, "--") == 0) break;
    std::size_t headersEnd = body.find("\r\n\r\n", start);
    std::size_t next = body.find("\r\n" + delimiter, headersEnd);
    if (headersEnd == std::string::npos || next == std::string::npos) break;
    const std::string headers = body.substr(start, headersEnd - start);
    auto quoted = [&](const std::string& key) {
      std::size_t found = headers.find(key + "=\"");
      if (found == std::string::npos) return std::string();
      found += key.size() + 2;
      return headers.substr(found, headers.find('"', found) - found);
    };
    std::string contentType;
    if (std::size_t type = headers.find("Content-Type: "); type != std::string::npos) {
      contentType = headers.substr(type + 14, headers.find("\r\n", type) - type - 14);
    }
    parts[quoted("name")] = {quoted("filename"), contentType, body.substr(headersEnd + 4, next - headersEnd - 4)};
    at = next + 2;
  }
  return parts;
}

// The process out of file descriptors but `spare`, for the life of the
// value: every number below a lowered limit is taken.
class BBXDescriptorsTaken {
 public:
  explicit BBXDescriptorsTaken(int spare) {
    int highest = 2;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
      highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
    }
    getrlimit(RLIMIT_NOFILE, &limit_);
    rlimit lowered = limit_;
    lowered.rlim_cur = std::min<rlim_t>(limit_.rlim_cur, static_cast<rlim_t>(highest) + 16);
    setrlimit(RLIMIT_NOFILE, &lowered);
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken_.push_back(fd);
    for (; spare > 0 && !taken_.empty(); --spare) {
      close(taken_.back());
      taken_.pop_back();
    }
  }
  ~BBXDescriptorsTaken() {
    for (int fd : taken_) close(fd);
    setrlimit(RLIMIT_NOFILE, &limit_);
  }
  BBXDescriptorsTaken(const BBXDescriptorsTaken&) = delete;
  BBXDescriptorsTaken& operator=(const BBXDescriptorsTaken&) = delete;

 private:
  rlimit limit_{};
  std::vector<int> taken_;
};

class BBXPackageReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", "com.example.app"}});
    store_ = std::make_unique<lumora::BBXFileManager>();
    ASSERT_TRUE(store_->prepareForNewLaunch());
    auto made = store_->setupNewPathForExecutionIdentifier("run-7");
    ASSERT_TRUE(made);
    directory_ = *made;
    lumora::BBXContextInitData data;
    data.apiKey = "key-7";
    data.reportIdentifier = "run-7";
    lumora::BBXContextRecordMetadata((directory_ / "metadata.bbxrecord").c_str(), data);
    lumora::BBXFile file;
    ASSERT_TRUE(lumora::BBXFileInitWithPath(&file, (directory_ / "signal.bbxrecord").c_str(), false));
    lumora::BBXFileWriteSectionStart(&file, "signal");
    lumora::BBXFileWriteHashStart(&file);
    lumora::BBXFileWriteHashEntryUint64(&file, "number", 11);
    lumora::BBXFileWriteHashEnd(&file);
    lumora::BBXFileWriteSectionEnd(&file);
    lumora::BBXFileClose(&file);
    std::ofstream(directory_ / "signal.bbxrecord.symbolicated") << "{\"threads\":[]}\n";
    std::ofstream(directory_ / "sdk.log") << std::string(200000, 'x');  // several compressed writes
    std::ofstream(directory_ / "stale.gz") << "left by an interrupted packaging";
    std::ofstream(directory_ / ".hidden") << "never sent";
  }
  void TearDown() override {
    BBXPackageReportOperation::setGzWriteForTesting(nullptr);
    platform::Bundle::reset();
  }

  testsupport::TestHome home_;
  std::unique_ptr<lumora::BBXFileManager> store_;
  fs::path directory_;
};

TEST_F(BBXPackageReportTest, EveryEntryBecomesAGzipPartOfOnePackage) {
  auto report = lumora::BBXInternalReport::reportWithPath(directory_.string());
  ASSERT_NE(report, nullptr);
  BBXPackageReportOperation operation(report, *store_);
  operation.start();
  ASSERT_TRUE(operation.finalPath());
  EXPECT_EQ(store_->preparedPathContents(), std::vector<std::string>{*operation.finalPath()});
  const fs::path package(*operation.finalPath());
  EXPECT_EQ(package.extension(), ".multipartmime");

  const auto parts = bbxPackageParts(bbxPackageRead(package), package.stem().string());
  EXPECT_EQ(parts.at("api_key").body, "key-7");
  EXPECT_EQ(parts.at("report_id").body, "run-7");
  const std::map<std::string, std::string> files = {{"metadata", "metadata.bbxrecord"},
                                                    {"signal", "signal.bbxrecord"},
                                                    {"signal.bbxrecord", "signal.bbxrecord.symbolicated"},
                                                    {"sdk", "sdk.log"}};
  EXPECT_EQ(parts.size(), files.size() + 2);  // no stale or hidden entry
  for (const auto& [field, file] : files) {
    ASSERT_TRUE(parts.count(field)) << field;
    EXPECT_EQ(parts.at(field).fileName, file + ".gz");
    EXPECT_EQ(parts.at(field).contentType, "application/x-gzip");
    EXPECT_EQ(bbxPackageGunzip(parts.at(field).body), bbxPackageRead(directory_ / file)) << field;
  }
}

TEST_F(BBXPackageReportTest, APartThatDoesNotCompressWholeLeavesNoPackage) {
  BBXPackageReportOperation::setGzWriteForTesting([](void* file, const void* data, unsigned length) {
    return length > 1000 ? gzwrite(static_cast<gzFile>(file), data, length / 2) : gzwrite(static_cast<gzFile>(file), data, length);
  });
  auto report = lumora::BBXInternalReport::reportWithPath(directory_.string());
  ASSERT_NE(report, nullptr);
  BBXPackageReportOperation operation(report, *store_);
  operation.start();
  EXPECT_FALSE(operation.finalPath());
  EXPECT_TRUE(store_->preparedPathContents().empty());
  EXPECT_TRUE(fs::exists(directory_ / "sdk.log"));
  EXPECT_FALSE(fs::exists(directory_ / "sdk.log.gz"));
}

// A report that cannot be read now, for a passing reason, leaves no
// package and stays whole: its crash record's open refused while another
// holds a lease on the file, or no descriptor left to list the report with.
// The next try sends every file.
TEST_F(BBXPackageReportTest, AReportThatCannotBeReadNowIsPackagedWholeOnceItCanBe) {
  auto report = lumora::BBXInternalReport::reportWithPath(directory_.string());
  ASSERT_NE(report, nullptr);
  auto package = [&] {
    BBXPackageReportOperation operation(report, *store_);
    operation.start();
    return operation.finalPath();
  };
  // A lease breaker's own signal is not wanted here.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGIO, &ignore, &previous);
  const int lease = open((directory_ / "signal.bbxrecord").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(lease, 0);
  ASSERT_EQ(fcntl(lease, F_SETLEASE, F_WRLCK), 0) << std::strerror(errno);
  const auto leased = package();
  fcntl(lease, F_SETLEASE, F_UNLCK);
  close(lease);
  sigaction(SIGIO, &previous, nullptr);
  EXPECT_FALSE(leased) << "packaged without the crash record";

  // The sanitizers' runtime checks each object's type through a pipe of
  // its own: with no descriptor left it takes a sound one for a bad one.
  if (!testsupport::kUnderAddressSanitizer) {
    std::optional<std::string> full;
    {
      BBXDescriptorsTaken taken(1);  // the package's own file opens, the listing does not
      full = package();
    }
    EXPECT_FALSE(full) << "packaged without a file";
    EXPECT_TRUE(store_->preparedPathContents().empty());
  }

  const auto whole = package();
  ASSERT_TRUE(whole);
  const fs::path path(*whole);
  const auto parts = bbxPackageParts(bbxPackageRead(path), path.stem().string());
  for (const char* field : {"metadata", "signal", "signal.bbxrecord", "sdk"}) EXPECT_TRUE(parts.count(field)) << field;
}

}  // namespace
