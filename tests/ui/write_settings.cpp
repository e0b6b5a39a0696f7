// write_settings: prepares the settings files of a program copy for the tray's
// end-to-end test and screenshots: <exe>.STG with the given serial port, speed, TCP port,
// administrator password and one password for every data set, and <exe>.INI with code
// table 1.
//
//   write_settings EXE PORT SPEED IPPORT ADMIN_PASSWORD SET_PASSWORD
#include <cstdlib>
#include <iostream>

#include "core/IniFile.h"
#include "core/SettingsFile.h"

int main(int argc, char** argv) {
  using namespace kassiro;
  if (argc != 7) {
    std::cerr << "usage: write_settings EXE PORT SPEED IPPORT ADMIN_PASSWORD SET_PASSWORD\n";
    return 2;
  }
  const std::filesystem::path exe = argv[1];
  const std::string port = argv[2];
  TIniStru ini;
  if (port.size() > ini.ComPortName.capacity) {
    std::cerr << "write_settings: port name '" << port << "' is longer than the settings hold\n";
    return 3;
  }
  ini.ComPortName = port;
  ini.Speed = static_cast<std::uint16_t>(std::atoi(argv[3]));
  ini.IPPort = static_cast<std::uint16_t>(std::atoi(argv[4]));
  ini.sPassword = argv[5];
  for (std::size_t st = 1; st <= SET_COUNT; ++st) ini.SetPW[st] = argv[6];
  {
    std::filesystem::path stg = exe;
    TSettingsFile file(stg.replace_extension(".STG"));
    file.Save(ini);
  }
  std::filesystem::path iniFile = exe;
  return WriteLanguageID(iniFile.replace_extension(".INI"), 1) ? 0 : 1;
}
