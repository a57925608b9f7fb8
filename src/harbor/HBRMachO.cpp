#include "harbor/HBRMachO.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "harbor/HBRBundle.h"
#include "harbor/HBRElfImage.h"
#include "platform/Random.h"

namespace lumora {
namespace {

constexpr std::uint32_t kMagic32 = 0xfeedface;
constexpr std::uint32_t kCigam32 = 0xcefaedfe;
constexpr std::uint32_t kMagic64 = 0xfeedfacf;
constexpr std::uint32_t kCigam64 = 0xcffaedfe;
constexpr std::uint32_t kFatMagic = 0xcafebabe;
constexpr std::uint32_t kFatCigam = 0xbebafeca;
constexpr std::uint32_t kSegment32 = 0x1;
constexpr std::uint32_t kSegment64 = 0x19;
constexpr std::size_t kFatRecordSize = 20;

std::uint32_t machoReadWord(const std::uint8_t* at) {
  std::uint32_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

std::uint32_t machoReadBigEndian(const std::uint8_t* at) {
  return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) |
         (std::uint32_t{at[2]} << 8) | std::uint32_t{at[3]};
}

bool machoIsMagic(std::uint32_t magic) {
  return magic == kMagic32 || magic == kCigam32 || magic == kMagic64 || magic == kCigam64;
}

bool machoIs64(std::uint32_t magic) { return magic == kMagic64 || magic == kCigam64; }

struct ArchitectureName {
  std::int32_t cpuType;
  std::int32_t cpuSubtype;  // -1: any subtype
  const char* name;
};

// The architecture table of the loader, for the processors a report may
// name; the first row that fits wins.
constexpr ArchitectureName kArchitectureNames[] = {
    {7, -1, "i386"},
    {7 | kHBRCPUArch64, -1, "x86_64"},
    {12, 6, "armv6"},
    {12, 9, "armv7"},
    {12, 11, "armv7s"},
    {12, 12, "armv7k"},
    {12, -1, "arm"},
    {12 | kHBRCPUArch64, 2, "arm64e"},
    {12 | kHBRCPUArch64, -1, "arm64"},
    {12 | 0x02000000, -1, "arm64_32"},
    {18, -1, "ppc"},
    {18 | kHBRCPUArch64, -1, "ppc64"},
};

// Finds section `name` of segment "__TEXT"; 0 when absent.
std::uintptr_t findTextSection(const HBRImageDescription& image, const char* name) {
  HBRImageDescription described = image;
  bool wide = (image.cpuType & kHBRCPUArch64) != 0;
  std::uintptr_t found = 0;
  HBRImageEnumerateLoadCommands(described, [&](std::uint32_t command, std::uint32_t size,
                                               const std::uint8_t* bytes) {
    if (found != 0 || command != (wide ? kSegment64 : kSegment32)) return;
    std::size_t countAt = wide ? 64 : 48;
    std::size_t first = wide ? 72 : 56;
    std::size_t step = wide ? 80 : 68;
    std::size_t offsetAt = wide ? 48 : 40;
    if (size < first || std::strncmp(reinterpret_cast<const char*>(bytes + 8), "__TEXT", 16) != 0) {
      return;
    }
    std::uint32_t sections = machoReadWord(bytes + countAt);
    for (std::uint32_t i = 0; i < sections; ++i) {
      std::size_t at = first + std::size_t{i} * step;
      if (at + step > size) return;
      if (std::strncmp(reinterpret_cast<const char*>(bytes + at), name, 16) == 0) {
        found = reinterpret_cast<std::uintptr_t>(image.header) + machoReadWord(bytes + at + offsetAt);
        return;
      }
    }
  });
  return found;
}

}  // namespace

bool HBRMachOFileOpen(HBRMachOFile& file, const std::string& path) {
  file = HBRMachOFile{};
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 16) {
    ::close(fd);
    return false;
  }
  void* mapping = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_SHARED, fd, 0);
  if (mapping == MAP_FAILED) {
    ::close(fd);
    return false;
  }
  file.fd = fd;
  file.length = static_cast<std::uint64_t>(info.st_size);
  file.mapping = static_cast<const std::uint8_t*>(mapping);
  return true;
}

bool HBRMachOFileOpenMainExecutable(HBRMachOFile& file) {
  auto path = HBRElfMainExecutablePath();
  if (!path) {
    file = HBRMachOFile{};
    return false;
  }
  return HBRMachOFileOpen(file, *path);
}

void HBRMachOFileClose(HBRMachOFile& file) {
  if (file.mapping != nullptr && file.length != 0) {
    ::munmap(const_cast<std::uint8_t*>(file.mapping), static_cast<std::size_t>(file.length));
  }
  if (file.fd >= 0) ::close(file.fd);
  file = HBRMachOFile{};
}

void HBRMachOFileEnumerateSlices(const HBRMachOFile& file, const HBRSliceBlock& block) {
  if (file.mapping == nullptr) return;
  HBRMachOHeaderEnumerateSlices(file.mapping, static_cast<std::size_t>(file.length), block);
}

