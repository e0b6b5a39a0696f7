// The whole server in a scratch folder, on the slave side of a pseudo-terminal: its
// files beside exePath, a free TCP port, every set's password the same, code table 1
// (ASCII digits, capitals and punctuation pass unchanged whatever the user's locale).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "core/IniFile.h"
#include "server/KassiroServer.h"
#include "core/TheNewDefs.h"

namespace kassiro::testing {

// The server set up in its folder, not started yet; makeComm as TKassiroServer takes it.
inline std::unique_ptr<TKassiroServer> MakeServerInFolder(
    const std::filesystem::path& exePath, const std::string& slavePath, int speed,
    const char* password, const std::function<void(TIniStru&)>& adjust = {},
    TCommObjectFactory makeComm = nullptr) {
  if (!WriteLanguageID(exePath.parent_path() / "kassirod.INI", 1))
    throw std::runtime_error("cannot write the code table choice");
  auto server = std::make_unique<TKassiroServer>(exePath, std::move(makeComm));
  {
    // The settings file is new and empty: the start keeps these values.
    std::lock_guard lock(server->GetSession().Lock);
    TIniStru& ini = server->GetSession().IniStru;
    ini.Speed = speed;
    ini.IPPort = 0;
    ini.sPassword = "admin";
    for (std::size_t st = 1; st <= SET_COUNT; ++st) ini.SetPW[st] = password;
    if (adjust) adjust(ini);
  }
  server->SetPortOverride(slavePath);
  return server;
}

// Never null; callers check Started() and ListeningPort().
inline std::unique_ptr<TKassiroServer> StartServerInFolder(
    const std::filesystem::path& exePath, const std::string& slavePath, int speed,
    const char* password, const std::function<void(TIniStru&)>& adjust = {}) {
  auto server = MakeServerInFolder(exePath, slavePath, speed, password, adjust);
  server->StartKassiro();
  return server;
}

}  // namespace kassiro::testing
