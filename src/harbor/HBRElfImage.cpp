#include "harbor/HBRElfImage.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace lumora {
namespace {

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kNativeData = ELFDATA2LSB;
#else
constexpr unsigned char kNativeData = ELFDATA2MSB;
#endif

constexpr std::int32_t kCPUArch64 = 0x01000000;

std::size_t alignedUp(std::size_t value, std::size_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// Scans the notes of one note area for the GNU build id; false when there
// is none. Reads nothing past `size`.
bool findBuildIdNote(const std::uint8_t* notes, std::size_t size, std::size_t alignment,
                     const std::uint8_t*& id, std::size_t& idSize) {
  if (alignment != 8) alignment = 4;
  std::size_t at = 0;
  while (size - at >= 12) {
    std::uint32_t words[3];
    std::memcpy(words, notes + at, sizeof words);
    std::size_t nameSize = words[0];
    std::size_t descSize = words[1];
    std::size_t name = at + 12;
    if (nameSize > size - name) return false;
    std::size_t desc = alignedUp(name + nameSize, alignment);
    if (desc > size || descSize > size - desc) return false;
    if (words[2] == NT_GNU_BUILD_ID && nameSize == 4 && std::memcmp(notes + name, "GNU", 4) == 0) {
      id = notes + desc;
      idSize = descSize;
      return true;
    }
    at = alignedUp(desc + descSize, alignment);
    if (at > size) return false;
  }
  return false;
}

void fillUUID(const std::uint8_t* id, std::size_t size, HBRElfUUID& uuid) {
  uuid.fill(0);
  std::memcpy(uuid.data(), id, size < uuid.size() ? size : uuid.size());
}

template <class Ehdr, class Phdr, class Shdr>
std::optional<HBRElfIdentity> readImage(const std::uint8_t* bytes, std::size_t size) {
  if (size < sizeof(Ehdr)) return std::nullopt;
  Ehdr header;
  std::memcpy(&header, bytes, sizeof header);
  HBRElfIdentity identity;
  identity.machine = header.e_machine;
  identity.is64Bit = sizeof(Ehdr) == sizeof(Elf64_Ehdr);
  identity.cpu = HBRElfCPUTypeForMachine(header.e_machine);

  const std::uint8_t* id = nullptr;
  std::size_t idSize = 0;
  // The notes by program header first (what the loader maps), then by
  // section header (objects that have no program headers).
  if (header.e_phentsize == sizeof(Phdr) && header.e_phoff <= size &&
      header.e_phnum <= (size - header.e_phoff) / sizeof(Phdr)) {
    for (std::size_t i = 0; i < header.e_phnum && id == nullptr; ++i) {
      Phdr program;
      std::memcpy(&program, bytes + header.e_phoff + i * sizeof(Phdr), sizeof program);
      if (program.p_type != PT_NOTE || program.p_offset > size || program.p_filesz > size - program.p_offset) {
        continue;
      }
      findBuildIdNote(bytes + program.p_offset, program.p_filesz, program.p_align, id, idSize);
    }
  }
  if (id == nullptr && header.e_shentsize == sizeof(Shdr) && header.e_shoff <= size &&
      header.e_shnum <= (size - header.e_shoff) / sizeof(Shdr)) {
    for (std::size_t i = 0; i < header.e_shnum && id == nullptr; ++i) {
      Shdr section;
      std::memcpy(&section, bytes + header.e_shoff + i * sizeof(Shdr), sizeof section);
      if (section.sh_type != SHT_NOTE || section.sh_offset > size ||
          section.sh_size > size - section.sh_offset) {
        continue;
      }
      findBuildIdNote(bytes + section.sh_offset, section.sh_size, section.sh_addralign, id, idSize);
    }
  }
  if (id != nullptr) {
    identity.buildId.assign(id, id + idSize);
    HBRElfUUID uuid;
    fillUUID(id, idSize, uuid);
    identity.uuid = uuid;
  }
  return identity;
}

struct MainImageSearch {
  const ElfW(Phdr) * headers = nullptr;
  std::size_t count = 0;
  ElfW(Addr) bias = 0;
};

struct AddressSearch {
  ElfW(Addr) address = 0;
  bool found = false;
  bool isMain = false;
  std::string path;
};

}  // namespace

std::optional<HBRElfIdentity> HBRElfIdentityFromBuffer(const std::uint8_t* bytes, std::size_t size) {
  if (bytes == nullptr || size < EI_NIDENT || std::memcmp(bytes, ELFMAG, SELFMAG) != 0 ||
      bytes[EI_DATA] != kNativeData) {
    return std::nullopt;
  }
  if (bytes[EI_CLASS] == ELFCLASS64) return readImage<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr>(bytes, size);
  if (bytes[EI_CLASS] == ELFCLASS32) return readImage<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr>(bytes, size);
  return std::nullopt;
}

std::optional<HBRElfIdentity> HBRElfIdentityOfFile(const std::string& path) {
  // Mapped, not read: only the pages of the headers and notes the parser
  // touches are loaded (an executable is many megabytes).
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || info.st_size <= 0) {
    ::close(fd);
    return std::nullopt;
  }
  const auto size = static_cast<std::size_t>(info.st_size);
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (mapped == MAP_FAILED) return std::nullopt;
  auto identity = HBRElfIdentityFromBuffer(static_cast<const std::uint8_t*>(mapped), size);
  ::munmap(mapped, size);
  return identity;
}

