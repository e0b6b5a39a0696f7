#include "session/OnlineHandling.h"

#include <array>
#include <optional>
#include <string>

#include "core/KassiroConstants.h"
#include "core/LogFile.h"
#include "session/FiscalRequests.h"
#include "session/OnlineAnswers.h"
#include "session/ReportsQueries.h"
#include "session/SessionText.h"
#include "util/BarDefs.h"

namespace kassiro {

namespace {

enum class TOnlKind : std::uint8_t { Report, ReceiptReport, Query, Request };

// How the relayed block is prepared before it is passed on.
enum class TTextPrep : std::uint8_t {
  None,
  PerReport,     // field 3 empty to 0; after the numbers, field 5 gets its point
  KsrQuery,      // fields 4 and 5 removed
  PriceQuery,    // field 4 empty to 0; field 5 loses its point
  PercentQuery,  // fields 3, 4 empty to 0; field 5 removed, its sign picks the event
};

using TAskRoutine = void (*)(const TSessionEnv&, std::uint8_t, const ShortStr&);

struct TOnlCommand {
  char Cmd;
  TOnlKind Kind;
  std::uint8_t Mode;
  std::uint8_t Set;
  std::uint8_t Event;
  TTextPrep Prep;
  TAskRoutine Ask;
};

using K = TOnlKind;
using P = TTextPrep;
constexpr std::array<TOnlCommand, 16> ONL_COMMANDS{{
    {'0', K::Report, MD_ONLINE, ST_ERS, PLU_R, P::None, nullptr},
    {'1', K::Query, MD_ONLINE, ST_ERS, PLU_Q, P::None, nullptr},
    {'2', K::Report, MD_ONLINE, ST_ERS, PER_R, P::PerReport, nullptr},
    {'3', K::ReceiptReport, MD_ONLINE, ST_ERS, 0, P::None, nullptr},
    {'4', K::Query, MD_ONLINE, ST_ESR, KSR_Q, P::KsrQuery, nullptr},
    {'5', K::Request, MD_PRN, ST_REC, 0, P::None, &AskFPSell},
    {'6', K::Request, MD_PRN, ST_REC, 0, P::None, &AskFPPrint},
    {'7', K::Query, MD_ONLINE, ST_ERS, BAR_Q, P::None, nullptr},
    {'8', K::Query, MD_ONLINE, ST_ECP, KPQ, P::PriceQuery, nullptr},
    {'9', K::Query, MD_ONLINE, ST_ECP, RPQ, P::PriceQuery, nullptr},
    {'A', K::Request, MD_ONLINE, ST_REC, 0, P::None, &AskRec},
    {'B', K::Report, MD_ONLINE, ST_ERS, PLU_C, P::None, nullptr},
    {'C', K::Query, MD_ONLINE, ST_ERS, PERS_Q, P::PercentQuery, nullptr},
    {'D', K::Query, MD_ONLINE, ST_ECP, KDQ, P::PriceQuery, nullptr},
    {'E', K::Query, MD_ONLINE, ST_ECP, RDQ, P::PriceQuery, nullptr},
    {'F', K::Report, MD_ONLINE, ST_ERS, BAR_C, P::None, nullptr},
}};

const TOnlCommand* FindCommand(char cmd) {
  for (const TOnlCommand& c : ONL_COMMANDS) {
    if (c.Cmd == cmd) return &c;
  }
  return nullptr;
}

// Field ind taken out, an empty value read as "0".
ShortStr ExtractOrZero(ShortStr& s, int ind) {
  ShortStr field = ExtractParam(s, ind);
  if (field.empty()) field = "0";
  return field;
}

// Every parked result of the ECR is delivered: as done when the new block number is
// the previous one plus 1 (modulo 10), else as not executed, lower set codes first.
// A block number outside the byte range never equals the successor, so it confirms
// nothing.
void ConfirmParkedResults(const TSessionEnv& env, std::uint8_t Ecr, int oldBlockNo,
                          std::int64_t blockNo) {
  const std::uint8_t err = (oldBlockNo + 1) % 10 == blockNo ? ERR_NO_ERROR : ERR_NOT_EXECUTED;
  for (int iSet = 1; iSet <= SET_COUNT; ++iSet) {
    if (SetOf(env.S, Ecr, iSet).WaitBlk2) {
      SendCommandResult(env, static_cast<std::uint8_t>(iSet), Ecr, err);
    }
  }
}

// Reads the block number (field 2), keeps it with the ECR and settles parked results;
// the field goes back normalised (an empty one as 0).
void TakeBlockNumber(const TSessionEnv& env, std::uint8_t Ecr, ShortStr& blk) {
  const ShortStr field = ExtractOrZero(blk, POS_BLOCK_NO);
  TEcr& ecr = EcrOf(env.S, Ecr);
  const int oldBlockNo = ecr.BlockNo;
  const std::int64_t blockNo = StrToIntDef(field, 0);
  // The record keeps a byte: a number outside it is kept as 0, like any invalid one.
  ecr.BlockNo = blockNo >= 0 && blockNo <= 255 ? static_cast<std::uint8_t>(blockNo) : 0;
  InsertParam(blk, field, POS_BLOCK_NO);
  ConfirmParkedResults(env, Ecr, oldBlockNo, blockNo);
}

void RemoveFields6And7(ShortStr& blk) {
  ExtractParam(blk, 6);
  ExtractParam(blk, 6);
}

// Sub-commands 0..3: a receipt total, closed when it is paid.
std::uint8_t ReceiptTotal(const TSessionEnv& env, std::uint8_t Ecr, const ShortStr& sub,
                          ShortStr& blk) {
  InsertParam(blk, sub, 3);
  const double payed = StrToFloatDef(GetParam(blk, 19), '0', 0, env.Locale);
  const double owed = StrToFloatDef(GetParam(blk, 10), '0', 0, env.Locale);
  const bool paid = payed == 0 || payed >= owed;
  AppendNumberField(blk, paid ? GetIncBon(env.S, Ecr) : GetBon(env.S, Ecr));
  if (GetParam(blk, 5).empty()) {
    RemoveFields6And7(blk);
    return paid ? TBN_R : PBN_R;
  }
  if (GetParam(blk, 6).empty()) {
    RemoveFields6And7(blk);
    return paid ? TSO_R : PSO_R;
  }
  return paid ? TSM_R : PSM_R;
}

// The event of a receipt report, or none for a sub-command that has no report.
std::optional<std::uint8_t> ReceiptEvent(const TSessionEnv& env, std::uint8_t Ecr,
                                         const ShortStr& sub, ShortStr& blk) {
  switch (sub[0]) {
    case '0':
    case '1':
    case '2':
    case '3': return ReceiptTotal(env, Ecr, sub, blk);
    case '4': AppendNumberField(blk, GetIncBon(env.S, Ecr)); return ORD_R;
    case '5': AppendNumberField(blk, GetIncBon(env.S, Ecr)); return ZTL_R;
    case '6': AppendNumberField(blk, GetIncBon(env.S, Ecr)); return RPO_R;
    default: return std::nullopt;
  }
}

void HandleReceiptReport(const TSessionEnv& env, std::uint8_t Ecr, ShortStr& blk) {
  if (RepeatedReport(env.S, Ecr, blk)) {
    env.NC.Next();
    return;
  }
  const ShortStr sub = ExtractOrZero(blk, 3);
  AppendNumberField(blk, GetIncLine(env.S, Ecr));
  ForbidAnswer(env.S);
  if (const auto event = ReceiptEvent(env, Ecr, sub, blk)) {
    ECRReport(env, ST_ERS, *event, Ecr, blk);
  }
  env.NC.Next();
}

void HandleReport(const TSessionEnv& env, std::uint8_t Ecr, const TOnlCommand& c, ShortStr& blk) {
  if (c.Prep == P::PerReport) EmptyFieldToZero(blk, 3);
  if (RepeatedReport(env.S, Ecr, blk)) {
    env.NC.Next();
    return;
  }
  AppendNumberField(blk, GetIncLine(env.S, Ecr));
  AppendNumberField(blk, GetBon(env.S, Ecr));
  ForbidAnswer(env.S);
  if (c.Prep == P::PerReport) {
    const ShortStr amount = ExtractParam(blk, 5);
    InsertParam(blk, AddPoint(amount, 2), 5);
  }
  ECRReport(env, ST_ERS, c.Event, Ecr, blk);
  env.NC.Next();
}

// Prepares a query's text; returns its event code.
std::uint8_t PrepareQuery(const TSessionEnv& env, const TOnlCommand& c, ShortStr& blk) {
  switch (c.Prep) {
    case P::KsrQuery:
      ExtractParam(blk, 4);
      ExtractParam(blk, 4);
      return c.Event;
    case P::PriceQuery: {
      EmptyFieldToZero(blk, 4);
      const ShortStr price = ExtractParam(blk, 5);
      InsertParam(blk, RemPoint(price), 5);
      return c.Event;
    }
    case P::PercentQuery: {
      EmptyFieldToZero(blk, 3);
      EmptyFieldToZero(blk, 4);
      const ShortStr percent = ExtractParam(blk, 5);
      const double value = StrToFloatDef(AddPoint(percent, 2), '0', 0, env.Locale);
      return value < 0 ? PERD_Q : PERS_Q;
    }
    default: return c.Event;
  }
}

void HandleQuery(const TSessionEnv& env, std::uint8_t Ecr, const TOnlCommand& c, ShortStr& blk) {
  AllowAnswer(env.S, Ecr, c.Set);
  const std::uint8_t event = PrepareQuery(env, c, blk);
  ECRQuery(env, c.Set, event, Ecr, blk);
}

void HandleUnknown(const TSessionEnv& env, std::uint8_t Ecr, const ShortStr& blk) {
  LogAddLine(std::string("Unknown message from ECR ")
                 .append(std::to_string(Ecr))
                 .append("  Block:")
                 .append(blk.view()));
  ForbidAnswer(env.S);
  env.NC.Next();
}

constexpr std::size_t MAX_INLINE_BLOCK = 7;  // longer take replies are on-line blocks

bool IsReportBlock(const ShortStr& blk) {
  if (blk.size() <= MAX_INLINE_BLOCK) return false;
  const ShortStr cmd = GetParam(blk, POS_ECR_CMD);
  const TOnlCommand* c = FindCommand(cmd.empty() ? '0' : cmd[0]);
  return c != nullptr && (c->Kind == K::Report || c->Kind == K::ReceiptReport);
}

bool ReportSetHeld(Session& S, std::uint8_t Ecr) {
  return SetOf(S, Ecr, ST_ERS).OwnerID != 0 || SetOf(S, Ecr, ST_ERSL).OwnerID != 0;
}

}  // namespace

bool MayAcknowledgeReply(const TSessionEnv& env, std::uint8_t Ecr, const ShortStr& Blk) {
  TEcr& ecr = EcrOf(env.S, Ecr);
  const bool report = IsReportBlock(Blk);
  const bool held = ReportSetHeld(env.S, Ecr);
  if (ecr.ReportHolderLeft && !held && report) {
    LogAddLine("Take " + std::to_string(Ecr) +
               ": a report was left unacknowledged for the ECR to keep: its last holder left");
    return false;
  }
  ecr.ReportHolderLeft = false;
  // Acknowledged for a holder: from now on it reaches one, whoever leaves before the
  // handler hands it on.
  ecr.ReportAcked = report && held;
  return true;
}

void HandleTakeError(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t) {
  TEcr& ecr = EcrOf(env.S, Ecr);
  ecr.ReportHolderLeft = false;
  ecr.ReportAcked = false;
}

void HandleOnlReceived(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t,
                       const ShortStr& Blk) {
  ShortStr blk = Blk;
  TERData& data = env.S.IniStru.ERData[Ecr];
  data.SerNum = SerialNumberOf(GetParam(blk, POS_ECR_SERIAL_NUMER));
  TakeBlockNumber(env, Ecr, blk);
  const ShortStr cmd = ExtractOrZero(blk, POS_ECR_CMD);  // blk is now the relayed block
  const TOnlCommand* c = FindCommand(cmd[0]);
  if (c == nullptr) {
    HandleUnknown(env, Ecr, blk);
    return;
  }
  RecordMode(env.S, Ecr, c->Mode);
  switch (c->Kind) {
    case K::Report: HandleReport(env, Ecr, *c, blk); break;
    case K::ReceiptReport: HandleReceiptReport(env, Ecr, blk); break;
    case K::Query: HandleQuery(env, Ecr, *c, blk); break;
    case K::Request:
      AllowAnswer(env.S, Ecr, ST_REC);
      c->Ask(env, Ecr, blk);
      break;
  }
  EcrOf(env.S, Ecr).ReportAcked = false;  // handed on, or a repeat that is not
}

}  // namespace kassiro
