#include "session/ReportsQueries.h"

#include "session/SessionText.h"
#include "util/BarDefs.h"

namespace kassiro {

namespace {

void SendToSetHolders(const TSessionEnv& env, std::uint8_t ST, std::uint8_t ECR,
                      const ShortStr& msg) {
  ValidSend(env.IPSrv, SetOf(env.S, ECR, ST).OwnerID, msg);
  if (IsMainSet(ST)) ValidSend(env.IPSrv, SetOf(env.S, ECR, ST + 1).OwnerID, msg);
}

}  // namespace

void ECRReport(const TSessionEnv& env, std::uint8_t ST, std::uint8_t Evnt, std::uint8_t ECR,
               const ShortStr& RBuff) {
  SendToSetHolders(env, ST, ECR, MakeString(ST, Evnt, 0, ECR, 0, RBuff));
}

void ECRQuery(const TSessionEnv& env, std::uint8_t ST, std::uint8_t Evnt, std::uint8_t ECR,
              const ShortStr& RBuff) {
  if (SetOf(env.S, ECR, ST).OwnerID == 0) {
    ForbidAnswer(env.S);
    env.NC.Next();
    return;
  }
  const std::uint16_t line = GetIncLine(env.S, ECR);
  const std::int32_t bon = GetBon(env.S, ECR);
  ShortStr text = RBuff;
  AppendNumberField(text, line);
  AppendNumberField(text, bon);
  SendToSetHolders(env, ST, ECR, MakeString(ST, Evnt, 0, ECR, 0, text));
}

}  // namespace kassiro
