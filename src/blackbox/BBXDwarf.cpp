#include "blackbox/BBXDwarf.h"

#include <cstring>

#include "blackbox/BBXAllocator.h"

namespace lumora {
namespace {

constexpr unsigned kBBXDwarfMaxLEBBytes = 10;
constexpr std::size_t kBBXDwarfStackSize = 100;
constexpr int kBBXDwarfRememberDepth = 8;
constexpr std::uint64_t kBBXDwarfCFARegisterExpression = 32;

bool bbxDwarfRead(std::uintptr_t* cursor, std::uintptr_t end, void* out, std::size_t size) {
  if (*cursor >= end || end - *cursor < size || !BBXReadMemory(reinterpret_cast<const void*>(*cursor), out, size)) {
    return false;
  }
  *cursor += size;
  return true;
}

std::uint8_t bbxDwarfByte(std::uintptr_t* cursor, std::uintptr_t end, bool* ok) {
  std::uint8_t byte = 0;
  if (!bbxDwarfRead(cursor, end, &byte, 1)) *ok = false;
  return byte;
}

bool bbxDwarfValidRegister(std::uint64_t reg) { return reg < kBBXDwarfRegisterCount; }

// A factored offset times the CIE's data alignment, wrapping as the
// addresses it is added to do: bad unwind data makes a bad address (read
// safely later), not an overflow.
std::int64_t bbxDwarfAligned(std::int64_t factored, std::int64_t alignment) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(factored) * static_cast<std::uint64_t>(alignment));
}

// A ULEB128 length and the block after it; false when it runs past `end`.
bool bbxDwarfSkipBlock(std::uintptr_t* cursor, std::uintptr_t end) {
  bool ok = true;
  const std::uint64_t length = BBXDwarfReadULEB128(cursor, end, &ok);
  if (!ok || length > end - *cursor) return false;
  *cursor += length;
  return true;
}

// The initial length; a 64-bit one follows 0xffffffff. The record's end is
// checked against the bounds.
bool bbxDwarfRecordLength(std::uintptr_t* cursor, const BBXDwarfBounds& bounds, std::uint64_t* length,
                          std::uintptr_t* recordEnd) {
  if (*cursor < bounds.start) return false;
  bool ok = true;
  *length = BBXDwarfReadFixed(cursor, bounds.end, 4, &ok);
  if (ok && *length == 0xffffffff) *length = BBXDwarfReadFixed(cursor, bounds.end, 8, &ok);
  if (!ok || *length == 0 || *length > bounds.end - *cursor) return false;
  *recordEnd = *cursor + *length;
  return true;
}

struct BBXDwarfMachine {
  std::uint64_t stack[kBBXDwarfStackSize];
  std::size_t next;  // kBBXDwarfStackSize + 1 once poisoned
  void push(std::uint64_t value) {
    if (next >= kBBXDwarfStackSize) {
      next = kBBXDwarfStackSize + 1;
      return;
    }
    stack[next++] = value;
  }
  std::uint64_t pop() {
    if (next == 0 || next > kBBXDwarfStackSize) {
      next = kBBXDwarfStackSize + 1;
      return 0;
    }
    return stack[--next];
  }
  bool valid() const { return next <= kBBXDwarfStackSize; }
};

