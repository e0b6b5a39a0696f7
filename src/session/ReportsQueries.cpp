#include "session/ReportsQueries.h"

#include <string>
#include <utility>

#include "core/LogFile.h"
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

void HandOnKeptReport(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ECR) {
  ShortStr& kept = EcrOf(env.S, ECR).KeptReport;
  if (kept.empty()) return;
  ValidSend(env.IPSrv, ID, kept);
  kept.clear();
}

void ECRReport(const TSessionEnv& env, std::uint8_t ST, std::uint8_t Evnt, std::uint8_t ECR,
               const ShortStr& RBuff) {
  TEcr& ecr = EcrOf(env.S, ECR);
  const ShortStr msg = MakeString(ST, Evnt, 0, ECR, 0, RBuff);
  if (env.S.RecordReport) {
    if (const std::uint64_t seq = env.S.RecordReport(ECR, Evnt, msg)) env.S.JournalNeed[ECR] = seq;
  }
  const bool acked = std::exchange(ecr.ReportAcked, false);
  if (acked && ST == ST_ERS && SetOf(env.S, ECR, ST_ERS).OwnerID == 0 &&
      SetOf(env.S, ECR, ST_ERSL).OwnerID == 0) {
    // The ECR was told it was delivered: it waits for the next holder instead.
    ecr.KeptReport = msg;
    LogAddLine("ECR " + std::to_string(ECR) +
               ": a report acknowledged while its holder was there is kept for the next "
               "holder of the report set: its holder left before it was handed on");
    return;
  }
  SendToSetHolders(env, ST, ECR, msg);
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
