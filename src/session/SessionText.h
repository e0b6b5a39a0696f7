// Small text helpers shared by the session routines: the numbers read from and
// appended to the ';'-terminated fields of ECR blocks and client messages.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "util/BarDefs.h"
#include "util/ShortStr.h"

namespace kassiro {

// Appends n in decimal as one more field (the number, then ';'); cut at 255 bytes.
inline void AppendNumberField(ShortStr& s, std::int64_t n) {
  s.append(std::to_string(n));
  s.push_back(';');
}

// Field ind taken out; an empty value replaced by "0"; put back at the same place.
inline void EmptyFieldToZero(ShortStr& s, int ind) {
  ShortStr field = ExtractParam(s, ind);
  if (field.empty()) field = "0";
  InsertParam(s, field, ind);
}

}  // namespace kassiro
