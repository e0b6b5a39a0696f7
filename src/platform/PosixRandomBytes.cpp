#include "platform/RandomBytes.h"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace kassiro::platform {

void RandomBytes(std::span<std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + done, bytes.size() - done, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (done == bytes.size()) return;
  std::random_device device;
  std::uniform_int_distribution<int> byte(0, 255);
  for (; done < bytes.size(); ++done) bytes[done] = static_cast<std::uint8_t>(byte(device));
}

}  // namespace kassiro::platform
