// The crash-time unwinder's DWARF call-frame reader on arbitrary bytes. The
// input is an .eh_frame_hdr table with its records after it, searched for
// the entry of a pc the input names and, when one covers it, run to the
// caller's registers; the same bytes also read as a CIE, as an FDE with its
// CIE, as a CFA program and as an expression. The registers point into the
// input, so the rules that load from memory find something; what lies
// outside it is read only through the kit's safe reader, so no input faults.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "blackbox/BBXDwarf.h"
#include "blackbox/BBXRegisterState.h"
#include "support/Fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  FuzzedDataProvider input(data, size);
  const auto pcOffset = input.ConsumeIntegral<std::uint32_t>();
  const auto registerSeed = input.ConsumeIntegral<std::uint32_t>();
  const std::vector<std::uint8_t> bytes = input.ConsumeRemainingBytes<std::uint8_t>();
  if (bytes.empty()) return 0;
  const auto start = reinterpret_cast<std::uintptr_t>(bytes.data());
  const std::uintptr_t end = start + bytes.size();

  lumora::BBXRegisterState state{};
  for (std::uint64_t r = 0; r < lumora::kBBXDwarfRegisterCount; ++r) {
    state.registers[r] = start + (registerSeed + r * 8) % bytes.size();
  }
  const std::uint64_t pc = start + pcOffset % bytes.size();

  lumora::BBXDwarfCFIRecord found{};
  if (lumora::BBXDwarfFindFDE(start, end, pc, &found)) {
    lumora::BBXRegisterState caller = state;
    (void)lumora::BBXDwarfUnwindComputeRegisters(&found, &caller, pc);
  }

  const lumora::BBXDwarfBounds bounds{start, end};
  lumora::BBXDwarfCIERecord cie{};
  if (lumora::BBXDwarfParseCIERecord(&cie, start, bounds)) {
    FUZZ_CHECK(cie.instructionsStart <= cie.instructionsEnd && cie.instructionsEnd <= end);
    lumora::BBXDwarfRegisterRules rules{};
    (void)lumora::BBXDwarfInstructionsEnumerate(cie.instructionsStart, cie.instructionsEnd, &cie, &rules, pcOffset,
                                                nullptr);
  }
  lumora::BBXDwarfCFIRecord record{};
  if (lumora::BBXDwarfParseFDERecord(&record.fde, true, &record.cie, start, bounds)) {
    FUZZ_CHECK(record.fde.instructionsStart <= record.fde.instructionsEnd && record.fde.instructionsEnd <= end);
    lumora::BBXRegisterState caller = state;
    (void)lumora::BBXDwarfUnwindComputeRegisters(&record, &caller, record.fde.pcBegin + pcOffset % 64);
  }
  std::uint64_t result = 0;
  (void)lumora::BBXDwarfEvalulateExpression(start, &state, registerSeed, &result);
  return 0;
}
