#include "ecrclient/Wire.h"

#include "util/BarDefs.h"

namespace kassiro::client {

ShortStr BuildMessage(std::uint8_t st, std::uint8_t cop, std::uint8_t port, std::uint8_t ecr,
                      std::uint8_t err, std::string_view text) {
  return MakeString(st, cop, port, ecr, err, text);
}

TMessage Decode(std::string_view message) {
  TMessage m;
  DispatchString(message, m.St, m.Cop, m.Port, m.Ecr, m.Err, m.Text);
  m.Size = message.size();
  return m;
}

}  // namespace kassiro::client