bool bbxDwarfExecuteOpcode(BBXDwarfMachine* machine, std::uintptr_t* cursor, std::uintptr_t end,
                           const BBXRegisterState* state) {
  bool ok = true;
  const std::uint8_t opcode = bbxDwarfByte(cursor, end, &ok);
  if (!ok) return false;
  if (opcode >= 0x30 && opcode <= 0x4f) {
    machine->push(opcode - 0x30u);
  } else if (opcode >= 0x70 && opcode <= 0x8f) {
    const std::uint64_t reg = opcode - 0x70u;
    const std::int64_t offset = BBXDwarfReadSLEB128(cursor, end, &ok);
    if (!bbxDwarfValidRegister(reg)) {
      BBXSDKLog("%s: Error: DW_OP_breg invalid register number\n", "BBXDwarfEvalulateExpression");
      return false;
    }
    machine->push(state->registers[reg] + static_cast<std::uint64_t>(offset));
  } else {
    switch (opcode) {
      case 0x06: {  // deref
        const std::uint64_t address = machine->pop();
        std::uint64_t value = 0;
        if (!BBXReadMemory(reinterpret_cast<const void*>(address), &value, sizeof(value))) {
          BBXSDKLog("%s: Error: DW_OP_deref failed to read memory\n", "BBXDwarfEvalulateExpression");
          return false;
        }
        machine->push(value);
        break;
      }
      case 0x12: {  // dup
        const std::uint64_t top = machine->pop();
        machine->push(top);
        machine->push(top);
        break;
      }
      case 0x16: {  // swap
        const std::uint64_t a = machine->pop();
        const std::uint64_t b = machine->pop();
        machine->push(a);
        machine->push(b);
        break;
      }
      case 0x1a: {  // and
        const std::uint64_t a = machine->pop();
        machine->push(machine->pop() & a);
        break;
      }
      case 0x22:  // plus
        machine->push(machine->pop() + machine->pop());
        break;
      case 0x23: {  // plus_uconst
        const std::uint64_t value = machine->pop();
        machine->push(value + BBXDwarfReadULEB128(cursor, end, &ok));
        break;
      }
      case 0x2e:  // ne
        machine->push(machine->pop() != machine->pop() ? 1 : 0);
        break;
      case 0x94: {  // deref_size
        const std::uint64_t address = machine->pop();
        const std::uint8_t size = bbxDwarfByte(cursor, end, &ok);
        if (size != 1 && size != 2 && size != 4 && size != 8) {
          BBXSDKLog("%s: Error: unrecognized DW_OP_deref_size argument %x\n", "BBXDwarfEvalulateExpression",
                    static_cast<unsigned>(size));
          return false;
        }
        std::uint64_t value = 0;
        if (!BBXReadMemory(reinterpret_cast<const void*>(address), &value, size)) {
          BBXSDKLog("%s: Error: DW_OP_deref failed to read memory\n", "BBXDwarfEvalulateExpression");
          return false;
        }
        machine->push(value);
        break;
      }
      default:
        BBXSDKLog("%s: Error: Unrecognized DWARF expression opcode 0x%x\n", "BBXDwarfEvalulateExpression",
                  static_cast<unsigned>(opcode));
        return false;
    }
  }
  return ok && machine->valid();
}

std::uint64_t bbxDwarfSavedRegister(const BBXDwarfRule& rule, std::uint64_t cfa, const BBXRegisterState* state) {
  std::uint64_t value = 0;
  switch (rule.kind) {
    case kBBXDwarfRuleOffset:
      if (!BBXReadMemory(reinterpret_cast<const void*>(cfa + static_cast<std::uint64_t>(rule.value)), &value,
                         sizeof(value))) {
        BBXSDKLog("%s: Error: Unable to read CFA value\n", "BBXDwarfGetSavedRegister");
        return 0;
      }
      return value;
    case kBBXDwarfRuleValOffset:
      return cfa + static_cast<std::uint64_t>(rule.value);
    case kBBXDwarfRuleRegister:
      return bbxDwarfValidRegister(static_cast<std::uint64_t>(rule.value)) ? state->registers[rule.value] : 0;
    case kBBXDwarfRuleExpression:
    case kBBXDwarfRuleValExpression: {
      std::uint64_t result = 0;
      if (!BBXDwarfEvalulateExpression(static_cast<std::uintptr_t>(rule.value), state, cfa, &result)) {
        BBXSDKLog("%s: Error: unable to evaluate expression\n", "BBXDwarfGetSavedRegister");
        return 0;
      }
      if (rule.kind == kBBXDwarfRuleValExpression) return result;
      if (!BBXReadMemory(reinterpret_cast<const void*>(result), &value, sizeof(value))) {
        BBXSDKLog("%s: Error: Unable to read memory computed from expression\n", "BBXDwarfGetSavedRegister");
        return 0;
      }
      return value;
    }
    default:
      BBXSDKLog("%s: Error: Unrecognized register save location 0x%x\n", "BBXDwarfGetSavedRegister",
                static_cast<unsigned>(rule.kind));
      return 0;
  }
}

