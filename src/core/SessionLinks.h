// What the session logic needs from the TCP server and from the polling thread.
// The routines see only these two narrow interfaces, so they can be driven by fakes
// in tests and by the real components in the server.
#pragma once

#include <cstdint>

#include "util/ShortStr.h"

namespace kassiro {

// The TCP server's send operation (TSockServer implements it).
class TClientLink {
 public:
  virtual ~TClientLink() = default;
  // Queues one message for connection ID; never blocks, safe from any thread.
  virtual void SendData(std::uint16_t ID, const ShortStr& Data) = 0;
  // Connection ID gave a wrong set password; called before its refusal is sent, so the
  // link may hold back that answer and the client's next requests. Never blocks.
  virtual void WrongPassword(std::uint16_t /*ID*/) {}
};

// The polling thread's operations that handlers and commands call (TPolThread implements it).
class TPollLink {
 public:
  virtual ~TPollLink() = default;
  virtual void AddEcr(int Ecr) = 0;     // throws std::invalid_argument/std::length_error texts
  virtual void RemoveEcr(int Ecr) = 0;
  virtual void NoiseOn() = 0;
  virtual void NoiseOff() = 0;
  virtual void Next() = 0;
  virtual void SendInlBlock(const ShortStr& Blk) = 0;
  virtual void SendOnlBlock(const ShortStr& Blk) = 0;
};

}  // namespace kassiro
