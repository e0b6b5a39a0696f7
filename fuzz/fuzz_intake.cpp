// Client messages through the intake and the real session logic, with the polling
// thread played by the harness: any mix of connections, messages, disconnections and
// ECR turns.
#include "SessionHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  static kassiro::fuzz::TSessionHarness h;
  h.Reset();
  while (h.Step(in)) {
  }
  h.Finish();
  return 0;
}
