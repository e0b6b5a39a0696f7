#include "server/StopSignals.h"

#include <pthread.h>

namespace kassiro {

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

void HoldStopSignals() {
  const sigset_t set = StopSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ReleaseStopSignals() {
  const sigset_t set = StopSignalSet();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace kassiro
