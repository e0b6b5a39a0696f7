#include "net/NetRange.h"

#include <arpa/inet.h>

#include <algorithm>

#include "util/Trim.h"
#include "util/WholeNumber.h"

namespace kassiro {

namespace {

constexpr std::array<std::uint8_t, 12> V4_MAPPED_PREFIX = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

int MaxBits(const TIpAddress& a) { return a.V6 ? 128 : 32; }

}  // namespace

std::optional<TIpAddress> ParseIpAddress(std::string_view text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  if (text.empty() || text.size() > 45) return std::nullopt;  // the longest IPv6 text
  const std::string s(text);
  TIpAddress a;
  if (::inet_pton(AF_INET, s.c_str(), a.Bytes.data()) == 1) return a;
  if (s.find(':') == std::string::npos || ::inet_pton(AF_INET6, s.c_str(), a.Bytes.data()) != 1)
    return std::nullopt;
  a.V6 = true;
  if (std::equal(V4_MAPPED_PREFIX.begin(), V4_MAPPED_PREFIX.end(), a.Bytes.begin())) {
    std::copy_n(a.Bytes.begin() + 12, 4, a.Bytes.begin());
    std::fill(a.Bytes.begin() + 4, a.Bytes.end(), 0);
    a.V6 = false;
  }
  return a;
}

std::string IpText(const TIpAddress& a) {
  char buf[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(a.V6 ? AF_INET6 : AF_INET, a.Bytes.data(), buf, sizeof buf);
  return buf;
}

bool TNetRange::Contains(const TIpAddress& a) const {
  if (a.V6 != Net.V6) return false;
  const int whole = Bits / 8;
  if (!std::equal(Net.Bytes.begin(), Net.Bytes.begin() + whole, a.Bytes.begin())) return false;
  const int rest = Bits % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  return (a.Bytes[static_cast<std::size_t>(whole)] & mask) == Net.Bytes[static_cast<std::size_t>(whole)];
}

std::string TNetRange::Text() const {
  return Bits == MaxBits(Net) ? IpText(Net) : IpText(Net) + "/" + std::to_string(Bits);
}

TParsed<std::optional<TIpAddress>> ParseListenAddress(std::string_view text) {
  text = Trim(text);
  if (text.empty()) return {std::optional<TIpAddress>{}, {}};
  if (const auto a = ParseIpAddress(text)) return {std::optional<TIpAddress>{*a}, {}};
  return {std::nullopt, "\"" + std::string(text) + "\" is not an IPv4 or IPv6 address"};
}

namespace {

// One entry of an allow list: an address, or an address and a prefix length.
TParsed<TNetRange> ParseRange(std::string_view entry) {
  const auto refuse = [&](std::string why) {
    return TParsed<TNetRange>{std::nullopt, "\"" + std::string(entry) + "\" " + why};
  };
  const auto slash = entry.find('/');
  const auto addr = ParseIpAddress(Trim(entry.substr(0, slash)));
  if (!addr) return refuse("is not an IPv4 or IPv6 address or range");
  TNetRange r{*addr, MaxBits(*addr)};
  if (slash != std::string_view::npos) {
    const std::string_view bits = Trim(entry.substr(slash + 1));
    const auto n = WholeNumber<int>(bits);
    if (!n || *n < 0 || *n > MaxBits(*addr))
      return refuse("has no prefix length 0.." + std::to_string(MaxBits(*addr)) + " after the /");
    r.Bits = *n;
  }
  // The host bits of "192.168.1.7/24" are cleared: the range is what was meant.
  for (std::size_t i = 0; i < r.Net.Bytes.size(); ++i) {
    const int keep = std::clamp(r.Bits - static_cast<int>(i) * 8, 0, 8);
    r.Net.Bytes[i] &= static_cast<std::uint8_t>(0xFF00 >> keep);
  }
  return {r, {}};
}

}  // namespace

TParsed<TAllowList> TAllowList::Parse(std::string_view text) {
  TAllowList list;
  if (Trim(text).empty()) return {list, {}};
  for (std::size_t from = 0;;) {
    const auto comma = text.find(',', from);
    const std::string_view entry = Trim(text.substr(from, comma == std::string_view::npos ? comma : comma - from));
    if (entry.empty()) return {std::nullopt, "an empty entry in the list \"" + std::string(text) + "\""};
    auto range = ParseRange(entry);
    if (!range.Value) return {std::nullopt, std::move(range.Error)};
    list.FRanges.push_back(*range.Value);
    if (comma == std::string_view::npos) return {std::move(list), {}};
    from = comma + 1;
  }
}

bool TAllowList::Allows(const TIpAddress& a) const {
  return FRanges.empty() ||
         std::any_of(FRanges.begin(), FRanges.end(), [&](const TNetRange& r) { return r.Contains(a); });
}

std::string TAllowList::Text() const {
  std::string out;
  for (const auto& r : FRanges) out += (out.empty() ? "" : ",") + r.Text();
  return out;
}

}  // namespace kassiro
