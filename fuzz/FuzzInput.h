// How the fuzz targets read their input and report a broken invariant, and how the seed
// maker writes an input.
//
// FuzzedDataProvider takes whole numbers from the end of the input and bytes from the
// front; TFuzzInputWriter builds an input the same way round, so a seed written from
// a worked exchange is read back by the target as exactly that exchange.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace kassiro::fuzz {

// A broken invariant: said on stderr, and the process aborts so that libFuzzer keeps
// the input that broke it.
[[noreturn]] inline void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void Check(bool ok, const char* what) {
  if (!ok) Broken(what);
}

// A choice among 0..max (max < 256): one byte from the end of the input.
inline std::uint8_t Choose(FuzzedDataProvider& in, std::uint8_t max) {
  return in.ConsumeIntegralInRange<std::uint8_t>(0, max);
}

// A byte string of up to 255 bytes: its length from the end, its bytes from the front.
inline std::string Bytes(FuzzedDataProvider& in) {
  const std::size_t n = in.ConsumeIntegral<std::uint8_t>();
  return in.ConsumeBytesAsString(n);
}

class TFuzzInputWriter {
 public:
  // The counterpart of Choose: value must be at most max.
  TFuzzInputWriter& Choice(std::uint8_t value) {
    back_.push_back(value);
    return *this;
  }
  // The counterpart of FuzzedDataProvider::ConsumeIntegralInRange<T>(min, max): the
  // value less min in as many bytes as the range needs, the most significant first.
  template <typename T>
  TFuzzInputWriter& InRange(T value, T min, T max) {
    const auto range = static_cast<std::uint64_t>(max) - static_cast<std::uint64_t>(min);
    const auto raw = static_cast<std::uint64_t>(value) - static_cast<std::uint64_t>(min);
    int count = 0;
    while (count < 8 && (range >> (8 * count)) > 0) ++count;
    for (int i = count - 1; i >= 0; --i) back_.push_back(static_cast<std::uint8_t>(raw >> (8 * i)));
    return *this;
  }
  // The counterpart of FuzzedDataProvider::ConsumeIntegral<T>().
  template <typename T>
  TFuzzInputWriter& Number(T value) {
    return InRange(value, std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
  }
  // Bytes taken as they are from the front (ConsumeRemainingBytes, at the end).
  TFuzzInputWriter& Raw(std::string_view s) {
    front_.append(s);
    return *this;
  }
  // The counterpart of Bytes: s is cut at 255 bytes.
  TFuzzInputWriter& Text(std::string_view s) {
    if (s.size() > 255) s = s.substr(0, 255);
    Choice(static_cast<std::uint8_t>(s.size()));
    front_.append(s);
    return *this;
  }
  std::string Finish() const {
    std::string out = front_;
    for (auto it = back_.rbegin(); it != back_.rend(); ++it) out.push_back(static_cast<char>(*it));
    return out;
  }

 private:
  std::string front_;
  std::vector<std::uint8_t> back_;
};

}  // namespace kassiro::fuzz
