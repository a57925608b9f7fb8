#include "blackbox/BBXElfSymbolTable.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace lumora {
namespace {

// Larger image files are not mapped for their names.
constexpr std::uint64_t kBBXMaxImageFileBytes = std::uint64_t{4} << 30;
// Symbol names beyond this are cut (a frame's name, not a document).
constexpr std::size_t kBBXMaxSymbolNameBytes = 4096;

template <class T>
bool bbxReadAt(const std::uint8_t* bytes, std::size_t size, std::uint64_t offset, T* out) {
  if (offset > size || size - offset < sizeof(T)) return false;
  std::memcpy(out, bytes + offset, sizeof(T));
  return true;
}

// The section header at `index`, read within the bytes.
bool bbxSection(const std::uint8_t* bytes, std::size_t size, const ElfW(Ehdr)& header, std::uint64_t count,
                std::uint64_t index, ElfW(Shdr)* section) {
  if (index >= count) return false;
  return bbxReadAt(bytes, size, header.e_shoff + index * sizeof(ElfW(Shdr)), section);
}

bool bbxWithin(std::size_t size, std::uint64_t offset, std::uint64_t length) {
  return offset <= size && length <= size - offset;
}

bool bbxIsFunction(const ElfW(Sym)& symbol) {
  const unsigned type = ELF64_ST_TYPE(symbol.st_info);
  return (type == STT_FUNC || type == STT_GNU_IFUNC) && symbol.st_shndx != SHN_UNDEF && symbol.st_shndx != SHN_ABS &&
         symbol.st_name != 0;
}

}  // namespace

std::optional<BBXElfSymbolTable> BBXElfSymbolTable::fromBytes(const std::uint8_t* bytes, std::size_t size) {
  ElfW(Ehdr) header{};
  if (bytes == nullptr || !bbxReadAt(bytes, size, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
    return std::nullopt;
  }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr unsigned char kOrder = ELFDATA2LSB;
#else
  constexpr unsigned char kOrder = ELFDATA2MSB;
#endif
  constexpr unsigned char kClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
  if (header.e_ident[EI_CLASS] != kClass || header.e_ident[EI_DATA] != kOrder || header.e_shoff == 0 ||
      header.e_shentsize != sizeof(ElfW(Shdr))) {
    return std::nullopt;
  }
  std::uint64_t count = header.e_shnum;
  if (count == 0) {
    // More sections than the header's field holds: the count is the first
    // section's size.
    ElfW(Shdr) first{};
    if (!bbxReadAt(bytes, size, header.e_shoff, &first)) return std::nullopt;
    count = first.sh_size;
  }
  if (!bbxWithin(size, header.e_shoff, 0) || count > (size - header.e_shoff) / sizeof(ElfW(Shdr))) return std::nullopt;

  // The full table where there is one, else the dynamic one.
  std::optional<ElfW(Shdr)> chosen;
  for (const std::uint32_t type : {SHT_SYMTAB, SHT_DYNSYM}) {
    for (std::uint64_t i = 0; i < count && !chosen; ++i) {
      ElfW(Shdr) section{};
      if (bbxSection(bytes, size, header, count, i, &section) && section.sh_type == type) chosen = section;
    }
    if (chosen) break;
  }
  ElfW(Shdr) strings{};
  if (!chosen || chosen->sh_entsize != sizeof(ElfW(Sym)) || !bbxWithin(size, chosen->sh_offset, chosen->sh_size) ||
      !bbxSection(bytes, size, header, count, chosen->sh_link, &strings) || strings.sh_type != SHT_STRTAB ||
      !bbxWithin(size, strings.sh_offset, strings.sh_size)) {
    return std::nullopt;
  }

  BBXElfSymbolTable table;
  table.fullTable_ = chosen->sh_type == SHT_SYMTAB;
  const char* stringBase = reinterpret_cast<const char*>(bytes + strings.sh_offset);
  const std::uint64_t stringSize = strings.sh_size;
  const std::uint64_t symbolCount = chosen->sh_size / sizeof(ElfW(Sym));
  for (std::uint64_t i = 0; i < symbolCount; ++i) {
    ElfW(Sym) symbol{};
    if (!bbxReadAt(bytes, size, chosen->sh_offset + i * sizeof(ElfW(Sym)), &symbol) || !bbxIsFunction(symbol) ||
        symbol.st_name >= stringSize) {
      continue;
    }
    const char* name = stringBase + symbol.st_name;
    const std::size_t available = static_cast<std::size_t>(
        std::min<std::uint64_t>(stringSize - symbol.st_name, kBBXMaxSymbolNameBytes));
    const std::size_t length = strnlen(name, available);
    if (length == 0 || table.names_.size() > std::numeric_limits<std::uint32_t>::max() - length) continue;
    table.entries_.push_back(Entry{symbol.st_value, symbol.st_size, static_cast<std::uint32_t>(table.names_.size()),
                                   static_cast<std::uint32_t>(length),
                                   ELF64_ST_BIND(symbol.st_info) != STB_LOCAL});
    table.names_.append(name, length);
  }
  if (table.entries_.empty()) return std::nullopt;
  // At one start, a sized symbol before an unsized one, a global before a
  // local (an alias names the function as its callers know it).
  std::sort(table.entries_.begin(), table.entries_.end(), [](const Entry& a, const Entry& b) {
    if (a.start != b.start) return a.start < b.start;
    if ((a.size != 0) != (b.size != 0)) return a.size != 0;
    return a.global && !b.global;
  });
  return table;
}

std::optional<BBXElfSymbolTable> BBXElfSymbolTable::fromFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
      static_cast<std::uint64_t>(info.st_size) > kBBXMaxImageFileBytes) {
    close(fd);
    return std::nullopt;
  }
  const auto size = static_cast<std::size_t>(info.st_size);
  void* mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (mapping == MAP_FAILED) return std::nullopt;
  auto table = fromBytes(static_cast<const std::uint8_t*>(mapping), size);
  munmap(mapping, size);
  return table;
}

std::optional<BBXElfSymbolTable::Symbol> BBXElfSymbolTable::symbolForAddress(std::uint64_t address) const {
  // The last start at or below the address; at that start the first entry is
  // the preferred one.
  auto after = std::upper_bound(entries_.begin(), entries_.end(), address,
                                [](std::uint64_t value, const Entry& entry) { return value < entry.start; });
  if (after == entries_.begin()) return std::nullopt;
  auto at = std::prev(after);
  const std::uint64_t start = at->start;
  while (at != entries_.begin() && std::prev(at)->start == start) --at;
  if (at->size != 0 && address - start >= at->size) return std::nullopt;
  return Symbol{at->start, at->size, std::string_view(names_).substr(at->nameOffset, at->nameLength)};
}

}  // namespace lumora
