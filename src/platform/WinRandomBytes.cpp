#include "platform/RandomBytes.h"

#include <windows.h>
#include <bcrypt.h>

#include <random>

namespace kassiro::platform {

void RandomBytes(std::span<std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto chunk = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
    if (::BCryptGenRandom(nullptr, bytes.data() + done, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) break;
    done += chunk;
  }
  if (done == bytes.size()) return;
  std::random_device device;
  std::uniform_int_distribution<int> byte(0, 255);
  for (; done < bytes.size(); ++done) bytes[done] = static_cast<std::uint8_t>(byte(device));
}

}  // namespace kassiro::platform
