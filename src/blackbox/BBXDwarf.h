// DWARF call-frame information (.eh_frame) for the crash-time unwinder:
// CIE and FDE parsing with their pointer encodings, the CFA programs, the
// expression machine, and the caller's registers computed from them.
//
// Every record is checked against the bounds of its .eh_frame before it is
// read, and memory outside it is read only through BBXReadMemory, so bad
// unwind data ends a step with a log line instead of a fault.
//
// Stateless functions over caller-owned structures; any thread, inside
// signal handlers too (no allocation, no lock). Failure: false (or the
// all-ones value for addresses), logged to the SDK log.
#pragma once

#include <cstdint>

#include "blackbox/BBXRegisterState.h"

namespace lumora {

inline constexpr std::uint64_t kBBXDwarfInvalidAddress = ~std::uint64_t{0};

// The readable range of an image's .eh_frame records.
struct BBXDwarfBounds {
  std::uintptr_t start;
  std::uintptr_t end;
};

struct BBXDwarfCIERecord {
  std::uint64_t length;
  std::uint8_t version;
  std::uint8_t pointerEncoding;
  std::uint8_t lsdaEncoding;
  std::uint8_t personalityEncoding;
  char augmentation[8];
  std::uint64_t personality;
  std::uint64_t codeAlignment;
  std::int64_t dataAlignment;
  std::uint64_t returnRegister;
  bool signalFrame;
  std::uintptr_t instructionsStart;
  std::uintptr_t instructionsEnd;
};

struct BBXDwarfFDERecord {
  std::uint64_t length;
  std::uint64_t cieOffset;
  std::uint64_t pcBegin;
  std::uint64_t pcRange;
  std::uintptr_t instructionsStart;
  std::uintptr_t instructionsEnd;
};

struct BBXDwarfCFIRecord {
  BBXDwarfCIERecord cie;
  BBXDwarfFDERecord fde;
};

enum BBXDwarfRuleKind : std::uint8_t {
  kBBXDwarfRuleSame = 0,
  kBBXDwarfRuleOffset = 1,         // saved at CFA + value
  kBBXDwarfRuleValOffset = 2,      // value = CFA + value
  kBBXDwarfRuleRegister = 3,       // in register `value`
  kBBXDwarfRuleExpression = 4,     // saved at the expression's result
  kBBXDwarfRuleValExpression = 5,  // value = the expression's result
};

struct BBXDwarfRule {
  BBXDwarfRuleKind kind;
  std::int64_t value;
};

struct BBXDwarfRegisterRules {
  std::uint64_t cfaRegister;
  std::int64_t cfaOffset;
  std::uintptr_t cfaExpression;
  BBXDwarfRule registers[kBBXDwarfRegisterCount];
};

// Readers: the cursor moves past what was read; nothing is read at or past
// `end` (the value is then 0 and *ok false when given).
std::uint64_t BBXDwarfReadULEB128(std::uintptr_t* cursor, std::uintptr_t end, bool* ok = nullptr);
std::int64_t BBXDwarfReadSLEB128(std::uintptr_t* cursor, std::uintptr_t end, bool* ok = nullptr);
std::uint64_t BBXDwarfReadFixed(std::uintptr_t* cursor, std::uintptr_t end, unsigned bytes, bool* ok = nullptr);
// A pointer in a .eh_frame encoding; kBBXDwarfInvalidAddress on error, 0
// for the omitted encoding.
std::uint64_t BBXParseAddressWithEncodingAndAdvance(std::uintptr_t* cursor, std::uintptr_t end,
                                                    std::uint8_t encoding);

bool BBXDwarfParseCIERecord(BBXDwarfCIERecord* cie, std::uintptr_t address, const BBXDwarfBounds& bounds);
// The FDE at `address` and, with `parseCIE`, the CIE it names.
bool BBXDwarfParseFDERecord(BBXDwarfFDERecord* fde, bool parseCIE, BBXDwarfCIERecord* cie, std::uintptr_t address,
                            const BBXDwarfBounds& bounds);
// Runs a CFA program while the location is at or below `pcOffset`;
// `initial` holds the CIE's rules for restore (null while running them).
bool BBXDwarfInstructionsEnumerate(std::uintptr_t start, std::uintptr_t end, const BBXDwarfCIERecord* cie,
                                   BBXDwarfRegisterRules* rules, std::uint64_t pcOffset,
                                   const BBXDwarfRegisterRules* initial);
// The caller's registers; `lookupPC` is the address the rules are found for
// (the pc itself for the innermost or an interrupted frame, else pc - 1).
bool BBXDwarfUnwindComputeRegisters(const BBXDwarfCFIRecord* record, BBXRegisterState* state, std::uint64_t lookupPC);
// Evaluates the expression block at `expression` (a ULEB128 length, then
// the opcodes) with `initial` pushed first.
bool BBXDwarfEvalulateExpression(std::uintptr_t expression, const BBXRegisterState* state, std::uint64_t initial,
                                 std::uint64_t* result);

// The FDE of the .eh_frame_hdr table at `ehFrameHeader` that covers
// `lookupPC`, parsed with its CIE; `ehFrameEnd` ends the segment that holds
// the table and the records.
bool BBXDwarfFindFDE(std::uintptr_t ehFrameHeader, std::uintptr_t ehFrameEnd, std::uint64_t lookupPC,
                     BBXDwarfCFIRecord* record);

}  // namespace lumora
