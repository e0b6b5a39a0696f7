// Who may reach the TCP server: the one local address it listens on, and the addresses
// or CIDR ranges (IPv4 and IPv6) a client may connect from. Both are kept as text in the
// program INI file and given on kassirod's command line, so each parser returns the
// canonical text to store as well as the value, and says what is wrong with bad input.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kassiro {

// An IP address as its bytes: IPv4 in the first 4, IPv6 in all 16. An IPv4-mapped
// IPv6 address (::ffff:a.b.c.d) is taken as the IPv4 address it carries.
struct TIpAddress {
  bool V6 = false;
  std::array<std::uint8_t, 16> Bytes{};
  bool operator==(const TIpAddress&) const = default;
};

// A whole IP literal ("192.168.1.10", "::1", "[::1]"), or nothing.
std::optional<TIpAddress> ParseIpAddress(std::string_view text);
std::string IpText(const TIpAddress& a);

// An address with a prefix length: the network's bits, the rest cleared.
struct TNetRange {
  TIpAddress Net;
  int Bits = 0;
  bool Contains(const TIpAddress& a) const;
  std::string Text() const;  // "192.168.1.0/24"; a single host without "/32" or "/128"
};

// What a parser gives: the value, or the reason the text is refused.
template <class T>
struct TParsed {
  std::optional<T> Value;
  std::string Error;
};

// The local address to listen on. Empty text is the default (every IPv4 address),
// given back as an empty address.
TParsed<std::optional<TIpAddress>> ParseListenAddress(std::string_view text);

// The clients that may connect, as a list of ranges. Empty means everybody.
class TAllowList {
 public:
  // "NET[,NET...]", each NET an address or ADDRESS/BITS; blanks around an entry are
  // ignored, an empty entry is refused.
  static TParsed<TAllowList> Parse(std::string_view text);

  bool Empty() const { return FRanges.empty(); }
  bool Allows(const TIpAddress& a) const;
  std::string Text() const;  // canonical, "," between entries; "" when empty
  const std::vector<TNetRange>& Ranges() const { return FRanges; }

 private:
  std::vector<TNetRange> FRanges;
};

}  // namespace kassiro