// One CFA instruction. False fails the program.
bool bbxDwarfExecuteInstruction(std::uint8_t opcode, std::uintptr_t* cursor, std::uintptr_t end,
                                const BBXDwarfCIERecord* cie, BBXDwarfRegisterRules* rules, std::uint64_t* location,
                                const BBXDwarfRegisterRules* initial, BBXDwarfRegisterRules* remembered,
                                int* rememberedCount) {
  bool ok = true;
  const auto offsetRule = [&](std::uint64_t reg, std::int64_t factored, BBXDwarfRuleKind kind) {
    if (!bbxDwarfValidRegister(reg)) {
      BBXSDKLog("%s: Error: Found an invalid DW_CFA_offset register number\n", "BBXDwarfInstructionsEnumerate");
      return false;
    }
    rules->registers[reg] = {kind, bbxDwarfAligned(factored, cie->dataAlignment)};
    return true;
  };
  const auto restoreRule = [&](std::uint64_t reg) {
    if (initial == nullptr || !bbxDwarfValidRegister(reg)) {
      BBXSDKLog("%s: Error: Unimplemented DWARF instruction with operand 0x%x\n", "BBXDwarfInstructionsEnumerate",
                static_cast<unsigned>(opcode));
      return false;
    }
    rules->registers[reg] = initial->registers[reg];
    return true;
  };
  switch (opcode & 0xc0) {
    case 0x40:
      *location += (opcode & 0x3fu) * cie->codeAlignment;
      return true;
    case 0x80:
      return offsetRule(opcode & 0x3fu, static_cast<std::int64_t>(BBXDwarfReadULEB128(cursor, end, &ok)),
                        kBBXDwarfRuleOffset) &&
             ok;
    case 0xc0:
      return restoreRule(opcode & 0x3fu);
    default:
      break;
  }
  switch (opcode) {
    case 0x00:  // nop
      return true;
    case 0x01: {  // set_loc
      const std::uint64_t address = BBXParseAddressWithEncodingAndAdvance(cursor, end, cie->pointerEncoding);
      if (address == kBBXDwarfInvalidAddress) return false;
      *location = address;
      return true;
    }
    case 0x02:
    case 0x03:
    case 0x04: {  // advance_loc1/2/4
      const unsigned size = opcode == 0x02 ? 1 : opcode == 0x03 ? 2 : 4;
      *location += BBXDwarfReadFixed(cursor, end, size, &ok) * cie->codeAlignment;
      return ok;
    }
    case 0x05: {  // offset_extended
      const std::uint64_t reg = BBXDwarfReadULEB128(cursor, end, &ok);
      return offsetRule(reg, static_cast<std::int64_t>(BBXDwarfReadULEB128(cursor, end, &ok)), kBBXDwarfRuleOffset) &&
             ok;
    }
    case 0x06:  // restore_extended
      return restoreRule(BBXDwarfReadULEB128(cursor, end, &ok)) && ok;
    case 0x08: {  // same_value
      const std::uint64_t reg = BBXDwarfReadULEB128(cursor, end, &ok);
      if (!ok || !bbxDwarfValidRegister(reg)) return false;
      rules->registers[reg] = {kBBXDwarfRuleSame, 0};
      return true;
    }
    case 0x09: {  // register
      const std::uint64_t reg = BBXDwarfReadULEB128(cursor, end, &ok);
      const std::uint64_t other = BBXDwarfReadULEB128(cursor, end, &ok);
      if (!ok || !bbxDwarfValidRegister(reg) || !bbxDwarfValidRegister(other)) return false;
      rules->registers[reg] = {kBBXDwarfRuleRegister, static_cast<std::int64_t>(other)};
      return true;
    }
    case 0x0a:  // remember_state
      if (*rememberedCount >= kBBXDwarfRememberDepth) return false;
      remembered[(*rememberedCount)++] = *rules;
      return true;
    case 0x0b:  // restore_state
      if (*rememberedCount == 0) return false;
      *rules = remembered[--*rememberedCount];
      return true;
    case 0x0c:  // def_cfa
    case 0x12: {  // def_cfa_sf
      const std::uint64_t reg = BBXDwarfReadULEB128(cursor, end, &ok);
      const std::int64_t offset =
          opcode == 0x0c ? static_cast<std::int64_t>(BBXDwarfReadULEB128(cursor, end, &ok))
                         : bbxDwarfAligned(BBXDwarfReadSLEB128(cursor, end, &ok), cie->dataAlignment);
      if (!ok || !bbxDwarfValidRegister(reg)) return false;
      rules->cfaRegister = reg;
      rules->cfaOffset = offset;
      rules->cfaExpression = 0;
      return true;
    }
    case 0x0d: {  // def_cfa_register
      const std::uint64_t reg = BBXDwarfReadULEB128(cursor, end, &ok);
      if (!ok || !bbxDwarfValidRegister(reg)) return false;
      rules->cfaRegister = reg;
      rules->cfaExpression = 0;
      return true;
    }
    case 0x0e:  // def_cfa_offset
      rules->cfaOffset = static_cast<std::int64_t>(BBXDwarfReadULEB128(cursor, end, &ok));
      return ok;
    case 0x13:  // def_cfa_offset_sf
      rules->cfaOffset = bbxDwarfAligned(BBXDwarfReadSLEB128(cursor, end, &ok), cie->dataAlignment);
      return ok;
    case 0x0f:  // def_cfa_expression
      rules->cfaRegister = kBBXDwarfCFARegisterExpression;
      rules->cfaExpression = *cursor;
      return bbxDwarfSkipBlock(cursor, end);
    case 0x10:    // expression
    case 0x16: {  // val_expression
      const std::uint64_t reg = BBXDwarfReadULEB128(cursor, end, &ok);
      if (!ok || !bbxDwarfValidRegister(reg)) return false;
      rules->registers[reg] = {opcode == 0x10 ? kBBXDwarfRuleExpression : kBBXDwarfRuleValExpression,
                               static_cast<std::int64_t>(*cursor)};
      return bbxDwarfSkipBlock(cursor, end);
    }
    case 0x11: {  // offset_extended_sf
      const std::uint64_t reg = BBXDwarfReadULEB128(cursor, end, &ok);
      return offsetRule(reg, BBXDwarfReadSLEB128(cursor, end, &ok), kBBXDwarfRuleOffset) && ok;
    }
    case 0x14:    // val_offset
    case 0x15: {  // val_offset_sf
      const std::uint64_t reg = BBXDwarfReadULEB128(cursor, end, &ok);
      const std::int64_t factored = opcode == 0x14 ? static_cast<std::int64_t>(BBXDwarfReadULEB128(cursor, end, &ok))
                                                   : BBXDwarfReadSLEB128(cursor, end, &ok);
      return offsetRule(reg, factored, kBBXDwarfRuleValOffset) && ok;
    }
    case 0x2e:  // GNU_args_size: nothing to unwind
      BBXDwarfReadULEB128(cursor, end, &ok);
      return ok;
    case 0x07:
    case 0x2d:
    case 0x2f:
      BBXSDKLog("%s: Error: Unimplemented DWARF instruction 0x%x\n", "BBXDwarfInstructionsEnumerate",
                static_cast<unsigned>(opcode));
      return false;
    default:
      BBXSDKLog("%s: Error: Unrecognized DWARF instruction 0x%x\n", "BBXDwarfInstructionsEnumerate",
                static_cast<unsigned>(opcode));
      return false;
  }
}

}  // namespace

