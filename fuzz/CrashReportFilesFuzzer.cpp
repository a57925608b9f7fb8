// The record files of a crash report as the next launch finds them in the
// report store (the input holds the bytes of each file a launch writes):
// each read line by line into its sections; the report's identity and
// metadata taken from them; its crash records symbolicated against its
// binary-image record; and the whole report packed into an upload package.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "blackbox/BBXFile.h"
#include "blackbox/BBXFileManager.h"
#include "blackbox/BBXInternalReport.h"
#include "blackbox/BBXPackageReportOperation.h"
#include "blackbox/BBXProcessReportOperation.h"
#include "blackbox/BBXSymbolResolver.h"
#include "platform/storage/AppHome.h"
#include "support/Fuzz.h"

namespace {

constexpr const char* kRecordFiles[] = {
    "metadata.bbxrecord",       "binary_images.bbxrecord",  "exception.bbxrecord",
    "signal.bbxrecord",         "mach_exception.bbxrecord", "custom_exception.bbxrecord",
    "errors_a.bbxrecord",       "log_a.bbxrecord",          "user_incremental_kv.bbxrecord",
    "user_compacted_kv.bbxrecord"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace fs = std::filesystem;
  static const lumora::BBXFileManager store = [] {
    platform::AppHome::setRoot(fuzz::scratchDirectory("crash"));
    return lumora::BBXFileManager();
  }();
  std::error_code ec;
  fs::remove_all(store.rootPath(), ec);
  const fs::path directory = fs::path(store.activePath()) / "run-1";
  fs::create_directories(directory, ec);
  fs::create_directories(store.preparedPath(), ec);

  FuzzedDataProvider input(data, size);
  for (const char* name : kRecordFiles) {
    if (input.remaining_bytes() == 0) break;
    std::ofstream(directory / name, std::ios::binary) << input.ConsumeRandomLengthString(4096);
  }
  for (const char* name : kRecordFiles) (void)lumora::BBXFileReadSections((directory / name).c_str(), false);

  auto report = lumora::BBXInternalReport::reportWithPath(directory.string());
  if (!report) report = lumora::BBXInternalReport::reportWithPath(directory.string(), "run-1");
  FUZZ_CHECK(report);
  (void)report->needsToBeSubmitted();
  (void)report->isCrash();
  (void)report->APIKey();
  (void)report->bundleVersion();
  (void)report->bundleShortVersionString();
  (void)report->dateCreated();
  (void)report->OSVersion();
  (void)report->OSBuildVersion();

  lumora::BBXProcessReportOperation(report, std::make_shared<lumora::BBXSymbolResolver>()).start();
  lumora::BBXPackageReportOperation package(report, store);
  package.start();
  return 0;
}
