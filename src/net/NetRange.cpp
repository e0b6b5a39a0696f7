#include "net/NetRange.h"

#include <algorithm>

#include <asio/ip/address.hpp>

#include "util/Trim.h"
#include "util/WholeNumber.h"

namespace kassiro {

namespace {

constexpr std::array<std::uint8_t, 12> V4_MAPPED_PREFIX = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

int MaxBits(const TIpAddress& a) { return a.V6 ? 128 : 32; }

// Four numbers 0 to 255 in decimal without leading zeros: the one IPv4 form taken, so
// that no platform's reader accepts "1.2.3" or octal parts where another refuses them.
bool DottedQuad(std::string_view text) {
  int parts = 0;
  for (std::size_t from = 0; from <= text.size(); ++parts) {
    const std::size_t dot = std::min(text.find('.', from), text.size());
    const std::string_view part = text.substr(from, dot - from);
    const auto v = WholeNumber<unsigned>(part);
    if (!v || *v > 255 || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    from = dot + 1;
  }
  return parts == 4;
}

}  // namespace

std::optional<TIpAddress> ParseIpAddress(std::string_view text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  // The longest IPv6 text; a zone ("%eth0") names no address of a range.
  if (text.empty() || text.size() > 45 || text.find('%') != std::string_view::npos) return std::nullopt;
  asio::error_code ec;
  const asio::ip::address parsed = asio::ip::make_address(std::string(text), ec);
  if (ec) return std::nullopt;
  TIpAddress a;
  if (parsed.is_v4()) {
    if (!DottedQuad(text)) return std::nullopt;
    const auto bytes = parsed.to_v4().to_bytes();
    std::copy(bytes.begin(), bytes.end(), a.Bytes.begin());
    return a;
  }
  const auto bytes = parsed.to_v6().to_bytes();
  std::copy(bytes.begin(), bytes.end(), a.Bytes.begin());
  a.V6 = true;
  if (std::equal(V4_MAPPED_PREFIX.begin(), V4_MAPPED_PREFIX.end(), a.Bytes.begin())) {
    std::copy_n(a.Bytes.begin() + 12, 4, a.Bytes.begin());
    std::fill(a.Bytes.begin() + 4, a.Bytes.end(), 0);
    a.V6 = false;
  }
  return a;
}

std::string IpText(const TIpAddress& a) {
  if (!a.V6) return asio::ip::address_v4({a.Bytes[0], a.Bytes[1], a.Bytes[2], a.Bytes[3]}).to_string();
  asio::ip::address_v6::bytes_type bytes{};
  std::copy(a.Bytes.begin(), a.Bytes.end(), bytes.begin());
  return asio::ip::address_v6(bytes).to_string();
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
