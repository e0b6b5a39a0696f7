#include "ecrlink/FrameCodec.h"

#include <algorithm>
#include <cstdio>

#include "ecrlink/ProtConst.h"

namespace kassiro {

TFrameBuffer BuildFrame(std::string_view payload, std::size_t fillCount) {
  payload = payload.substr(0, std::min(payload.size(), MAX_PAYLOAD));
  fillCount = std::min(fillCount, MAX_FILL);

  ShortStr covered(payload);  // payload + 0D: what the CRC covers
  covered.push_back(static_cast<char>(ECR_END));
  const std::uint16_t crc = TxBlockCRC(covered);

  TFrameBuffer f;
  auto out = f.bytes.begin();
  out = std::fill_n(out, fillCount, ECR_FF);
  *out++ = ECR_BEG;
  for (const char c : covered) *out++ = static_cast<std::uint8_t>(c);
  *out++ = static_cast<std::uint8_t>(crc >> 8);
  *out++ = static_cast<std::uint8_t>(crc);
  f.size = static_cast<std::size_t>(out - f.bytes.begin());
  return f;
}

ShortStr MakeTakeRequest(std::int32_t ecr) {
  std::array<char, 16> digits{};
  const int n = std::snprintf(digits.data(), digits.size(), "%.2d", static_cast<int>(ecr));
  ShortStr req("\xFF\xFF\x11\x11");
  req.append(std::string_view(digits.data(), static_cast<std::size_t>(std::max(n, 0))));
  return req;
}

void TFrameReceiver::Restart() {
  FBlock.clear();
  FCalcCRC = 0;
}

TRxEvent TFrameReceiver::Consume(std::uint8_t b) {
  switch (FState) {
    case TState::sWaitBeg:
      if (b != ECR_BEG) return TRxEvent::rxIgnored;
      Restart();
      FState = TState::sWaitEnd;
      return TRxEvent::rxProgress;
    case TState::sWaitEnd:
      if (b == ECR_BEG) {
        Restart();
      } else {
        EcrCRCByte(FCalcCRC, b);
        if (b == ECR_END) FState = TState::sWaitCRC1;
        else FBlock.push_back(static_cast<char>(b));
      }
      return TRxEvent::rxProgress;
    case TState::sWaitCRC1:
      EcrCRCByte(FCalcCRC, b);
      FState = TState::sWaitCRC2;
      return TRxEvent::rxProgress;
    case TState::sWaitCRC2:
      EcrCRCByte(FCalcCRC, b);
      FState = TState::sWaitBeg;
      return FCalcCRC == 0 ? TRxEvent::rxFrameGood : TRxEvent::rxFrameBad;
  }
  return TRxEvent::rxIgnored;
}

}  // namespace kassiro
