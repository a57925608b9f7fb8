// Readers of Mach-O images held in memory: fat-file slices, load commands,
// UUIDs, version words and "__TEXT" sections, plus the mapping of a whole
// file. Every reader is bounded by the size the description carries, so a
// truncated or hostile image is read no further than its buffer.
// Stateless functions; any thread. Failure: false, nullopt, null or 0, as
// each says; nothing is logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace lumora {

// A version word split as major.minor.bugfix.
struct HBRVersionTriple {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t bugfix = 0;
};

// A file mapped whole and read-only. `fd` is -1 and `mapping` null when
// nothing is open.
struct HBRMachOFile {
  int fd = -1;
  std::uint64_t length = 0;
  const std::uint8_t* mapping = nullptr;
};

// An image header in memory with the bytes readable from it, and its CPU
// type and subtype (Mach-O numbering).
struct HBRImageDescription {
  const std::uint8_t* header = nullptr;
  std::size_t size = 0;
  std::int32_t cpuType = 0;
  std::int32_t cpuSubtype = 0;
};

inline constexpr std::int32_t kHBRCPUArch64 = 0x01000000;

// Opens `path` read-only and maps it whole; only a regular file of at least
// 16 bytes. On false the file is left closed.
bool HBRMachOFileOpen(HBRMachOFile& file, const std::string& path);
// The running executable (/proc/self/exe).
bool HBRMachOFileOpenMainExecutable(HBRMachOFile& file);
// Unmaps and closes; the file reads as closed afterwards.
void HBRMachOFileClose(HBRMachOFile& file);

using HBRSliceBlock = std::function<void(const HBRImageDescription&)>;
void HBRMachOFileEnumerateSlices(const HBRMachOFile& file, const HBRSliceBlock& block);
// A fat file gives one description per slice record that lies inside the
// buffer (record order); any other buffer is one slice, with the CPU fields
// of a Mach-O header or 0.
void HBRMachOHeaderEnumerateSlices(const std::uint8_t* header, std::size_t size,
                                   const HBRSliceBlock& block);

// The running executable: its loaded ELF header and this processor's CPU
// type and subtype.
HBRImageDescription HBRImageDescribeMainExecutable();
// A header with CPU type and subtype 0.
HBRImageDescription HBRImageDescribeHeader(const std::uint8_t* header, std::size_t size);
// The file of the loaded image that holds the header; nullopt when the
// header lies in no loaded image.
std::optional<std::string> HBRImageGetPath(const HBRImageDescription& image);
// "arm64", "armv7s", "x86_64", ... from the CPU type and subtype; "unknown".
std::string HBRImageGetArchitectureName(const HBRImageDescription& image);

// Fills the CPU fields from the header and calls `block` with (command,
// command size, command bytes) for each load command, up to the header's
// count; stops at a command that is shorter than 8 bytes or runs past the
// buffer. Nothing happens without a Mach-O magic.
using HBRLoadCommandBlock = std::function<void(std::uint32_t, std::uint32_t, const std::uint8_t*)>;
void HBRImageEnumerateLoadCommands(HBRImageDescription& image, const HBRLoadCommandBlock& block);
// Addresses (header address + file offset) of "__TEXT" sections; 0 when
// absent.
void HBRImageFindUnwindSections(const HBRImageDescription& image, std::uintptr_t& ehFrame,
                                std::uintptr_t& unwindInfo);
std::uintptr_t HBRImageFindTextSection(const HBRImageDescription& image, const std::string& name);

// Fields of single load commands, given the command and its size; null or
// nullopt when the command is too short for the field.
const std::uint8_t* HBRLoadCommandGetUUIDBytes(const std::uint8_t* command, std::uint32_t size);
bool HBRLoadCommandIsEncrypted(const std::uint8_t* command, std::uint32_t size);
std::optional<HBRVersionTriple> HBRLoadCommandGetMinimumOSVersion(const std::uint8_t* command,
                                                                  std::uint32_t size);
std::optional<HBRVersionTriple> HBRLoadCommandGetBuiltSDKVersion(const std::uint8_t* command,
                                                                 std::uint32_t size);

HBRVersionTriple HBRVersionTripleFromWord(std::uint32_t word);
// "major.minor.bugfix"; nullopt without a triple.
std::optional<std::string> HBRVersionTripleFormat(const std::optional<HBRVersionTriple>& triple);
// 32 lower-case hex digits of 16 bytes.
std::string HBRUUIDStringFromBytes(const std::uint8_t* bytes);
// A new random UUID: 36 characters, upper-case hex with dashes.
std::string HBRCreateUUIDString();

}  // namespace lumora
