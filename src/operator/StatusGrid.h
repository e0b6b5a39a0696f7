// The status window's grid as data: the header, one row per served ECR (logical
// number, serial number, traffic mode, who holds which data set) and the indicator.
// The window shows what this makes; `kassirod -Status` prints the same rows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/TheNewDefs.h"

namespace kassiro::op {

inline constexpr int STATUS_COLUMNS = 4;
inline constexpr std::size_t SET_ID_MAX = 80;  // longest "SET:ID" text
inline constexpr std::array<std::string_view, STATUS_COLUMNS> STATUS_HEADER = {"Log No", "Ser No",
                                                                              "Mode", "SET:ID"};
using TGridRow = std::array<std::string, STATUS_COLUMNS>;
using TERDataTable = OneBased<TERData, MAX_ECR_COUNT>;

// "Off", "InLine", "OnLine", "Prn"; nothing for any other value.
std::optional<std::string_view> ModeText(std::uint8_t mode);
// At least six digits, zero-padded: 42 -> "000042".
std::string SerNoText(std::int32_t serNum);
// "1:3;4:3;" when connection 3 holds sets 1 and 4; at most SET_ID_MAX characters.
std::string SetIdText(const TEcr& ecr);

// One served ECR's row as it stands, without ageing its mode.
TGridRow EcrRow(int ecrNo, const TEcr& ecr, const TERData& data);
// The rows of every served ECR (UserCount above 0) in ascending order, unaged.
std::vector<TGridRow> ServedEcrRows(const TEcrs& ecrs, const TERDataTable& data);

// The grid of the status window. Row 0 is the header; there is always at least one data
// row (empty when no ECR is served). A refresh ages each listed ECR's mode by one step:
// a mode not set again for DISP_TO refreshes drops to "Off" on the next one.
class TStatusGrid {
 public:
  TStatusGrid();

  // Back to one data row (the server was started or stopped).
  void Reset();
  // One refresh from the shared records; the caller holds Session::Lock, since the mode
  // time-outs in `data` are counted down here.
  void Update(const TEcrs& ecrs, TERDataTable& data, std::int32_t serverStatus);

  const std::vector<TGridRow>& Rows() const { return FRows; }
  std::size_t RowCount() const { return FRows.size(); }
  bool Polling() const { return FPolling; }  // the indicator: green when true

 private:
  std::vector<TGridRow> FRows;
  bool FPolling = false;
};

// The status window's labels.
inline constexpr std::string_view SERVER_STOPPED_TEXT = "Server STOPPED";
// "Port: COM1 Speed: 4800  IP Port: 4999"
std::string SettingsText(const TIniStru& ini);
// "Code table: " and the table's name.
std::string LanguageText(int languageID);

}  // namespace kassiro::op
