// kassirod's command line apart from the settings: where its files live, --help and
// --version, and the requests a later copy sends to the running one (quit, status, line
// trace).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "util/PrmProc.h"

namespace kassiro {

inline constexpr int EXIT_BAD_ARGUMENTS = 2;

// "--help", "--version" and their short forms, answered before anything else; the exit
// code when one was given.
std::optional<int> AnswerHelpOrVersion(int argc, char* argv[]);

// The path the program's files are named after: the executable itself, or with
// -Dir:FOLDER the program's name inside that folder (which must exist). The quit
// channel follows the same path, so each folder has its own running copy.
std::optional<std::filesystem::path> FilesBase(const TParamList& params, const std::filesystem::path& exe,
                                               std::string& error);

// True when the parameter is not a setting: the folder and the requests.
bool IsRunParameter(const std::string& name);

// True when the command line holds a request (-Q, -Status, -Trace) to the running copy.
bool IsRequest(const TParamList& params);
// Runs that request; its exit code.
int RunRequest(const TParamList& params, const std::filesystem::path& base);

// The name a service gets when -Install, -Uninstall or -Service names none.
inline constexpr const char* DEFAULT_SERVICE = "Kassiro";

// True when the command line registers (-Install[:NAME]) or removes (-Uninstall[:NAME])
// the Windows service.
bool IsServiceSetup(const TParamList& params);
// Does it: the service runs this executable with its files in -Dir:FOLDER, or by default
// in the system's folder for a service's data; its exit code.
int RunServiceSetup(const TParamList& params, const std::filesystem::path& exe, const std::filesystem::path& base);

}  // namespace kassiro
