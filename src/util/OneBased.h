// Fixed arrays indexed from 1, as every ECR, set and field number of the server is.
// Index 0 and indices past the end throw, so a bad number never touches memory.
#pragma once

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace kassiro {

template <typename T, std::size_t N>
struct OneBased {
  std::array<T, N> items{};

  constexpr T& operator[](std::size_t i) { return items[check(i) - 1]; }
  constexpr const T& operator[](std::size_t i) const { return items[check(i) - 1]; }
  static constexpr std::size_t size() { return N; }
  constexpr auto begin() { return items.begin(); }
  constexpr auto end() { return items.end(); }
  constexpr auto begin() const { return items.begin(); }
  constexpr auto end() const { return items.end(); }

 private:
  static constexpr std::size_t check(std::size_t i) {
    if (i < 1 || i > N) throw std::out_of_range("index outside 1.." + std::to_string(N));
    return i;
  }
};

}  // namespace kassiro
