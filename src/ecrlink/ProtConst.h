// Protocol constants of the ECR line, the frame CRC and the names of result codes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kassiro {

inline constexpr std::uint8_t ECR_FF = 0xFF;
inline constexpr std::uint8_t ECR_FE = 0xFE;
inline constexpr std::uint8_t ECR_TAKE = 0x11;
inline constexpr std::uint8_t ECR_REST = 0x13;
inline constexpr std::uint8_t ECR_BEG = 0x0A;
inline constexpr std::uint8_t ECR_END = 0x0D;
inline constexpr std::uint8_t ECR_ACK = 0x06;
inline constexpr std::uint8_t ECR_NAK = 0x15;

// Take replies of up to this many bytes mean the ECR is ready for an in-line command;
// longer ones are on-line requests.
inline constexpr std::size_t MAX_INLINE_REPLY = 7;
inline constexpr int REPEAT_COUNT = 8;
inline constexpr std::uint32_t NOISE_TIMEOUT = 330;
inline constexpr std::uint32_t WAIT_COMPUTER = 6000;
inline constexpr std::uint32_t BIG_TO = 8000;
inline constexpr std::uint32_t ACK_TO = 200;
inline constexpr std::uint32_t BYTE_TO = 100;
inline constexpr std::uint32_t TAKE_TO = 50;

inline constexpr std::int32_t RES_NORESULT = -1;
inline constexpr std::int32_t RES_OK = 0;
inline constexpr std::int32_t RES_NAK = 1;
inline constexpr std::int32_t RES_DIFF = 2;
inline constexpr std::int32_t RES_TIMEOUT = 3;

std::string GetErrorName(std::int32_t Error);
void EcrCRCByte(std::uint16_t& CRC, std::uint8_t InByte);
std::uint16_t TxBlockCRC(std::string_view Buff);

}  // namespace kassiro
