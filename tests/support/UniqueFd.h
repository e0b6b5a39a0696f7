// Owns one POSIX file descriptor and closes it (for tests that make sockets by hand).
#pragma once

#include <unistd.h>

#include <utility>

namespace kassiro {

class TUniqueFd {
 public:
  TUniqueFd() = default;
  explicit TUniqueFd(int fd) : fd_(fd) {}
  ~TUniqueFd() { reset(); }
  TUniqueFd(TUniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  TUniqueFd& operator=(TUniqueFd&& o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  TUniqueFd(const TUniqueFd&) = delete;
  TUniqueFd& operator=(const TUniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace kassiro
