#include "blackbox/BBXDwarf.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "blackbox/BBXUnwind.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uintptr_t bbxDwarfAddress(const Bytes& bytes) { return reinterpret_cast<std::uintptr_t>(bytes.data()); }

void bbxDwarfAppend32(Bytes& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void bbxDwarfAppend64(Bytes& bytes, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A CIE (return address in 16, data alignment -8, absolute 8-byte
// pointers) with its initial program, and one FDE for [begin, begin + 64).
Bytes bbxDwarfRecords(const Bytes& cieProgram, const Bytes& fdeProgram, std::uint64_t begin) {
  Bytes cie = {0, 0, 0, 0, 1, 'z', 'R', 0, 1, 0x78, 16, 1, 0x00};
  cie.insert(cie.end(), cieProgram.begin(), cieProgram.end());
  Bytes bytes;
  bbxDwarfAppend32(bytes, static_cast<std::uint32_t>(cie.size()));
  bytes.insert(bytes.end(), cie.begin(), cie.end());
  const std::size_t fdeStart = bytes.size();
  Bytes fde;
  bbxDwarfAppend32(fde, static_cast<std::uint32_t>(fdeStart + 4));  // back to the CIE
  bbxDwarfAppend64(fde, begin);
  bbxDwarfAppend64(fde, 64);
  fde.push_back(0);
  fde.insert(fde.end(), fdeProgram.begin(), fdeProgram.end());
  bbxDwarfAppend32(bytes, static_cast<std::uint32_t>(fde.size()));
  bytes.insert(bytes.end(), fde.begin(), fde.end());
  return bytes;
}

TEST(BBXDwarfTest, NumbersAreReadWholeUpToTenBytes) {
  const struct {
    Bytes bytes;
    bool isSigned;
    std::int64_t value;
  } cases[] = {
      {{0xe8, 0x07}, false, 1000},
      {{0x7f}, true, -1},
      {{0x80, 0x7f}, true, -128},
      {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}, false, -1},
  };
  for (const auto& c : cases) {
    std::uintptr_t cursor = bbxDwarfAddress(c.bytes);
    const std::uintptr_t end = cursor + c.bytes.size();
    const std::int64_t value = c.isSigned ? lumora::BBXDwarfReadSLEB128(&cursor, end)
                                          : static_cast<std::int64_t>(lumora::BBXDwarfReadULEB128(&cursor, end));
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(cursor, end);
  }
}

TEST(BBXDwarfTest, RulesApplyFromTheirLocationAndMustMoveTheStack) {
  std::uint64_t stack[4] = {0x1111, 0x2222, 0x3333, 0x4444};
  const auto sp = reinterpret_cast<std::uint64_t>(&stack[0]);
  const std::uint64_t begin = 0x400000;
  // CFA = rsp + 8, return address at CFA - 8; after 1 byte CFA = rsp + 16,
  // rbp saved at CFA - 16; after 3 more, CFA = rbp + 16.
  const Bytes common = {0x0c, 7, 8, 0x90, 1};
  const Bytes program = {0x41, 0x0e, 16, 0x86, 2, 0x43, 0x0d, 6};
  // An epilogue: the state is remembered, the CFA moved, then restored; a
  // restore puts rbp's rule back to the CIE's (none).
  const Bytes epilogue = {0x41, 0x0e, 16, 0x86, 2, 0x0a, 0x0e, 8, 0x41, 0x0b, 0xc6};
  const Bytes none;
  const struct {
    Bytes cie;
    const Bytes& fde;
    std::uint64_t offset;
    bool ok;
    std::uint64_t pc;
    std::uint64_t newSP;
  } cases[] = {
      {common, program, 0, true, 0x1111, sp + 8},
      {common, program, 1, true, 0x2222, sp + 16},
      {common, program, 3, true, 0x2222, sp + 16},
      {common, program, 4, true, 0x3333, sp + 24},
      {common, epilogue, 1, true, 0x1111, sp + 8},
      {common, epilogue, 2, true, 0x2222, sp + 16},
      {{0x0c, 7, 0, 0x90, 1}, program, 0, false, 0, 0},  // CFA = rsp: the stack does not move
      // A factored offset of 2^61 times the alignment -8 wraps, as the
      // addresses do, to CFA + 0 (it overflowed a signed product).
      {{0x0c, 7, 8, 0x90, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x20}, none, 0, true, 0x2222, sp + 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    const Bytes records = bbxDwarfRecords(c.cie, c.fde, begin);
    const lumora::BBXDwarfBounds bounds{bbxDwarfAddress(records), bbxDwarfAddress(records) + records.size()};
    lumora::BBXDwarfCFIRecord record{};
    const std::uintptr_t fde = bounds.start + 4 + records[0];
    ASSERT_TRUE(lumora::BBXDwarfParseFDERecord(&record.fde, true, &record.cie, fde, bounds));
    lumora::BBXRegisterState state{};
    state.registers[lumora::kBBXDwarfRegisterSP] = sp;
    state.registers[lumora::kBBXDwarfRegisterFP] = sp + 8;  // rbp after the push
    EXPECT_EQ(lumora::BBXDwarfUnwindComputeRegisters(&record, &state, begin + c.offset), c.ok);
    if (c.ok) {
      EXPECT_EQ(state.registers[lumora::kBBXDwarfRegisterPC], c.pc);
      EXPECT_EQ(state.registers[lumora::kBBXDwarfRegisterSP], c.newSP);
    }
    // A record that claims more than its bounds is refused before reading.
    const lumora::BBXDwarfBounds cut{bounds.start, bounds.end - 1};
    EXPECT_FALSE(lumora::BBXDwarfParseFDERecord(&record.fde, true, &record.cie, fde, cut));
  }
}

TEST(BBXDwarfTest, ExpressionsYieldTheirTopAndFailOnAnEmptyStack) {
  lumora::BBXRegisterState state{};
  state.registers[6] = 100;
  const struct {
    Bytes block;
    bool ok;
    std::uint64_t result;
  } cases[] = {
      {{2, 0x31, 0x32}, true, 2},
      {{3, 0x76, 0x08, 0x22}, true, 100 + 8 + 7},  // breg6 +8, plus the initial 7
      {{2, 0x22, 0x22}, false, 0},
      {{0}, false, 0},
      {{1, 0xff}, false, 0},
  };
  for (const auto& c : cases) {
    std::uint64_t result = 0;
    EXPECT_EQ(lumora::BBXDwarfEvalulateExpression(bbxDwarfAddress(c.block), &state, 7, &result), c.ok);
    if (c.ok) {
      EXPECT_EQ(result, c.result);
    }
  }
}

TEST(BBXDwarfTest, CompressedPagesEndTheirLastFunctionAtTheNextIndexEntry) {
  // Header, one common encoding (frameless), a three-entry index, then a
  // compressed page of two functions and a regular page.
  Bytes info;
  for (std::uint32_t word : {1u, 28u, 1u, 0u, 0u, 32u, 3u}) bbxDwarfAppend32(info, word);
  bbxDwarfAppend32(info, 0x02000000);
  const std::uint32_t compressed = 32 + 36;
  const std::uint32_t regular = compressed + 20;
  for (std::uint32_t word : {0x1000u, compressed, 0u, 0x2000u, regular, 0u, 0x3000u, 0u, 0u}) {
    bbxDwarfAppend32(info, word);
  }
  bbxDwarfAppend32(info, 3);
  for (std::uint16_t half : {std::uint16_t{12}, std::uint16_t{2}, std::uint16_t{20}, std::uint16_t{0}}) {
    info.push_back(static_cast<std::uint8_t>(half));
    info.push_back(static_cast<std::uint8_t>(half >> 8));
  }
  bbxDwarfAppend32(info, 0x000000);
  bbxDwarfAppend32(info, 0x000100);
  bbxDwarfAppend32(info, 2);
  bbxDwarfAppend32(info, 0);

  const std::uintptr_t load = 0x10000000;
  lumora::BBXCompactUnwindContext context{};
  ASSERT_TRUE(lumora::BBXCompactUnwindInit(&context, bbxDwarfAddress(info), 0, 0, load));
  lumora::BBXCompactUnwindEntry entry{};
  ASSERT_TRUE(lumora::BBXCompactUnwindLookup(&context, load + 0x1180, &entry));
  EXPECT_EQ(entry.functionStart, load + 0x1100);
  EXPECT_EQ(entry.functionEnd, load + 0x2000);
  EXPECT_EQ(entry.encoding, 0x02000000u);
  ASSERT_TRUE(lumora::BBXCompactUnwindLookup(&context, load + 0x1010, &entry));
  EXPECT_EQ(entry.functionEnd, load + 0x1100);
  EXPECT_FALSE(lumora::BBXCompactUnwindLookup(&context, load + 0x2010, &entry));
  EXPECT_FALSE(lumora::BBXCompactUnwindLookup(&context, load + 0x0010, &entry));
}

}  // namespace
