#include "operator/StatusGrid.h"

#include <cstdio>

#include "util/LangTbl.h"

namespace kassiro::op {

namespace {

constexpr std::array<std::string_view, 4> MODE_TEXTS = {"Off", "InLine", "OnLine", "Prn"};

TGridRow EmptyRow() { return {}; }

TGridRow HeaderRow() {
  TGridRow row;
  for (std::size_t c = 0; c < row.size(); ++c) row[c] = STATUS_HEADER[c];
  return row;
}

// Counts the mode's display time down; a mode whose time is up drops to off.
void AgeMode(TERData& d) {
  if (d.CurrTO != 0) --d.CurrTO;
  else d.CurrMode = MD_OFF;
}

}  // namespace

std::optional<std::string_view> ModeText(std::uint8_t mode) {
  if (mode >= MODE_TEXTS.size()) return std::nullopt;
  return MODE_TEXTS[mode];
}

std::string SerNoText(std::int32_t serNum) {
  char text[16];
  std::snprintf(text, sizeof text, "%6.6d", serNum);
  return text;
}

std::string SetIdText(const TEcr& ecr) {
  std::string text;
  for (std::size_t k = 1; k <= SET_COUNT; ++k) {
    const std::uint16_t owner = ecr.Sets[k].OwnerID;
    if (owner != 0) text += std::to_string(k) + ":" + std::to_string(owner) + ";";
  }
  if (text.size() > SET_ID_MAX) text.resize(SET_ID_MAX);
  return text;
}

TGridRow EcrRow(int ecrNo, const TEcr& ecr, const TERData& data) {
  const auto mode = ModeText(data.CurrMode);
  return {std::to_string(ecrNo), SerNoText(data.SerNum), mode ? std::string(*mode) : std::string(),
          SetIdText(ecr)};
}

std::vector<TGridRow> ServedEcrRows(const TEcrs& ecrs, const TERDataTable& data) {
  std::vector<TGridRow> rows;
  for (std::size_t n = 1; n <= MAX_ECR_COUNT; ++n) {
    if (ecrs[n].UserCount != 0) rows.push_back(EcrRow(static_cast<int>(n), ecrs[n], data[n]));
  }
  return rows;
}

TStatusGrid::TStatusGrid() : FRows{HeaderRow(), EmptyRow()} {}

void TStatusGrid::Reset() { FRows.resize(2); }

void TStatusGrid::Update(const TEcrs& ecrs, TERDataTable& data, std::int32_t serverStatus) {
  FRows[0] = HeaderRow();
  FRows[1] = EmptyRow();
  FPolling = serverStatus != 0;
  std::size_t row = 0;
  for (std::size_t n = 1; n <= MAX_ECR_COUNT; ++n) {
    if (ecrs[n].UserCount == 0) continue;
    ++row;
    if (FRows.size() < row + 1) FRows.push_back(EmptyRow());
    TGridRow& cells = FRows[row];
    cells[0] = std::to_string(n);
    cells[1] = SerNoText(data[n].SerNum);
    AgeMode(data[n]);
    // An unknown mode leaves the cell as it was.
    if (const auto mode = ModeText(data[n].CurrMode)) cells[2] = *mode;
    cells[3] = SetIdText(ecrs[n]);
  }
  if (row == 0) row = 1;
  FRows.resize(row + 1);
}

std::string SettingsText(const TIniStru& ini) {
  return "Port: " + ini.ComPortName.str() + " " + "Speed: " + std::to_string(ini.Speed) + "  " +
         "IP Port: " + std::to_string(ini.IPPort);
}

std::string LanguageText(int languageID) { return "Code table: " + LanguageName(languageID); }

}  // namespace kassiro::op
