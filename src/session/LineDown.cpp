#include "session/LineDown.h"

#include "core/KassiroConstants.h"

namespace kassiro {

void HandleLineDown(const TSessionEnv& env) {
  Session& S = env.S;
  // No block of an ECR can confirm a result now: it goes back like any other.
  S.WaitRes.WaitBlk = false;
  SendDriverResult(S, env.IPSrv, ERR_TIMEOUT, 0);
  for (int e = 1; e <= MAX_ECR_COUNT; ++e) {
    for (int st = 1; st <= SET_COUNT; ++st) {
      const TSetDescr& set = SetOf(S, e, st);
      if (set.Cop == NO_COP) continue;
      WaitDriverResult(S, static_cast<std::uint8_t>(st), set.Cop, static_cast<std::uint8_t>(e),
                       set.FmAppBuff);
      SendDriverResult(S, env.IPSrv, ERR_TIMEOUT, 0);
    }
  }
}

}  // namespace kassiro
