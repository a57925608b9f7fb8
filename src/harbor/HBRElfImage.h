// Identity of ELF images, the executables and libraries of this platform:
// the processor they are built for (e_machine, also in Mach-O CPU
// numbering, so reports name it as on the phone), and a 16-byte UUID taken
// from the first 16 bytes of the GNU build-id note (zero-padded when the
// note is shorter). ELF images carry no minimum-system or SDK versions;
// reports give 0.0.0 for both.
// Stateless functions; any thread. The readers over loaded program headers
// allocate nothing and take no lock (safe in a signal handler). Failure:
// nullopt or false; every read is bounded by the buffer or the segment.
#pragma once

#include <link.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Bytes.h"

namespace lumora {

using HBRElfUUID = std::array<std::uint8_t, 16>;

struct HBRElfCPUType {
  std::int32_t cpuType = 0;
  std::int32_t cpuSubtype = 0;
};

struct HBRElfIdentity {
  std::uint16_t machine = 0;  // e_machine
  bool is64Bit = false;
  HBRElfCPUType cpu;
  platform::Bytes buildId;            // the whole note; empty without one
  std::optional<HBRElfUUID> uuid;     // nullopt without a build-id note
};

// The identity of an ELF file image held in memory (native byte order
// only); nullopt when the bytes are no such image.
std::optional<HBRElfIdentity> HBRElfIdentityFromBuffer(const std::uint8_t* bytes, std::size_t size);
std::optional<HBRElfIdentity> HBRElfIdentityOfFile(const std::string& path);
// /proc/self/exe.
std::optional<HBRElfIdentity> HBRElfIdentityOfMainExecutable();
std::optional<std::string> HBRElfMainExecutablePath();

// The machine this code was built for (EM_X86_64, EM_AARCH64, ...).
std::uint16_t HBRElfHostMachine();
// Mach-O CPU type and subtype of an e_machine value; 0/0 for one reports do
// not know.
HBRElfCPUType HBRElfCPUTypeForMachine(std::uint16_t machine);
// "x86_64", "arm64", "i386", "armv7", ...; "unknown".
std::string HBRElfArchitectureName(std::uint16_t machine);

// The UUID of a loaded image from its program headers (as dl_iterate_phdr
// gives them) and load bias. Allocates nothing.
bool HBRElfLoadedImageUUID(const ElfW(Phdr) * headers, std::size_t count, ElfW(Addr) bias,
                           HBRElfUUID& uuid);

// The ELF header of the running executable as loaded, and the bytes
// readable from it (its first loaded segment).
struct HBRElfLoadedHeader {
  const std::uint8_t* header = nullptr;
  std::size_t size = 0;
};
std::optional<HBRElfLoadedHeader> HBRElfMainExecutableHeader();
// The file of the loaded image whose segments hold `address` (the
// executable's own path for the executable); nullopt outside every image.
std::optional<std::string> HBRElfPathOfLoadedAddress(const void* address);

}  // namespace lumora
