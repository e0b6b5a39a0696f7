// The tray menu as data: its items from top to bottom with captions, glyph tags and
// help contexts, and what the server's state makes of them.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace kassiro::op {

enum class TMenuItem {
  miAccess,
  miOffset,
  miServerPorts,
  miCodetable,
  N3,
  miStatus,
  miHelp,
  N1,
  miStartStop,
  miExit,
};

inline constexpr int TAG_START = 7;  // the start/stop item while the server is stopped
inline constexpr int TAG_STOP = 8;   // and while it runs
inline constexpr int GLYPH_COUNT = 10;  // cells of the glyph strip; tag n shows cell n - 1

inline constexpr std::string_view CAPTION_START = "&Start";
inline constexpr std::string_view CAPTION_STOP = "&Stop";

struct TMenuItemDef {
  TMenuItem Item;
  std::string_view Name;     // object name of the item
  std::string_view Caption;  // empty for a separator
  int Tag;                   // glyph; 0 for a separator
  int HelpContext;           // 0 for a separator
  bool Separator() const { return Caption.empty(); }
};

inline constexpr std::array<TMenuItemDef, 10> TRAY_MENU = {{
    {TMenuItem::miAccess, "miAccess", "&Access", 1, 210},
    {TMenuItem::miOffset, "miOffset", "&Offset", 2, 220},
    {TMenuItem::miServerPorts, "miServerPorts", "Server &Ports", 3, 230},
    {TMenuItem::miCodetable, "miCodetable", "&Code table", 4, 240},
    {TMenuItem::N3, "N3", "", 0, 0},
    {TMenuItem::miStatus, "miStatus", "S&tatus", 5, 260},
    {TMenuItem::miHelp, "miHelp", "&Help", 6, 270},
    {TMenuItem::N1, "N1", "", 0, 0},
    {TMenuItem::miStartStop, "miStartStop", CAPTION_START, TAG_START, 280},
    {TMenuItem::miExit, "miExit", "E&xit", 9, 290},
}};

constexpr const TMenuItemDef& MenuItemDef(TMenuItem item) {
  return TRAY_MENU[static_cast<std::size_t>(item)];
}

// The settings items, which may be used only while the server is stopped.
constexpr bool IsSettingsItem(TMenuItem item) {
  return item == TMenuItem::miAccess || item == TMenuItem::miOffset ||
         item == TMenuItem::miServerPorts || item == TMenuItem::miCodetable;
}

// The tray icon's images.
inline constexpr int IMAGE_RUNNING = 0;
inline constexpr int IMAGE_STOPPED = 1;

struct TMenuState {
  bool SettingsEnabled;
  std::string_view StartStopCaption;
  int StartStopTag;
  int TrayImage;
};

constexpr TMenuState MenuStateFor(bool running) {
  return running ? TMenuState{false, CAPTION_STOP, TAG_STOP, IMAGE_RUNNING}
                 : TMenuState{true, CAPTION_START, TAG_START, IMAGE_STOPPED};
}

// What the start/stop item does when chosen.
enum class TStartStopAction { Start, StopAfterPassword };
constexpr TStartStopAction StartStopActionFor(bool running) {
  return running ? TStartStopAction::StopAfterPassword : TStartStopAction::Start;
}

}  // namespace kassiro::op
