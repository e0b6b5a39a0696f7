// The program INI file ("<exe>.INI"): section "Options", key "LanguageID", the number
// of the ECRs' character code table. Sections and keys match without regard to case,
// as in the Windows INI files the format comes from; values are trimmed. A write keeps
// every other line of the file as it was and replaces the file as a whole (temporary
// file, flush to disk, rename), so a crash never leaves half a file behind.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kassiro {

inline constexpr std::string_view INI_OPTIONS_SECTION = "Options";
inline constexpr std::string_view INI_LANGUAGE_KEY = "LanguageID";
// The file holds one number: a larger file is refused, never read without bound.
inline constexpr std::size_t INI_MAX_BYTES = 4096;
// The TCP server's local address and the clients it lets in, as text; empty or missing
// keeps the defaults (every IPv4 address, everybody).
inline constexpr std::string_view INI_LISTEN_KEY = "Listen";
inline constexpr std::string_view INI_ALLOW_KEY = "Allow";
// The days the report journal keeps; 0 or missing: no journal.
inline constexpr std::string_view INI_JOURNAL_KEY = "Journal";

// The text-level operations, free of I/O.
// The trimmed value of the first `key` in the first matching `[section]`, if any.
std::optional<std::string> FindIniValue(std::string_view text, std::string_view section,
                                        std::string_view key);
// text with `key=value` set in `section`: the first such key line is replaced (keeping
// its line ending), or the key is added at the end of the section, or the section is
// added at the end of the text. New lines take the text's line ending (CR LF if its
// first line ends so, LF otherwise).
std::string SetIniValue(std::string_view text, std::string_view section, std::string_view key,
                        std::string_view value);
// A whole decimal integer (optional sign), or nothing.
std::optional<int> ParseIniInteger(std::string_view value);

// The integer value of the key, or def when the file, the section or the key is
// missing or the value is not an integer. The file is one of the program's own
// (OpenOwnFile): a symbolic link, a FIFO, a device or a file larger than INI_MAX_BYTES
// is not read; problem then tells why (else it is emptied).
int ReadIniInteger(const std::filesystem::path& iniPath, std::string_view section,
                   std::string_view key, int def, std::string* problem = nullptr);
// The trimmed text of the key, or nothing when the file, the section or the key is
// missing or the file can't be read (problem then tells why, as above).
std::optional<std::string> ReadIniString(const std::filesystem::path& iniPath, std::string_view section,
                                         std::string_view key, std::string* problem = nullptr);
// Sets the key and writes the file to disk at once; false (file untouched) on failure,
// with problem telling why. A file that can't be read as above is not replaced.
bool WriteIniString(const std::filesystem::path& iniPath, std::string_view section,
                    std::string_view key, std::string_view value, std::string* problem = nullptr);

// "LanguageID" of [Options]. The value is returned as read, also outside the code
// table numbers 1..6: the caller decides what to do with such a value.
int ReadLanguageID(const std::filesystem::path& iniPath, int def, std::string* problem = nullptr);
bool WriteLanguageID(const std::filesystem::path& iniPath, int value, std::string* problem = nullptr);

}  // namespace kassiro
