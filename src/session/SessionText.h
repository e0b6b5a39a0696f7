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

// A serial number field as the settings record stores it: 0 when the field is not a
// valid integer or does not fit the record's signed 32 bits.
inline std::int32_t SerialNumberOf(std::string_view field) {
  const std::int64_t n = StrToIntDef(field, 0);
  if (n < std::numeric_limits<std::int32_t>::min() ||
      n > std::numeric_limits<std::int32_t>::max()) {
    return 0;
  }
  return static_cast<std::int32_t>(n);
}

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