std::optional<HBRElfIdentity> HBRElfIdentityOfMainExecutable() {
  auto path = HBRElfMainExecutablePath();
  if (!path) return std::nullopt;
  return HBRElfIdentityOfFile(*path);
}

std::optional<std::string> HBRElfMainExecutablePath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return path.string();
}

std::uint16_t HBRElfHostMachine() {
#if defined(__x86_64__)
  return EM_X86_64;
#elif defined(__aarch64__)
  return EM_AARCH64;
#elif defined(__i386__)
  return EM_386;
#elif defined(__arm__)
  return EM_ARM;
#elif defined(__powerpc64__)
  return EM_PPC64;
#elif defined(__powerpc__)
  return EM_PPC;
#else
  return EM_NONE;
#endif
}

HBRElfCPUType HBRElfCPUTypeForMachine(std::uint16_t machine) {
  switch (machine) {
    case EM_X86_64: return {7 | kCPUArch64, 3};
    case EM_386: return {7, 3};
    case EM_AARCH64: return {12 | kCPUArch64, 0};
    case EM_ARM: return {12, 9};
    case EM_PPC64: return {18 | kCPUArch64, 0};
    case EM_PPC: return {18, 0};
    default: return {0, 0};
  }
}

std::string HBRElfArchitectureName(std::uint16_t machine) {
  switch (machine) {
    case EM_X86_64: return "x86_64";
    case EM_386: return "i386";
    case EM_AARCH64: return "arm64";
    case EM_ARM: return "armv7";
    case EM_PPC64: return "ppc64";
    case EM_PPC: return "ppc";
    default: return "unknown";
  }
}

bool HBRElfLoadedImageUUID(const ElfW(Phdr) * headers, std::size_t count, ElfW(Addr) bias,
                           HBRElfUUID& uuid) {
  if (headers == nullptr) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (headers[i].p_type != PT_NOTE) continue;
    const std::uint8_t* id = nullptr;
    std::size_t idSize = 0;
    const auto* notes = reinterpret_cast<const std::uint8_t*>(bias + headers[i].p_vaddr);
    if (findBuildIdNote(notes, headers[i].p_memsz, headers[i].p_align, id, idSize)) {
      fillUUID(id, idSize, uuid);
      return true;
    }
  }
  return false;
}

std::optional<HBRElfLoadedHeader> HBRElfMainExecutableHeader() {
  MainImageSearch search;
  // The loader lists the executable first.
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* context) {
        auto* found = static_cast<MainImageSearch*>(context);
        found->headers = info->dlpi_phdr;
        found->count = info->dlpi_phnum;
        found->bias = info->dlpi_addr;
        return 1;
      },
      &search);
  for (std::size_t i = 0; i < search.count; ++i) {
    const auto& program = search.headers[i];
    if (program.p_type == PT_LOAD && program.p_offset == 0) {
      return HBRElfLoadedHeader{reinterpret_cast<const std::uint8_t*>(search.bias + program.p_vaddr),
                                static_cast<std::size_t>(program.p_filesz)};
    }
  }
  return std::nullopt;
}

std::optional<std::string> HBRElfPathOfLoadedAddress(const void* address) {
  if (address == nullptr) return std::nullopt;
  AddressSearch search;
  search.address = reinterpret_cast<ElfW(Addr)>(address);
  bool first = true;
  struct Context {
    AddressSearch* search;
    bool* first;
  } context{&search, &first};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto* state = static_cast<Context*>(data);
        bool isMain = *state->first;
        *state->first = false;
        for (std::size_t i = 0; i < info->dlpi_phnum; ++i) {
          const auto& program = info->dlpi_phdr[i];
          if (program.p_type != PT_LOAD) continue;
          ElfW(Addr) start = info->dlpi_addr + program.p_vaddr;
          if (state->search->address >= start && state->search->address - start < program.p_memsz) {
            state->search->found = true;
            state->search->isMain = isMain;
            state->search->path = info->dlpi_name != nullptr ? info->dlpi_name : "";
            return 1;
          }
        }
        return 0;
      },
      &context);
  if (!search.found) return std::nullopt;
  if (search.isMain || search.path.empty()) return HBRElfMainExecutablePath();
  return search.path;
}

}  // namespace lumora
