// How the client protocol's messages travel on a TCP stream, in both directions: one
// length byte (0..255), then that many bytes. The server and every client program frame
// and cut the stream with this one piece.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "util/ShortStr.h"

namespace kassiro {

// The bytes that carry a message on the stream: its length byte, then the message
// (cut to the 255 bytes a length byte can say).
inline std::string Frame(std::string_view message) {
  const std::string_view body = message.substr(0, 255);
  std::string out(1, static_cast<char>(body.size()));
  out.append(body);
  return out;
}

// Cuts one connection's byte stream into messages. Keeps the bytes of a message that is
// not complete yet, so a message split across reads is delivered whole, exactly once.
// Bytes that delivery refused to take yet are kept, in order, until Resume.
class TFrameReader {
 public:
  // Calls deliver(const ShortStr&) for every message completed by the kept bytes and
  // `in`, in order. A deliver that returns bool pauses with false, and the rest is kept;
  // one that returns nothing takes every message.
  template <class Deliver>
  void Feed(std::span<const std::uint8_t> in, Deliver&& deliver) {
    if (!kept_.empty()) {
      Keep(in);
      Resume(deliver);
      return;
    }
    Keep(in.subspan(Cut(in, deliver)));
  }
  template <class Deliver>
  void Feed(std::string_view in, Deliver&& deliver) {
    Feed(std::span(reinterpret_cast<const std::uint8_t*>(in.data()), in.size()), deliver);
  }
  // Stores bytes without delivering anything.
  void Keep(std::span<const std::uint8_t> in) { kept_.insert(kept_.end(), in.begin(), in.end()); }
  // Delivers from the kept bytes as Feed does.
  template <class Deliver>
  void Resume(Deliver&& deliver) {
    const std::size_t used = Cut(kept_, deliver);
    kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(used));
  }
  std::size_t Kept() const { return kept_.size(); }
  void DropKept() { kept_.clear(); }
  // Bytes still missing from the message begun, 0 when none is begun.
  std::size_t Missing() const { return have_ == 0 ? 0 : FrameSize() - have_; }

 private:
  std::size_t FrameSize() const { return std::size_t{1} + frame_[0]; }
  // Takes bytes of `in` into frames until deliver refuses; returns how many it took.
  template <class Deliver>
  std::size_t Cut(std::span<const std::uint8_t> in, Deliver& deliver) {
    std::size_t used = 0;
    while (used < in.size()) {
      if (have_ == 0) frame_[have_++] = in[used++];
      const std::size_t n = std::min(FrameSize() - have_, in.size() - used);
      std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(used), n, frame_.begin() + have_);
      have_ += n;
      used += n;
      if (have_ == FrameSize()) {
        have_ = 0;
        const ShortStr message = ShortStr::fromBytes(frame_.data() + 1, frame_[0]);
        if constexpr (std::is_void_v<std::invoke_result_t<Deliver&, const ShortStr&>>) {
          deliver(message);
        } else if (!deliver(message)) {
          break;
        }
      }
    }
    return used;
  }

  std::array<std::uint8_t, 256> frame_{};  // length byte and the bytes received so far
  std::size_t have_ = 0;
  std::vector<std::uint8_t> kept_;  // received, not yet cut into frames
};

}  // namespace kassiro