std::uint64_t BBXDwarfReadULEB128(std::uintptr_t* cursor, std::uintptr_t end, bool* ok) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < kBBXDwarfMaxLEBBytes; ++i) {
    std::uint8_t byte = 0;
    if (!bbxDwarfRead(cursor, end, &byte, 1)) {
      if (ok != nullptr) *ok = false;
      return 0;
    }
    value |= static_cast<std::uint64_t>(byte & 0x7f) << (7 * i);
    if ((byte & 0x80) == 0) break;
  }
  return value;
}

std::int64_t BBXDwarfReadSLEB128(std::uintptr_t* cursor, std::uintptr_t end, bool* ok) {
  std::uint64_t value = 0;
  unsigned shift = 0;
  std::uint8_t byte = 0;
  for (unsigned i = 0; i < kBBXDwarfMaxLEBBytes; ++i) {
    if (!bbxDwarfRead(cursor, end, &byte, 1)) {
      if (ok != nullptr) *ok = false;
      return 0;
    }
    value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    shift += 7;
    if ((byte & 0x80) == 0) break;
  }
  if (shift < 64 && (byte & 0x40) != 0) value |= ~std::uint64_t{0} << shift;
  return static_cast<std::int64_t>(value);
}

std::uint64_t BBXDwarfReadFixed(std::uintptr_t* cursor, std::uintptr_t end, unsigned bytes, bool* ok) {
  std::uint64_t value = 0;
  if (bytes > sizeof(value) || !bbxDwarfRead(cursor, end, &value, bytes)) {
    if (ok != nullptr) *ok = false;
    return 0;
  }
  return value;
}

