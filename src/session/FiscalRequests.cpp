#include "session/FiscalRequests.h"

#include <optional>
#include <string>
#include <string_view>

#include "core/KassiroConstants.h"
#include "core/LogFile.h"
#include "session/SessionText.h"
#include "util/BarDefs.h"
#include "util/HexText.h"

namespace kassiro {

namespace {

// Which line number the result reports: the current one, advancing the counter, or
// the current one as it is.
enum class TLineUse : std::uint8_t { Inc, Keep };
// Which receipt number: the current one, or the current one as the receipt closes
// (a new number is drawn for the ECR after the line number has been taken).
enum class TBonUse : std::uint8_t { Keep, Close };

struct TStep {
  ShortStr Block;  // the answer the ECR receives
  TLineUse Line;
  TBonUse Bon;
};

constexpr std::string_view SELL_CLOSE_BLOCK = "0;;;;;;2;0;0;";
constexpr std::string_view REC_CLOSE_BLOCK = "E;0;;;;;";
constexpr std::string_view REC_HEAD_BLOCK = "H;;;;;;";
constexpr std::string_view REC_FOOT_BLOCK = "F;;;;;;";

ShortStr Prefixed(std::string_view prefix, const ShortStr& text) {
  return ShortStr(prefix).append(text);
}

std::optional<TStep> FPSellStep(std::uint8_t op, const ShortStr& app) {
  switch (op) {
    case 4: return TStep{app, TLineUse::Inc, TBonUse::Keep};
    case 6: return TStep{SELL_CLOSE_BLOCK, TLineUse::Inc, TBonUse::Close};
    default: return std::nullopt;
  }
}

std::optional<TStep> FPPrintStep(std::uint8_t op, const ShortStr& app) {
  if (op == 5) return TStep{app, TLineUse::Inc, TBonUse::Keep};
  return std::nullopt;
}

std::optional<TStep> RecStep(std::uint8_t op, const ShortStr& app) {
  switch (op) {
    case 4: return TStep{Prefixed("L;", app), TLineUse::Inc, TBonUse::Keep};
    case 5: return TStep{Prefixed("X;", app), TLineUse::Inc, TBonUse::Keep};
    case 6:
      if (app.empty()) return TStep{REC_CLOSE_BLOCK, TLineUse::Inc, TBonUse::Close};
      return TStep{Prefixed("E;", app), TLineUse::Inc, TBonUse::Keep};
    case 8: return TStep{Prefixed("C;", app), TLineUse::Inc, TBonUse::Keep};
    case 9: return TStep{Prefixed("I;", app), TLineUse::Inc, TBonUse::Keep};
    case 10: return TStep{REC_HEAD_BLOCK, TLineUse::Keep, TBonUse::Keep};
    case 11: return TStep{REC_FOOT_BLOCK, TLineUse::Keep, TBonUse::Keep};
    default: return std::nullopt;
  }
}

void LogUnknownCop(std::string_view routine, std::uint8_t op) {
  LogAddLine(std::string(routine).append(": Unknown COP: $").append(HexByte(op)));
}

// Answers the ECR with the step and registers the result that the ECR must confirm.
void Serve(const TSessionEnv& env, std::uint8_t Ecr, const ShortStr& RBuff, std::uint8_t op,
           const TStep& step) {
  TSetDescr& set = SetOf(env.S, Ecr, ST_REC);
  const std::int64_t line =
      step.Line == TLineUse::Inc ? GetIncLine(env.S, Ecr) : GetLine(env.S, Ecr);
  const std::int64_t bon = step.Bon == TBonUse::Close ? GetIncBon(env.S, Ecr) : GetBon(env.S, Ecr);
  ShortStr result = set.FmAppBuff;
  result.append(GetParam(RBuff, POS_ECR_SERIAL_NUMER)).append(";");
  result.append(GetParam(RBuff, POS_BLOCK_NO)).append(";");
  AppendNumberField(result, line);
  AppendNumberField(result, bon);
  WaitDriverResult(env.S, ST_REC, op, Ecr, result);
  env.NC.SendOnlBlock(step.Block);
  env.S.WaitRes.WaitBlk = true;
  set.Phase = NOT_COMPLETED;
}

// Operation 12: field 3 of the request is the number to answer with; its decimal
// value goes back into the result, which the ECR need not confirm.
void ServeNumber(const TSessionEnv& env, std::uint8_t Ecr, const ShortStr& RBuff) {
  ShortStr result = RBuff;
  const std::int64_t n = StrToIntDef(ExtractParam(result, 3), 0);
  InsertParam(result, std::to_string(n), 3);
  const ShortStr block(n == 0 ? REC_FOOT_BLOCK : REC_HEAD_BLOCK);
  const std::int32_t bon = GetBon(env.S, Ecr);
  const std::uint16_t line = GetLine(env.S, Ecr);
  AppendNumberField(result, line);
  AppendNumberField(result, bon);
  WaitDriverResult(env.S, ST_REC, COP_NMBR, Ecr, result);
  env.NC.SendOnlBlock(block);
  SetOf(env.S, Ecr, ST_REC).Phase = NOT_COMPLETED;
}

using TStepFor = std::optional<TStep> (*)(std::uint8_t, const ShortStr&);

// AskFPSell and AskFPPrint: an empty queue is just another code they do not serve.
void AskFP(const TSessionEnv& env, std::uint8_t Ecr, const ShortStr& RBuff,
           std::string_view routine, TStepFor stepFor) {
  const TSetDescr& set = SetOf(env.S, Ecr, ST_REC);
  const std::uint8_t op = set.Cop;
  const std::optional<TStep> step = stepFor(op, set.FmAppBuff);
  if (!step) {
    LogUnknownCop(routine, op);
    env.NC.Next();
    return;
  }
  Serve(env, Ecr, RBuff, op, *step);
}

}  // namespace

void AskFPSell(const TSessionEnv& env, std::uint8_t Ecr, const ShortStr& RBuff) {
  AskFP(env, Ecr, RBuff, "AskFPSell", FPSellStep);
}

void AskFPPrint(const TSessionEnv& env, std::uint8_t Ecr, const ShortStr& RBuff) {
  AskFP(env, Ecr, RBuff, "AskFPPrint", FPPrintStep);
}

void AskRec(const TSessionEnv& env, std::uint8_t Ecr, const ShortStr& RBuff) {
  const TSetDescr& set = SetOf(env.S, Ecr, ST_REC);
  const std::uint8_t op = set.Cop;
  if (op == NO_COP) {
    env.NC.Next();
    return;
  }
  if (op == COP_NMBR) {
    ServeNumber(env, Ecr, RBuff);
    return;
  }
  const std::optional<TStep> step = RecStep(op, set.FmAppBuff);
  if (!step) {
    LogUnknownCop("AskRec", op);
    env.NC.Next();
    return;
  }
  Serve(env, Ecr, RBuff, op, *step);
}

}  // namespace kassiro