void HBRMachOHeaderEnumerateSlices(const std::uint8_t* header, std::size_t size,
                                   const HBRSliceBlock& block) {
  if (header == nullptr || size < 4) return;
  std::uint32_t magic = machoReadWord(header);
  if (magic == kFatMagic || magic == kFatCigam) {
    if (size < 8) return;
    // Only the records, and the slices they name, that lie inside the
    // buffer: a count or an offset from a damaged file reads nothing past it.
    std::uint64_t count = machoReadBigEndian(header + 4);
    std::uint64_t fits = (size - 8) / kFatRecordSize;
    if (count > fits) count = fits;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint8_t* record = header + 8 + i * kFatRecordSize;
      std::uint64_t offset = machoReadBigEndian(record + 8);
      std::uint64_t length = machoReadBigEndian(record + 12);
      if (offset > size || length > size - offset) continue;
      block(HBRImageDescription{header + offset, static_cast<std::size_t>(length),
                                static_cast<std::int32_t>(machoReadBigEndian(record)),
                                static_cast<std::int32_t>(machoReadBigEndian(record + 4))});
    }
    return;
  }
  HBRImageDescription slice{header, size, 0, 0};
  if (machoIsMagic(magic) && size >= 12) {
    slice.cpuType = static_cast<std::int32_t>(machoReadWord(header + 4));
    slice.cpuSubtype = static_cast<std::int32_t>(machoReadWord(header + 8));
  }
  block(slice);
}

HBRImageDescription HBRImageDescribeMainExecutable() {
  HBRImageDescription image;
  auto loaded = HBRElfMainExecutableHeader();
  if (loaded) {
    image.header = loaded->header;
    image.size = loaded->size;
  }
  auto cpu = HBRElfCPUTypeForMachine(HBRElfHostMachine());
  image.cpuType = cpu.cpuType;
  image.cpuSubtype = cpu.cpuSubtype;
  return image;
}

HBRImageDescription HBRImageDescribeHeader(const std::uint8_t* header, std::size_t size) {
  return HBRImageDescription{header, size, 0, 0};
}

std::optional<std::string> HBRImageGetPath(const HBRImageDescription& image) {
  return HBRElfPathOfLoadedAddress(image.header);
}

std::string HBRImageGetArchitectureName(const HBRImageDescription& image) {
  if (image.cpuType == (12 | kHBRCPUArch64) && image.cpuSubtype == 0) return "arm64";
  if (image.cpuType == 12 && image.cpuSubtype == 11) return "armv7s";
  for (const auto& row : kArchitectureNames) {
    if (row.cpuType == image.cpuType && (row.cpuSubtype == -1 || row.cpuSubtype == image.cpuSubtype)) {
      return row.name;
    }
  }
  return "unknown";
}

void HBRImageEnumerateLoadCommands(HBRImageDescription& image, const HBRLoadCommandBlock& block) {
  if (image.header == nullptr || image.size < 28) return;
  std::uint32_t magic = machoReadWord(image.header);
  if (!machoIsMagic(magic)) return;
  std::size_t at = machoIs64(magic) ? 32 : 28;
  if (at > image.size) return;
  image.cpuType = static_cast<std::int32_t>(machoReadWord(image.header + 4));
  image.cpuSubtype = static_cast<std::int32_t>(machoReadWord(image.header + 8));
  std::uint32_t count = machoReadWord(image.header + 16);
  for (std::uint32_t i = 0; i < count; ++i) {
    // A command shorter than its own two words (a size of 0 would spin in
    // place) or one that runs past the buffer ends the walk.
    if (image.size - at < 8) return;
    std::uint32_t command = machoReadWord(image.header + at);
    std::uint32_t size = machoReadWord(image.header + at + 4);
    if (size < 8 || size > image.size - at) return;
    block(command, size, image.header + at);
    at += size;
  }
}

void HBRImageFindUnwindSections(const HBRImageDescription& image, std::uintptr_t& ehFrame,
                                std::uintptr_t& unwindInfo) {
  ehFrame = findTextSection(image, "__eh_frame");
  unwindInfo = findTextSection(image, "__unwind_info");
}

std::uintptr_t HBRImageFindTextSection(const HBRImageDescription& image, const std::string& name) {
  return findTextSection(image, name.c_str());
}

const std::uint8_t* HBRLoadCommandGetUUIDBytes(const std::uint8_t* command, std::uint32_t size) {
  return command != nullptr && size >= 24 ? command + 8 : nullptr;
}

bool HBRLoadCommandIsEncrypted(const std::uint8_t* command, std::uint32_t size) {
  return command != nullptr && size >= 20 && machoReadWord(command + 16) != 0;
}

std::optional<HBRVersionTriple> HBRLoadCommandGetMinimumOSVersion(const std::uint8_t* command,
                                                                  std::uint32_t size) {
  if (command == nullptr || size < 12) return std::nullopt;
  return HBRVersionTripleFromWord(machoReadWord(command + 8));
}

std::optional<HBRVersionTriple> HBRLoadCommandGetBuiltSDKVersion(const std::uint8_t* command,
                                                                 std::uint32_t size) {
  if (command == nullptr || size < 16) return std::nullopt;
  return HBRVersionTripleFromWord(machoReadWord(command + 12));
}

HBRVersionTriple HBRVersionTripleFromWord(std::uint32_t word) {
  return HBRVersionTriple{word >> 16, (word >> 8) & 0xff, word & 0xff};
}

std::optional<std::string> HBRVersionTripleFormat(const std::optional<HBRVersionTriple>& triple) {
  if (!triple) return std::nullopt;
  return std::to_string(triple->major) + "." + std::to_string(triple->minor) + "." +
         std::to_string(triple->bugfix);
}

std::string HBRUUIDStringFromBytes(const std::uint8_t* bytes) {
  char text[33];
  HBRHexEncodeBytes(bytes, 16, text);
  return text;
}

std::string HBRCreateUUIDString() { return platform::randomUUIDString(); }

}  // namespace lumora
