#include "platform/http/FileBodySource.h"

#include <fstream>

namespace platform::http {
namespace {

class FileBodyStream final : public BodyStream {
 public:
  explicit FileBodyStream(const std::filesystem::path& file) : in_(file, std::ios::binary) {}
  bool isOpen() const { return static_cast<bool>(in_); }

  Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override {
    in_.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(size));
    if (in_.bad()) return Error("NSPOSIXErrorDomain", 5);
    return static_cast<std::size_t>(in_.gcount());
  }

 private:
  std::ifstream in_;
};

}  // namespace

std::optional<BodySource> fileBodySource(const std::filesystem::path& file) {
  std::error_code error;
  auto length = std::filesystem::file_size(file, error);
  if (error) return std::nullopt;
  BodySource source;
  source.length = length;
  source.open = [file]() -> std::unique_ptr<BodyStream> {
    auto stream = std::make_unique<FileBodyStream>(file);
    if (!stream->isOpen()) return nullptr;
    return stream;
  };
  return source;
}

}  // namespace platform::http
