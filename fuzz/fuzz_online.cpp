// The on-line block handler: ECR 3 sends blocks while clients 1..3 hold a chosen mix
// of its sets, answer its queries and queue receipt steps.
#include "SessionHarness.h"

namespace {

using namespace kassiro;

constexpr std::uint8_t ECR = 3;
constexpr std::uint16_t CLIENTS = 3;

// The start: which sets are held (by client 1 + set code mod 3), the ECR's last block
// number and its receipt and line numbers, as a settings file may have left them.
void SetUp(fuzz::TSessionHarness& h, FuzzedDataProvider& in) {
  const auto held = in.ConsumeIntegral<std::uint16_t>();
  for (std::uint8_t st = 1; st <= SET_COUNT; ++st) {
    if (held & (1u << (st - 1))) {
      h.DataIn(static_cast<std::uint16_t>(1 + st % CLIENTS), fuzz::TSessionHarness::Msg(st, COP_REQ, ECR, "pw;"));
    }
  }
  EcrOf(h.S, ECR).BlockNo = fuzz::Choose(in, 255);
  TERData& d = h.S.IniStru.ERData[ECR];
  d.Bon = in.ConsumeIntegral<std::int32_t>();
  d.Line = in.ConsumeIntegral<std::uint16_t>();
  h.S.IniStru.GlobalBon = in.ConsumeIntegral<std::int32_t>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  static fuzz::TSessionHarness h;
  h.Reset();
  SetUp(h, in);
  while (in.remaining_bytes() > 0) {
    switch (fuzz::Choose(in, 2)) {
      case 0: h.Turn(ECR, fuzz::Bytes(in)); break;  // a block from the ECR
      case 1: {                                          // a client's message
        const auto id = static_cast<std::uint16_t>(1 + fuzz::Choose(in, CLIENTS - 1));
        h.DataIn(id, fuzz::Bytes(in));
        break;
      }
      case 2: h.Advance(in); break;
    }
  }
  h.Finish();
  return 0;
}
