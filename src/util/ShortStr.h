// Short strings: up to 255 bytes of 8-bit characters with the length kept beside them.
// Client messages, ECR blocks, set buffers and most texts of the server are short
// strings. The type never allocates, and every operation that produces one cuts the
// result at its capacity, keeping the front.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace kassiro {

template <std::size_t Cap>
class BasicShortStr {
  static_assert(Cap >= 1 && Cap <= 255, "a short string holds at most 255 bytes");

 public:
  static constexpr std::size_t capacity = Cap;
  static constexpr std::size_t npos = std::string_view::npos;

  constexpr BasicShortStr() = default;
  constexpr BasicShortStr(std::string_view s) { assign(s); }           // NOLINT: implicit by design
  constexpr BasicShortStr(const char* s) : BasicShortStr(std::string_view(s)) {}  // NOLINT
  BasicShortStr(const std::string& s) : BasicShortStr(std::string_view(s)) {}       // NOLINT
  template <std::size_t C2>
  constexpr explicit(C2 > Cap) BasicShortStr(const BasicShortStr<C2>& o) { assign(o.view()); }

  // Builds a string from raw bytes, e.g. a frame payload.
  static constexpr BasicShortStr fromBytes(const std::uint8_t* p, std::size_t n) {
    BasicShortStr s;
    s.len_ = static_cast<std::uint8_t>(std::min(n, Cap));
    for (std::size_t i = 0; i < s.len_; ++i) s.data_[i] = static_cast<char>(p[i]);
    return s;
  }

  constexpr void assign(std::string_view s) {
    len_ = static_cast<std::uint8_t>(std::min(s.size(), Cap));
    std::copy_n(s.data(), len_, data_.begin());
  }

  constexpr std::size_t size() const { return len_; }
  constexpr std::size_t length() const { return len_; }
  constexpr bool empty() const { return len_ == 0; }
  constexpr bool full() const { return len_ == Cap; }

  constexpr const char* data() const { return data_.data(); }
  constexpr char* data() { return data_.data(); }
  constexpr const char* begin() const { return data_.data(); }
  constexpr const char* end() const { return data_.data() + len_; }
  constexpr std::string_view view() const { return {data_.data(), len_}; }
  constexpr operator std::string_view() const { return view(); }  // NOLINT
  std::string str() const { return std::string(view()); }

  constexpr char operator[](std::size_t i) const { return data_[i]; }
  constexpr char& operator[](std::size_t i) { return data_[i]; }
  constexpr std::uint8_t byte(std::size_t i) const { return static_cast<std::uint8_t>(data_[i]); }
  constexpr char front() const { return data_[0]; }
  constexpr char back() const { return data_[len_ - 1]; }

  constexpr void clear() { len_ = 0; }

  // Cuts or extends to n bytes (never beyond the capacity).
  constexpr void resize(std::size_t n, char fill = '\0') {
    n = std::min(n, Cap);
    for (std::size_t i = len_; i < n; ++i) data_[i] = fill;
    len_ = static_cast<std::uint8_t>(n);
  }

  constexpr BasicShortStr& append(std::string_view s) {
    const std::size_t n = std::min(s.size(), Cap - len_);
    std::copy_n(s.data(), n, data_.begin() + len_);
    len_ = static_cast<std::uint8_t>(len_ + n);
    return *this;
  }
  constexpr BasicShortStr& operator+=(std::string_view s) { return append(s); }
  constexpr BasicShortStr& operator+=(char c) { return push_back(c); }
  constexpr BasicShortStr& push_back(char c) {
    if (len_ < Cap) data_[len_++] = c;
    return *this;
  }

  // Inserts s before position pos; what no longer fits is cut off the end.
  constexpr BasicShortStr& insert(std::size_t pos, std::string_view s) {
    pos = std::min<std::size_t>(pos, len_);
    BasicShortStr out(view().substr(0, pos));
    out.append(s);
    out.append(view().substr(pos));
    return *this = out;
  }

  // Deletes up to n bytes from position pos.
  constexpr BasicShortStr& erase(std::size_t pos, std::size_t n = npos) {
    if (pos >= len_) return *this;
    n = std::min<std::size_t>(n, len_ - pos);
    std::copy(data_.begin() + pos + n, data_.begin() + len_, data_.begin() + pos);
    len_ = static_cast<std::uint8_t>(len_ - n);
    return *this;
  }

  constexpr BasicShortStr substr(std::size_t pos, std::size_t n = npos) const {
    if (pos >= len_) return {};
    return BasicShortStr(view().substr(pos, n));
  }

  constexpr std::size_t find(char c, std::size_t from = 0) const { return view().find(c, from); }
  constexpr std::size_t find(std::string_view s, std::size_t from = 0) const {
    return view().find(s, from);
  }
  constexpr bool starts_with(char c) const { return len_ > 0 && data_[0] == c; }

  friend constexpr BasicShortStr operator+(BasicShortStr a, std::string_view b) {
    return a.append(b);
  }
  friend constexpr BasicShortStr operator+(BasicShortStr a, char c) { return a.push_back(c); }

  friend constexpr bool operator==(const BasicShortStr& a, std::string_view b) {
    return a.view() == b;
  }

  friend std::ostream& operator<<(std::ostream& os, const BasicShortStr& s) {
    return os << s.view();
  }

 private:
  std::array<char, Cap> data_{};
  std::uint8_t len_ = 0;
};

// The short string of the wire: at most 255 bytes.
using ShortStr = BasicShortStr<255>;

}  // namespace kassiro
