// Field strings and numbers: every helper on any text, and the round trips that the
// session logic relies on.
#include <string>

#include "FuzzInput.h"
#include "util/BarDefs.h"

namespace {

using namespace kassiro;

using fuzz::Check;

void Fields(const ShortStr& s, int ind) {
  ShortStr rest = s;
  const ShortStr field = ExtractParam(rest, ind);
  Check(field == GetParam(s, ind).view(), "ExtractParam and GetParam differ");
  if (rest.size() != s.size()) {  // the field was there: putting it back restores s
    InsertParam(rest, field, ind);
    Check(rest == s.view(), "InsertParam does not undo ExtractParam");
  }
  ShortStr grown = s;
  InsertParam(grown, field, ind);
  Check(grown.size() >= std::min<std::size_t>(s.size(), 254), "InsertParam lost text");
}

void Head(FuzzedDataProvider& in, const ShortStr& text) {
  const auto st = in.ConsumeIntegral<std::uint8_t>(), cop = in.ConsumeIntegral<std::uint8_t>(),
             prt = in.ConsumeIntegral<std::uint8_t>(), ecr = in.ConsumeIntegral<std::uint8_t>(),
             err = in.ConsumeIntegral<std::uint8_t>();
  const ShortStr msg = MakeString(st, cop, prt, ecr, err, text);
  std::uint8_t h[5];
  ShortStr back;
  DispatchString(msg, h[0], h[1], h[2], h[3], h[4], back);
  Check(h[0] == st && h[1] == cop && h[2] == prt && h[3] == ecr && h[4] == err, "head bytes changed");
  Check(back == text.substr(0, 250).view(), "message text changed");
  DispatchString(text, h[0], h[1], h[2], h[3], h[4], back);
}

void Numbers(FuzzedDataProvider& in, const ShortStr& text) {
  TUserLocale loc;
  loc.DecimalSep = fuzz::Bytes(in).substr(0, 5);
  loc.MonDecimalSep = fuzz::Bytes(in).substr(0, 5);
  const std::string sep = fuzz::Bytes(in).substr(0, 5);
  if (const auto v = ParseCurrency(text, sep.empty() ? "." : sep)) {
    Check(ParseCurrency(CurrToStr(*v, 4)) == v, "a parsed amount does not survive formatting");
  }
  const int decimals = fuzz::Choose(in, 4);
  (void)CurrToStr(in.ConsumeIntegral<Currency>(), decimals);
  (void)StrToCurrDef(text, 0, loc);
  (void)StrToFloatDef(text, static_cast<char>(in.ConsumeIntegral<std::uint8_t>()), 0, loc);
  const auto n = in.ConsumeIntegral<std::int64_t>();
  Check(StrToIntDef(std::to_string(n), n == 0 ? 1 : 0) == n, "an integer does not survive formatting");
  (void)StrToIntDef(text, 0);
  const int place = in.ConsumeIntegralInRange<int>(-2, 300);
  const ShortStr pointed = AddPoint(text, place);
  if (text.find('.') == ShortStr::npos && text.size() < ShortStr::capacity) {
    Check(RemPoint(pointed) == text.view(), "RemPoint does not undo AddPoint");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const ShortStr text(fuzz::Bytes(in));
  Fields(text, in.ConsumeIntegralInRange<int>(-1, 40));
  Head(in, text);
  Numbers(in, text);
  return 0;
}