std::uint64_t BBXParseAddressWithEncodingAndAdvance(std::uintptr_t* cursor, std::uintptr_t end,
                                                    std::uint8_t encoding) {
  if (encoding == 0xff) return 0;
  const std::uintptr_t field = *cursor;
  bool ok = true;
  std::uint64_t value = 0;
  switch (encoding & 0x0f) {
    case 0x00:
    case 0x04:
    case 0x0c:
      value = BBXDwarfReadFixed(cursor, end, 8, &ok);
      break;
    case 0x01:
      value = BBXDwarfReadULEB128(cursor, end, &ok);
      break;
    case 0x02:
      value = BBXDwarfReadFixed(cursor, end, 2, &ok);
      break;
    case 0x03:
      value = BBXDwarfReadFixed(cursor, end, 4, &ok);
      break;
    case 0x09:
      value = static_cast<std::uint64_t>(BBXDwarfReadSLEB128(cursor, end, &ok));
      break;
    case 0x0a:
      value = static_cast<std::uint64_t>(static_cast<std::int16_t>(BBXDwarfReadFixed(cursor, end, 2, &ok)));
      break;
    case 0x0b:
      value = static_cast<std::uint64_t>(static_cast<std::int32_t>(BBXDwarfReadFixed(cursor, end, 4, &ok)));
      break;
    default:
      BBXSDKLog("%s: Unhandled: encoding 0x%x\n", __func__, static_cast<unsigned>(encoding));
      return kBBXDwarfInvalidAddress;
  }
  if (!ok) return kBBXDwarfInvalidAddress;
  switch (encoding & 0x70) {
    case 0x00:
      break;
    case 0x10:
      value += field;
      break;
    default:
      BBXSDKLog("%s: Unhandled: relative encoding 0x%x\n", __func__, static_cast<unsigned>(encoding));
      return kBBXDwarfInvalidAddress;
  }
  if ((encoding & 0x80) != 0) {
    std::uint64_t indirect = 0;
    if (value == 0 || !BBXReadMemory(reinterpret_cast<const void*>(value), &indirect, sizeof(indirect))) {
      return kBBXDwarfInvalidAddress;
    }
    value = indirect;
  }
  return value;
}

