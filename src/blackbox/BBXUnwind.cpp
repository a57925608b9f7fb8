#include "blackbox/BBXUnwind.h"

#include <cstring>

#include "blackbox/BBXAllocator.h"
#include "blackbox/BBXBinaryImage.h"
#include "blackbox/BBXDwarf.h"

namespace lumora {
namespace {

constexpr std::uint32_t kBBXCompactModeMask = 0x0f000000;
constexpr std::uint32_t kBBXCompactModeFrame = 0x04000000;
constexpr std::uint32_t kBBXCompactModeDwarf = 0x03000000;
constexpr std::uint32_t kBBXCompactModeFrameless = 0x02000000;
constexpr std::uint32_t kBBXSecondLevelRegular = 2;
constexpr std::uint32_t kBBXSecondLevelCompressed = 3;

bool bbxValid(std::uint64_t address) { return address >= kBBXMinimumValidAddress; }

template <class T>
bool bbxReadValue(std::uintptr_t address, T* value) {
  return BBXReadMemory(reinterpret_cast<const void*>(address), value, sizeof(T));
}

// The return address at [rsp], when it points into a known image.
bool bbxUnwindWithReturnAddressAtSP(BBXUnwindContext* context) {
  std::uint64_t returnAddress = 0;
  BBXBinaryImageNode node{};
  if (!bbxReadValue(BBXUnwindGetSP(context), &returnAddress) || !bbxValid(returnAddress) ||
      !BBXBinaryImageSafeFindImageForAddress(returnAddress, &node)) {
    BBXSDKLog("%s: Error: LR value is invalid\n", "BBXUnwindWithLRRegister");
    return false;
  }
  BBXUnwindSetPC(context, returnAddress);
  BBXUnwindSetSP(context, BBXUnwindGetSP(context) + 8);
  return true;
}

bool bbxCompactLookupSecondLevelCompressed(BBXCompactUnwindContext* context, std::uintptr_t pc,
                                           std::uintptr_t page, BBXCompactUnwindEntry* entry) {
  std::uint16_t header[4];  // entries offset and count, encodings offset and count
  if (!BBXReadMemory(reinterpret_cast<const void*>(page + 4), header, sizeof(header)) || header[1] == 0) return false;
  const std::uintptr_t functionBase = context->loadAddress + context->functionOffset;
  std::uintptr_t target = 0;
  if (pc > functionBase) {
    target = pc - functionBase;
  } else if (pc < functionBase) {
    BBXSDKLog("%s: Error: PC is invalid\n", "BBXCompactUnwindGetTargetAddress");
  }
  // The last entry whose offset is at or below the target.
  std::uint32_t low = 0;
  std::uint32_t high = header[1];
  std::uint32_t found = header[1];
  while (low < high) {
    const std::uint32_t middle = low + (high - low) / 2;
    std::uint32_t word = 0;
    if (!bbxReadValue(page + header[0] + 4u * middle, &word)) return false;
    if ((word & 0x00ffffff) <= target) {
      found = middle;
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (found == header[1]) {
    BBXSDKLog("%s: Unable to find PC in second level\n", "BBXCompactUnwindLookupSecondLevelCompressed");
    return false;
  }
  std::uint32_t word = 0;
  if (!bbxReadValue(page + header[0] + 4u * found, &word)) return false;
  entry->functionStart = functionBase + (word & 0x00ffffff);
  if (found + 1 < header[1]) {
    std::uint32_t next = 0;
    if (!bbxReadValue(page + header[0] + 4u * (found + 1), &next)) return false;
    entry->functionEnd = functionBase + (next & 0x00ffffff);
  } else {
    entry->functionEnd = context->loadAddress + context->nextFunctionOffset;
  }
  if (pc < entry->functionStart || pc >= entry->functionEnd) {
    BBXSDKLog("%s: PC does not match computed function range\n", "BBXCompactUnwindLookupSecondLevelCompressed");
    return false;
  }
  const std::uint32_t index = word >> 24;
  const std::uint32_t commonCount = context->header[2];
  const std::uintptr_t encodingAddress = index < commonCount
                                             ? context->unwindInfo + context->header[1] + 4u * index
                                             : page + header[2] + 4u * (index - commonCount);
  if (!bbxReadValue(encodingAddress, &entry->encoding) || entry->encoding == 0) {
    BBXSDKLog("%s: Entry has has no unwind info\n", "BBXCompactUnwindLookupSecondLevelCompressed");
    return false;
  }
  return true;
}

bool bbxUnwindWithCompactUnwindInfo(BBXUnwindContext* context, const BBXBinaryImageNode& node, std::uint64_t pc,
                                    std::uint64_t lookupPC) {
  // ELF images carry no compact unwind section: their frames take the DWARF
  // step, the usual road here, without a line for each.
  if (!BBXBinaryImageHasUnwindInfo(&node)) return false;
  BBXSDKLog("%s: Binary image for %p at %p\n", "BBXUnwindWithCompactUnwindInfo", reinterpret_cast<void*>(pc),
            reinterpret_cast<void*>(node.loadAddress.load()));
  if (!BBXCompactUnwindInit(&context->compact, node.unwindInfo, node.ehFrame, node.ehFrameEnd,
                            node.loadAddress.load())) {
    BBXSDKLog("%s: Error: Unable to read unwind info\n", "BBXUnwindWithCompactUnwindInfo");
    return false;
  }
  BBXCompactUnwindEntry entry{};
  if (pc < context->compact.loadAddress || !BBXCompactUnwindLookup(&context->compact, lookupPC, &entry)) {
    BBXSDKLog("%s: Unable to lookup compact unwind for pc %p\n", "BBXCompactUnwindLookupAndCompute",
              reinterpret_cast<void*>(pc));
    return false;
  }
  if (!BBXCompactUnwindComputeRegisters(context, &entry, lookupPC)) {
    BBXSDKLog("%s: Error: failed to compute registers\n", "BBXCompactUnwindLookupAndCompute");
    return false;
  }
  return true;
}

bool bbxUnwindWithDwarf(BBXUnwindContext* context, const BBXBinaryImageNode& node, std::uint64_t lookupPC) {
  if (!bbxValid(node.ehFrame)) return false;
  BBXDwarfCFIRecord record{};
  if (!BBXDwarfFindFDE(node.ehFrame, node.ehFrameEnd, lookupPC, &record) ||
      !BBXDwarfUnwindComputeRegisters(&record, &context->registers, lookupPC)) {
    BBXSDKLog("%s: Error: failed to compute DWARF registers\n", "BBXUnwindWithDwarf");
    return false;
  }
  context->exactPC = record.cie.signalFrame;
  return true;
}

bool bbxUnwindWithAllStrategies(BBXUnwindContext* context) {
  const std::uint64_t pc = BBXUnwindGetPC(context);
  const std::uint64_t lookupPC = context->exactPC ? pc : pc - 1;
  if (!bbxValid(lookupPC)) return false;
  BBXBinaryImageNode node{};
  if (BBXBinaryImageSafeFindImageForAddress(lookupPC, &node)) {
    if (bbxUnwindWithCompactUnwindInfo(context, node, pc, lookupPC) || bbxUnwindWithDwarf(context, node, lookupPC)) {
      return true;
    }
  } else {
    BBXSDKLog("%s: Unable to find binary for %p\n", "BBXUnwindWithCompactUnwindInfo", reinterpret_cast<void*>(pc));
  }
  context->exactPC = false;
  if (BBXUnwindGetFP(context) == 0 && context->frameCount != 1) {
    BBXSDKLog("%s: FP is zero, aborting unwind\n", "BBXUnwindNextFrameUsingAllStrategies");
    BBXUnwindSetPC(context, 0);
    return true;
  }
  if (!BBXUnwindWithFramePointer(context, context->frameCount == 1)) {
    BBXSDKLog("%s: Error: Unable to use frame pointer\n", "BBXUnwindNextFrameUsingAllStrategies");
    return false;
  }
  return true;
}

}  // namespace

bool BBXUnwindInit(BBXUnwindContext* context, const BBXRegisterState* registers) {
  if (context == nullptr || registers == nullptr) return false;
  std::memset(context, 0, sizeof(*context));
  context->registers = *registers;
  context->exactPC = true;
  return true;
}

std::uint64_t BBXUnwindGetPC(const BBXUnwindContext* context) {
  return context->registers.registers[kBBXDwarfRegisterPC];
}
std::uint64_t BBXUnwindGetSP(const BBXUnwindContext* context) {
  return context->registers.registers[kBBXDwarfRegisterSP];
}
std::uint64_t BBXUnwindGetFP(const BBXUnwindContext* context) {
  return context->registers.registers[kBBXDwarfRegisterFP];
}
void BBXUnwindSetPC(BBXUnwindContext* context, std::uint64_t value) {
  context->registers.registers[kBBXDwarfRegisterPC] = value;
}
void BBXUnwindSetSP(BBXUnwindContext* context, std::uint64_t value) {
  context->registers.registers[kBBXDwarfRegisterSP] = value;
}
void BBXUnwindSetFP(BBXUnwindContext* context, std::uint64_t value) {
  context->registers.registers[kBBXDwarfRegisterFP] = value;
}

bool BBXDwarfUnwindGetRegisterValue(const BBXRegisterState* state, std::uint64_t number, std::uint64_t* value) {
  if (number >= kBBXDwarfRegisterCount) {
    BBXSDKLog("%s: Error: Unrecognized get register number %u\n", __func__, static_cast<unsigned>(number));
    return false;
  }
  *value = state->registers[number];
  return true;
}

bool BBXDwarfUnwindSetRegisterValue(BBXRegisterState* state, std::uint64_t number, std::uint64_t value) {
  if (number >= kBBXDwarfRegisterCount) {
    BBXSDKLog("%s: Unrecognized set register number %u\n", __func__, static_cast<unsigned>(number));
    return false;
  }
  state->registers[number] = value;
  return true;
}

bool BBXUnwindNextFrame(BBXUnwindContext* context) {
  if (reinterpret_cast<std::uintptr_t>(context) < kBBXMinimumValidAddress) {
    BBXSDKLog("%s: Error: invalid inputs\n", __func__);
    return false;
  }
  if (!bbxValid(BBXUnwindGetPC(context)) || !bbxValid(BBXUnwindGetSP(context))) {
    BBXSDKLog(context->frameCount == 0 ? "%s: Cancelling unwind for thread with invalid PC/SP\n"
                                       : "%s: Error: thread PC/SP invalid before unwind\n",
              __func__);
    return false;
  }
  if (context->frameCount >= kBBXMaxUnwindFrames) {
    BBXSDKLog("%s: Error: failed to advance to the next frame\n", __func__);
    return false;
  }
  if (context->frameCount > 0 && !bbxUnwindWithAllStrategies(context)) {
    BBXSDKLog("%s: Error: failed to advance to the next frame\n", __func__);
    return false;
  }
  if (!bbxValid(BBXUnwindGetPC(context))) return false;
  if (!bbxValid(BBXUnwindGetSP(context))) {
    BBXSDKLog("%s: Error: SP (%p) isn't a valid pointer\n", __func__,
              reinterpret_cast<void*>(BBXUnwindGetSP(context)));
    return false;
  }
  ++context->frameCount;
  return true;
}

bool BBXUnwindWithFramePointer(BBXUnwindContext* context, bool useReturnAddressAtSP) {
  if (useReturnAddressAtSP) {
    if (bbxUnwindWithReturnAddressAtSP(context)) return true;
    BBXSDKLog("%s: Unable to use LR, skipping\n", __func__);
  }
  const std::uint64_t fp = BBXUnwindGetFP(context);
  std::uint64_t frame[2];  // saved rbp, return address
  if (!BBXReadMemory(reinterpret_cast<const void*>(fp), frame, sizeof(frame))) {
    BBXSDKLog("%s: Error: failed to read memory at address %p\n", __func__, reinterpret_cast<void*>(fp));
    return false;
  }
  BBXUnwindSetPC(context, frame[1]);
  BBXUnwindSetFP(context, frame[0]);
  BBXUnwindSetSP(context, fp + 16);
  return true;
}

bool BBXCompactUnwindInit(BBXCompactUnwindContext* context, std::uintptr_t unwindInfo, std::uintptr_t ehFrame,
                          std::uintptr_t ehFrameEnd, std::uintptr_t loadAddress) {
  if (context == nullptr) {
    BBXSDKLog("%s: Error: invalid context passed to compact unwind init", __func__);
    return false;
  }
  if (!bbxValid(unwindInfo)) {
    BBXSDKLog("%s: Error: invalid unwind info passed to compact unwind init", __func__);
    return false;
  }
  if (!bbxValid(loadAddress)) {
    BBXSDKLog("%s: Error: invalid load address passed to compact unwind init", __func__);
    return false;
  }
  std::memset(context, 0, sizeof(*context));
  context->unwindInfo = unwindInfo;
  context->ehFrame = ehFrame;
  context->ehFrameEnd = ehFrameEnd;
  context->loadAddress = loadAddress;
  if (!BBXReadMemory(reinterpret_cast<const void*>(unwindInfo), context->header, sizeof(context->header))) {
    BBXSDKLog("%s: Error: could not read memory contents of unwindInfo", __func__);
    return false;
  }
  if (context->header[0] != 1) {
    BBXSDKLog("%s: Error: bad unwind_info structure version (%d != %d)\n", __func__,
              static_cast<int>(context->header[0]), 1);
    return false;
  }
  return true;
}

bool BBXCompactUnwindLookup(BBXCompactUnwindContext* context, std::uintptr_t pc, BBXCompactUnwindEntry* entry) {
  const std::uint32_t count = context->header[6];
  const std::uintptr_t index = context->unwindInfo + context->header[5];
  if (count < 2 || pc < context->loadAddress) {
    BBXSDKLog("%s: Unable to find pc in first level\n", __func__);
    return false;
  }
  const std::uintptr_t target = pc - context->loadAddress;
  bool found = false;
  for (std::uint32_t i = 0; i + 1 < count && !found; ++i) {
    std::uint32_t current[3];
    std::uint32_t next = 0;
    if (!BBXReadMemory(reinterpret_cast<const void*>(index + 12u * i), current, sizeof(current)) ||
        !bbxReadValue(index + 12u * (i + 1), &next)) {
      break;
    }
    if (current[0] <= target && target < next) {
      context->functionOffset = current[0];
      context->secondLevelPageOffset = current[1];
      context->lsdaIndexOffset = current[2];
      context->nextFunctionOffset = next;
      found = true;
    }
  }
  if (!found) {
    BBXSDKLog("%s: Unable to find pc in first level\n", __func__);
    return false;
  }
  BBXSDKLog("%s: Found first level (second => %u)\n", __func__, context->secondLevelPageOffset);
  const std::uintptr_t page = context->unwindInfo + context->secondLevelPageOffset;
  std::uint32_t kind = 0;
  bool ok = bbxReadValue(page, &kind);
  if (ok && kind == kBBXSecondLevelCompressed) {
    BBXSDKLog("%s: Found a second level compressed header\n", "BBXCompactUnwindLookupSecondLevel");
    ok = bbxCompactLookupSecondLevelCompressed(context, pc, page, entry);
  } else if (ok && kind == kBBXSecondLevelRegular) {
    BBXSDKLog("%s: Encountered a regular second-level page\n", "BBXCompactUnwindLookupSecondLevel");
    ok = false;
  } else {
    BBXSDKLog("%s: Unrecognized header kind - unable to continue\n", "BBXCompactUnwindLookupSecondLevel");
    ok = false;
  }
  if (!ok) BBXSDKLog("%s: Second-level PC lookup failed\n", __func__);
  return ok;
}

bool BBXCompactUnwindComputeRegisters(BBXUnwindContext* context, const BBXCompactUnwindEntry* entry,
                                      std::uint64_t lookupPC) {
  switch (entry->encoding & kBBXCompactModeMask) {
    case kBBXCompactModeFrame:
      return BBXUnwindWithFramePointer(context, false);
    case kBBXCompactModeDwarf:
      return BBXCompactUnwindDwarfFrame(&context->compact, entry->encoding & 0x00ffffff, &context->registers,
                                        lookupPC);
    case kBBXCompactModeFrameless:
      return bbxUnwindWithReturnAddressAtSP(context);
    default:
      BBXSDKLog("%s: Invalid encoding 0x%x\n", __func__, entry->encoding);
      return false;
  }
}

bool BBXCompactUnwindDwarfFrame(const BBXCompactUnwindContext* context, std::uint64_t fdeOffset,
                                BBXRegisterState* state, std::uint64_t lookupPC) {
  BBXSDKLog("%s: Trying to read dwarf data with offset %x\n", __func__, static_cast<unsigned>(fdeOffset));
  BBXDwarfCFIRecord record{};
  const BBXDwarfBounds bounds{context->ehFrame, context->ehFrameEnd};
  if (!BBXDwarfParseFDERecord(&record.fde, true, &record.cie, context->ehFrame + fdeOffset, bounds)) {
    BBXSDKLog("%s: Error: Unable to init FDE\n", __func__);
    return false;
  }
  if (!BBXDwarfUnwindComputeRegisters(&record, state, lookupPC)) {
    BBXSDKLog("%s: Error: failed to compute DWARF registers\n", __func__);
    return false;
  }
  return true;
}

}  // namespace lumora
