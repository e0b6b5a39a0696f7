// An eventfd that one thread polls and any other sets: how the bridge's threads are
// woken for new work or told to stop.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

#include "ecrlink/UniqueFd.h"

namespace kassiro::bridge {

class TWakeEvent {
 public:
  TWakeEvent() : FFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!FFd.valid()) throw std::runtime_error("eventfd failed");
  }
  int Fd() const { return FFd.get(); }
  void Set() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(FFd.get(), &one, sizeof one);
  }
  void Clear() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(FFd.get(), &count, sizeof count);
  }

 private:
  TUniqueFd FFd;
};

}  // namespace kassiro::bridge