bool BBXDwarfParseCIERecord(BBXDwarfCIERecord* cie, std::uintptr_t address, const BBXDwarfBounds& bounds) {
  *cie = BBXDwarfCIERecord{};
  cie->lsdaEncoding = cie->personalityEncoding = 0xff;
  std::uintptr_t cursor = address;
  std::uintptr_t end = 0;
  if (!bbxDwarfRecordLength(&cursor, bounds, &cie->length, &end)) {
    BBXSDKLog("%s: Error: CIE length invalid\n", __func__);
    return false;
  }
  bool ok = true;
  if (BBXDwarfReadFixed(&cursor, end, 4, &ok) != 0) BBXSDKLog("%s: Error: CIE flag not found\n", __func__);
  cie->version = bbxDwarfByte(&cursor, end, &ok);
  if (!ok || (cie->version != 1 && cie->version != 3)) {
    BBXSDKLog("%s: Error: CIE version %u unsupported\n", __func__, static_cast<unsigned>(cie->version));
    return false;
  }
  std::size_t augmentationLength = 0;
  for (char c = 1; c != '\0';) {
    c = static_cast<char>(bbxDwarfByte(&cursor, end, &ok));
    if (!ok || augmentationLength == sizeof(cie->augmentation)) return false;
    cie->augmentation[augmentationLength++] = c;
  }
  cie->codeAlignment = BBXDwarfReadULEB128(&cursor, end, &ok);
  cie->dataAlignment = BBXDwarfReadSLEB128(&cursor, end, &ok);
  cie->returnRegister = cie->version == 1 ? bbxDwarfByte(&cursor, end, &ok) : BBXDwarfReadULEB128(&cursor, end, &ok);
  if (!ok) return false;
  if (cie->augmentation[0] != '\0') {
    if (cie->augmentation[0] != 'z') {
      BBXSDKLog("%s: Error: Unimplemented: augmentation string %s\n", "BBXDwarfParseAndProcessAugmentation",
                cie->augmentation);
      return false;
    }
    const std::uint64_t dataLength = BBXDwarfReadULEB128(&cursor, end, &ok);
    if (!ok || dataLength > end - cursor) return false;
    const std::uintptr_t dataEnd = cursor + dataLength;
    for (const char* at = cie->augmentation + 1; *at != '\0'; ++at) {
      switch (*at) {
        case 'L':
          cie->lsdaEncoding = bbxDwarfByte(&cursor, dataEnd, &ok);
          break;
        case 'P':
          cie->personalityEncoding = bbxDwarfByte(&cursor, dataEnd, &ok);
          cie->personality = BBXParseAddressWithEncodingAndAdvance(&cursor, dataEnd, cie->personalityEncoding);
          if (cie->personality == kBBXDwarfInvalidAddress) {
            BBXSDKLog("%s: Error: Found an invalid start address\n", "BBXDwarfParseAndProcessAugmentation");
            return false;
          }
          break;
        case 'R':
          cie->pointerEncoding = bbxDwarfByte(&cursor, dataEnd, &ok);
          break;
        case 'S':
          cie->signalFrame = true;
          break;
        default:
          BBXSDKLog("%s: Error: Unhandled augmentation string entry %s\n", "BBXDwarfParseAndProcessAugmentation",
                    at);
          return false;
      }
      if (!ok) return false;
    }
    cursor = dataEnd;
  }
  cie->instructionsStart = cursor;
  cie->instructionsEnd = end;
  return true;
}

bool BBXDwarfParseFDERecord(BBXDwarfFDERecord* fde, bool parseCIE, BBXDwarfCIERecord* cie, std::uintptr_t address,
                            const BBXDwarfBounds& bounds) {
  *fde = BBXDwarfFDERecord{};
  std::uintptr_t cursor = address;
  std::uintptr_t end = 0;
  if (!bbxDwarfRecordLength(&cursor, bounds, &fde->length, &end)) {
    BBXSDKLog("%s: Error: FDE has zero length\n", __func__);
    return false;
  }
  bool ok = true;
  const std::uintptr_t ciePointerField = cursor;
  fde->cieOffset = BBXDwarfReadFixed(&cursor, end, 4, &ok);
  if (!ok || fde->cieOffset == 0 || fde->cieOffset > ciePointerField - bounds.start) {
    BBXSDKLog("%s: Error: CIE offset invalid\n", __func__);
    return false;
  }
  if (!parseCIE || cie == nullptr) return true;
  if (!BBXDwarfParseCIERecord(cie, ciePointerField - fde->cieOffset, bounds)) {
    BBXSDKLog("%s: Error: Unable to parse CIE record\n", __func__);
    return false;
  }
  fde->pcBegin = BBXParseAddressWithEncodingAndAdvance(&cursor, end, cie->pointerEncoding);
  if (fde->pcBegin == kBBXDwarfInvalidAddress) {
    BBXSDKLog("%s: Error: Found an invalid start address\n", __func__);
    return false;
  }
  fde->pcRange = BBXParseAddressWithEncodingAndAdvance(&cursor, end, cie->pointerEncoding & 0x0f);
  if (fde->pcRange == kBBXDwarfInvalidAddress) {
    BBXSDKLog("%s: Error: Found an invalid address range\n", __func__);
    return false;
  }
  if (cie->augmentation[0] == 'z' && !bbxDwarfSkipBlock(&cursor, end)) return false;
  fde->instructionsStart = cursor;
  fde->instructionsEnd = end;
  return true;
}

