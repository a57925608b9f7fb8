// The statistics store's keyed archives as a launch reads them (the input
// holds the bytes of each file): the event points of "localpool" and the
// network samples of "network", loaded into their lists, handed to an
// upload and turned into the day packages and the forms sent; and the last
// crash, a raw note left by a signal handler and the archived record,
// turned into the record and the form sent.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/storage/AppHome.h"
#include "stats/KoACrashReportStore.h"
#include "stats/KoACrashReportUpload.h"
#include "stats/KoAPSNet.h"
#include "stats/KoAPSStat.h"
#include "stats/KoAPointUpload.h"
#include "support/Fuzz.h"

namespace {

void write(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = [] {
    platform::AppHome::setRoot(fuzz::scratchDirectory("stats"));
    return true;
  }();
  (void)ready;
  // What the last input left (the unreadable files moved aside, above all)
  // goes first: each input is a launch over only its own files.
  std::error_code ec;
  std::vector<std::filesystem::path> left;
  for (const auto& entry : std::filesystem::directory_iterator(platform::AppHome::tmp(), ec)) left.push_back(entry);
  for (const auto& path : left) std::filesystem::remove_all(path, ec);
  FuzzedDataProvider input(data, size);
  auto& crashes = lumora::KoACrashReportStore::shareSingletion();
  write(*lumora::KoAPSStat::directoryPath(lumora::KoAPSStat::kFileName), input.ConsumeRandomLengthString(1 << 20));
  write(*lumora::KoAPSNet::directoryPath(lumora::KoAPSNet::kFileName), input.ConsumeRandomLengthString(1 << 20));
  write(crashes.getPath(), input.ConsumeRandomLengthString(1 << 20));
  if (input.remaining_bytes() > 0) write(crashes.getNotePath(), input.ConsumeRemainingBytesAsString());

  lumora::KoAPSStat points;
  points.load();
  const auto sent = points.get(1);
  const lumora::KoASMJRoot document = lumora::KoAPointUpload::parse(sent.items, 1.7e9);
  (void)lumora::KoAPointUpload::pointForm(document, "device");
  (void)points.removeAll(1);

  lumora::KoAPSNet samples;
  samples.load();
  if (auto package = lumora::KoAPointUpload::parseNetRequest(samples.get(1).items)) {
    (void)lumora::KoAPointUpload::netForm(*package, "device");
  }

  if (auto crash = crashes.getCrashMessage()) (void)lumora::KoACrashReportUpload::crashForm(*crash, "device");
  (void)crashes.deleteCrashFile();
  return 0;
}
