#include "ecrbridge/Charset.h"

#include <iconv.h>

namespace kassiro::bridge {

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

// iconv's handle, closed on every path.
class TIconv {
 public:
  explicit TIconv(const std::string& from) : FHandle(::iconv_open("UTF-8", from.c_str())) {}
  ~TIconv() {
    if (Valid()) ::iconv_close(FHandle);
  }
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;
  bool Valid() const { return FHandle != reinterpret_cast<iconv_t>(-1); }

  // One byte's UTF-8 text; nothing when it has none.
  std::optional<std::string> Convert(unsigned char byte) {
    ::iconv(FHandle, nullptr, nullptr, nullptr, nullptr);  // a fresh state for every byte
    char in = static_cast<char>(byte);
    char out[8];
    char* inPtr = &in;
    char* outPtr = out;
    std::size_t inLeft = 1, outLeft = sizeof out;
    if (::iconv(FHandle, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) || inLeft != 0)
      return std::nullopt;
    return std::string(out, static_cast<std::size_t>(outPtr - out));
  }

 private:
  iconv_t FHandle;
};

}  // namespace

std::optional<TCharset> TCharset::Named(const std::string& name) {
  TIconv conv(name);
  if (!conv.Valid()) return std::nullopt;
  TCharset charset;
  for (unsigned b = 0; b < 256; ++b) {
    auto text = conv.Convert(static_cast<unsigned char>(b));
    // The server's field separators and digits must stay what they are.
    if (b < 0x80 && (!text || *text != std::string(1, static_cast<char>(b)))) return std::nullopt;
    charset.FUtf8[b] = text && !text->empty() ? *text : std::string(REPLACEMENT);
  }
  return charset;
}

std::string TCharset::ToUtf8(std::string_view bytes) const {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) out += FUtf8[static_cast<unsigned char>(c)];
  return out;
}

}  // namespace kassiro::bridge