bool BBXDwarfInstructionsEnumerate(std::uintptr_t start, std::uintptr_t end, const BBXDwarfCIERecord* cie,
                                   BBXDwarfRegisterRules* rules, std::uint64_t pcOffset,
                                   const BBXDwarfRegisterRules* initial) {
  if (start < kBBXMinimumValidAddress || cie == nullptr || rules == nullptr) {
    BBXSDKLog("%s: Error: inputs invalid\n", __func__);
    return false;
  }
  BBXDwarfRegisterRules remembered[kBBXDwarfRememberDepth];
  int rememberedCount = 0;
  std::uint64_t location = 0;
  std::uintptr_t cursor = start;
  while (cursor < end && location <= pcOffset) {
    bool ok = true;
    const std::uint8_t opcode = bbxDwarfByte(&cursor, end, &ok);
    if (!ok || !bbxDwarfExecuteInstruction(opcode, &cursor, end, cie, rules, &location, initial, remembered,
                                           &rememberedCount)) {
      BBXSDKLog("%s: Error: Failed to execute dwarf instruction 0x%x\n", __func__, static_cast<unsigned>(opcode));
      return false;
    }
  }
  return true;
}

bool BBXDwarfEvalulateExpression(std::uintptr_t expression, const BBXRegisterState* state, std::uint64_t initial,
                                 std::uint64_t* result) {
  if (expression < kBBXMinimumValidAddress || state == nullptr || result == nullptr) {
    BBXSDKLog("%s: Error: inputs invalid\n", __func__);
    return false;
  }
  BBXDwarfMachine machine;
  machine.next = 0;
  machine.push(initial);
  std::uintptr_t cursor = expression;
  bool ok = true;
  const std::uint64_t length = BBXDwarfReadULEB128(&cursor, ~std::uintptr_t{0}, &ok);
  if (!ok || length == 0) {
    BBXSDKLog("%s: Error: DWARF expression length is zero\n", __func__);
    return false;
  }
  const std::uintptr_t end = cursor + length;
  while (cursor < end) {
    if (!bbxDwarfExecuteOpcode(&machine, &cursor, end, state)) {
      BBXSDKLog("%s: Error: failed to execute DWARF machine opcode\n", __func__);
      return false;
    }
  }
  if (cursor != end || !machine.valid() || machine.next == 0) {
    BBXSDKLog("%s: Error: failed to get DWARF expression result\n", __func__);
    return false;
  }
  *result = machine.stack[machine.next - 1];
  return true;
}

