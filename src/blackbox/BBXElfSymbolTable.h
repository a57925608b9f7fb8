// The function symbols of an ELF image file, by which a later launch names
// the frames of a crashed one: the image's own full table (".symtab", which
// holds static functions, ".cold" parts and the other local symbols) where
// the file has one, else its dynamic table (".dynsym", the exported symbols
// only, as the loader would name them).
//
// Addresses are the file's own (as linked): a loaded image's address less
// its load bias. A symbol covers [start, start + size); one without a size
// covers up to the next symbol. No file or line is read.
//
// Ownership: a plain value holding its symbols and their names. Threading:
// const after it is made. Failure: nullopt for bytes that are no ELF image of
// this process's class and byte order, or that hold no symbol table; every
// read is bounded by the bytes given (a damaged table names nothing rather
// than reading past them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumora {

class BBXElfSymbolTable {
 public:
  struct Symbol {
    std::uint64_t start = 0;
    std::uint64_t size = 0;
    std::string_view name;
  };

  static std::optional<BBXElfSymbolTable> fromBytes(const std::uint8_t* bytes, std::size_t size);
  // A regular file only (no link, no special file), mapped while it is read.
  static std::optional<BBXElfSymbolTable> fromFile(const std::string& path);

  // The symbol whose range holds the file address; nullopt outside every one.
  std::optional<Symbol> symbolForAddress(std::uint64_t address) const;
  // Whether the table is the file's full one rather than the dynamic one.
  bool isFullTable() const { return fullTable_; }
  std::size_t count() const { return entries_.size(); }

 private:
  struct Entry {
    std::uint64_t start;
    std::uint64_t size;
    std::uint32_t nameOffset;
    std::uint32_t nameLength;
    bool global;
  };

  std::vector<Entry> entries_;  // by start; at one start the preferred name first
  std::string names_;
  bool fullTable_ = false;
};

}  // namespace lumora
