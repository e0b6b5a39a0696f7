// slow_flush: an LD_PRELOAD shim that makes the disk's flush slow. fdatasync and fsync
// sleep SLOW_FLUSH_MS milliseconds (default 20, a shop PC's slow disk) before they
// flush, so a benchmark shows what a slow flush does to everything that waits on it.
//
//   LD_PRELOAD=build/bin/libslow_flush.so SLOW_FLUSH_MS=20 build/bin/e2e_bench flush
//
// The tests run kassirod under it so that a kill lands between a draw and its flush.
#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using TFlush = int (*)(int);

void SlowDown() {
  const char* text = std::getenv("SLOW_FLUSH_MS");
  const long ms = text != nullptr ? std::atol(text) : 20;
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TFlush Real(const char* name) { return reinterpret_cast<TFlush>(::dlsym(RTLD_NEXT, name)); }

}  // namespace

extern "C" int fdatasync(int fd) {
  static const TFlush real = Real("fdatasync");
  SlowDown();
  return real(fd);
}

extern "C" int fsync(int fd) {
  static const TFlush real = Real("fsync");
  SlowDown();
  return real(fd);
}