bool BBXDwarfUnwindComputeRegisters(const BBXDwarfCFIRecord* record, BBXRegisterState* state,
                                    std::uint64_t lookupPC) {
  BBXDwarfRegisterRules initial{};
  if (!BBXDwarfInstructionsEnumerate(record->cie.instructionsStart, record->cie.instructionsEnd, &record->cie,
                                     &initial, ~std::uint64_t{0} >> 1, nullptr)) {
    BBXSDKLog("%s: Error: Unable to run CIE instructions\n", __func__);
    return false;
  }
  if (lookupPC < record->fde.pcBegin) {
    BBXSDKLog("%s: Error: The FDE pcOffset value cannot be negative\n", __func__);
    return false;
  }
  BBXDwarfRegisterRules rules = initial;
  if (!BBXDwarfInstructionsEnumerate(record->fde.instructionsStart, record->fde.instructionsEnd, &record->cie, &rules,
                                     lookupPC - record->fde.pcBegin, &initial)) {
    BBXSDKLog("%s: Error: Unable to run FDE instructions\n", __func__);
    return false;
  }
  std::uint64_t cfa = 0;
  if (rules.cfaExpression != 0) {
    if (!BBXDwarfEvalulateExpression(rules.cfaExpression, state, 0, &cfa)) {
      BBXSDKLog("%s: Error: failed to compute CFA expression\n", "BBXDwarfGetCFA");
      return false;
    }
  } else if (bbxDwarfValidRegister(rules.cfaRegister)) {
    cfa = state->registers[rules.cfaRegister] + static_cast<std::uint64_t>(rules.cfaOffset);
  } else {
    BBXSDKLog("%s: Error: failed to get CFA\n", __func__);
    return false;
  }
  BBXRegisterState next = *state;
  for (std::uint64_t reg = 0; reg < kBBXDwarfRegisterCount; ++reg) {
    if (reg == kBBXDwarfRegisterSP || rules.registers[reg].kind == kBBXDwarfRuleSame) continue;
    next.registers[reg] = bbxDwarfSavedRegister(rules.registers[reg], cfa, state);
  }
  // The return address needs a rule of its own: the same pc again (as in a
  // recursion) is a real frame, an unchanged rule is not.
  const std::uint64_t returnRegister = record->cie.returnRegister;
  if (!bbxDwarfValidRegister(returnRegister) || rules.registers[returnRegister].kind == kBBXDwarfRuleSame) {
    BBXSDKLog("%s: Error: PC hasn't changed\n", __func__);
    return false;
  }
  next.registers[kBBXDwarfRegisterPC] = next.registers[returnRegister];
  next.registers[kBBXDwarfRegisterSP] = cfa;
  if (next.registers[kBBXDwarfRegisterSP] == state->registers[kBBXDwarfRegisterSP]) {
    BBXSDKLog("%s: Error: Stack pointer hasn't changed\n", __func__);
    return false;
  }
  *state = next;
  return true;
}

bool BBXDwarfFindFDE(std::uintptr_t ehFrameHeader, std::uintptr_t ehFrameEnd, std::uint64_t lookupPC,
                     BBXDwarfCFIRecord* record) {
  std::uintptr_t cursor = ehFrameHeader;
  std::uint8_t header[4];
  if (!bbxDwarfRead(&cursor, ehFrameEnd, header, sizeof(header)) || header[0] != 1) return false;
  const std::uint64_t ehFrame = BBXParseAddressWithEncodingAndAdvance(&cursor, ehFrameEnd, header[1]);
  const std::uint64_t count = BBXParseAddressWithEncodingAndAdvance(&cursor, ehFrameEnd, header[2]);
  // The table: pairs of 32-bit offsets from the header (initial location,
  // FDE), sorted by location.
  if (ehFrame == kBBXDwarfInvalidAddress || count == kBBXDwarfInvalidAddress || count == 0 || header[3] != 0x3b ||
      count > (ehFrameEnd - cursor) / 8) {
    return false;
  }
  const std::uintptr_t table = cursor;
  std::uint64_t low = 0;
  std::uint64_t high = count;
  while (high - low > 1) {
    const std::uint64_t middle = low + (high - low) / 2;
    std::int32_t location = 0;
    std::uintptr_t at = table + middle * 8;
    if (!bbxDwarfRead(&at, ehFrameEnd, &location, 4)) return false;
    if (ehFrameHeader + static_cast<std::intptr_t>(location) <= lookupPC) {
      low = middle;
    } else {
      high = middle;
    }
  }
  std::int32_t entry[2];
  std::uintptr_t at = table + low * 8;
  if (!bbxDwarfRead(&at, ehFrameEnd, entry, sizeof(entry))) return false;
  const BBXDwarfBounds bounds{static_cast<std::uintptr_t>(ehFrame), ehFrameEnd};
  if (!BBXDwarfParseFDERecord(&record->fde, true, &record->cie, ehFrameHeader + static_cast<std::intptr_t>(entry[1]),
                              bounds)) {
    BBXSDKLog("%s: Error: Unable to init FDE\n", "BBXCompactUnwindDwarfFrame");
    return false;
  }
  return lookupPC >= record->fde.pcBegin && lookupPC - record->fde.pcBegin < record->fde.pcRange;
}

}  // namespace lumora
