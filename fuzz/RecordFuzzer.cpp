// Runs arbitrary sequences of record operations over two media records and
// two plain records and compares every record after every step with the
// reference model in tests/support/RecordModel.h (which the record tests also
// run from a seeded generator).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "support/RecordModel.h"

namespace {
constexpr int kMaxOperations = 200;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string failure = recordmodel::RunRecordScript(input, kMaxOperations);
  FUZZ_CHECK(failure.empty(), "%s", failure.c_str());
  return 0;
}
