#include "ecrlink/ProtConst.h"

namespace kassiro {

std::string GetErrorName(std::int32_t Error) {
  switch (Error) {
    case RES_NORESULT: return "No result";
    case RES_OK: return "OK";
    case RES_NAK: return "NAK";
    case RES_DIFF: return "DIFF";
    case RES_TIMEOUT: return "TimeOut";
    default: return "Unknown error: " + std::to_string(Error);
  }
}

// One step of the frame CRC (generator x^16 + x^15 + 1, MSB first).
void EcrCRCByte(std::uint16_t& CRC, std::uint8_t InByte) {
  const std::uint8_t h = static_cast<std::uint8_t>(CRC >> 8);
  const std::uint8_t l = static_cast<std::uint8_t>(CRC);
  std::uint8_t p = 0;
  for (int i = 0; i < 8; ++i) p = static_cast<std::uint8_t>(p ^ (h >> i));
  const std::uint8_t newHigh = static_cast<std::uint8_t>(l ^ ((p & 1) << 7));
  const std::uint8_t newLow = static_cast<std::uint8_t>(InByte ^ p);
  CRC = static_cast<std::uint16_t>((newHigh << 8) | newLow);
}

std::uint16_t TxBlockCRC(std::string_view Buff) {
  if (Buff.empty()) return 0;
  std::uint16_t crc = 0;
  for (const char c : Buff) EcrCRCByte(crc, static_cast<std::uint8_t>(c));
  EcrCRCByte(crc, 0);
  EcrCRCByte(crc, 0);
  return crc;
}

}  // namespace kassiro
