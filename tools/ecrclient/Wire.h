// The client protocol's wire format as ecrclient sees it, kept in this one place:
// on the TCP stream every message is one length byte and that many bytes, and a
// message is five head bytes (ST, COP, ComPort, EcrNo, ErrC) followed by a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/ShortStr.h"

namespace kassiro::client {

inline constexpr std::size_t MESSAGE_HEAD_SIZE = 5;
inline constexpr std::size_t MAX_TEXT_SIZE = 255 - MESSAGE_HEAD_SIZE;  // 250

// A message taken apart.
struct TMessage {
  std::uint8_t St = 0;
  std::uint8_t Cop = 0;
  std::uint8_t Port = 0;
  std::uint8_t Ecr = 0;
  std::uint8_t Err = 0;
  ShortStr Text;
  std::size_t Size = 0;  // bytes of the message; fewer than 5 means the head was cut short
};

// Builds a message (MakeString); the caller keeps the text within MAX_TEXT_SIZE.
ShortStr BuildMessage(std::uint8_t st, std::uint8_t cop, std::uint8_t port, std::uint8_t ecr,
                      std::uint8_t err, std::string_view text);
// The bytes that carry a message on the stream: its length byte, then the message.
std::string Frame(std::string_view message);
// Takes a message apart (DispatchString); head bytes beyond a short message read as 0.
TMessage Decode(std::string_view message);

// Cuts a byte stream into messages, whatever pieces the bytes arrive in.
class TFrameReader {
 public:
  template <typename OnMessage>
  void Consume(std::string_view bytes, OnMessage&& onMessage) {
    pending_.append(bytes);
    std::size_t at = 0;
    while (at < pending_.size()) {
      const std::size_t length = static_cast<std::uint8_t>(pending_[at]);
      if (pending_.size() - at - 1 < length) break;
      onMessage(std::string_view(pending_).substr(at + 1, length));
      at += 1 + length;
    }
    pending_.erase(0, at);
  }
  // Bytes of a message that has begun but not yet arrived completely.
  std::size_t Pending() const { return pending_.size(); }

 private:
  std::string pending_;
};

}  // namespace kassiro::client
