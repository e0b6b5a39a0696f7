#include "core/CodeNames.h"

#include <array>
#include <utility>

#include "core/KassiroConstants.h"
#include "util/WholeNumber.h"

namespace kassiro {

namespace {

template <typename T>
struct Named {
  T code;
  std::string_view name;
};

constexpr std::array<std::string_view, SET_COUNT + 1> SET_NAMES{
    "",       "ST_ERS", "ST_ERSL", "ST_PCS", "ST_PCSL", "ST_RPR", "ST_RPRL", "ST_TPR",
    "ST_TPRL", "ST_ECP", "ST_ECPL", "ST_ESR", "ST_KSRL", "ST_REC", "ST_RECL"};

constexpr std::array<Named<std::uint8_t>, 24> ERROR_NAMES{{
    {ERR_NO_ERROR, "ERR_NO_ERROR"},       {ERR_WRONG_MODE, "ERR_WRONG_MODE"},
    {ERR_TAKEN, "ERR_TAKEN"},             {ERR_BUSY, "ERR_BUSY"},
    {ERR_NOT_YOURS, "ERR_NOT_YOURS"},     {ERR_SYNTAX, "ERR_SYNTAX"},
    {ERR_TOO_LATE, "ERR_TOO_LATE"},       {ERR_NO_REQUEST, "ERR_NO_REQUEST"},
    {ERR_PASSWORD, "ERR_PASSWORD"},       {ERR_OVERRUN, "ERR_OVERRUN"},
    {ERR_TIMEOUT, "ERR_TIMEOUT"},         {ERR_TIMER, "ERR_TIMER"},
    {ERR_SEANS, "ERR_SEANS"},             {ERR_ECR_ERROR, "ERR_ECR_ERROR"},
    {ERR_UNKNOWN_COMMAND, "ERR_UNKNOWN_COMMAND"}, {ERR_NO_ACK_NAK, "ERR_NO_ACK_NAK"},
    {ERR_NO_BEG, "ERR_NO_BEG"},           {ERR_NAK, "ERR_NAK"},
    {ERR_BUFF_OVERFLOW, "ERR_BUFF_OVERFLOW"}, {ERR_UNKNOWN_SET, "ERR_UNKNOWN_SET"},
    {ERR_ECRNO, "ERR_ECRNO"},             {ERR_INVALID_BYTE, "ERR_INVALID_BYTE"},
    {ERR_NOT_EXECUTED, "ERR_NOT_EXECUTED"}, {ERR_UNKNOWN, "ERR_UNKNOWN"},
}};

constexpr std::array<Named<std::uint8_t>, 24> OPERATION_NAMES{{
    {COP_REQ, "COP_REQ"},         {COP_DISC, "COP_DISC"},         {COP_CANCEL, "COP_CANCEL"},
    {COP_ANSWER, "COP_ANSWER"},   {COP_SELL, "COP_SELL"},         {COP_REPORT, "COP_REPORT"},
    {COP_FORBID, "COP_FORBID"},   {COP_PRINT, "COP_PRINT"},       {COP_WAIT, "COP_WAIT"},
    {COP_TOTAL, "COP_TOTAL"},     {COP_PAY, "COP_PAY"},           {COP_WRITE, "COP_WRITE"},
    {COP_PHASE, "COP_PHASE"},     {COP_PERC, "COP_PERC"},         {COP_DISCOUNT, "COP_DISCOUNT"},
    {COP_TABLE, "COP_TABLE"},     {COP_RAPO, "COP_RAPO"},         {COP_DFORBID, "COP_DFORBID"},
    {COP_INFO, "COP_INFO"},       {COP_TAKE, "COP_TAKE"},         {COP_DEL, "COP_DEL"},
    {COP_FREE, "COP_FREE"},       {COP_CLEAR_EKL, "COP_CLEAR_EKL"}, {COP_NMBR, "COP_NMBR"},
}};

// Event names of the report set and of the two query sets; SND_R belongs to every set.
constexpr std::array<std::string_view, 18> ERS_EVENTS{
    "PLU_R", "PLU_Q", "PLU_C", "BAR_R", "BAR_Q", "BAR_C", "PER_R", "PBN_R", "TBN_R",
    "ORD_R", "PSM_R", "TSM_R", "PSO_R", "TSO_R", "ZTL_R", "RPO_R", "PERD_Q", "PERS_Q"};
constexpr std::array<std::string_view, 4> ECP_EVENTS{"KPQ", "RPQ", "KDQ", "RDQ"};

std::string_view Strip(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix ? text.substr(prefix.size()) : text;
}

}  // namespace

std::string_view SetName(std::uint8_t st) { return st <= SET_COUNT ? SET_NAMES[st] : ""; }

std::string_view ErrorName(std::uint8_t err) {
  for (const auto& e : ERROR_NAMES) {
    if (e.code == err) return e.name;
  }
  return "";
}

std::string OperationName(std::uint8_t cop) {
  std::string out;
  for (const auto& o : OPERATION_NAMES) {
    if (o.code != cop) continue;
    if (!out.empty()) out += '/';
    out += o.name;
  }
  return out;
}

std::string_view PhaseName(std::uint8_t phase) {
  switch (phase) {
    case NO_PHASE: return "NO_PHASE";
    case NOT_SENDED: return "NOT_SENDED";
    case NOT_COMPLETED: return "NOT_COMPLETED";
    default: return "";
  }
}

std::string_view EventName(std::uint8_t st, std::uint8_t code) {
  if (code == SND_R) return "SND_R";
  if (code < 0x80) return "";
  const std::size_t i = code - 0x80u;
  if ((st == ST_ERS || st == ST_ERSL) && i < ERS_EVENTS.size()) return ERS_EVENTS[i];
  if ((st == ST_ECP || st == ST_ECPL) && i < ECP_EVENTS.size()) return ECP_EVENTS[i];
  if ((st == ST_ESR || st == ST_KSRL) && i == 0) return "KSR_Q";
  return "";
}

std::optional<std::uint8_t> ParseSet(std::string_view text) {
  if (auto n = WholeNumber<std::uint8_t>(text)) return n;
  const std::string_view bare = Strip(text, "ST_");
  for (std::uint8_t st = 1; st <= SET_COUNT; ++st) {
    if (Strip(SET_NAMES[st], "ST_") == bare) return st;
  }
  return std::nullopt;
}

std::optional<std::uint8_t> ParseOperation(std::string_view text) {
  if (auto n = WholeNumber<std::uint8_t>(text)) return n;
  const std::string_view bare = Strip(text, "COP_");
  for (const auto& o : OPERATION_NAMES) {
    if (Strip(o.name, "COP_") == bare) return o.code;
  }
  return std::nullopt;
}

}  // namespace kassiro
