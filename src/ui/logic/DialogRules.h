// The rules of the settings dialogs, apart from their windows: the password check, the
// access setup's verification, the offset and IP port parses, the speed list, the port
// name, the code-table choice and the guard that lets one password prompt open at a time.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/TheNewDefs.h"

namespace kassiro::ui {

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

}  // namespace kassiro::ui
