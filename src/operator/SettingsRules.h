// The rules of the settings, apart from any window: the password check, the access
// setup's verification, the offset and IP port parses, the speed list, the port name,
// the code-table choice and the guard that lets one password prompt open at a time. The
// dialogs and kassirod's setting parameters both go by them, and both hand what they
// accepted on as one settings edit.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/TheNewDefs.h"

namespace kassiro::op {

// Texts of the dialogs.
inline constexpr std::string_view TXT_ENTER_PASSWORD = "Enter administrator password:";
inline constexpr std::string_view TXT_INCORRECT_PASSWORD = "Incorrect Password";
inline constexpr std::string_view TXT_BAD_VERIFICATION = "Bad verification!";
inline constexpr std::string_view TXT_BAD_NUMBER = "Bad number!";
inline constexpr std::string_view TXT_RANGE_ERROR = "Range check error";
inline constexpr std::string_view TXT_CURRENT_CODE_TABLE = "Current code table: %s";

// Edit limits of the access setup.
inline constexpr int ACCESS_PW_MAX = 16;
inline constexpr int SET_PW_EDIT_MAX = 20;

// Password prompt: shown only when a password is set; the typed text must match exactly.
constexpr bool PromptNeeded(std::string_view stored) { return !stored.empty(); }
constexpr bool PasswordMatches(std::string_view typed, std::string_view stored) {
  return typed == stored;
}

// Access setup.
constexpr bool VerificationMatches(std::string_view password, std::string_view verify) {
  return password == verify;
}
// What the settings keep of a typed password: its first PW_LEN characters.
std::string StoredPassword(std::string_view typed);
// "Apply SET password": SetPW[setNo] := the first PW_LEN characters (setNo 1..14).
void ApplySetPassword(TIniStru& ini, int setNo, std::string_view typed);

// Offset: a decimal integer; text that is not one counts as 0.
enum class TOffsetVerdict { Store, BadNumber, RangeError };
struct TOffsetResult {
  TOffsetVerdict Verdict;
  std::int32_t Value;  // the number to store with Store
};
TOffsetResult ParseOffset(std::string_view text);

// Port setup.
inline constexpr std::array<std::uint16_t, 8> SPEEDS_LIST = {1200, 2400, 4800, 9600,
                                                            14400, 19200, 28800, 38400};
inline constexpr std::uint16_t FALLBACK_SPEED = 4800;
// Index in SPEEDS_LIST of the speed, or of 4800 when the speed is not in the list.
std::size_t SpeedIndex(std::uint16_t speed);

enum class TIPPortVerdict { Store, RangeError };
struct TIPPortResult {
  TIPPortVerdict Verdict;
  std::uint16_t Value;
};
// A decimal number 0..65535 is stored; text that is not a number keeps `current`; a
// number outside the range is refused.
TIPPortResult ParseIPPort(std::string_view text, std::uint16_t current);
// The stored port name: the chosen name cut to the settings' 6 characters.
std::string StoredPortName(std::string_view chosen);

// Code table: the new number when another table than the current one was chosen.
std::optional<int> ChosenCodeTable(int current, int selectedIndex);

// Code table numbers run from 1 to this.
int CodeTableCount();

// What a dialog or the command line changes in the settings record; what is not set
// stays as it is. Texts are kept as given and cut to the record's sizes when stored.
struct TSettingsEdit {
  std::optional<std::string> ComPortName;
  std::optional<std::uint16_t> Speed;
  std::optional<std::uint16_t> IPPort;
  std::optional<std::string> Password;
  std::optional<std::int32_t> GlobalBon;
  std::vector<std::pair<int, std::string>> SetPasswords;  // SET 1..14, text

  bool Empty() const {
    return !ComPortName && !Speed && !IPPort && !Password && !GlobalBon && SetPasswords.empty();
  }
};
void ApplyEdit(const TSettingsEdit& edit, TIniStru& ini);

// kassirod's setting parameters (-Port:NAME -Speed:N -IPPort:N -Password:TEXT -Offset:N
// -SetPW:SET:TEXT -LanguageID:N -Listen:ADDR -Allow:NET[,NET...] -Journal[:DAYS], DAYS 0
// turning the report journal off), checked by the rules
// above. A command line has no prompt to answer and no text edit to show what was kept,
// so where a dialog would cut or keep, a parameter is refused instead: a password or SET
// password longer than the record holds (cut, it would never match what is typed later),
// an IP port that is not a number.
struct TParamSettings {
  TSettingsEdit Edit;                       // for the settings record
  std::optional<std::string> PortOverride;  // a port name too long for the record: this run only
  std::optional<int> LanguageID;            // for the INI file
  std::optional<std::string> Listen;        // canonical, for the INI file
  std::optional<std::string> Allow;
  std::optional<int> JournalDays;           // for the INI file; 0: no report journal
  bool Empty() const { return Edit.Empty() && !PortOverride && !LanguageID && !Listen && !Allow && !JournalDays; }
};
// Why a port name leads to no serial device (" (no such device)"), or "" when it does:
// the device layer's question, asked by the caller.
using TPortProblem = std::function<std::string(const std::string& name)>;
// Takes one parameter (name upper case, as the parameter list has it) into `into`; the
// refusal's reason when it is refused: "" or a text such as " (speeds: 1200 ...)".
std::optional<std::string> TakeSettingParam(const std::string& name, const std::string& value,
                                            const TPortProblem& portProblem, TParamSettings& into);
// "1200 2400 4800 9600 14400 19200 28800 38400"
std::string SpeedsText();

// One guarded dialog at a time: Enter() succeeds while no prompt is open and holds it
// until the returned token goes.
class TPromptGuard {
 public:
  class TToken {
   public:
    explicit TToken(TPromptGuard* g) : FGuard(g) {}
    TToken(TToken&& o) noexcept : FGuard(o.FGuard) { o.FGuard = nullptr; }
    TToken& operator=(TToken&&) = delete;
    ~TToken() {
      if (FGuard) FGuard->FOpen = false;
    }
    explicit operator bool() const { return FGuard != nullptr; }

   private:
    TPromptGuard* FGuard;
  };

  bool Open() const { return FOpen; }
  // An empty token when a prompt is already open.
  TToken Enter() {
    if (FOpen) return TToken(nullptr);
    FOpen = true;
    return TToken(this);
  }

 private:
  bool FOpen = false;
};

}  // namespace kassiro::op
